// T98-Next NFD floppy images, revisions 0 and 1.
//
// Both start with "T98FDDIMAGE.R0" or ".R1", a comment, the header's size
// (0x110) and the number of heads (0x115); the sector data follows the
// header, in the order the header lists the sectors, each 128 << N bytes.
//
// r0: a fixed table of 163 tracks of 26 sector IDs from 0x120, 16 bytes
// each: C (0xFF: no sector), H, R, N, MFM flag, deleted-data flag, the disk
// BIOS result of READ DATA, ST0, ST1, ST2, PDA.
//
// r1: 164 track offsets from 0x120 (0: no track). Each track is a 16-byte
// header (sector count, count of special reads) followed by its sector IDs
// (C, H, R, N, MFM, DDAM, BIOS result, ST0-ST2, retries, PDA) and its
// special-read entries (command, C, H, R, N, result, ST0-ST2, retries, data
// length at 0x0A). A track's data is its sectors' data, each followed by
// as many more copies as it had retries, then the special reads' data.
//
// A sector whose dump recorded an error (the BIOS result, else ST1/ST2), or
// whose retries read different data, is not held.
#include "image_sectors.h"

#include <cstring>

namespace platform::image {

namespace {

using sectors::le16;
using sectors::le32;

constexpr std::uint32_t kIdSize = 16;
constexpr std::uint32_t kR0Table = 0x120;
constexpr std::uint32_t kR0Tracks = 163;
constexpr std::uint32_t kR0Sectors = 26;
constexpr std::uint32_t kR1Header = 0x3C0;
constexpr std::uint32_t kR1Tracks = 164;
constexpr std::uint32_t kMaxTrackEntries = 1024;

const Damage damaged{"a damaged NFD image"};

std::optional<std::string> faultOf(const unsigned char* id, std::size_t status)
{
    if (auto bios = sectors::statusFault(id[status]))
        return bios;
    return sectors::fdcFault(id[status + 2], id[status + 3]);
}

// Whether the `copies` stored copies of a sector at `at` hold the same bytes.
bool copiesAgree(const ByteFile& file, std::uint64_t at, std::uint32_t size, std::uint32_t copies)
{
    std::string first(size, '\0'), other(size, '\0');
    if (file.readAt(at, first.data(), size) != static_cast<long>(size))
        return true; // a truncated image: the sector is not held anyway
    for (std::uint32_t k = 1; k < copies; ++k) {
        const long got = file.readAt(at + std::uint64_t{k} * size, other.data(), size);
        if (got != static_cast<long>(size) || other != first)
            return false;
    }
    return true;
}

Result<std::shared_ptr<const Disk>> readR0(std::shared_ptr<const ByteFile> file, std::uint32_t headSize)
{
    sectors::Sectors found;
    std::uint64_t data = headSize;
    unsigned char id[kIdSize];
    for (std::uint32_t t = 0; t < kR0Tracks; ++t) {
        for (std::uint32_t s = 0; s < kR0Sectors; ++s) {
            const std::uint64_t at = kR0Table + std::uint64_t{t * kR0Sectors + s} * kIdSize;
            if (at + kIdSize > headSize)
                break;
            if (file->readAt(at, id, kIdSize) != static_cast<long>(kIdSize))
                return damaged("it ends inside its header");
            if (id[0] == 0xFF)
                continue;
            if (id[3] > 7)
                return damaged("a sector of track " + std::to_string(t) + " has size code N = " + std::to_string(id[3]));
            const std::uint32_t size = 128u << id[3];
            found.list.push_back({id[0], id[1], id[2], id[3], t, size, false, data, faultOf(id, 6)});
            data += size;
        }
    }
    return sectors::build(std::move(file), "NFD", found, damaged.prefix);
}

Result<std::shared_ptr<const Disk>> readR1(std::shared_ptr<const ByteFile> file, std::uint32_t headSize)
{
    if (headSize < kR1Header)
        return damaged("its header size (" + std::to_string(headSize) + " bytes) is smaller than its track table");
    unsigned char table[kR1Tracks * 4];
    if (file->readAt(kR0Table, table, sizeof table) != static_cast<long>(sizeof table))
        return damaged("it ends inside its header");
    sectors::Sectors found;
    std::uint64_t data = headSize;
    for (std::uint32_t t = 0; t < kR1Tracks; ++t) {
        const std::uint32_t at = le32(table + 4 * t);
        if (at == 0)
            continue;
        unsigned char head[kIdSize];
        if (at < kR1Header || std::uint64_t{at} + kIdSize > headSize
            || file->readAt(at, head, kIdSize) != static_cast<long>(kIdSize))
            return damaged("the table entry of track " + std::to_string(t) + " lies outside the header");
        const std::uint32_t count = le16(head), special = le16(head + 2);
        if (count + special > kMaxTrackEntries
            || std::uint64_t{at} + kIdSize + std::uint64_t{count + special} * kIdSize > headSize)
            return damaged("the sector list of track " + std::to_string(t) + " runs past the header");
        std::string ids(std::size_t{count + special} * kIdSize, '\0');
        if (file->readAt(at + kIdSize, ids.data(), ids.size()) != static_cast<long>(ids.size()))
            return damaged("it ends inside its header");
        for (std::uint32_t k = 0; k < count; ++k) {
            const auto* id = reinterpret_cast<const unsigned char*>(ids.data()) + k * kIdSize;
            if (id[3] > 7)
                return damaged("a sector of track " + std::to_string(t) + " has size code N = " + std::to_string(id[3]));
            const std::uint32_t size = 128u << id[3];
            const std::uint32_t copies = 1u + id[10];
            std::optional<std::string> fault = faultOf(id, 6);
            if (!fault && copies > 1 && !copiesAgree(*file, data, size, copies))
                fault = "the dump read different data on its " + std::to_string(copies) + " reads";
            found.list.push_back({id[0], id[1], id[2], id[3], t, size, false, data, fault});
            data += std::uint64_t{size} * copies;
        }
        for (std::uint32_t k = count; k < count + special; ++k) {
            const auto* id = reinterpret_cast<const unsigned char*>(ids.data()) + k * kIdSize;
            const std::uint64_t length = le32(id + 0x0A);
            if (length > file->size())
                return damaged("a special read of track " + std::to_string(t) + " claims " + std::to_string(length)
                    + " bytes, more than the image holds");
            data += length * (1u + id[9]);
        }
    }
    return sectors::build(std::move(file), "NFD", found, damaged.prefix);
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeNfd(std::shared_ptr<const ByteFile> file)
{
    unsigned char header[kR0Table];
    if (file->size() < 16 || file->readAt(0, header, 16) != 16 || std::memcmp(header, "T98FDDIMAGE.R", 13) != 0)
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    if ((header[13] != '0' && header[13] != '1') || header[14] != 0)
        return Found(damaged("revision \"" + std::string(1, static_cast<char>(header[13])) + "\" is unknown"));
    if (file->size() < kR0Table || file->readAt(0, header, kR0Table) != static_cast<long>(kR0Table))
        return Found(damaged("it ends inside its header"));
    const std::uint32_t headSize = le32(header + 0x110);
    if (headSize < kR0Table)
        return Found(damaged("its header size (" + std::to_string(headSize) + " bytes) is smaller than its fixed part"));
    if (headSize > file->size())
        return Found(damaged("its header size (" + std::to_string(headSize) + " bytes) lies beyond the file ("
            + std::to_string(file->size()) + " bytes)"));
    return header[13] == '0' ? readR0(std::move(file), headSize) : readR1(std::move(file), headSize);
}

} // namespace platform::image
