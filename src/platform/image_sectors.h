// The disk that a container's sector IDs describe, for the containers that
// store a list of sectors per track (D88, NFD, FDD, and the ones read through
// libdsk): one sector size, tracks of one run of records, each sector at the
// place its ID names. A place no good sector is stored for is "not held",
// with what the container says of it.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "disk_image.h"

namespace platform::image::sectors {

// One sector as a container stores it: its ID, the track of the container
// it was found in, and where its bytes are (in the image file, or in bytes
// the container made: a fill pattern, data it decoded).
struct Stored {
    std::uint32_t c = 0, h = 0, r = 0, n = 0;
    std::uint32_t track = 0;  // the container's own track index
    std::uint32_t size = 0;   // bytes of data stored
    bool inMemory = false;
    std::uint64_t offset = 0; // in the file, or in Sectors::memory
    std::optional<std::string> fault; // what the dump recorded when it did not read well
};

// The sectors of one image, gathered by a container.
class Sectors {
public:
    std::vector<Stored> list;

    // keep: `bytes` kept in memory; returns their offset there.
    std::uint64_t keep(const std::string& bytes);
    // fill: `size` bytes of `value` in memory (shared by every sector of that fill).
    std::uint64_t fill(std::uint8_t value, std::uint32_t size);
    const std::string& memory() const { return m_memory; }

private:
    std::string m_memory;
    std::map<std::pair<std::uint8_t, std::uint32_t>, std::uint64_t> m_fills;
};

// build: the disk `sectors` describe. `damaged` prefixes the errors of an
// image whose sectors describe no disk ("a damaged NFD image"). Tracks whose
// IDs name places past `places` (cylinder * heads + head) are no part of the
// disk; when the IDs cannot be the disk's places, the container's own track
// index takes over (it must then lie below `places`).
Result<std::shared_ptr<const Disk>> build(std::shared_ptr<const ByteFile> file, const std::string& format,
                                          const Sectors& sectors, const std::string& damaged,
                                          std::uint32_t places = 512);

// A track of a container that stores whole tracks of one geometry: where its
// data starts in the file, or why the image holds none of it.
struct Track {
    std::optional<std::uint64_t> offset;
    std::string absent; // "the image leaves the track out"
};

// tracks: the disk of `tracks` (in cylinder * heads + head order), each of
// `layout.sectorsPerTrack` sectors of `layout.sectorSize` bytes. Sectors past
// the end of the file are not held (a truncated image).
std::shared_ptr<const Disk> tracks(std::shared_ptr<const ByteFile> file, const std::string& format,
                                   const std::vector<Track>& tracks, const DiskLayout& layout);

// A file read as an image's bytes followed by bytes its container made.
class LayeredFile final : public ByteFile {
public:
    LayeredFile(std::shared_ptr<const ByteFile> base, std::string memory);
    long readAt(std::uint64_t offset, void* buffer, std::size_t size) const override;
    std::uint64_t size() const override { return m_baseSize + m_memory.size(); }

private:
    std::shared_ptr<const ByteFile> m_base;
    std::uint64_t m_baseSize;
    std::string m_memory;
};

// statusFault: what a PC-98 disk BIOS result byte says of a sector (as D88
// and NFD dumps keep it); nullopt for a good read (normal or deleted data).
std::optional<std::string> statusFault(std::uint8_t status);

// fdcFault: what the uPD765 result bytes ST1 and ST2 say of a sector's data;
// nullopt when they show no error (a deleted-data mark is no error).
std::optional<std::string> fdcFault(std::uint8_t st1, std::uint8_t st2);

std::uint32_t le32(const unsigned char* p);
std::uint16_t le16(const unsigned char* p);

} // namespace platform::image::sectors
