// Disk images read as drives: the containers that hold a disk's sectors (raw
// sector dumps, D88 and its kin, Anex86 FDI) and read-only readers of the
// file systems on them (FAT12/16/32 and its Human68k variant, N88-BASIC). Pure reading: nothing here ever writes, and every
// size taken from an image is checked against the image before it is used,
// so a damaged or hostile image ends in an Error, in bounded time and memory.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "result.h"

namespace platform::image {

// The errors of one container's damaged images: "a damaged NFD image: why".
struct Damage {
    std::string prefix; // "a damaged NFD image"
    Error operator()(const std::string& why) const { return Error{EINVAL, prefix + ": " + why}; }
};

// ── The image file ──────────────────────────────────────────────────────────

// Bytes of an image file (or of a buffer, in tests), read at any offset.
class ByteFile {
public:
    virtual ~ByteFile() = default;
    // readAt: up to `size` bytes at `offset`; fewer only at the end; -1 on failure (errno set).
    virtual long readAt(std::uint64_t offset, void* buffer, std::size_t size) const = 0;
    virtual std::uint64_t size() const = 0;
};

class MemoryFile final : public ByteFile {
public:
    explicit MemoryFile(std::string bytes) : m_bytes(std::move(bytes)) {}
    long readAt(std::uint64_t offset, void* buffer, std::size_t size) const override;
    std::uint64_t size() const override { return m_bytes.size(); }

private:
    std::string m_bytes;
};

// ── Containers ──────────────────────────────────────────────────────────────

// How disk offsets map to tracks and sectors, when the container says
// (sectorsPerTrack 0: it does not, as for raw images).
struct DiskLayout {
    std::uint32_t sectorSize = 0;
    std::uint32_t sectorsPerTrack = 0;
    std::uint32_t heads = 0;
    std::uint32_t firstRecord = 1; // the record number (R) of a track's first sector
};

// A sector whose bytes the image does not hold as the disk held them.
struct SectorFault {
    std::uint64_t diskOffset = 0;
    std::uint32_t length = 0;
    std::uint32_t cylinder = 0;
    std::uint32_t head = 0;
    std::uint32_t record = 0;
    std::string reason; // "missing from the image", "the dump recorded a data CRC error", ...
};

// The disk's sectors laid end to end (cylinder, head, sector order), as
// stretches of the image file. Parts of the disk that the image does not
// hold read as an error: the end of a truncated dump, or a sector a D88
// lacks or holds with a fault its dump recorded. Such sectors are listed
// with what the image says of them, and a read that meets one names it.
class Disk {
public:
    struct Stretch {
        std::uint64_t diskOffset = 0;
        std::uint64_t fileOffset = 0;
        std::uint64_t length = 0;
    };

    using Layout = DiskLayout;
    using Fault = SectorFault;

    Disk(std::shared_ptr<const ByteFile> file, std::string format, std::vector<Stretch> stretches,
         std::uint64_t size, Layout layout = {}, std::vector<Fault> faults = {});

    // read: exactly `size` bytes at disk offset `offset`; an Error naming the
    // first sector it cannot read and why.
    Result<void> read(std::uint64_t offset, void* buffer, std::size_t size) const;
    // gap: why the image lacks data for part of [offset, offset + size)
    // ("cylinder 2 head 1 sector 7: the dump recorded a data CRC error");
    // nullopt when it holds all of it.
    std::optional<std::string> gap(std::uint64_t offset, std::uint64_t size) const;
    // holds: true when the image has data for all of [offset, offset + size).
    bool holds(std::uint64_t offset, std::uint64_t size) const { return !gap(offset, size); }
    std::uint64_t size() const { return m_size; }
    const std::string& format() const { return m_format; }
    const Layout& layout() const { return m_layout; }
    // faults: the sectors of the disk the image holds no good data for, by disk offset.
    const std::vector<Fault>& faults() const { return m_faults; }
    // sectorSize: the container's own sector size (0 when it does not say, as for raw images).
    std::uint32_t sectorSize = 0;

private:
    std::string hole(std::uint64_t offset) const;
    const Stretch* stretchAt(std::uint64_t offset) const;

    std::shared_ptr<const ByteFile> m_file;
    std::string m_format;
    std::vector<Stretch> m_stretches; // sorted, not overlapping
    std::uint64_t m_size;
    Layout m_layout;
    std::vector<Fault> m_faults; // sorted, not overlapping
};

// A container format: nullopt when the file is not of this format; an Error
// when it is but cannot be used (a damaged header).
using ContainerProbe = std::optional<Result<std::shared_ptr<const Disk>>> (*)(std::shared_ptr<const ByteFile>);

std::optional<Result<std::shared_ptr<const Disk>>> probeD88(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeFdi(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeNfd(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeFdd(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeDim(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeDcp(std::shared_ptr<const ByteFile> file);
// Through libdsk:
std::optional<Result<std::shared_ptr<const Disk>>> probeImd(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeTd0(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeCqm(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeCpcDsk(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeApriDisk(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeCfi(std::shared_ptr<const ByteFile> file);

// The hard disk images of PC-98 emulators (image_hdd.cpp): Anex86 HDI,
// T98-Next NHD, T98 THD, Virtual98 HDD and SL9821 SLH.
std::optional<Result<std::shared_ptr<const Disk>>> probeHdi(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeNhd(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeThd(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeVirtual98(std::shared_ptr<const ByteFile> file);
std::optional<Result<std::shared_ptr<const Disk>>> probeSlh(std::shared_ptr<const ByteFile> file);

// openDisk: the disk inside `file`: D88/D68/D77/D98, FDI, the hard disk
// images (HDI, NHD, THD, HDD, SLH), NFD, FDD, DIM, ImageDisk, TeleDisk, CopyQM,
// ApriDisk and CPC DSK/EDSK by their headers, DCP/DCU by a header of known values that
// fits the file's size, CFI by tracks that unpack to a floppy of a known size,
// anything else as a raw sector image.
Result<std::shared_ptr<const Disk>> openDisk(std::shared_ptr<const ByteFile> file);

// ── File systems ─────────────────────────────────────────────────────────────────────

constexpr std::uint8_t kAttrReadOnly = 0x01;
constexpr std::uint8_t kAttrHidden = 0x02;
constexpr std::uint8_t kAttrSystem = 0x04;
constexpr std::uint8_t kAttrVolume = 0x08;
constexpr std::uint8_t kAttrFolder = 0x10;
constexpr std::uint8_t kAttrLongName = 0x0F;

// bpbVolumeBytes: the bytes of the FAT volume that the BPB of a boot sector
// (its first 64 bytes at `b`) describes; 0 when its values are none a FAT
// volume can have (sector and cluster sizes, reserved sectors, FAT count,
// sector count, media byte).
std::uint64_t bpbVolumeBytes(const unsigned char* b);

struct Entry {
    std::string name;       // UTF-8; the long name when a valid one is present
    std::string shortName;  // UTF-8 form of the 8.3 name ("README.TXT")
    std::uint8_t attributes = 0;
    std::uint32_t cluster = 0; // first cluster; 0 for an empty file
    std::uint32_t size = 0;
    std::int64_t mtime = 0;    // seconds since 1970, the DOS time taken as local time
    bool isFolder() const { return (attributes & kAttrFolder) != 0; }
};

struct Geometry {
    std::uint32_t bytesPerSector = 0;
    std::uint32_t sectorsPerCluster = 0;
    std::uint32_t reservedSectors = 0;
    std::uint32_t fatCount = 0;
    std::uint32_t rootEntries = 0;
    std::uint64_t totalSectors = 0;
    std::uint32_t sectorsPerFat = 0;
    std::uint32_t rootCluster = 0;  // FAT32 only
    std::uint8_t media = 0;
    int fatBits = 0;                // 12, 16 or 32
    std::uint64_t volumeOffset = 0; // where the volume starts on the disk (a partition)
    std::uint32_t clusterCount = 0;
    bool fromBpb = true;            // false: a DOS 1.x medium known by its media byte
    std::string bpbLabel;           // raw 11 bytes of the boot sector's label, CP932
};

// The first clusters that the "." and ".." entries opening a folder name;
// nullopt for either one the folder does not open with.
struct DotEntries {
    std::optional<std::uint32_t> self;
    std::optional<std::uint32_t> parent;
};

struct WalkItem;

// A volume of one of the file systems we read, read only: FAT12/16/32 (with
// the DOS 1.x and MSX-DOS 1 media that carry no BPB), its Human68k variant,
// and N88-BASIC. Files and folders are reached through cluster numbers; 0
// stands for the root folder. Safe to use from several threads.
class Volume : public std::enable_shared_from_this<Volume> {
public:
    virtual ~Volume() = default;

    // open: the volume on `disk`, of the first file system its structures
    // show: its FAT partition `partition` (counted from 1 among the FAT
    // partitions, in table order) of a partitioned image; 0 for the first
    // one, or for the whole disk when it is one volume.
    static Result<std::shared_ptr<Volume>> open(std::shared_ptr<const Disk> disk, unsigned partition = 0);
    // memoryNeeded: what the volume open() gives holds in memory (its
    // tables), found without reading them; the error open() gives for a disk
    // of no file system we read.
    static Result<std::uint64_t> memoryNeeded(const Disk& disk, unsigned partition = 0);
    // geometryOf: what open() takes a FAT volume on `disk` to be, after the
    // checks that the boot sector's values fit the disk and its FAT (a boot
    // sector that fails them gives way to the known format of the disk's size
    // and media byte, else to an Error naming the check); reads no more than
    // the boot sector and the FAT's first entries.
    static Result<Geometry> geometryOf(const Disk& disk, unsigned partition = 0);
    // tableBytes: the memory the FAT of a volume of `geometry` takes once open.
    static std::uint64_t tableBytes(const Geometry& geometry)
    {
        return (std::uint64_t{geometry.clusterCount} + 2) * sizeof(std::uint32_t);
    }

    // fileSystem: "FAT12", "FAT16", "FAT32", "Human68k", "N88-BASIC".
    virtual std::string fileSystem() const = 0;
    const Geometry& geometry() const { return m_geometry; }
    const std::string& format() const { return m_disk->format(); }
    const Disk& disk() const { return *m_disk; }
    // label: the volume's label; empty when it has none.
    const std::string& label() const { return m_label; }
    // memoryBytes: what the open volume keeps in memory beside its folder cache.
    virtual std::uint64_t memoryBytes() const = 0;
    std::uint64_t bytesPerCluster() const
    {
        return std::uint64_t{m_geometry.bytesPerSector} * m_geometry.sectorsPerCluster;
    }

    // folder: the entries of the folder whose first cluster is `cluster`
    // (0 for the root), in their on-disk order, without ".", ".." and labels.
    virtual Result<std::vector<Entry>> folder(std::uint32_t cluster) const = 0;

    // find: the entry that `parts` name below the root (long or short name,
    // exact spelling first, else without regard to case); nullopt when an
    // element does not exist; an Error when the volume cannot be read.
    // No parts: the root, as a folder entry of cluster 0.
    Result<std::optional<Entry>> find(const std::vector<std::string>& parts) const;

    // dotEntries: what the "." and ".." entries opening the folder at `cluster` name.
    virtual Result<DotEntries> dotEntries(std::uint32_t cluster) const = 0;

    // chainLength: the number of clusters in the chain from `cluster`,
    // failing for loops and clusters out of range.
    Result<std::uint32_t> chainLength(std::uint32_t cluster) const;

    // next: the table entry of `cluster` (raw value).
    virtual std::uint32_t next(std::uint32_t cluster) const = 0;
    // isEnd: whether a table value ends a chain.
    virtual bool isEnd(std::uint32_t value) const = 0;
    // isData: whether a table value names a cluster files may hold.
    virtual bool isData(std::uint32_t value) const = 0;
    // clusterHeld: true when the image holds all of cluster `cluster`.
    bool clusterHeld(std::uint32_t cluster) const { return !clusterGap(cluster); }
    // clusterGap: why the image lacks part of cluster `cluster`, in the disk's
    // words ("cylinder 2 head 1 sector 7: missing from the image"); nullopt
    // when it holds all of it.
    std::optional<std::string> clusterGap(std::uint32_t cluster) const;
    // readCluster: `size` bytes at `offset` inside cluster `cluster`.
    Result<void> readCluster(std::uint32_t cluster, std::uint32_t offset, void* buffer, std::size_t size) const;

    // walk: see the free function walk() below.
    virtual Result<void> walk(const Entry& start, bool recurse,
                              const std::function<bool(const WalkItem&)>& visit) const;

protected:
    Volume(std::shared_ptr<const Disk> disk, Geometry geometry) : m_disk(std::move(disk)), m_geometry(geometry) {}
    // clusterOffset: where cluster `cluster` (one isData() accepts) starts on the disk.
    virtual std::uint64_t clusterOffset(std::uint32_t cluster) const = 0;

    std::shared_ptr<const Disk> m_disk;
    Geometry m_geometry;
    std::string m_label;
};

// A file of the volume read front to back.
class FileReader {
public:
    FileReader(std::shared_ptr<const Volume> volume, const Entry& entry);
    // read: up to `size` bytes; 0 at the end; -1 on failure (error() tells why).
    long read(void* buffer, std::size_t size);
    int error() const { return m_error; }
    const std::string& problem() const { return m_problem; }

private:
    std::shared_ptr<const Volume> m_volume;
    std::uint32_t m_cluster;
    std::uint32_t m_inCluster = 0;
    std::uint64_t m_left;
    std::uint32_t m_steps = 0;
    int m_error = 0;
    std::string m_problem;
};

// walk: every entry below the folder `start` (an entry of the volume, or the
// root), parents before their contents, `relative` holding the on-disk names
// from `start` down. Each file's cluster chain is checked on the way (in
// range, no loop, long enough for its size, not shared with another file or
// folder), and folder loops are refused: the first fault ends the walk with
// an Error naming the entry. `visit` returning false ends it with success.
struct WalkItem {
    std::vector<std::string> relative;
    Entry entry;
};
inline Result<void> walk(const Volume& volume, const Entry& start, bool recurse,
                         const std::function<bool(const WalkItem&)>& visit)
{
    return volume.walk(start, recurse, visit);
}

// cp932Name: the UTF-8 text of an 8.3 name field (11 bytes) with its case
// flags (byte 12 of the entry); nullopt when the bytes are not CP932.
std::optional<std::string> cp932Name(const unsigned char* field, std::uint8_t caseFlags);

// shortNameChecksum: the checksum VFAT long-name entries carry of their 8.3 name.
std::uint8_t shortNameChecksum(const unsigned char* field);

// dosTime: a DOS date and time as seconds since 1970, taken as local time.
std::int64_t dosTime(std::uint16_t date, std::uint16_t time);

} // namespace platform::image
