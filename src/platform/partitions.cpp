// Partition tables: MBR (primary, extended, logical) and PC-98.
#include "partitions.h"

#include <algorithm>
#include <cstring>
#include <iterator>
#include <set>

namespace platform::image {

namespace {

constexpr unsigned kMaxLogical = 256; // logical partitions followed in one chain

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

Error tableError(const std::string& why)
{
    return Error{EINVAL, "a damaged partition table: " + why};
}

bool isMbrFat(std::uint8_t type)
{
    switch (type) {
    case 0x01: case 0x04: case 0x06: case 0x0B: case 0x0C: case 0x0E:
    case 0x11: case 0x14: case 0x16: case 0x1B: case 0x1C: case 0x1E:
        return true;
    default:
        return false;
    }
}

bool isExtended(std::uint8_t type)
{
    return type == 0x05 || type == 0x0F || type == 0x85;
}

// PC-98 system bytes (without the active bit) of MS-DOS and Windows FAT volumes.
bool isPc98Fat(std::uint8_t system)
{
    return system == 0x01 || system == 0x11 || system == 0x21 || system == 0x61;
}

bool isPc98Container(const Disk& disk)
{
    const std::string& f = disk.format();
    return f == "HDI" || f == "NHD" || f == "THD" || f == "HDD" || f == "SLH";
}

std::string bytes(std::uint64_t count)
{
    return std::to_string(count) + " bytes";
}

// The checks every table shares: on the disk, after the table, no overlap.
Result<void> checkPlaces(const Disk& disk, std::vector<Partition> parts, std::uint64_t tableEnd)
{
    for (const Partition& p : parts) {
        if (p.length == 0)
            return tableError(p.describe() + " has no sectors");
        if (p.offset < tableEnd)
            return tableError(p.describe() + " starts at byte " + std::to_string(p.offset)
                + ", inside the disk's first " + bytes(tableEnd) + " (its boot code and partition table)");
        if (p.offset > disk.size() || p.length > disk.size() - p.offset)
            return tableError(p.describe() + " runs past the end of the disk (it ends at byte "
                + std::to_string(p.offset + p.length) + ", the disk has " + bytes(disk.size()) + ")");
    }
    std::sort(parts.begin(), parts.end(), [](const Partition& a, const Partition& b) { return a.offset < b.offset; });
    for (std::size_t i = 1; i < parts.size(); ++i)
        if (parts[i].offset < parts[i - 1].offset + parts[i - 1].length)
            return tableError(parts[i - 1].describe() + " and " + parts[i].describe() + " overlap (bytes "
                + std::to_string(parts[i].offset) + " to "
                + std::to_string(std::min(parts[i].offset + parts[i].length, parts[i - 1].offset + parts[i - 1].length))
                + ")");
    return {};
}

// The PC-98 table of `disk` read in the geometry `l`.
Result<std::vector<Partition>> readPc98(const Disk& disk, const Disk::Layout& l)
{
    std::vector<Partition> parts;
    if (l.sectorSize == 0 || l.sectorsPerTrack == 0 || l.heads == 0)
        return parts;
    const std::uint64_t tableAt = std::max<std::uint64_t>(512, l.sectorSize);
    unsigned char table[512];
    if (disk.size() < tableAt + sizeof table)
        return parts;
    if (Result<void> read = disk.read(tableAt, table, sizeof table); !read)
        return Error{read.error().code, "the partition table cannot be read: " + read.error().message};
    const std::uint64_t S = l.sectorsPerTrack, H = l.heads;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned char* e = table + 32 * i;
        if (e[0] == 0 && e[1] == 0)
            continue;
        Partition p;
        p.scheme = "PC-98";
        p.entry = i + 1;
        p.type = e[1] & 0x7F;
        p.fat = isPc98Fat(p.type);
        p.name.assign(reinterpret_cast<const char*>(e + 16), 16);
        while (!p.name.empty() && (p.name.back() == ' ' || p.name.back() == '\0'))
            p.name.pop_back();
        auto place = [&](const unsigned char* chs, const char* which) -> Result<std::uint64_t> {
            const std::uint64_t sector = chs[0], head = chs[1], cylinder = le16(chs + 2);
            if (sector >= S || head >= H)
                return tableError(p.describe() + ": its " + which + " (cylinder " + std::to_string(cylinder) + " head "
                    + std::to_string(head) + " sector " + std::to_string(sector) + ") lies outside the disk's geometry ("
                    + std::to_string(H) + " heads of " + std::to_string(S) + " sectors)");
            return (cylinder * H + head) * S + sector;
        };
        Result<std::uint64_t> start = place(e + 8, "start");
        if (!start)
            return start.error();
        Result<std::uint64_t> end = place(e + 12, "end");
        if (!end)
            return end.error();
        if (*end < *start)
            return tableError(p.describe() + " ends (sector " + std::to_string(*end) + ") before it starts (sector "
                + std::to_string(*start) + ")");
        p.offset = *start * l.sectorSize;
        p.length = (*end - *start + 1) * l.sectorSize;
        parts.push_back(std::move(p));
    }
    if (Result<void> placed = checkPlaces(disk, parts, tableAt + sizeof table); !placed)
        return placed.error();
    return parts;
}

// A raw dump of a PC-98 hard disk: the disk's first bytes are the PC-98
// IPL, which says "IPL1" after its jump.
bool hasPc98Ipl(const Disk& disk)
{
    unsigned char head[8];
    return disk.format() == "raw" && disk.size() >= 1024 && disk.read(0, head, sizeof head)
        && std::memcmp(head + 4, "IPL1", 4) == 0;
}

// Whether a FAT boot sector whose volume fits in `p` opens the partition.
bool opensWithFatVolume(const Disk& disk, const Partition& p)
{
    unsigned char b[64];
    if (p.length < 512 || !disk.read(p.offset, b, sizeof b))
        return false;
    const std::uint64_t volume = bpbVolumeBytes(b);
    return volume != 0 && volume <= p.length;
}

// A raw PC-98 disk says nothing of its geometry, which its table's places
// need. It is the first of these under which the table fits the disk and
// every FAT partition opens with a FAT volume that fits in it: the one the
// entries' ends give (they end on a cylinder's last head and sector), then
// the usual ones of SASI (33 sectors of 256 bytes), IDE and SCSI disks.
Result<std::vector<Partition>> readRawPc98(const Disk& disk)
{
    unsigned char table[512];
    if (Result<void> read = disk.read(512, table, sizeof table); !read)
        return Error{read.error().code, "the partition table cannot be read: " + read.error().message};
    std::vector<Disk::Layout> layouts;
    std::optional<std::pair<unsigned, unsigned>> end; // sectors per track, heads
    bool agree = true, any = false;
    for (unsigned i = 0; i < 16; ++i) {
        const unsigned char* e = table + 32 * i;
        if (e[0] == 0 && e[1] == 0)
            continue;
        any = true;
        const std::pair<unsigned, unsigned> last{e[12] + 1u, e[13] + 1u};
        agree = agree && (!end || *end == last);
        end = last;
    }
    if (!any)
        return std::vector<Partition>();
    if (agree && end && end->first > 1 && end->second > 1)
        for (std::uint32_t size : {512u, 256u})
            layouts.push_back({size, end->first, end->second, 0});
    static constexpr Disk::Layout kUsual[] = {{256, 33, 8, 0}, {256, 33, 6, 0}, {256, 33, 4, 0}, {512, 17, 8, 0},
        {512, 17, 16, 0}, {512, 32, 8, 0}, {512, 63, 16, 0}, {512, 63, 8, 0}, {512, 128, 8, 0}, {256, 32, 8, 0}};
    layouts.insert(layouts.end(), std::begin(kUsual), std::end(kUsual));
    std::string tried;
    for (const Disk::Layout& l : layouts) {
        Result<std::vector<Partition>> parts = readPc98(disk, l);
        if (parts && !parts->empty() && std::all_of(parts->begin(), parts->end(),
                [&](const Partition& p) { return !p.fat || opensWithFatVolume(disk, p); }))
            return parts;
        tried += (tried.empty() ? "" : ", ") + std::to_string(l.heads) + " heads × " + std::to_string(l.sectorsPerTrack)
            + " sectors of " + std::to_string(l.sectorSize) + " bytes";
    }
    return tableError("a PC-98 hard disk without a container header, whose geometry is not known: under none of the "
        "geometries tried (" + tried + ") does its table fit the disk with every FAT partition opening with its volume");
}

// The four entries of a boot record; false when they do not read as a table
// (boot code, a floppy's boot sector).
bool entriesOf(const unsigned char* sector, bool master)
{
    if (sector[510] != 0x55 || sector[511] != 0xAA)
        return false;
    bool any = false;
    for (int i = 0; i < 4; ++i) {
        const unsigned char* e = sector + 446 + 16 * i;
        if (e[4] == 0)
            continue;
        if ((e[0] != 0x00 && e[0] != 0x80) || (master && le32(e + 8) == 0) || le32(e + 12) == 0)
            return false;
        any = true;
    }
    return any || !master;
}

Result<std::vector<Partition>> readMbr(const Disk& disk)
{
    std::vector<Partition> parts;
    const std::uint64_t unit = std::max<std::uint64_t>(512, disk.sectorSize);
    unsigned char sector[512];
    if (disk.size() < unit || !disk.read(0, sector, sizeof sector) || !entriesOf(sector, true))
        return parts;
    std::vector<Partition> extended;
    for (unsigned i = 0; i < 4; ++i) {
        const unsigned char* e = sector + 446 + 16 * i;
        if (e[4] == 0)
            continue;
        Partition p;
        p.scheme = "MBR";
        p.entry = i + 1;
        p.type = e[4];
        p.fat = isMbrFat(p.type);
        p.offset = le32(e + 8) * unit;
        p.length = le32(e + 12) * unit;
        (isExtended(p.type) ? extended : parts).push_back(p);
    }
    if (Result<void> placed = checkPlaces(disk, extended, unit); !placed)
        return placed.error();
    unsigned logical = 5;
    for (const Partition& container : extended) {
        const std::uint64_t base = container.offset, end = container.offset + container.length;
        std::set<std::uint64_t> seen;
        for (std::uint64_t record = base; record != 0;) {
            if (!seen.insert(record).second)
                return tableError("the chain of extended boot records in " + container.describe()
                    + " loops (the record at byte " + std::to_string(record) + " comes again)");
            if (seen.size() > kMaxLogical)
                return tableError(container.describe() + " chains more than " + std::to_string(kMaxLogical)
                    + " logical partitions");
            if (Result<void> read = disk.read(record, sector, sizeof sector); !read)
                return Error{read.error().code, "the extended boot record at byte " + std::to_string(record)
                    + " cannot be read: " + read.error().message};
            if (!entriesOf(sector, false))
                return tableError("the extended boot record at byte " + std::to_string(record) + " in "
                    + container.describe() + " is not one (no signature, or entries that are no partitions)");
            const unsigned char* data = sector + 446;
            const unsigned char* next = sector + 462;
            if (data[4] != 0 && !isExtended(data[4])) {
                Partition p;
                p.scheme = "MBR";
                p.entry = logical++;
                p.type = data[4];
                p.fat = isMbrFat(p.type);
                p.offset = record + std::uint64_t{le32(data + 8)} * unit;
                p.length = std::uint64_t{le32(data + 12)} * unit;
                if (p.offset <= record || p.offset + p.length > end)
                    return tableError(p.describe() + " (bytes " + std::to_string(p.offset) + " to "
                        + std::to_string(p.offset + p.length) + ") does not lie after its record inside "
                        + container.describe() + " (bytes " + std::to_string(base) + " to " + std::to_string(end) + ")");
                parts.push_back(std::move(p));
            }
            if (next[4] == 0) {
                record = 0;
            } else if (!isExtended(next[4])) {
                return tableError("the extended boot record at byte " + std::to_string(record)
                    + " links to a partition of type " + std::to_string(next[4]) + ", not to the next record");
            } else {
                const std::uint64_t following = base + std::uint64_t{le32(next + 8)} * unit;
                if (following >= end)
                    return tableError("the extended boot record at byte " + std::to_string(record)
                        + " links to byte " + std::to_string(following) + ", outside " + container.describe());
                record = following;
            }
        }
    }
    if (Result<void> placed = checkPlaces(disk, parts, unit); !placed)
        return placed.error();
    return parts;
}

} // namespace

std::string Partition::describe() const
{
    return scheme + " partition " + std::to_string(entry) + (scheme == "MBR" && entry > 4 ? " (logical)" : "");
}

Result<std::vector<Partition>> readPartitions(const Disk& disk)
{
    if (isPc98Container(disk)) {
        Result<std::vector<Partition>> pc98 = readPc98(disk, disk.layout());
        if (!pc98 || !pc98->empty())
            return pc98;
    } else if (hasPc98Ipl(disk)) {
        Result<std::vector<Partition>> pc98 = readRawPc98(disk);
        if (!pc98 || !pc98->empty())
            return pc98;
    }
    return readMbr(disk);
}

Result<std::optional<Partition>> fatPartition(const Disk& disk, unsigned number)
{
    Result<std::vector<Partition>> parts = readPartitions(disk);
    if (!parts)
        return parts.error();
    if (parts->empty())
        return std::optional<Partition>();
    std::vector<Partition> fat;
    for (const Partition& p : *parts)
        if (p.fat)
            fat.push_back(p);
    if (number == 0)
        return fat.empty() ? std::optional<Partition>() : std::optional<Partition>(fat.front());
    if (number > fat.size())
        return Error{ENOENT, "the disk has " + std::to_string(fat.size()) + " FAT partition"
            + (fat.size() == 1 ? "" : "s") + ": there is no partition #" + std::to_string(number)};
    return std::optional<Partition>(fat[number - 1]);
}

Result<unsigned> fatPartitionCount(const Disk& disk)
{
    Result<std::vector<Partition>> parts = readPartitions(disk);
    if (!parts)
        return parts.error();
    return static_cast<unsigned>(std::count_if(parts->begin(), parts->end(), [](const Partition& p) { return p.fat; }));
}

} // namespace platform::image
