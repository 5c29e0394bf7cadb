// ApriDisk images (ACT Apricot's disk imager), read through libdsk: a
// 128-byte header ("ACT Apricot disk image", 0x1A, 0x04, then zeros), then
// records in any order, each a 16-byte (or longer) header: the item type
// (0xE31D0001 a sector, 0xE31D0000 a record since replaced, 0xE31D0002 a
// comment, 0xE31D0003 the creator's name), the storage (0x9E90 as is,
// 0x3E5A one byte repeated: a 16-bit count, then the byte), the header's
// size, the data's size, and for a sector its head, sector number and
// 16-bit cylinder; then the data. A sector the dump could not read is
// simply not there.
#include "image_libdsk.h"

#include <cstdio>
#include <map>

namespace platform::image {

namespace {

const Damage damaged{"a damaged ApriDisk image"};
constexpr std::size_t kHeaderSize = 128;
constexpr char kMagic[] = "ACT Apricot disk image\x1a\x04";
constexpr std::size_t kMagicSize = sizeof kMagic - 1;
constexpr std::size_t kRecordHeader = 16;

constexpr std::uint32_t kDeleted = 0xE31D0000, kSector = 0xE31D0001, kComment = 0xE31D0002, kCreator = 0xE31D0003;
constexpr std::uint16_t kPlain = 0x9E90, kRun = 0x3E5A;

std::string hex(std::uint32_t v)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", v);
    return text;
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeApriDisk(std::shared_ptr<const ByteFile> file)
{
    if (!libdsk::opensWith(*file, std::string_view(kMagic, kMagicSize)))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    Result<std::string> read = libdsk::wholeFile(*file, damaged.prefix, kHeaderSize);
    if (!read.ok())
        return Found(read.error());
    const std::string& bytes = *read;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());

    // Each track's sectors, by cylinder and head, in the order the file keeps them.
    std::map<std::pair<std::uint32_t, std::uint32_t>, libdsk::TrackIds> tracks;
    std::size_t at = kHeaderSize;
    std::uint64_t total = 0;
    for (std::size_t index = 0; at < bytes.size(); ++index) {
        const std::string record = "record " + std::to_string(index) + " (at byte " + std::to_string(at) + ")";
        if (bytes.size() - at < kRecordHeader)
            return Found(damaged(record + " ends inside its header"));
        const unsigned char* r = b + at;
        const std::uint32_t type = sectors::le32(r);
        const std::uint16_t storage = sectors::le16(r + 4);
        const std::uint16_t headerSize = sectors::le16(r + 6);
        const std::uint32_t dataSize = sectors::le32(r + 8);
        if (type != kDeleted && type != kSector && type != kComment && type != kCreator)
            return Found(damaged(record + " has an unknown type " + hex(type)));
        if (storage != kPlain && storage != kRun)
            return Found(damaged(record + " has an unknown storage " + hex(storage)));
        if (headerSize < kRecordHeader)
            return Found(damaged(record + " claims a header of " + std::to_string(headerSize) + " bytes"));
        if (headerSize > bytes.size() - at)
            return Found(damaged(record + " ends inside its header"));
        if (dataSize > bytes.size() - at - headerSize)
            return Found(damaged(record + " claims " + std::to_string(dataSize) + " bytes of data, past the end of the file"));
        const unsigned char* data = r + headerSize;
        at += headerSize + dataSize;
        if (type != kSector)
            continue; // replaced, a comment, a name

        const std::uint32_t head = r[12], sector = r[13], cylinder = sectors::le16(r + 14);
        const std::string place = "cylinder " + std::to_string(cylinder) + " head " + std::to_string(head) + " sector "
            + std::to_string(sector);
        const std::string of = "the record of " + place + " (at byte " + std::to_string(at - headerSize - dataSize) + ")";
        if (head > 1 || cylinder > 255)
            return Found(damaged(of + " lies beyond the tracks a floppy has"));
        std::uint32_t size = dataSize;
        if (storage == kRun) {
            if (dataSize != 3)
                return Found(damaged(of + " holds a run of " + std::to_string(dataSize) + " bytes where a run has 3"));
            size = sectors::le16(data);
        }
        std::uint8_t n = 0;
        while (n <= 6 && (128u << n) != size)
            ++n;
        if (n > 6)
            return Found(damaged(of + " holds " + std::to_string(size) + " bytes, not a size a floppy's sectors have"));
        total += size;
        if (total > libdsk::kMaxImage)
            return Found(damaged("its sectors hold more than a floppy disk does"));
        libdsk::TrackIds& track = tracks[{cylinder, head}];
        track.cylinder = cylinder;
        track.head = head;
        for (const libdsk::Id& id : track.ids)
            if (id.r == sector)
                return Found(damaged(place + " is stored twice"));
        track.ids.push_back({static_cast<std::uint8_t>(cylinder), static_cast<std::uint8_t>(head),
                             static_cast<std::uint8_t>(sector), n, std::nullopt});
    }
    if (tracks.empty())
        return Found(damaged("it holds no sectors"));
    std::vector<libdsk::TrackIds> list;
    for (auto& [where, track] : tracks)
        list.push_back(std::move(track));
    return Found(libdsk::read(bytes, "apridisk", "ApriDisk", list, damaged.prefix));
}

} // namespace platform::image
