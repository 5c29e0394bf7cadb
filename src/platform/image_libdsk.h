// Containers read through libdsk (ImageDisk, TeleDisk, CopyQM, CPC DSK,
// EDSK and ApriDisk). libdsk reads only files it opens by name and trusts what they say,
// so each container here first walks the image itself, checking every size,
// count and code against the bytes (an image it refuses never reaches
// libdsk), and lists the sector IDs of each track; libdsk then reads those
// sectors from a private in-memory copy of the image, and the disk is built
// from what it returns and what it says of each sector.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "image_sectors.h"

namespace platform::image::libdsk {

struct Id {
    std::uint8_t c = 0, h = 0, r = 0, n = 0;
    std::optional<std::string> fault; // what the image itself records of the sector
};

struct TrackIds {
    std::uint32_t cylinder = 0, head = 0; // where the track is
    std::vector<Id> ids;
};

// The largest image these containers take, and the most sector data a disk may have.
constexpr std::uint64_t kMaxImage = 16u << 20;

// read: the disk whose tracks `tracks` lists, read by libdsk's `driver` from `bytes`.
Result<std::shared_ptr<const Disk>> read(const std::string& bytes, const char* driver, const std::string& format,
                                         const std::vector<TrackIds>& tracks, const std::string& damaged);

// opensWith: whether the file's first bytes are `magic`.
bool opensWith(const ByteFile& file, std::string_view magic);

// wholeFile: the image's bytes; an Error when it is larger than a floppy
// image can be, or shorter than its `headerSize`-byte header.
Result<std::string> wholeFile(const ByteFile& file, const std::string& damaged, std::size_t headerSize = 0);

// teleDiskCrc: the CRC TeleDisk keeps of its headers (polynomial 0xA097, preset 0).
std::uint16_t teleDiskCrc(const unsigned char* data, std::size_t size, std::uint16_t crc = 0);

// unpackTeleDisk: the data after a TeleDisk header packed with "advanced
// compression" (LZSS with adaptive Huffman codes), unpacked; nullopt when it
// unpacks to more than `limit` bytes.
std::optional<std::string> unpackTeleDisk(const unsigned char* data, std::size_t size, std::size_t limit);

} // namespace platform::image::libdsk
