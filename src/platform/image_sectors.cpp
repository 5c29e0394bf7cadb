// The disk that a container's sector IDs describe (see image_sectors.h).
//
// The disk has one sector size (the usual one among the sectors whose data
// size agrees with their N) and tracks of one run of records (from the usual
// lowest R, as many as most tracks hold). Each sector goes to the place its
// ID names, track C * heads + H (two heads when tracks carry head 1), record
// R; when two of the container's tracks carry the ID of one place, every
// track goes to the place of its own index instead (cylinder index / 2,
// head index % 2). A place with no good sector is not held: missing, stored
// with another size, stored past the end of the file, read with an error the
// dump recorded, or stored twice with different data.
#include "image_sectors.h"

#include <algorithm>
#include <cstring>

namespace platform::image::sectors {

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

namespace {

std::string hex2(std::uint8_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[value >> 4] + digits[value & 15];
}

template <typename T, typename Better>
T mostCommon(const std::map<T, int>& counts, Better better)
{
    T best{};
    int most = 0;
    for (const auto& [value, count] : counts)
        if (count > most || (count == most && better(value, best))) {
            most = count;
            best = value;
        }
    return best;
}

} // namespace

std::optional<std::string> statusFault(std::uint8_t status)
{
    switch (status) {
    case 0x00: // normal
    case 0x10: // data with the deleted mark: read as any other
        return std::nullopt;
    case 0xA0:
        return std::string("the dump recorded an ID CRC error");
    case 0xB0:
        return std::string("the dump recorded a data CRC error");
    case 0xC0:
        return std::string("the dump recorded no data");
    case 0xE0:
        return std::string("the dump recorded no address mark");
    case 0xF0:
        return std::string("the dump recorded no data mark");
    default:
        return "the dump recorded error status " + hex2(status);
    }
}

std::optional<std::string> fdcFault(std::uint8_t st1, std::uint8_t st2)
{
    if (st2 & 0x20)
        return std::string("the dump recorded a data CRC error");
    if (st1 & 0x20)
        return std::string("the dump recorded an ID CRC error");
    if (st2 & 0x01)
        return std::string("the dump recorded no data mark");
    if (st1 & 0x01)
        return std::string("the dump recorded no address mark");
    if (st1 & 0x04)
        return std::string("the dump recorded no data");
    if ((st1 & 0xB2) || (st2 & 0x1E)) // end of cylinder, overrun, not writable; wrong cylinder, scan, bad track
        return "the dump recorded error status ST1 " + hex2(st1) + " ST2 " + hex2(st2);
    return std::nullopt; // ST2 0x40: a deleted-data mark
}

std::uint64_t Sectors::keep(const std::string& bytes)
{
    const std::uint64_t at = m_memory.size();
    m_memory += bytes;
    return at;
}

std::uint64_t Sectors::fill(std::uint8_t value, std::uint32_t size)
{
    auto [it, added] = m_fills.try_emplace({value, size}, m_memory.size());
    if (added)
        m_memory.append(size, static_cast<char>(value));
    return it->second;
}

LayeredFile::LayeredFile(std::shared_ptr<const ByteFile> base, std::string memory)
    : m_base(std::move(base)), m_baseSize(m_base ? m_base->size() : 0), m_memory(std::move(memory))
{
}

long LayeredFile::readAt(std::uint64_t offset, void* buffer, std::size_t size) const
{
    auto* out = static_cast<unsigned char*>(buffer);
    std::size_t done = 0;
    if (offset < m_baseSize) {
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_baseSize - offset));
        const long got = m_base->readAt(offset, out, count);
        if (got < 0 || static_cast<std::size_t>(got) != count)
            return got; // a base that shrank ends the read there
        done = count;
        offset += count;
    }
    if (done < size && offset >= m_baseSize && offset - m_baseSize < m_memory.size()) {
        const std::uint64_t inside = offset - m_baseSize;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size - done, m_memory.size() - inside));
        std::memcpy(out + done, m_memory.data() + inside, count);
        done += count;
    }
    return static_cast<long>(done);
}

Result<std::shared_ptr<const Disk>> build(std::shared_ptr<const ByteFile> file, const std::string& format,
                                          const Sectors& sectors, const std::string& damaged, std::uint32_t places)
{
    auto fail = [&](const std::string& why) { return Error{EINVAL, damaged + ": " + why}; };
    const std::vector<Stored>& list = sectors.list;
    if (list.empty())
        return fail("it holds no sectors");
    const std::uint64_t fileSize = file ? file->size() : 0;

    // The sector size: the usual one among sectors whose size agrees with their N.
    std::map<std::uint32_t, int> sizes;
    for (const Stored& s : list)
        if (s.n <= 7 && s.size == (128u << s.n))
            ++sizes[s.size];
    if (sizes.empty())
        return fail("no sector's data size agrees with its N");
    const std::uint32_t sectorSize = mostCommon(sizes, [](std::uint32_t, std::uint32_t) { return false; });

    // Each track of the container: the ID most of its sectors carry.
    std::map<std::uint32_t, std::map<std::pair<std::uint32_t, std::uint32_t>, int>> idsOfTrack;
    for (const Stored& s : list)
        ++idsOfTrack[s.track][{s.c, s.h}];
    std::uint32_t heads = 1;
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> trackId;
    for (const auto& [track, ids] : idsOfTrack) {
        trackId[track] = mostCommon(ids, [](const auto&, const auto&) { return false; });
        if (trackId[track].second == 1)
            heads = 2;
    }
    bool byId = true;
    std::vector<bool> taken(places, false);
    for (const auto& [track, id] : trackId) {
        const std::uint64_t place = std::uint64_t{id.first} * heads + id.second;
        if (id.second >= heads || place >= std::uint64_t{places} || taken[place]) {
            byId = false;
            break;
        }
        taken[place] = true;
    }
    if (!byId) {
        heads = 2; // the container's track index is cylinder * 2 + head
        for (const auto& [track, id] : trackId)
            if (track >= places)
                return fail("track " + std::to_string(track) + " lies beyond the last track a floppy has");
    }
    auto placeOf = [&](const Stored& s) -> std::int64_t {
        if (!byId)
            return s.track;
        if (s.h >= heads)
            return -1;
        const std::uint64_t place = std::uint64_t{s.c} * heads + s.h;
        return place < std::uint64_t{places} ? static_cast<std::int64_t>(place) : -1;
    };
    std::uint32_t trackCount = 0;
    for (const auto& [track, id] : trackId)
        trackCount = std::max(trackCount, (byId ? id.first * heads + id.second : track) + 1);

    // The run of records: from the usual lowest R, as long as most tracks' unbroken runs.
    std::vector<std::vector<bool>> records(trackCount, std::vector<bool>(256, false));
    for (const Stored& s : list)
        if (const std::int64_t place = placeOf(s); place >= 0 && place < trackCount && s.r < 256)
            records[static_cast<std::size_t>(place)][s.r] = true;
    std::map<std::uint32_t, int> lowest;
    for (const std::vector<bool>& r : records)
        if (auto low = std::find(r.begin(), r.end(), true); low != r.end())
            ++lowest[static_cast<std::uint32_t>(low - r.begin())];
    const std::uint32_t firstRecord = mostCommon(lowest, [](std::uint32_t value, std::uint32_t best) {
        return value == 1 || (best != 1 && value < best);
    });
    std::map<std::uint32_t, int> runs;
    for (const std::vector<bool>& r : records) {
        std::uint32_t run = 0;
        while (firstRecord + run < 256 && r[firstRecord + run])
            ++run;
        if (run > 0)
            ++runs[run];
    }
    if (runs.empty())
        return fail("no track holds a run of sectors");
    const std::uint32_t perTrack = mostCommon(runs, [](std::uint32_t value, std::uint32_t best) { return value > best; });

    // Each place of the disk: the sectors whose ID names it.
    std::vector<std::vector<const Stored*>> claims(std::size_t{trackCount} * perTrack);
    for (const Stored& s : list) {
        const std::int64_t place = placeOf(s);
        if (place < 0 || place >= trackCount || s.r < firstRecord || s.r >= firstRecord + perTrack)
            continue;
        claims[static_cast<std::size_t>(place) * perTrack + (s.r - firstRecord)].push_back(&s);
    }
    auto faultOf = [&](const Stored& s) -> std::optional<std::string> {
        if (s.n > 7 || s.size != (128u << s.n) || s.size != sectorSize)
            return "stored with " + std::to_string(s.size) + " bytes (N = " + std::to_string(s.n)
                + ") where the disk's sectors have " + std::to_string(sectorSize);
        if (!s.inMemory && s.offset + s.size > fileSize)
            return std::string("the image ends before its data (a truncated image)");
        return s.fault;
    };
    auto bytesOf = [&](const Stored& s) {
        std::string bytes(s.size, '\0');
        if (s.inMemory)
            bytes.assign(sectors.memory(), static_cast<std::size_t>(s.offset), s.size);
        else if (file->readAt(s.offset, bytes.data(), s.size) != static_cast<long>(s.size))
            bytes.clear();
        return bytes;
    };
    std::vector<Disk::Stretch> stretches;
    std::vector<Disk::Fault> faults;
    for (std::size_t index = 0; index < claims.size(); ++index) {
        const std::uint64_t diskOffset = index * std::uint64_t{sectorSize};
        const std::uint32_t place = static_cast<std::uint32_t>(index / perTrack);
        Disk::Fault fault{diskOffset, sectorSize, place / heads, place % heads,
                          firstRecord + static_cast<std::uint32_t>(index % perTrack), {}};
        const Stored* good = nullptr;
        std::optional<std::string> bad;
        bool conflict = false;
        for (const Stored* s : claims[index]) {
            if (std::optional<std::string> why = faultOf(*s)) {
                if (!bad)
                    bad = why;
            } else if (!good) {
                good = s;
            } else if (good->inMemory != s->inMemory || good->offset != s->offset) {
                const std::string a = bytesOf(*good), b = bytesOf(*s);
                conflict = conflict || a.empty() || a != b;
            }
        }
        if (good && !conflict) {
            const std::uint64_t at = good->inMemory ? fileSize + good->offset : good->offset;
            if (!stretches.empty() && stretches.back().diskOffset + stretches.back().length == diskOffset
                && stretches.back().fileOffset + stretches.back().length == at)
                stretches.back().length += sectorSize;
            else
                stretches.push_back({diskOffset, at, sectorSize});
            continue;
        }
        fault.reason = conflict ? "stored twice with different data"
                                : bad ? *bad : std::string("missing from the image");
        faults.push_back(std::move(fault));
    }
    std::shared_ptr<const ByteFile> source = file;
    if (!sectors.memory().empty() || !file)
        source = std::make_shared<LayeredFile>(file, sectors.memory());
    auto disk = std::make_shared<Disk>(std::move(source), format, std::move(stretches),
        claims.size() * std::uint64_t{sectorSize}, Disk::Layout{sectorSize, perTrack, heads, firstRecord},
        std::move(faults));
    return std::shared_ptr<const Disk>(std::move(disk));
}

std::shared_ptr<const Disk> tracks(std::shared_ptr<const ByteFile> file, const std::string& format,
                                   const std::vector<Track>& list, const DiskLayout& layout)
{
    const std::uint64_t fileSize = file->size();
    const std::uint32_t size = layout.sectorSize;
    std::vector<Disk::Stretch> stretches;
    std::vector<Disk::Fault> faults;
    for (std::size_t t = 0; t < list.size(); ++t) {
        for (std::uint32_t s = 0; s < layout.sectorsPerTrack; ++s) {
            const std::uint64_t diskOffset = (t * std::uint64_t{layout.sectorsPerTrack} + s) * size;
            Disk::Fault fault{diskOffset, size, static_cast<std::uint32_t>(t / layout.heads),
                              static_cast<std::uint32_t>(t % layout.heads), layout.firstRecord + s, {}};
            if (!list[t].offset) {
                fault.reason = list[t].absent;
                faults.push_back(std::move(fault));
                continue;
            }
            const std::uint64_t at = *list[t].offset + std::uint64_t{s} * size;
            if (at + size > fileSize) {
                fault.reason = "the image ends before its data (a truncated image)";
                faults.push_back(std::move(fault));
                continue;
            }
            if (!stretches.empty() && stretches.back().diskOffset + stretches.back().length == diskOffset
                && stretches.back().fileOffset + stretches.back().length == at)
                stretches.back().length += size;
            else
                stretches.push_back({diskOffset, at, size});
        }
    }
    const std::uint64_t diskSize = list.size() * std::uint64_t{layout.sectorsPerTrack} * size;
    return std::make_shared<Disk>(std::move(file), format, std::move(stretches), diskSize, layout, std::move(faults));
}

} // namespace platform::image::sectors
