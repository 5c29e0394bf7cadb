// Disk images for the tests: made by mtools and dosfstools, wrapped in D88
// and FDI containers after their published layouts, or built byte by byte
// for the damaged ones no tool would write.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace testsupport {

// A format the tests make with mformat or mkfs.fat.
struct ImageFormat {
    std::string name;        // for test names
    std::string make;        // shell command making the empty image at $IMG (with $LABEL)
    std::string mtoolsTarget; // what mtools commands take after -i ("$IMG", "$IMG@@1M")
    std::uint32_t sectorSize = 512;
    std::uint32_t sectorsPerTrack = 18;
    std::uint32_t heads = 2;
};

// The formats of the round trips: 720 K, 1.44 M, 1.2 M, the PC-98 1.23 M of
// 1024-byte sectors, FAT16 and FAT32 by mkfs.fat, and a partitioned card image.
std::vector<ImageFormat> imageFormats();

// imageFormat: the format of imageFormats() named `name`; an empty one when none is.
ImageFormat imageFormat(const std::string& name);

// The files the tests put on every image: long names, Japanese names,
// subfolders, an empty folder, empty and large files; the hidden, system and
// read-only ones are marked by name.
struct SampleFile {
    std::string path;     // "SUB/DATA.BIN"; a trailing "/" makes a folder
    std::string content;
    char attribute = 0;   // 'h', 's', 'r' or 0
};
std::vector<SampleFile> sampleFiles();

// makeImage: an image of `format` at `image` holding sampleFiles() with the
// label `label`; the files' times are set before they are copied in. Fails the
// test when a tool fails.
void makeImage(const ImageFormat& format, const std::string& image, const std::string& label);

// mtoolsExtract: `mcopy -s -m` of the whole image into `folder` (made here).
void mtoolsExtract(const ImageFormat& format, const std::string& image, const std::string& folder);

// d88Of / fdiOf: the raw sector image `raw` in a D88 container (each track's
// sectors stored in reverse order, as interleaved dumps have them) or an FDI one.
std::string d88Of(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                  std::uint32_t heads, std::uint8_t mediaType = 0x20);
std::string fdiOf(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                  std::uint32_t heads, std::uint32_t driveType = 0x90);

// A D88 as a list of tracks of sector records, for the tests to damage before
// writing it out: records may be dropped, added, relabelled or given another
// N, size or status, and a table entry may point at another track's bytes.
struct D88Record {
    std::uint8_t c = 0, h = 0, r = 0, n = 0;
    std::uint8_t status = 0;  // 0x00 normal, 0x10 deleted data, 0xB0 data CRC error, ...
    std::string data;
    int sizeField = -1;       // the data size the header gives; -1: data.size()
    int countField = -1;      // the sectors-in-track the header gives; -1: the track's record count
};
struct D88Layout {
    std::uint8_t media = 0x20;
    std::vector<std::vector<D88Record>> tracks; // by table entry; an empty one has no entry
    // Table entries stored at another place: entry -> (entry, record) whose header they start at.
    std::map<std::uint32_t, std::pair<std::uint32_t, std::uint32_t>> storedAt;

    // record: the first record carrying the ID (c, h, r); fails the test when there is none.
    D88Record& record(std::uint32_t c, std::uint32_t h, std::uint32_t r);
    std::string bytes() const;
};
// d88Tracks: what d88Of writes, before it is written.
D88Layout d88Tracks(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                    std::uint32_t heads, std::uint8_t mediaType = 0x20);
// A 1.44 MB FAT12 floppy built byte by byte: 512-byte sectors, one per
// cluster, the root folder at sector 19, cluster 2 at sector 33.
class Floppy {
public:
    Floppy();
    std::string& bytes() { return m_bytes; }
    // entry: a 32-byte folder entry (name11 is the raw 11-byte 8.3 field).
    static std::string entry(const std::string& name11, std::uint8_t attributes, std::uint16_t cluster,
                             std::uint32_t size, std::uint8_t caseFlags = 0);
    // longNameEntries: the VFAT entries that go before the 8.3 entry `name11`.
    static std::vector<std::string> longNameEntries(const std::u16string& name, const std::string& name11,
                                                    bool badChecksum = false);
    void putRoot(int slot, const std::string& entry32);
    void putInCluster(std::uint16_t cluster, int slot, const std::string& entry32);
    void setFat(std::uint16_t cluster, std::uint16_t value); // both copies
    void putData(std::uint16_t cluster, const std::string& data);
    static constexpr std::size_t kRoot = 19 * 512;
    static constexpr std::size_t kData = 33 * 512;

private:
    std::string m_bytes;
};

// labelledFloppy: a Floppy labelled by the raw 11 bytes `label11` holding one
// file, README.TXT, with `text` in cluster 2.
std::string labelledFloppy(const std::string& label11, const std::string& text = "hello");

// fileState: the bytes and modification time of a file, to show it unchanged.
std::string fileState(const std::string& path);

} // namespace testsupport

namespace testsupport {

// A FAT volume of any geometry written byte by byte into a sparse file (free
// clusters stay holes): the boot sector, the first entries of every FAT copy
// and, for FAT32, the root folder's cluster (cluster 2). Fails the test when
// the file cannot be written.
struct FatLayout {
    std::uint32_t bytesPerSector = 512;
    std::uint32_t sectorsPerCluster = 1;
    std::uint32_t reservedSectors = 1;
    std::uint32_t fatCount = 2;
    std::uint32_t rootEntries = 512; // not used for FAT32
    std::uint64_t clusters = 0;
    int fatBits = 12;                // the entries written; 32 writes a FAT32 boot sector
    std::uint8_t media = 0xF8;
    std::uint32_t sectorsPerFat = 0; // 0: the fewest that hold every cluster
};

class SparseFat {
public:
    SparseFat(const std::string& path, const FatLayout& layout);
    ~SparseFat();
    SparseFat(const SparseFat&) = delete;
    SparseFat& operator=(const SparseFat&) = delete;

    // entry: a 32-byte folder entry naming a first cluster of up to 32 bits.
    static std::string entry(const std::string& name11, std::uint8_t attributes, std::uint32_t cluster,
                             std::uint32_t size);
    void setFat(std::uint32_t cluster, std::uint32_t value); // every copy
    void putRoot(int slot, const std::string& entry32);
    void putInCluster(std::uint32_t cluster, int slot, const std::string& entry32);
    // putFile: `data` in the clusters from `first` on, chained in the FAT.
    void putFile(std::uint32_t first, const std::string& data);
    void write(std::uint64_t offset, const std::string& bytes);

    const FatLayout& layout() const { return m_layout; }
    std::uint32_t sectorsPerFat() const { return m_sectorsPerFat; }
    std::uint64_t totalSectors() const { return m_totalSectors; }
    std::uint64_t fatOffset(std::uint32_t copy = 0) const;
    std::uint64_t clusterOffset(std::uint32_t cluster) const;
    std::uint64_t bytesPerCluster() const { return std::uint64_t{m_layout.bytesPerSector} * m_layout.sectorsPerCluster; }
    std::uint32_t endOfChain() const;

private:
    void make(const std::string& path);

    FatLayout m_layout;
    int m_fd = -1;
    std::uint32_t m_sectorsPerFat = 0;
    std::uint32_t m_rootSectors = 0;
    std::uint64_t m_totalSectors = 0;
};

// sparseFileState: fileState for images of any size: a digest of the bytes
// the file holds (its holes read as zeros), its size and modification time.
std::string sparseFileState(const std::string& path);

} // namespace testsupport
