// Floppy image containers written from their published layouts, for the
// tests: a raw sector image (made by mtools) as NFD r0/r1, FDD, DCP/DCU,
// DIM, ImageDisk, TeleDisk (plain or with advanced compression), CopyQM,
// CPC DSK/EDSK and ApriDisk. Sectors may be marked as read with a data error, which each
// format that records it records its own way.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

struct FloppySector {
    std::uint8_t c = 0, h = 0, r = 0, n = 0;
    std::string data;
    bool bad = false; // read with a data CRC error
    std::vector<std::string> rereads; // more reads of it, kept by NFD r1 and EDSK
};
// Tracks by index (cylinder * heads + head), each its sectors in order.
using FloppyTracks = std::vector<std::vector<FloppySector>>;

// floppyTracks: the raw image `raw` as tracks of `sectorsPerTrack` sectors numbered from 1.
FloppyTracks floppyTracks(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                          std::uint32_t heads);

std::string nfdR0Of(const FloppyTracks& tracks, std::uint32_t heads);
std::string nfdR1Of(const FloppyTracks& tracks, std::uint32_t heads);
// fddOf: sectors of one repeated byte are stored as their fill byte, without data.
std::string fddOf(const FloppyTracks& tracks);
// dcpOf / dimOf: `stored` tracks only (all when empty), under `media` (DCP's type byte, DIM's disk type).
std::string dcpOf(const std::string& raw, std::uint8_t media, std::uint32_t trackSize, std::vector<bool> stored = {});
std::string dimOf(const std::string& raw, std::uint8_t media, std::uint32_t trackSize, std::vector<bool> stored = {});
// imdOf: sectors of one repeated byte as compressed records.
std::string imdOf(const FloppyTracks& tracks, std::uint32_t heads);
// td0Of: sectors of one repeated byte as patterns, others as runs where they repeat, else raw.
std::string td0Of(const FloppyTracks& tracks, std::uint32_t heads, bool advanced);
std::string cqmOf(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack, std::uint32_t heads);
std::string cpcDskOf(const FloppyTracks& tracks, std::uint32_t heads, bool extended);
// apriDiskOf: sectors of one repeated byte as runs; a bad sector as a replaced record, so not held.
std::string apriDiskOf(const FloppyTracks& tracks);
// cfiOf: the raw floppy as FDCOPY's CFI, track by track of `trackBytes`:
// runs of four or more of one byte as repeats, the rest as it is.
std::string cfiOf(const std::string& raw, std::uint32_t trackBytes);

// teleDiskPack: TeleDisk's advanced compression (LZSS and adaptive Huffman codes) of `data`.
std::string teleDiskPack(const std::string& data);

} // namespace testsupport
