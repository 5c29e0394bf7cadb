// Disks of the file systems no packaged tool writes, built byte by byte from
// their published layouts: Human68k (the X68000's 1.23 MB 2HD) and N88-BASIC
// (2D, 2DD and 2HD). Each writer remembers what it put, for the tests to
// compare with what the reader finds.
#pragma once

#include <cstdint>
#include <map>
#include <string>

namespace testsupport {

// toCp932: UTF-8 text as CP932 bytes; fails the test when it has no CP932 form.
std::string toCp932(const std::string& utf8);

// A Human68k 2HD disk: 77 cylinders, 2 heads, 8 sectors of 1024 bytes; a
// 68000 boot sector; two FATs of 2 sectors (FAT12, media 0xFE); a root of
// 192 entries (sectors 5 to 10); cluster 2 at sector 11, a sector a cluster.
class Human68kDisk {
public:
    static constexpr std::uint32_t kSector = 1024;
    static constexpr std::uint64_t kSize = 1261568;
    Human68kDisk();
    // addFolder / addFile: an entry named `name` (UTF-8, up to 18 + 3
    // characters once in CP932) in the folder at `parent` (0: the root);
    // the file's clusters follow one another from the next free one.
    std::uint16_t addFolder(std::uint16_t parent, const std::string& name);
    void addFile(std::uint16_t parent, const std::string& name, const std::string& data, std::uint8_t attributes = 0x20);
    // entry: the 32-byte Human68k entry of raw CP932 name bytes.
    static std::string entry(const std::string& nameBytes, std::uint8_t attributes, std::uint16_t cluster,
                             std::uint32_t size);
    // putEntry: `entry32` into the next free slot of the folder at `parent`.
    void putEntry(std::uint16_t parent, const std::string& entry32);
    void setFat(std::uint16_t cluster, std::uint16_t value); // both copies
    std::string& bytes() { return m_bytes; }
    // files: path ("SUB/name.ext", UTF-8) to content, folders ending in "/".
    const std::map<std::string, std::string>& files() const { return m_files; }
    static constexpr std::uint16_t kDate = ((2001 - 1980) << 9) | (2 << 5) | 3; // 2001-02-03
    static constexpr std::uint16_t kTime = (4 << 11) | (5 << 5) | 3;           // 04:05:06

private:
    std::uint64_t clusterOffset(std::uint16_t cluster) const { return (11ull + cluster - 2) * kSector; }
    std::uint16_t allocate(std::size_t clusters);
    std::string m_bytes;
    std::map<std::uint16_t, std::string> m_paths; // folder cluster -> its path with "/"
    std::map<std::uint16_t, int> m_slots;        // folder cluster -> next free slot
    std::uint16_t m_next = 2;
    std::map<std::string, std::string> m_files;
};

// An N88-BASIC disk: 256-byte sectors, formatted (0xFF everywhere); the IPL
// track's clusters and the system track's reserved (0xFE) in all three FATs.
class N88Disk {
public:
    enum class Kind { TwoD, TwoDD, TwoHD };
    explicit N88Disk(Kind kind);
    // addFile: a file of `data` padded with zeros to whole sectors, under the
    // 6 + 3 character name `name6`.`ext3` (ASCII); `stride` spaces its
    // clusters apart (1: one after another). Returns its first cluster.
    std::uint8_t addFile(const std::string& name6, const std::string& ext3, const std::string& data,
                         std::uint8_t attributes = 0x80, std::uint32_t stride = 1);
    void setFat(std::uint32_t cluster, std::uint8_t value); // all three copies
    std::uint8_t fat(std::uint32_t cluster) const;
    std::string& bytes() { return m_bytes; }
    std::uint64_t directoryOffset() const { return std::uint64_t{m_systemTrack} * m_sectorsPerTrack * 256; }
    std::uint64_t clusterOffset(std::uint32_t cluster) const;
    std::uint32_t clusters() const { return m_clusters; }
    std::uint32_t clusterBytes() const { return m_sectorsPerCluster * 256; }
    // files: name to content as the reader gives it (padded to its sectors).
    const std::map<std::string, std::string>& files() const { return m_files; }

private:
    std::uint64_t fatOffset(int copy) const;
    std::uint32_t m_sectorsPerTrack, m_sectorsPerCluster, m_clusters, m_systemTrack;
    std::string m_bytes;
    int m_slot = 0;
    std::uint32_t m_next = 0;
    std::map<std::string, std::string> m_files;
};

} // namespace testsupport
