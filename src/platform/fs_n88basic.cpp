// N88-BASIC disks of the PC-8801 and PC-9801: 256-byte sectors, a system
// track in the middle of the disk holding the directory (16-byte entries of
// a 6 + 3 character name, an attribute byte and the first cluster), an ID
// sector and three copies of a FAT of one byte per cluster. A FAT value
// below the cluster count names the next cluster; 0xC0 + N ends the file in
// its cluster's first N sectors; 0xFE reserves a cluster (the IPL, the
// system track), 0xFF leaves it free.
#include <algorithm>
#include <cstring>
#include <mutex>

#include "file_systems.h"

namespace platform::image::detail {

namespace {

constexpr std::uint32_t kSectorBytes = 256;
constexpr std::uint32_t kEntryBytes = 16;
constexpr std::uint8_t kEndBase = 0xC0;
constexpr std::uint8_t kReserved = 0xFE;
constexpr std::uint8_t kFree = 0xFF;
// Attribute bits: 0x01 machine code, 0x80 tokenized BASIC (both kept as
// bytes), 0x10 write-protected, 0x20 saved protected, 0x40 read after write.
constexpr std::uint8_t kWriteProtect = 0x10;

// The layouts: 2D (PC-8801, 40 cylinders of 16 sectors, clusters of half a
// track), 2DD (80 cylinders, a track a cluster) and 2HD (PC-9801, 77
// cylinders of 26 sectors, a track a cluster). Tracks count cylinder by
// cylinder, both heads; the system track is where the layout puts it,
// tried in turn.
struct N88Layout {
    const char* name;
    std::uint32_t cylinders;
    std::uint32_t sectorsPerTrack;
    std::uint32_t sectorsPerCluster;
    std::uint32_t systemTracks[3]; // candidates, 0 past the last
};
constexpr N88Layout kLayouts[] = {
    {"2D", 40, 16, 8, {37, 18, 0}},
    {"2DD", 80, 16, 16, {80, 0, 0}},
    {"2HD", 77, 26, 26, {70, 35, 0}},
};

std::string hexByte(std::uint32_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    return std::string("0x") + digits[(value >> 4) & 15] + digits[value & 15];
}

class N88Volume final : public Volume {
public:
    N88Volume(std::shared_ptr<const Disk> disk, const Geometry& geometry) : Volume(std::move(disk), geometry) {}

    Result<void> load();

    std::string fileSystem() const override { return "N88-BASIC"; }
    std::uint64_t memoryBytes() const override { return n88TableBytes(m_geometry); }
    Result<std::vector<Entry>> folder(std::uint32_t cluster) const override;
    Result<DotEntries> dotEntries(std::uint32_t) const override
    {
        return Error{ENOTDIR, "an N88-BASIC disk has no folders"};
    }
    std::uint32_t next(std::uint32_t cluster) const override
    {
        return cluster < m_fat.size() ? m_fat[cluster] : kFree;
    }
    bool isEnd(std::uint32_t value) const override
    {
        return value >= kEndBase && value <= kEndBase + m_geometry.sectorsPerCluster;
    }
    bool isData(std::uint32_t value) const override
    {
        return value < m_geometry.clusterCount && m_fat[value] != kReserved && m_fat[value] != kFree;
    }

private:
    std::uint64_t clusterOffset(std::uint32_t cluster) const override
    {
        const Geometry& g = m_geometry;
        const std::uint32_t perTrack = m_sectorsPerTrack / g.sectorsPerCluster;
        const std::uint64_t track = cluster / perTrack;
        return (track * m_sectorsPerTrack + std::uint64_t{cluster % perTrack} * g.sectorsPerCluster) * kSectorBytes;
    }
    // fileSize: the bytes of the chain from `first`, checked: in range, no
    // loop, ending in a last cluster's sector count.
    Result<std::uint32_t> fileSize(std::uint32_t first) const;

    std::uint32_t m_sectorsPerTrack = 0;
    std::uint64_t m_systemOffset = 0;
    std::vector<std::uint8_t> m_fat; // the first copy, one byte per cluster
    mutable std::mutex m_lock;
    mutable std::optional<std::vector<Entry>> m_root; // cache
};

// The FAT of the system track at `systemOffset`: its first copy (the track's
// third sector from the end), or the next one the image holds when the dump
// lost that sector; the first copy's error when it lost all three.
Result<void> readFat(const Disk& disk, std::uint64_t systemOffset, std::uint32_t sectorsPerTrack, unsigned char* fat)
{
    std::optional<Error> first;
    for (std::uint32_t copy = 0; copy < 3; ++copy) {
        const std::uint64_t at = systemOffset + std::uint64_t{sectorsPerTrack - 3 + copy} * kSectorBytes;
        Result<void> read = disk.read(at, fat, kSectorBytes);
        if (read)
            return {};
        if (!first)
            first = read.error();
    }
    return *first;
}

// The layout of `g` (found by n88Geometry) and its system track.
const N88Layout* layoutOf(const Geometry& g)
{
    for (const N88Layout& layout : kLayouts)
        if (layout.sectorsPerCluster == g.sectorsPerCluster
            && std::uint64_t{layout.cylinders} * 2 * layout.sectorsPerTrack == g.totalSectors)
            return &layout;
    return nullptr;
}

} // namespace

std::optional<Result<Geometry>> n88Geometry(const Disk& disk)
{
    std::optional<Error> lost;
    for (const N88Layout& layout : kLayouts) {
        const std::uint64_t sectors = std::uint64_t{layout.cylinders} * 2 * layout.sectorsPerTrack;
        if (disk.size() != sectors * kSectorBytes)
            continue;
        const std::uint32_t clusters = static_cast<std::uint32_t>(sectors / layout.sectorsPerCluster);
        const std::uint32_t perTrack = layout.sectorsPerTrack / layout.sectorsPerCluster;
        for (std::uint32_t track : layout.systemTracks) {
            if (track == 0)
                break;
            unsigned char fat[kSectorBytes];
            if (Result<void> read = readFat(disk, std::uint64_t{track} * layout.sectorsPerTrack * kSectorBytes,
                    layout.sectorsPerTrack, fat); !read) {
                if (!lost)
                    lost = Error{read.error().code, "an N88-BASIC " + std::string(layout.name)
                        + " disk, perhaps, whose image lost all three copies of the FAT: " + read.error().message};
                continue;
            }
            // The system track reserves its own clusters.
            bool own = true;
            for (std::uint32_t c = track * perTrack; c < (track + 1) * perTrack; ++c)
                own = own && fat[c] == kReserved;
            if (!own)
                continue;
            Geometry g;
            g.bytesPerSector = kSectorBytes;
            g.sectorsPerCluster = layout.sectorsPerCluster;
            g.reservedSectors = track * layout.sectorsPerTrack; // where the system track starts
            g.fatCount = 3;
            g.rootEntries = (layout.sectorsPerTrack - 4) * (kSectorBytes / kEntryBytes);
            g.totalSectors = sectors;
            g.sectorsPerFat = 1;
            g.fatBits = 8;
            g.clusterCount = clusters;
            g.fromBpb = false;
            return Result<Geometry>(g);
        }
    }
    if (lost)
        return Result<Geometry>(*lost);
    return std::nullopt;
}

std::uint64_t n88TableBytes(const Geometry& geometry)
{
    return geometry.clusterCount + std::uint64_t{geometry.rootEntries} * sizeof(Entry);
}

Result<std::shared_ptr<Volume>> openN88(std::shared_ptr<const Disk> disk, const Geometry& geometry)
{
    auto volume = std::make_shared<N88Volume>(std::move(disk), geometry);
    if (Result<void> loaded = volume->load(); !loaded)
        return loaded.error();
    return std::shared_ptr<Volume>(volume);
}

Result<void> N88Volume::load()
{
    const N88Layout* layout = layoutOf(m_geometry);
    if (!layout)
        return Error{EINVAL, "not an N88-BASIC layout"};
    m_sectorsPerTrack = layout->sectorsPerTrack;
    m_systemOffset = std::uint64_t{m_geometry.reservedSectors} * kSectorBytes;
    std::vector<std::uint8_t> sector(kSectorBytes);
    if (Result<void> read = readFat(*m_disk, m_systemOffset, m_sectorsPerTrack, sector.data()); !read)
        return Error{read.error().code, "the N88-BASIC FAT cannot be read: " + read.error().message};
    m_fat.assign(sector.begin(), sector.begin() + m_geometry.clusterCount);
    return {};
}

Result<std::uint32_t> N88Volume::fileSize(std::uint32_t first) const
{
    const Geometry& g = m_geometry;
    const std::uint64_t clusterBytes = bytesPerCluster();
    std::uint32_t cluster = first;
    for (std::uint32_t count = 1; count <= g.clusterCount; ++count) {
        if (cluster >= g.clusterCount)
            return Error{EIO, "its cluster chain leads to cluster " + std::to_string(cluster) + ", out of range (0 to "
                                  + std::to_string(g.clusterCount - 1) + ") (a damaged image)"};
        const std::uint8_t value = m_fat[cluster];
        if (value == kReserved || value == kFree)
            return Error{EIO, "its cluster chain leads to cluster " + std::to_string(cluster) + ", which the FAT marks "
                                  + (value == kFree ? "free" : "reserved") + " (a damaged image)"};
        if (value >= kEndBase) {
            const std::uint32_t sectors = value - kEndBase;
            if (sectors > g.sectorsPerCluster)
                return Error{EIO, "its last cluster " + std::to_string(cluster) + " has the FAT value " + hexByte(value)
                                      + ", more sectors than a cluster's " + std::to_string(g.sectorsPerCluster)
                                      + " (a damaged image)"};
            return static_cast<std::uint32_t>((count - 1) * clusterBytes + std::uint64_t{sectors} * kSectorBytes);
        }
        cluster = value;
    }
    return Error{EIO, "its cluster chain loops (a damaged image)"};
}

Result<std::vector<Entry>> N88Volume::folder(std::uint32_t cluster) const
{
    if (cluster != 0)
        return Error{ENOTDIR, "an N88-BASIC disk has no folders"};
    {
        std::lock_guard guard(m_lock);
        if (m_root)
            return *m_root;
    }
    std::string raw(std::size_t{m_geometry.rootEntries} * kEntryBytes, '\0');
    if (Result<void> read = m_disk->read(m_systemOffset, raw.data(), raw.size()); !read)
        return Error{read.error().code, "the N88-BASIC directory cannot be read: " + read.error().message};
    std::vector<Entry> entries;
    for (std::size_t at = 0; at + kEntryBytes <= raw.size(); at += kEntryBytes) {
        const auto* e = reinterpret_cast<const unsigned char*>(raw.data() + at);
        if (e[0] == 0xFF)
            break; // never used: nor are those after it
        if (e[0] == 0x00)
            continue; // killed
        // Names are ASCII, or the half-width kana of the machines' character set.
        const bool plain = std::all_of(e, e + 9, [](unsigned char c) {
            return (c >= 0x20 && c < 0x7F) || (c >= 0xA1 && c <= 0xDF);
        });
        std::string base(reinterpret_cast<const char*>(e), 6);
        std::string extension(reinterpret_cast<const char*>(e + 6), 3);
        while (!base.empty() && base.back() == ' ')
            base.pop_back();
        while (!extension.empty() && extension.back() == ' ')
            extension.pop_back();
        std::optional<std::string> b = cp932Text(base);
        std::optional<std::string> x = cp932Text(extension);
        const std::string name = b && x ? (x->empty() ? *b : *b + "." + *x) : std::string();
        if (!plain || base.empty() || !b || !x || !isUsableName(name))
            return Error{EILSEQ, "the directory holds a name that is not a valid N88-BASIC file name (bytes "
                                     + hexBytes(e, 9) + ")"};
        Entry entry;
        entry.name = entry.shortName = name;
        entry.attributes = (e[9] & kWriteProtect) ? kAttrReadOnly : 0;
        entry.cluster = e[10];
        // N88-BASIC keeps no times: the DOS epoch stands in for them.
        entry.mtime = dosTime(0x0021, 0);
        Result<std::uint32_t> size = fileSize(entry.cluster);
        if (!size)
            return Error{size.error().code, name + ": " + size.error().message};
        entry.size = *size;
        entries.push_back(std::move(entry));
    }
    if (std::string problem = duplicateProblem(entries); !problem.empty())
        return Error{EIO, problem};
    std::lock_guard guard(m_lock);
    m_root = entries;
    return entries;
}

} // namespace platform::image::detail
