// Hard disk images for the tests: FAT volumes that mkfs.fat and mtools made
// as files of their own, laid into a disk behind a PC-98 or an MBR partition
// table, in the container of a PC-98 emulator (HDI, NHD, THD, Virtual98 HDD, SLH)
// or none (a raw disk), written after the containers' published layouts.
// No tool writes these containers, so the tests compare what the reader
// takes from them with what mtools reads at the same byte offsets.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct HddGeometry {
    std::uint32_t cylinders = 0; // 0: as many as the partitions need
    std::uint32_t heads = 8;
    std::uint32_t sectors = 17;
    std::uint32_t sectorSize = 512;
    std::uint64_t cylinderBytes() const { return std::uint64_t{heads} * sectors * sectorSize; }
    std::uint64_t bytes() const { return cylinders * cylinderBytes(); }
};

// The header of each container for a disk of `g` ("raw": none).
std::string containerHeader(const std::string& container, const HddGeometry& g);

// A FAT volume made as a file of its own, and the partition it goes into.
struct VolumeFile {
    std::string path;     // the volume's bytes (a sparse file)
    std::uint8_t type;    // MBR type byte, or PC-98 system byte (without the active bit)
    std::string name;     // PC-98 partition name
    bool logical = false; // MBR: in the extended partition
};

// Where a written image put its partitions.
struct HddImage {
    std::string path;
    std::uint64_t headerSize = 0;
    HddGeometry geometry;
    std::vector<std::uint64_t> offsets; // each volume's first byte on the disk (the file: + headerSize)
    std::vector<std::uint64_t> lengths;
    std::uint64_t tableAt = 0;          // the PC-98 table, or the MBR
    std::vector<std::uint64_t> records; // MBR: the extended boot records, in chain order
};

// writePc98Disk: an IPL sector, the PC-98 table after it, each volume from
// the start of the next free cylinder (from cylinder 1), ending on a
// cylinder's end, one spare cylinder after the last.
HddImage writePc98Disk(const std::string& path, const std::string& container, HddGeometry g,
                       const std::vector<VolumeFile>& volumes);

// writeMbrDisk: an MBR with the primary volumes and, after them, one extended
// partition (type 0x0F) holding the logical ones, each behind its extended
// boot record; every volume starts on a 1 MiB boundary.
HddImage writeMbrDisk(const std::string& path, const std::string& container, HddGeometry g,
                      const std::vector<VolumeFile>& volumes);

// makeVolume: a FAT volume of `kib` KiB at `path` (mkfs.fat: `fatBits`,
// logical sectors of `sectorSize` bytes) holding sampleFiles(), labelled
// `label` (none when empty).
void makeVolume(const std::string& path, std::uint32_t kib, int fatBits, std::uint32_t sectorSize,
                const std::string& label);

// extractAt: what mtools reads from the volume at byte `offset` of `image`
// (mcopy -s -m into `folder`).
void extractAt(const std::string& image, std::uint64_t offset, const std::string& folder);

// pokeFile: `bytes` written over the file at `offset`.
void pokeFile(const std::string& path, std::uint64_t offset, const std::string& bytes);
// le16 / le32: little-endian bytes of a value.
std::string le16(std::uint32_t value);
std::string le32(std::uint32_t value);

} // namespace testsupport
