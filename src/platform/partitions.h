// Partition tables of disk images: which volumes a disk holds, and where.
//   MBR: four primary entries in sector 0; an extended one (0x05, 0x0F,
//     0x85) opens a chain of extended boot records, one logical partition
//     each, numbered from 5.
//   PC-98: sixteen 32-byte entries in the sector after the IPL (byte 512,
//     or the second sector when sectors are larger), each placed by
//     cylinder, head and sector (from 0) of the image's geometry. A raw
//     image with the PC-98 IPL has no geometry: it is the one under which
//     the FAT partitions open with their volumes (partitions.cpp).
// Every partition must lie on the disk, after the table, and overlap no
// other; a chain of extended records must not loop. A table that breaks one
// of these is an Error naming the partition and the cause.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "disk_image.h"

namespace platform::image {

struct Partition {
    unsigned entry = 0;        // MBR: 1-4 primary, 5 on logical; PC-98: 1-16
    std::uint8_t type = 0;     // MBR type byte; PC-98 system byte without its active bit
    std::uint64_t offset = 0;  // bytes from the disk's start
    std::uint64_t length = 0;  // bytes
    bool fat = false;          // its type says FAT12/16/32
    std::string name;          // PC-98: the entry's name, trailing blanks dropped (CP932 bytes)
    std::string describe() const; // "PC-98 partition 2", "MBR partition 5 (logical)"
    std::string scheme;        // "MBR" or "PC-98"
};

// readPartitions: the partitions of `disk` in table order; empty when it has
// no table this reader knows (a floppy, a disk that is one volume).
Result<std::vector<Partition>> readPartitions(const Disk& disk);

// fatPartition: the FAT partition `number` (from 1, among the FAT
// partitions in table order; 0 for the first) of `disk`; nullopt when the
// disk has no table, or no FAT partition when `number` is 0; an Error for a
// damaged table or a number past the FAT partitions.
Result<std::optional<Partition>> fatPartition(const Disk& disk, unsigned number);

// fatPartitionCount: how many FAT partitions `disk` has (0 without a table).
Result<unsigned> fatPartitionCount(const Disk& disk);

} // namespace platform::image
