// DCP and DCU floppy images (PC-98 disk copy tools): a 0xA2-byte header of a
// media type byte, a map of 160 tracks (1: stored, 0: left out) and a flag
// saying that every track is stored, then the stored tracks' sectors in
// order. The media type gives the geometry; the format has no signature, so
// an image is taken for one only when its header is all of known values and
// its size fits what the map stores (a shorter file is a truncated image).
// On the BASIC 2HD media the first track holds 26 sectors of 128 bytes where
// every other track holds 256-byte ones: the disk keeps its 256-byte sectors
// and that track is not held.
#include "image_sectors.h"

namespace platform::image {

namespace {

constexpr std::uint32_t kHeaderSize = 0xA2;
constexpr std::uint32_t kMapTracks = 160;

struct Media {
    std::uint8_t type;
    std::uint32_t sectorSize, sectorsPerTrack, tracks;
};

constexpr Media kMedia[] = {
    {0x01, 1024, 8, 154}, // 2HD, 8 sectors (1.25 MB)
    {0x02, 512, 15, 160}, // 2HD, 15 sectors (1.2 MB)
    {0x03, 512, 18, 160}, // 2HQ, 18 sectors (1.44 MB)
    {0x04, 512, 8, 160},  // 2DD, 8 sectors (640 KB)
    {0x05, 512, 9, 160},  // 2DD, 9 sectors (720 KB)
    {0x08, 1024, 9, 154}, // 2HD, 9 sectors
    {0x11, 256, 26, 154}, // BASIC 2HD
    {0x19, 256, 16, 160}, // BASIC 2DD
    {0x21, 256, 26, 154}, // 2HD, 26 sectors
};

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeDcp(std::shared_ptr<const ByteFile> file)
{
    unsigned char header[kHeaderSize];
    if (file->size() <= kHeaderSize || file->readAt(0, header, kHeaderSize) != static_cast<long>(kHeaderSize))
        return std::nullopt;
    const Media* media = nullptr;
    for (const Media& m : kMedia)
        if (m.type == header[0])
            media = &m;
    if (!media || header[kHeaderSize - 1] > 1)
        return std::nullopt;
    std::uint32_t last = 0;
    for (std::uint32_t t = 0; t < kMapTracks; ++t) {
        if (header[1 + t] > 1)
            return std::nullopt;
        if (header[1 + t])
            last = t + 1;
    }
    const bool basic = media->type == 0x11;
    const std::uint64_t trackSize = std::uint64_t{media->sectorSize} * media->sectorsPerTrack;
    const std::uint32_t trackCount = std::max(media->tracks, last);
    // What a list of stored tracks takes in the file.
    auto bytesOf = [&](const std::vector<bool>& stored) {
        std::uint64_t total = 0;
        for (std::uint32_t t = 0; t < stored.size(); ++t)
            if (stored[t])
                total += basic && t == 0 ? trackSize / 2 : trackSize;
        return total;
    };
    std::vector<bool> stored(trackCount), all(trackCount);
    for (std::uint32_t t = 0; t < trackCount; ++t) {
        all[t] = t < media->tracks || header[1 + t];
        stored[t] = header[kHeaderSize - 1] == 1 ? all[t] : header[1 + t] == 1;
    }
    // Some writers store every track under a map that says otherwise: the size tells.
    const std::uint64_t data = file->size() - kHeaderSize;
    if (data == bytesOf(all))
        stored = all;
    if (bytesOf(stored) == 0 || data > bytesOf(stored))
        return std::nullopt;

    std::vector<sectors::Track> tracks(trackCount);
    std::uint64_t at = kHeaderSize;
    for (std::uint32_t t = 0; t < trackCount; ++t) {
        if (!stored[t]) {
            tracks[t].absent = "the image leaves its track out (an unformatted or unused track)";
            continue;
        }
        if (basic && t == 0) {
            tracks[t].absent = "stored as 128-byte sectors where the disk's sectors have 256";
            at += trackSize / 2;
            continue;
        }
        tracks[t].offset = at;
        at += trackSize;
    }
    return Result<std::shared_ptr<const Disk>>(sectors::tracks(std::move(file), "DCP", tracks,
        DiskLayout{media->sectorSize, media->sectorsPerTrack, 2, 1}));
}

} // namespace platform::image
