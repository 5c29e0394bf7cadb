// A read-only FAT12/16/32 reader: boot sector or DOS 1.x media byte, the FAT,
// folders with their 8.3 names (CP932) and VFAT long names (or, on Human68k
// disks, their 18.3 names), file data. Also what every file system shares:
// the choice among them, look-ups, file reading and the checked walk.
#include "disk_image.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "codepage.h"
#include "dialect.h"
#include "file_systems.h"
#include "partitions.h"

namespace platform::image {

namespace {

// Bounds that keep a hostile image from taking unbounded memory or time.
constexpr std::uint64_t kMaxFolderBytes = 65536 * 32; // the most entries a FAT folder may have
constexpr std::size_t kMaxCachedBytes = 4u << 20;     // the folders a volume keeps listed
constexpr int kMaxDepth = 128;                        // a 260-character path cannot nest deeper
constexpr std::uint32_t kTableChunk = 1u << 18;       // FAT entries read at a time

// The most clusters each FAT can number: FAT12 and FAT16 end where the next
// type's count begins, FAT32 where its reserved values begin.
constexpr std::uint64_t kMaxFat12Clusters = 4084;
constexpr std::uint64_t kMaxFat16Clusters = 65524;
constexpr std::uint64_t kMaxFat32Clusters = 0x0FFFFFF5 - 2;

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool powerOfTwo(std::uint32_t value, std::uint32_t low, std::uint32_t high)
{
    return value >= low && value <= high && (value & (value - 1)) == 0;
}

std::string hexOf(const unsigned char* bytes, std::size_t size)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

std::string hexValue(std::uint32_t value)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string out;
    do {
        out.insert(out.begin(), digits[value & 15]);
        value >>= 4;
    } while (value);
    return "0x" + out;
}

// 4084 as "4,084": the counts in messages.
std::string grouped(std::uint64_t value)
{
    std::string digits = std::to_string(value);
    for (std::size_t at = digits.size(); at > 3; at -= 3)
        digits.insert(at - 3, ",");
    return digits;
}

std::string plural(std::uint64_t count, const char* one, const char* many)
{
    return grouped(count) + " " + (count == 1 ? one : many);
}

std::optional<std::string> cp932ToUtf8(std::string_view bytes)
{
    if (std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
        return std::string(bytes);
    return codepage::toUtf8(bytes, codepage::kShiftJis);
}

void lowerAscii(std::string& text)
{
    for (char& c : text)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
}

// A name a drive path can hold: UTF-8, no separators, no control characters.
bool usableName(const std::string& name)
{
    if (name.empty() || name == "." || name == ".." || !dialect::isValidUtf8(name))
        return false;
    return std::none_of(name.begin(), name.end(),
        [](char c) { return c == '\\' || c == '/' || static_cast<unsigned char>(c) < 0x20; });
}

// The formats of DOS 1.x and of early PC-98 disks, whose boot sector holds no
// BPB: known by the size of the disk and the media byte that opens the FAT.
// A boot sector whose values do not fit its disk gives way to them too.
struct KnownMedium {
    std::uint64_t diskBytes;
    std::uint8_t media;
    std::uint32_t bytesPerSector, sectorsPerCluster, rootEntries, sectorsPerFat;
};
constexpr KnownMedium kKnownMedia[] = {
    {163840, 0xFE, 512, 1, 64, 1},    // 160 K, 8 sectors, one side
    {184320, 0xFC, 512, 1, 64, 2},    // 180 K, 9 sectors, one side
    {327680, 0xFF, 512, 2, 112, 1},   // 320 K, 8 sectors, two sides
    {368640, 0xFD, 512, 2, 112, 2},   // 360 K
    {655360, 0xFB, 512, 2, 112, 2},   // PC-98 640 K (2DD, 8 sectors)
    {737280, 0xF9, 512, 2, 112, 3},   // 720 K
    {1228800, 0xF9, 512, 1, 224, 7},  // 1.2 M (2HC)
    {1261568, 0xFE, 1024, 1, 192, 2}, // PC-98 1.23 M (2HD, 8 sectors of 1024 bytes)
    {1474560, 0xF0, 512, 1, 224, 9},  // 1.44 M
};

std::uint64_t rootSectorsOf(const Geometry& g)
{
    return (std::uint64_t{g.rootEntries} * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
}

std::uint64_t firstDataSector(const Geometry& g)
{
    return g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat + rootSectorsOf(g);
}

// The sectors a FAT of `bits`-bit entries needs for `clusters` clusters (and
// the two entries before the first).
std::uint64_t fatSectorsNeeded(std::uint64_t clusters, int bits, std::uint32_t bytesPerSector)
{
    const std::uint64_t bytes = ((clusters + 2) * static_cast<std::uint64_t>(bits) + 7) / 8;
    return (bytes + bytesPerSector - 1) / bytesPerSector;
}

// Whether a FAT of `sectors` sectors is no larger than formatters make it for
// `needed` sectors of entries. Those that size the FAT before the clusters
// are counted (DOS and Windows count the FAT's own sectors as clusters) give
// it a few percent more; mkfs.fat rounds it up to whole clusters, so that
// the data area stays aligned. A FAT larger than both describes other
// clusters than the boot sector's: a wrong sectors-per-cluster value.
bool fatSizeFits(std::uint64_t sectors, std::uint64_t needed, std::uint32_t sectorsPerCluster)
{
    const std::uint64_t estimated = needed + needed / 16 + 2;
    if (sectors <= estimated)
        return true;
    const std::uint64_t aligned = (estimated + sectorsPerCluster - 1) / sectorsPerCluster * sectorsPerCluster;
    return sectors % sectorsPerCluster == 0 && sectors <= aligned;
}

// What the boot sector at one place of the disk gives: a geometry whose
// values fit the disk; or the check it fails (`unfit`); or neither, when it
// is not a BPB at all; or `failure`, when the disk cannot be read there.
struct BootSector {
    std::optional<Geometry> geometry;
    std::string unfit;
    std::optional<Error> failure;
};

// The geometry's checks that need only its numbers; empty when they pass.
// Fills in the FAT type and the cluster count.
std::string layoutProblem(Geometry& g)
{
    if (g.fatBits != 32 && (std::uint64_t{g.rootEntries} * 32) % g.bytesPerSector != 0)
        return "the root folder (" + plural(g.rootEntries, "entry", "entries") + " of 32 bytes) does not fill whole "
            + grouped(g.bytesPerSector) + "-byte sectors";
    const std::uint64_t firstData = firstDataSector(g);
    if (firstData >= g.totalSectors)
        return "the reserved sectors, the FATs and the root folder (" + plural(firstData, "sector", "sectors")
            + ") do not fit in the volume's " + plural(g.totalSectors, "sector", "sectors");
    const std::uint64_t clusters = (g.totalSectors - firstData) / g.sectorsPerCluster;
    if (clusters == 0)
        return "the volume has no room for a cluster of " + plural(g.sectorsPerCluster, "sector", "sectors");
    if (g.fatBits == 32) {
        if (clusters > kMaxFat32Clusters)
            return "the volume has " + grouped(clusters) + " clusters, more than FAT32 can number ("
                + grouped(kMaxFat32Clusters) + ")";
    } else if (clusters > kMaxFat16Clusters) {
        return "the volume has " + grouped(clusters) + " clusters, more than FAT16 can number ("
            + grouped(kMaxFat16Clusters) + "), and the boot sector is not a FAT32 one";
    } else {
        // The FAT's type follows from the count of clusters alone.
        g.fatBits = clusters <= kMaxFat12Clusters ? 12 : 16;
    }
    const std::uint64_t needed = fatSectorsNeeded(clusters, g.fatBits, g.bytesPerSector);
    const std::string fat = "the FAT" + std::string(g.fatBits == 32 ? "" : g.fatBits == 16 ? " (FAT16)" : " (FAT12)")
        + " (" + plural(g.sectorsPerFat, "sector", "sectors") + ")";
    if (g.sectorsPerFat < needed)
        return fat + " is too small for " + plural(clusters, "cluster", "clusters") + " (it needs "
            + plural(needed, "sector", "sectors") + ")";
    if (!fatSizeFits(g.sectorsPerFat, needed, g.sectorsPerCluster))
        return fat + " is too large for " + plural(clusters, "cluster", "clusters") + " of "
            + plural(g.sectorsPerCluster, "sector", "sectors") + " (they need " + plural(needed, "sector", "sectors")
            + ")";
    g.clusterCount = static_cast<std::uint32_t>(clusters);
    if (g.fatBits == 32 && (g.rootCluster < 2 || g.rootCluster >= g.clusterCount + 2ull))
        return "the root folder's cluster " + grouped(g.rootCluster) + " is not one of the volume's (2 to "
            + grouped(g.clusterCount + 1ull) + ")";
    return {};
}

// The first two FAT entries as formatters write them: the media byte in the
// low 8 bits of the first, ones above it; an end-of-chain value in the second
// (whose top two bits FAT16 and FAT32 volumes may clear as their dirty and
// error flags). Empty when they are so.
std::string fatStartProblem(const Geometry& g, const unsigned char* head)
{
    std::uint32_t first, second, ones, end, flags;
    switch (g.fatBits) {
    case 12:
        first = le16(head) & 0xFFF;
        second = le16(head + 1) >> 4;
        ones = 0xFFF, end = 0xFF8, flags = 0;
        break;
    case 16:
        first = le16(head);
        second = le16(head + 2);
        ones = 0xFFFF, end = 0xFFF8, flags = 0xC000;
        break;
    default:
        first = le32(head) & 0x0FFFFFFF;
        second = le32(head + 4) & 0x0FFFFFFF;
        ones = 0x0FFFFFFF, end = 0x0FFFFFF8, flags = 0x0C000000;
        break;
    }
    if ((first & 0xFF) != g.media || (first | 0xFF) != ones || (second | flags) < end)
        return "the FAT does not open with the media byte " + hexValue(g.media) + " (its first entries are "
            + hexValue(first) + " and " + hexValue(second) + ")";
    return {};
}

// The BPB at the start of `b` (the volume's first sector, at `volumeOffset` on `disk`).
BootSector readBootSector(const Disk& disk, const unsigned char* b, std::uint64_t volumeOffset)
{
    Geometry g;
    g.bytesPerSector = le16(b + 11);
    g.sectorsPerCluster = b[13];
    g.reservedSectors = le16(b + 14);
    g.fatCount = b[16];
    g.rootEntries = le16(b + 17);
    const std::uint32_t total16 = le16(b + 19);
    g.media = b[21];
    const std::uint32_t fat16 = le16(b + 22);
    const std::uint32_t total32 = le32(b + 32);
    g.totalSectors = total16 ? total16 : total32;
    g.volumeOffset = volumeOffset;
    BootSector boot;
    if (bpbVolumeBytes(b) == 0)
        return boot;
    std::size_t labelAt = 0;
    if (fat16 == 0) {
        g.fatBits = 32;
        g.sectorsPerFat = le32(b + 36);
        g.rootCluster = le32(b + 44);
        if (b[66] == 0x29)
            labelAt = 71;
        if (g.rootEntries != 0)
            boot.unfit = "a FAT32 boot sector (no FAT16 size) that gives the root folder "
                + plural(g.rootEntries, "entry", "entries");
        else if (g.sectorsPerFat == 0)
            boot.unfit = "the FAT has no sectors";
    } else {
        g.sectorsPerFat = fat16;
        if (b[38] == 0x29)
            labelAt = 43;
        if (g.rootEntries == 0)
            boot.unfit = "the root folder has no entries";
    }
    if (boot.unfit.empty())
        boot.unfit = layoutProblem(g);
    if (boot.unfit.empty()) {
        unsigned char head[8];
        const std::uint64_t fatAt = volumeOffset + std::uint64_t{g.reservedSectors} * g.bytesPerSector;
        if (Result<void> read = disk.read(fatAt, head, sizeof head); !read) {
            boot.failure = read.error();
            return boot;
        }
        boot.unfit = fatStartProblem(g, head);
    }
    if (!boot.unfit.empty())
        return boot;
    if (labelAt)
        g.bpbLabel.assign(reinterpret_cast<const char*>(b + labelAt), 11);
    boot.geometry = g;
    return boot;
}

std::string trimmedLabel(const std::string& raw)
{
    std::string label = raw;
    while (!label.empty() && (label.back() == ' ' || label.back() == '\0'))
        label.pop_back();
    if (label == "NO NAME")
        return {};
    if (!label.empty() && static_cast<unsigned char>(label[0]) == 0x05)
        label[0] = static_cast<char>(0xE5);
    std::optional<std::string> text = cp932ToUtf8(label);
    return text && usableName(*text) ? *text : std::string();
}

// A FAT volume; a Human68k one reads its folders' 18.3 names.
class FatVolume final : public Volume {
public:
    FatVolume(std::shared_ptr<const Disk> disk, Geometry geometry, bool human68k)
        : Volume(std::move(disk), geometry), m_human68k(human68k)
    {
    }
    static Result<std::shared_ptr<Volume>> open(std::shared_ptr<const Disk> disk, const Geometry& geometry,
                                                 bool human68k);

    std::string fileSystem() const override
    {
        return m_human68k ? "Human68k" : "FAT" + std::to_string(m_geometry.fatBits);
    }
    std::uint64_t memoryBytes() const override { return tableBytes(m_geometry); }
    Result<std::vector<Entry>> folder(std::uint32_t cluster) const override;
    Result<DotEntries> dotEntries(std::uint32_t cluster) const override;
    std::uint32_t next(std::uint32_t cluster) const override
    {
        return cluster < m_geometry.clusterCount + 2u ? m_fat.get()[cluster] : 0;
    }
    bool isEnd(std::uint32_t value) const override;
    bool isData(std::uint32_t value) const override
    {
        return value >= 2 && value < m_geometry.clusterCount + 2;
    }

private:
    std::uint64_t clusterOffset(std::uint32_t cluster) const override;
    Result<void> loadFat();
    Result<std::string> folderBytes(std::uint32_t cluster) const;
    // entryNames: the name and short name of the 8.3 (or 18.3) entry `e`.
    std::optional<std::string> entryName(const unsigned char* e) const;

    struct FreeTable {
        void operator()(std::uint32_t* table) const { std::free(table); }
    };

    bool m_human68k;
    // The first FAT, one value per cluster number. Zero-filled pages that no
    // FAT sector needs to change are never touched, so the free stretches of
    // a large, mostly empty FAT take no memory.
    std::unique_ptr<std::uint32_t, FreeTable> m_fat;
    mutable std::mutex m_lock;
    mutable std::map<std::uint32_t, std::vector<Entry>> m_folders; // cache
    mutable std::size_t m_cachedBytes = 0;
};

} // namespace

std::uint64_t bpbVolumeBytes(const unsigned char* b)
{
    const std::uint32_t bytesPerSector = le16(b + 11), sectorsPerCluster = b[13], fatCount = b[16], media = b[21];
    const std::uint64_t totalSectors = le16(b + 19) ? le16(b + 19) : le32(b + 32);
    if (!powerOfTwo(bytesPerSector, 128, 4096) || !powerOfTwo(sectorsPerCluster, 1, 128)
        || bytesPerSector * sectorsPerCluster > 256 * 1024 || le16(b + 14) == 0 || fatCount == 0 || fatCount > 4
        || totalSectors == 0 || (media < 0xF8 && media != 0xF0))
        return 0;
    return totalSectors * bytesPerSector;
}

// ── What the readers share ──────────────────────────────────────────────────

namespace detail {

std::optional<std::string> cp932Text(std::string_view bytes)
{
    return cp932ToUtf8(bytes);
}

bool isUsableName(const std::string& name)
{
    return usableName(name);
}

std::string hexBytes(const unsigned char* bytes, std::size_t size)
{
    return hexOf(bytes, size);
}

std::string duplicateProblem(const std::vector<Entry>& entries)
{
    // Two entries of one name (a damaged folder) would leave one of them out
    // of every look-up and copy. Names compare as the drive compares them,
    // long and short names alike.
    std::map<std::u32string, std::size_t> names;
    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& entry = entries[i];
        for (const std::string* name : {&entry.name, &entry.shortName}) {
            const auto [at, added] = names.emplace(dialect::caseFolded(*name), i);
            if (added || at->second == i)
                continue;
            const Entry& earlier = entries[at->second];
            const std::string& other = dialect::sameName(earlier.name, *name) ? earlier.name : earlier.shortName;
            return "two of its entries have the name \"" + other + "\""
                + (other == *name ? std::string() : " (\"" + *name + "\")") + " (a damaged image)";
        }
    }
    return {};
}

} // namespace detail

// ── Names and times ─────────────────────────────────────────────────────────

std::optional<std::string> cp932Name(const unsigned char* field, std::uint8_t caseFlags)
{
    std::string base(reinterpret_cast<const char*>(field), 8);
    std::string extension(reinterpret_cast<const char*>(field + 8), 3);
    // 0xE5 marks a deleted entry, so a name starting with that byte (a CP932 lead byte) keeps 0x05.
    if (static_cast<unsigned char>(base[0]) == 0x05)
        base[0] = static_cast<char>(0xE5);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    while (!extension.empty() && extension.back() == ' ')
        extension.pop_back();
    // Decoded as wholes, so that a trail byte 0x5C ("ソ", "表") stays part of its character.
    std::optional<std::string> b = cp932ToUtf8(base);
    std::optional<std::string> e = cp932ToUtf8(extension);
    if (!b || !e)
        return std::nullopt;
    if (caseFlags & 0x08)
        lowerAscii(*b);
    if (caseFlags & 0x10)
        lowerAscii(*e);
    return e->empty() ? *b : *b + "." + *e;
}

std::uint8_t shortNameChecksum(const unsigned char* field)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + field[i]);
    return sum;
}

std::int64_t dosTime(std::uint16_t date, std::uint16_t time)
{
    std::tm t{};
    t.tm_year = 80 + (date >> 9);
    t.tm_mon = std::clamp((date >> 5) & 15, 1, 12) - 1;
    t.tm_mday = std::max(date & 31, 1);
    t.tm_hour = std::min(time >> 11, 23);
    t.tm_min = std::min((time >> 5) & 63, 59);
    t.tm_sec = std::min((time & 31) * 2, 58);
    t.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&t));
}

// ── The volume ──────────────────────────────────────────────────────────────

Result<Geometry> Volume::geometryOf(const Disk& disk, unsigned partition)
{
    unsigned char sector[512];
    if (disk.size() < sizeof sector)
        return Error{EINVAL, "too small for a FAT disk"};
    if (Result<void> read = disk.read(0, sector, sizeof sector); !read)
        return read.error();

    BootSector boot = readBootSector(disk, sector, 0);
    if (boot.failure)
        return *boot.failure;
    if (boot.geometry && partition > 1)
        return Error{ENOENT, "the disk is one FAT volume, without partitions: there is no partition #"
            + std::to_string(partition)};
    if (!boot.geometry) {
        // A partitioned disk: its FAT partition of that number (the first by default).
        Result<std::optional<Partition>> chosen = fatPartition(disk, partition);
        if (!chosen)
            return chosen.error();
        if (!*chosen && partition > 1)
            return Error{ENOENT, "the disk has no partition table: there is no partition #" + std::to_string(partition)};
        if (*chosen) {
            const Partition& p = **chosen;
            unsigned char first[512];
            if (p.length < sizeof first)
                return Error{EINVAL, p.describe() + " is too small for a FAT volume"};
            if (Result<void> read = disk.read(p.offset, first, sizeof first); !read)
                return Error{read.error().code, p.describe() + ": " + read.error().message};
            BootSector found = readBootSector(disk, first, p.offset);
            if (found.failure)
                return Error{found.failure->code, p.describe() + ": " + found.failure->message};
            if (!found.geometry)
                return Error{EINVAL, p.describe() + (found.unfit.empty() ? ": no FAT boot sector at its start"
                    : ": the boot sector's values do not fit the volume: " + found.unfit)};
            const std::uint64_t volumeBytes = found.geometry->totalSectors * found.geometry->bytesPerSector;
            if (volumeBytes > p.length)
                return Error{EINVAL, p.describe() + ": its FAT volume (" + std::to_string(volumeBytes)
                    + " bytes) is larger than the partition (" + std::to_string(p.length) + " bytes)"};
            return *found.geometry;
        }
    }
    if (boot.geometry)
        return *boot.geometry;
    // DOS 1.x media, and disks whose boot sector is wrong about them: the
    // first FAT sector opens with the media byte and two 0xFF.
    for (const KnownMedium& known : kKnownMedia) {
        if (disk.size() != known.diskBytes)
            continue;
        unsigned char fat[3];
        if (!disk.read(known.bytesPerSector, fat, sizeof fat) || fat[0] != known.media || fat[1] != 0xFF
            || fat[2] != 0xFF)
            continue;
        Geometry g;
        g.bytesPerSector = known.bytesPerSector;
        g.sectorsPerCluster = known.sectorsPerCluster;
        g.reservedSectors = 1;
        g.fatCount = 2;
        g.rootEntries = known.rootEntries;
        g.totalSectors = known.diskBytes / known.bytesPerSector;
        g.sectorsPerFat = known.sectorsPerFat;
        g.media = known.media;
        g.fromBpb = false;
        if (!layoutProblem(g).empty())
            continue;
        return g;
    }
    if (!boot.unfit.empty())
        return Error{EINVAL, "the boot sector's values do not fit the disk: " + boot.unfit};
    return Error{EINVAL, "not a FAT disk: no usable boot sector, partition or known media byte"};
}

namespace {

// The refusal of a disk that holds none of the file systems we read: what
// the FAT reader found, in words that name them all.
Error noFileSystem(const Error& fat)
{
    const std::string prefix = "not a FAT disk: ";
    if (fat.message.compare(0, prefix.size(), prefix) == 0)
        return Error{fat.code, "not a FAT, Human68k or N88-BASIC disk: " + fat.message.substr(prefix.size())
                                   + ", nor an N88-BASIC system track"};
    return fat;
}

} // namespace

Result<std::uint64_t> Volume::memoryNeeded(const Disk& disk, unsigned partition)
{
    Result<Geometry> geometry = geometryOf(disk, partition);
    if (partition <= 1 && (!geometry || !geometry->fromBpb))
        if (std::optional<Result<Geometry>> n88 = detail::n88Geometry(disk)) {
            if (!*n88)
                return n88->error();
            return detail::n88TableBytes(**n88);
        }
    if (geometry)
        return tableBytes(*geometry);
    return noFileSystem(geometry.error());
}

Result<std::shared_ptr<Volume>> Volume::open(std::shared_ptr<const Disk> disk, unsigned partition)
{
    Result<Geometry> geometry = geometryOf(*disk, partition);
    // A boot sector's BPB says what the disk is; an N88-BASIC system track
    // outweighs a media byte that only happens to fit (an N88-BASIC IPL
    // track may hold 0xFF where a DOS 1.x FAT would start).
    if (partition <= 1 && (!geometry || !geometry->fromBpb))
        if (std::optional<Result<Geometry>> n88 = detail::n88Geometry(*disk)) {
            if (!*n88)
                return n88->error();
            return detail::openN88(std::move(disk), **n88);
        }
    if (!geometry)
        return noFileSystem(geometry.error());
    Result<bool> human68k = detail::human68kBoot(*disk, *geometry);
    if (!human68k)
        return human68k.error();
    return FatVolume::open(std::move(disk), *geometry, *human68k);
}

Result<std::shared_ptr<Volume>> FatVolume::open(std::shared_ptr<const Disk> disk, const Geometry& geometry,
                                                bool human68k)
{
    std::shared_ptr<FatVolume> volume = std::make_shared<FatVolume>(std::move(disk), geometry, human68k);
    if (Result<void> loaded = volume->loadFat(); !loaded)
        return loaded.error();
    // The label: the root folder's label entry, else the boot sector's.
    Result<std::string> root = volume->folderBytes(0);
    if (!root)
        return root.error();
    for (std::size_t at = 0; at + 32 <= root->size(); at += 32) {
        const auto* e = reinterpret_cast<const unsigned char*>(root->data() + at);
        if (e[0] == 0x00)
            break;
        if (e[0] != 0xE5 && (e[11] & kAttrVolume) && (e[11] & 0x3F) != kAttrLongName) {
            std::string raw(reinterpret_cast<const char*>(e), 11);
            if (human68k) {
                // Human68k labels run on into bytes 12 to 21, as names do.
                std::string more(reinterpret_cast<const char*>(e + 12), 10);
                more.resize(std::min(more.find('\0'), more.size()));
                raw += more;
            }
            volume->m_label = trimmedLabel(raw);
            return std::shared_ptr<Volume>(volume);
        }
    }
    volume->m_label = trimmedLabel(volume->m_geometry.bpbLabel);
    return std::shared_ptr<Volume>(volume);
}

Result<void> FatVolume::loadFat()
{
    const Geometry& g = m_geometry;
    const std::uint64_t entries = std::uint64_t{g.clusterCount} + 2;
    // calloc: a large table comes as fresh zero pages, which stay untouched
    // (and take no memory) where the FAT holds only free clusters.
    m_fat.reset(static_cast<std::uint32_t*>(std::calloc(static_cast<std::size_t>(entries), sizeof(std::uint32_t))));
    if (!m_fat)
        return Error{ENOMEM, "no memory for the FAT of " + plural(g.clusterCount, "cluster", "clusters")};
    std::uint32_t* table = m_fat.get();
    const std::uint64_t fatAt = g.volumeOffset + std::uint64_t{g.reservedSectors} * g.bytesPerSector;
    // Read a chunk of entries at a time (an even count, so that FAT12 chunks start on a byte).
    std::vector<unsigned char> chunk(static_cast<std::size_t>(kTableChunk) * g.fatBits / 8 + 1);
    for (std::uint64_t first = 0; first < entries; first += kTableChunk) {
        const std::uint32_t count = static_cast<std::uint32_t>(std::min<std::uint64_t>(kTableChunk, entries - first));
        const std::uint64_t offset = first * static_cast<std::uint64_t>(g.fatBits) / 8;
        const std::size_t bytes = static_cast<std::size_t>((std::uint64_t{count} * g.fatBits + 7) / 8);
        if (Result<void> read = m_disk->read(fatAt + offset, chunk.data(), bytes); !read)
            return Error{read.error().code, "the FAT cannot be read: " + read.error().message};
        const unsigned char* f = chunk.data();
        if (f[0] == 0 && std::memcmp(f, f + 1, bytes - 1) == 0)
            continue; // free clusters: the table is zero there already
        std::uint32_t* out = table + first;
        switch (g.fatBits) {
        case 12:
            for (std::uint32_t n = 0; n < count; ++n) {
                const std::uint16_t pair = le16(f + n * 3 / 2);
                out[n] = (n & 1) ? pair >> 4 : pair & 0xFFF;
            }
            break;
        case 16:
            for (std::uint32_t n = 0; n < count; ++n)
                out[n] = le16(f + 2 * n);
            break;
        default:
            for (std::uint32_t n = 0; n < count; ++n)
                out[n] = le32(f + 4 * std::size_t{n}) & 0x0FFFFFFF;
            break;
        }
    }
    return {};
}

bool FatVolume::isEnd(std::uint32_t value) const
{
    switch (m_geometry.fatBits) {
    case 12:
        return value >= 0xFF8;
    case 16:
        return value >= 0xFFF8;
    default:
        return value >= 0x0FFFFFF8;
    }
}

std::uint64_t FatVolume::clusterOffset(std::uint32_t cluster) const
{
    const Geometry& g = m_geometry;
    const std::uint64_t rootSectors = (std::uint64_t{g.rootEntries} * 32 + g.bytesPerSector - 1) / g.bytesPerSector;
    const std::uint64_t firstData = g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat + rootSectors;
    return g.volumeOffset + (firstData + std::uint64_t{cluster - 2} * g.sectorsPerCluster) * g.bytesPerSector;
}

std::optional<std::string> Volume::clusterGap(std::uint32_t cluster) const
{
    if (!isData(cluster))
        return "cluster " + std::to_string(cluster) + " is out of range";
    return m_disk->gap(clusterOffset(cluster), bytesPerCluster());
}

Result<void> Volume::readCluster(std::uint32_t cluster, std::uint32_t offset, void* buffer, std::size_t size) const
{
    if (!isData(cluster) || offset + size > bytesPerCluster())
        return Error{EIO, "cluster " + std::to_string(cluster) + " is out of range"};
    return m_disk->read(clusterOffset(cluster) + offset, buffer, size);
}

Result<std::uint32_t> Volume::chainLength(std::uint32_t cluster) const
{
    std::uint32_t count = 0;
    while (true) {
        if (!isData(cluster))
            return Error{EIO, "a cluster chain leads to cluster " + std::to_string(cluster) + ", out of range"};
        if (++count > m_geometry.clusterCount)
            return Error{EIO, "a cluster chain loops"};
        const std::uint32_t following = next(cluster);
        if (isEnd(following))
            return count;
        cluster = following;
    }
}

Result<std::string> FatVolume::folderBytes(std::uint32_t cluster) const
{
    const Geometry& g = m_geometry;
    if (cluster == 0 && g.fatBits != 32) {
        std::string bytes(std::size_t{g.rootEntries} * 32, '\0');
        const std::uint64_t at = g.volumeOffset
            + (g.reservedSectors + std::uint64_t{g.fatCount} * g.sectorsPerFat) * g.bytesPerSector;
        if (Result<void> read = m_disk->read(at, bytes.data(), bytes.size()); !read)
            return read.error();
        return bytes;
    }
    if (cluster == 0)
        cluster = g.rootCluster;
    Result<std::uint32_t> length = chainLength(cluster);
    if (!length)
        return length.error();
    const std::uint64_t total = std::uint64_t{*length} * bytesPerCluster();
    if (total > kMaxFolderBytes + bytesPerCluster())
        return Error{EFBIG, "a folder is longer than a FAT folder can be"};
    std::string bytes(static_cast<std::size_t>(total), '\0');
    for (std::uint64_t at = 0; at < total; at += bytesPerCluster()) {
        if (Result<void> read = readCluster(cluster, 0, bytes.data() + at, bytesPerCluster()); !read)
            return read.error();
        cluster = next(cluster);
    }
    return bytes;
}

Result<DotEntries> FatVolume::dotEntries(std::uint32_t cluster) const
{
    DotEntries dots;
    unsigned char e[64];
    if (Result<void> read = readCluster(cluster, 0, e, sizeof e); !read)
        return read.error();
    auto named = [&](const unsigned char* entry) -> std::uint32_t {
        std::uint32_t first = le16(entry + 26);
        if (m_geometry.fatBits == 32)
            first |= std::uint32_t{le16(entry + 20)} << 16;
        return first;
    };
    if (std::memcmp(e, ".          ", 11) == 0 && (e[11] & kAttrFolder) && (e[11] & 0x3F) != kAttrLongName)
        dots.self = named(e);
    if (std::memcmp(e + 32, "..         ", 11) == 0 && (e[43] & kAttrFolder) && (e[43] & 0x3F) != kAttrLongName)
        dots.parent = named(e + 32);
    return dots;
}

Result<std::vector<Entry>> FatVolume::folder(std::uint32_t cluster) const
{
    {
        std::lock_guard guard(m_lock);
        if (auto found = m_folders.find(cluster); found != m_folders.end())
            return found->second;
    }
    Result<std::string> raw = folderBytes(cluster);
    if (!raw)
        return raw.error();
    std::vector<Entry> entries;
    // The long name being gathered: its pieces by ordinal, the checksum, the next ordinal due.
    std::vector<std::vector<std::uint16_t>> pieces;
    std::uint8_t checksum = 0;
    int due = 0;
    auto forget = [&] {
        pieces.clear();
        due = 0;
    };
    for (std::size_t at = 0; at + 32 <= raw->size(); at += 32) {
        const auto* e = reinterpret_cast<const unsigned char*>(raw->data() + at);
        if (e[0] == 0x00)
            break;
        if (e[0] == 0xE5) {
            forget();
            continue;
        }
        const std::uint8_t attributes = e[11];
        if ((attributes & 0x3F) == kAttrLongName) {
            const int ordinal = e[0] & 0x3F;
            if (e[0] & 0x40) {
                if (ordinal == 0 || ordinal > 20) {
                    forget();
                    continue;
                }
                pieces.assign(static_cast<std::size_t>(ordinal), {});
                checksum = e[13];
                due = ordinal;
            } else if (due == 0 || ordinal != due || e[13] != checksum) {
                forget();
                continue;
            }
            std::vector<std::uint16_t>& piece = pieces[static_cast<std::size_t>(ordinal - 1)];
            for (int offset : {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30})
                piece.push_back(le16(e + offset));
            --due;
            continue;
        }
        if (attributes & kAttrVolume) {
            forget();
            continue;
        }
        if (e[0] == '.' && (std::memcmp(e, ".          ", 11) == 0 || std::memcmp(e, "..         ", 11) == 0)) {
            forget();
            continue;
        }
        Entry entry;
        if (m_human68k) {
            // Human68k has no long-name entries; bytes 12 to 21 carry the
            // rest of the name.
            std::optional<std::string> name = detail::human68kName(e);
            if (!name || !usableName(*name))
                return Error{EILSEQ, "a folder holds a name that is not a valid Shift-JIS file name (bytes "
                                         + hexOf(e, 22) + ")"};
            entry.name = entry.shortName = *name;
            entry.attributes = attributes;
            entry.cluster = le16(e + 26);
            entry.size = entry.isFolder() ? 0 : le32(e + 28);
            entry.mtime = dosTime(le16(e + 24), le16(e + 22));
            entries.push_back(std::move(entry));
            continue;
        }
        std::optional<std::string> shortName = cp932Name(e, e[12]);
        if (!shortName || !usableName(*shortName))
            return Error{EILSEQ, "a folder holds a name that is not a valid CP932 file name (bytes "
                                     + hexOf(e, 11) + ")"};
        entry.shortName = *shortName;
        entry.name = *shortName;
        if (!pieces.empty() && due == 0 && checksum == shortNameChecksum(e)) {
            std::vector<std::uint16_t> units;
            for (const auto& piece : pieces)
                units.insert(units.end(), piece.begin(), piece.end());
            const auto end = std::find(units.begin(), units.end(), 0);
            units.erase(end, units.end());
            if (std::optional<std::string> longName = dialect::utf16ToUtf8(units); longName && usableName(*longName))
                entry.name = *longName;
        }
        forget();
        entry.attributes = attributes;
        entry.cluster = le16(e + 26);
        if (m_geometry.fatBits == 32)
            entry.cluster |= std::uint32_t{le16(e + 20)} << 16;
        entry.size = entry.isFolder() ? 0 : le32(e + 28);
        entry.mtime = dosTime(le16(e + 24), le16(e + 22));
        entries.push_back(std::move(entry));
    }
    // Two entries of one name (a damaged folder) would leave one of them out
    // of every look-up and copy: the folder is refused.
    if (std::string problem = detail::duplicateProblem(entries); !problem.empty())
        return Error{EIO, problem};
    std::size_t bytes = 0;
    for (const Entry& entry : entries)
        bytes += sizeof(Entry) + entry.name.size() + entry.shortName.size();
    std::lock_guard guard(m_lock);
    if (m_cachedBytes + bytes > kMaxCachedBytes) {
        m_folders.clear();
        m_cachedBytes = 0;
    }
    if (bytes <= kMaxCachedBytes) {
        m_cachedBytes += bytes;
        m_folders.emplace(cluster, entries);
    }
    return entries;
}

Result<std::optional<Entry>> Volume::find(const std::vector<std::string>& parts) const
{
    Entry current;
    current.attributes = kAttrFolder;
    for (const std::string& part : parts) {
        if (!current.isFolder())
            return std::optional<Entry>();
        Result<std::vector<Entry>> entries = folder(current.cluster);
        if (!entries) {
            std::string where;
            for (std::size_t i = 0; &parts[i] != &part; ++i)
                where += (where.empty() ? "" : "\\") + parts[i];
            return Error{entries.error().code,
                (where.empty() ? std::string("the root folder") : where) + ": " + entries.error().message};
        }
        const Entry* match = nullptr;
        for (const Entry& e : *entries)
            if (e.name == part || e.shortName == part) {
                match = &e;
                break;
            }
        for (std::size_t i = 0; !match && i < entries->size(); ++i) {
            const Entry& e = (*entries)[i];
            if (dialect::sameName(e.name, part) || dialect::sameName(e.shortName, part))
                match = &e;
        }
        if (!match)
            return std::optional<Entry>();
        if (match->isFolder() && match->cluster == 0)
            return Error{EIO, "the folder \"" + part + "\" points at the root folder"};
        current = *match;
    }
    return std::optional<Entry>(current);
}

// ── Reading a file ──────────────────────────────────────────────────────────

FileReader::FileReader(std::shared_ptr<const Volume> volume, const Entry& entry)
    : m_volume(std::move(volume)), m_cluster(entry.cluster), m_left(entry.size)
{
}

long FileReader::read(void* buffer, std::size_t size)
{
    if (m_error)
        return -1;
    auto fail = [&](const std::string& why) {
        m_error = EIO;
        m_problem = why;
        return -1L;
    };
    std::size_t done = 0;
    auto* out = static_cast<unsigned char*>(buffer);
    const std::uint64_t clusterBytes = m_volume->bytesPerCluster();
    while (done < size && m_left > 0) {
        if (m_inCluster == clusterBytes) {
            const std::uint32_t following = m_volume->next(m_cluster);
            if (m_volume->isEnd(following) || !m_volume->isData(following))
                return fail("the file's cluster chain ends before its size");
            if (++m_steps > m_volume->geometry().clusterCount)
                return fail("the file's cluster chain loops");
            m_cluster = following;
            m_inCluster = 0;
        }
        const std::size_t count = static_cast<std::size_t>(
            std::min<std::uint64_t>({size - done, m_left, clusterBytes - m_inCluster}));
        if (Result<void> read = m_volume->readCluster(m_cluster, m_inCluster, out + done, count); !read)
            return fail(read.error().message);
        done += count;
        m_left -= count;
        m_inCluster += static_cast<std::uint32_t>(count);
    }
    return static_cast<long>(done);
}

// ── The walk ────────────────────────────────────────────────────────────────

namespace {

struct FatWalker {
    const Volume& volume;
    bool recurse;
    const std::function<bool(const WalkItem&)>& visit;
    std::vector<bool> used;                 // clusters already owned by a file or folder
    std::set<std::uint32_t> visitedFolders; // first clusters of the folders entered
    std::uint32_t startCluster = 0;         // the folder the walk began in (0: the root)
    std::uint32_t startChain = 0;           // its chain, claimed first (none for a FAT12/16 root)
    bool stopped = false;

    static std::string pathOf(const std::vector<std::string>& relative)
    {
        std::string text;
        for (const std::string& part : relative)
            text += (text.empty() ? "" : "\\") + part;
        return text;
    }

    // Marks the chain from `cluster`, which must hold at least `needed` clusters.
    Result<void> claim(std::uint32_t cluster, std::uint64_t needed, const std::vector<std::string>& relative)
    {
        const std::uint32_t limit = volume.geometry().clusterCount;
        std::uint32_t count = 0;
        while (true) {
            if (!volume.isData(cluster))
                return Error{EIO, pathOf(relative) + ": its cluster chain leads to cluster " + std::to_string(cluster)
                                      + ", out of range (a damaged image)"};
            if (used[cluster])
                return crossed(cluster, count, relative);
            used[cluster] = true;
            // Only the clusters a file needs must be there: a chain may run on past the size.
            if (count < needed) {
                if (std::optional<std::string> gap = volume.clusterGap(cluster))
                    return Error{EIO, (relative.empty() ? std::string("the root folder") : pathOf(relative)) + ": "
                                          + *gap};
            }
            if (++count > limit)
                return Error{EIO, pathOf(relative) + ": its cluster chain loops (a damaged image)"};
            const std::uint32_t following = volume.next(cluster);
            if (volume.isEnd(following))
                break;
            cluster = following;
        }
        if (count < needed)
            return Error{EIO, pathOf(relative) + ": its size is longer than its cluster chain (a damaged image)"};
        return {};
    }

    std::string nameOf(const std::vector<std::string>& relative) const
    {
        if (!relative.empty())
            return pathOf(relative);
        return startCluster == 0 ? "the root folder" : "the folder walked";
    }

    // Whether the chain from `cluster` (one checked already) holds `target`.
    bool chainHolds(std::uint32_t cluster, std::uint32_t target) const
    {
        for (std::uint32_t count = 0; volume.isData(cluster) && count <= volume.geometry().clusterCount; ++count) {
            if (cluster == target)
                return true;
            const std::uint32_t following = volume.next(cluster);
            if (volume.isEnd(following))
                break;
            cluster = following;
        }
        return false;
    }

    // The first entry in the walk's order whose chain holds `target`, as its
    // path in `relative`, searched for below `cluster` as far as `faulty`
    // (which is its own owner when no earlier entry is: its chain loops).
    bool findOwner(std::uint32_t cluster, std::vector<std::string>& relative, std::uint32_t target,
                   const std::vector<std::string>& faulty, int depth) const
    {
        Result<std::vector<Entry>> listed = volume.folder(cluster);
        if (!listed || depth > kMaxDepth)
            return false;
        std::vector<Entry> entries = std::move(listed).value();
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        for (const Entry& entry : entries) {
            relative.push_back(entry.name);
            if (relative == faulty)
                return true;
            if ((entry.isFolder() || entry.size > 0) && chainHolds(entry.cluster, target))
                return true;
            if (entry.isFolder() && recurse && findOwner(entry.cluster, relative, target, faulty, depth + 1))
                return true;
            relative.pop_back();
        }
        return false;
    }

    // The chain of `faulty` reaches `cluster`, which an earlier chain (or its
    // own) holds already: the error names both. Only the faulty chain is
    // marked as it is followed, so its owner is found by going over the
    // entries walked so far once more.
    Error crossed(std::uint32_t cluster, std::uint32_t count, const std::vector<std::string>& faulty) const
    {
        std::vector<std::string> owner;
        const bool found = (startChain != 0 && chainHolds(startChain, cluster))
            || findOwner(startCluster, owner, cluster, faulty, 0);
        const std::string at = " at cluster " + std::to_string(cluster) + " (a damaged image)";
        if (found && owner == faulty)
            return Error{EIO, nameOf(faulty) + ": its cluster chain loops" + at};
        const std::string other = found ? nameOf(owner) : std::string("another entry");
        return Error{EIO, nameOf(faulty) + ": its cluster chain " + (count ? "runs into" : "starts in")
                              + " another chain, that of " + other + "," + at};
    }

    // A folder opens with "." naming itself and ".." naming its parent (0 for
    // the root; FAT32 writers differ there, some name the root's cluster).
    Result<void> checkDots(std::uint32_t cluster, std::optional<std::uint32_t> parent,
                           const std::vector<std::string>& relative) const
    {
        Result<DotEntries> dots = volume.dotEntries(cluster);
        if (!dots)
            return Error{dots.error().code, pathOf(relative) + ": " + dots.error().message};
        if (!dots->self || !dots->parent)
            return Error{EIO, pathOf(relative) + ": the folder does not open with its \".\" and \"..\" entries "
                                  "(a damaged image)"};
        if (*dots->self != cluster)
            return Error{EIO, pathOf(relative) + ": its \".\" entry names cluster " + std::to_string(*dots->self)
                                  + ", not the folder's own cluster " + std::to_string(cluster) + " (a damaged image)"};
        const Geometry& g = volume.geometry();
        if (parent && *dots->parent != *parent && !(*parent == 0 && g.fatBits == 32 && *dots->parent == g.rootCluster))
            return Error{EIO, pathOf(relative) + ": its \"..\" entry names cluster " + std::to_string(*dots->parent)
                                  + ", not its parent folder's "
                                  + (*parent == 0 ? std::string("(0, the root folder)") : "cluster " + std::to_string(*parent))
                                  + " (a damaged image)"};
        return {};
    }

    Result<void> walkFolder(std::uint32_t cluster, std::vector<std::string>& relative, int depth)
    {
        if (depth > kMaxDepth)
            return Error{ELOOP, pathOf(relative) + ": folders nested too deep (a damaged image)"};
        Result<std::vector<Entry>> listed = volume.folder(cluster);
        if (!listed)
            return Error{listed.error().code,
                (relative.empty() ? std::string("the root folder") : pathOf(relative)) + ": " + listed.error().message};
        std::vector<Entry> entries = std::move(listed).value();
        std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) { return a.name < b.name; });
        for (const Entry& entry : entries) {
            relative.push_back(entry.name);
            if (entry.isFolder()) {
                if (entry.cluster == 0 || !visitedFolders.insert(entry.cluster).second) {
                    return Error{ELOOP, pathOf(relative) + ": the folder is its own ancestor or another folder's "
                                            "(a folder loop in a damaged image)"};
                }
                if (Result<void> claimed = claim(entry.cluster, 1, relative); !claimed)
                    return claimed;
                if (Result<void> dots = checkDots(entry.cluster, cluster, relative); !dots)
                    return dots;
            } else if (entry.size > 0) {
                const std::uint64_t needed = (entry.size + volume.bytesPerCluster() - 1) / volume.bytesPerCluster();
                if (Result<void> claimed = claim(entry.cluster, needed, relative); !claimed)
                    return claimed;
            }
            if (!visit(WalkItem{relative, entry})) {
                stopped = true;
                return {};
            }
            if (entry.isFolder() && recurse) {
                Result<void> inner = walkFolder(entry.cluster, relative, depth + 1);
                if (!inner || stopped)
                    return inner;
            }
            relative.pop_back();
        }
        return {};
    }
};

} // namespace

Result<void> Volume::walk(const Entry& start, bool recurse, const std::function<bool(const WalkItem&)>& visit) const
{
    const Volume& volume = *this;
    FatWalker walker{volume, recurse, visit, {}, {}};
    walker.used.assign(std::size_t{volume.geometry().clusterCount} + 2, false);
    walker.startCluster = start.cluster;
    std::uint32_t first = start.cluster;
    if (first == 0 && volume.geometry().fatBits == 32)
        first = volume.geometry().rootCluster;
    std::vector<std::string> relative;
    if (first != 0) {
        walker.visitedFolders.insert(first);
        walker.startChain = first;
        if (Result<void> claimed = walker.claim(first, 1, relative); !claimed)
            return claimed;
        // A folder below the root: its "." is checked here, its ".." by whoever found it.
        if (start.cluster != 0)
            if (Result<void> dots = walker.checkDots(start.cluster, std::nullopt, relative); !dots)
                return dots;
    }
    walker.visitedFolders.insert(start.cluster);
    return walker.walkFolder(start.cluster, relative, 0);
}

} // namespace platform::image
