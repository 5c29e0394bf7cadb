// CFI images (FDCOPY's "compressed floppy image"): every track in turn,
// cylinder by cylinder and head by head, as a 2-byte length and that many
// bytes of blocks, each a 2-byte count: with its top bit clear, that many
// bytes follow as they are; with it set, the one byte that follows is
// repeated (count & 0x7FFF) times. The format has no signature and records
// neither geometry nor read errors: an image is taken for CFI only when
// every track unpacks to the same whole number of 512-byte sectors and the
// tracks make a floppy of a known size, the file ending with the last one.
#include "image_sectors.h"

#include <algorithm>
#include <array>

namespace platform::image {

namespace {

// Floppies CFI images hold: sectors per track and heads by their size.
struct Known {
    std::uint64_t bytes;
    std::uint32_t sectorsPerTrack, heads;
};
constexpr std::array<Known, 8> kKnown = {{{163840, 8, 1}, {184320, 9, 1}, {327680, 8, 2}, {368640, 9, 2},
    {737280, 9, 2}, {1228800, 15, 2}, {1474560, 18, 2}, {2949120, 36, 2}}};

constexpr std::uint32_t kSector = 512;
constexpr std::uint32_t kLargestTrack = 36 * kSector;

// unpack: the track of `size` packed bytes at `data`, or nothing when its
// blocks do not fill it exactly or unpack past a track.
std::optional<std::string> unpack(const unsigned char* data, std::size_t size)
{
    std::string track;
    std::size_t at = 0;
    while (at < size) {
        if (size - at < 2)
            return std::nullopt;
        const std::uint32_t count = data[at] | (static_cast<std::uint32_t>(data[at + 1]) << 8);
        at += 2;
        const std::uint32_t length = count & 0x7FFF;
        if (length == 0 || track.size() + length > kLargestTrack)
            return std::nullopt;
        if (count & 0x8000) {
            if (at >= size)
                return std::nullopt;
            track.append(length, static_cast<char>(data[at++]));
        } else {
            if (size - at < length)
                return std::nullopt;
            track.append(reinterpret_cast<const char*>(data + at), length);
            at += length;
        }
    }
    return track;
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeCfi(std::shared_ptr<const ByteFile> file)
{
    const std::uint64_t size = file->size();
    // Packed, a floppy takes at least 4 bytes a track and at most a little
    // more than its own size.
    if (size < 4 * 40 || size > 2 * kKnown.back().bytes)
        return std::nullopt;
    // The first track first: any other image fails there, before the whole file is read.
    std::string bytes(static_cast<std::size_t>(std::min<std::uint64_t>(size, 2 + 0xFFFF)), '\0');
    if (file->readAt(0, bytes.data(), bytes.size()) != static_cast<long>(bytes.size()))
        return std::nullopt;
    const std::size_t first = static_cast<unsigned char>(bytes[0]) | (static_cast<std::size_t>(static_cast<unsigned char>(bytes[1])) << 8);
    if (first == 0 || bytes.size() - 2 < first
        || !unpack(reinterpret_cast<const unsigned char*>(bytes.data()) + 2, first))
        return std::nullopt;
    bytes.resize(static_cast<std::size_t>(size));
    if (file->readAt(0, bytes.data(), bytes.size()) != static_cast<long>(bytes.size()))
        return std::nullopt;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    std::vector<std::string> tracks;
    std::uint64_t total = 0;
    for (std::size_t at = 0; at < bytes.size();) {
        if (bytes.size() - at < 2)
            return std::nullopt;
        const std::size_t length = b[at] | (static_cast<std::size_t>(b[at + 1]) << 8);
        at += 2;
        if (length == 0 || bytes.size() - at < length)
            return std::nullopt;
        std::optional<std::string> track = unpack(b + at, length);
        if (!track || track->empty() || track->size() % kSector != 0
            || (!tracks.empty() && track->size() != tracks.front().size()))
            return std::nullopt;
        total += track->size();
        if (total > kKnown.back().bytes)
            return std::nullopt;
        tracks.push_back(std::move(*track));
        at += length;
    }
    const Known* known = nullptr;
    for (const Known& k : kKnown)
        if (k.bytes == total && k.sectorsPerTrack * kSector == tracks.front().size())
            known = &k;
    if (!known)
        return std::nullopt;

    sectors::Sectors found;
    for (std::uint32_t t = 0; t < tracks.size(); ++t) {
        for (std::uint32_t s = 0; s < known->sectorsPerTrack; ++s) {
            const std::uint64_t offset = found.keep(tracks[t].substr(std::size_t{s} * kSector, kSector));
            found.list.push_back({t / known->heads, t % known->heads, s + 1, 2, t, kSector, true, offset, std::nullopt});
        }
    }
    return Result<std::shared_ptr<const Disk>>(sectors::build(nullptr, "CFI", found, "a damaged CFI image"));
}

} // namespace platform::image
