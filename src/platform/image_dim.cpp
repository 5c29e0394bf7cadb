// X68000 DIM floppy images (DIFC.X): a 256-byte header of a disk type byte,
// a map of 170 tracks (1: stored, 0: left out), "DIFC HEADER" at 0xAB, a
// date, a comment and an over-track flag at 0xFF; the stored tracks follow
// in order from 0x100. The disk type gives the geometry.
#include "image_sectors.h"

#include <cstring>

namespace platform::image {

namespace {

constexpr std::uint32_t kHeaderSize = 0x100;
constexpr std::uint32_t kMapTracks = 170;

struct Media {
    std::uint8_t type;
    std::uint32_t sectorSize, sectorsPerTrack, tracks;
};

constexpr Media kMedia[] = {
    {0x00, 1024, 8, 154}, // 2HD (1.25 MB)
    {0x01, 1024, 9, 160}, // 2HS
    {0x02, 512, 15, 160}, // 2HC (1.2 MB)
    {0x03, 1024, 9, 160}, // 2HDE
    {0x09, 512, 18, 160}, // 2HQ (1.44 MB)
    {0x11, 256, 26, 154}, // 2HD of 26 sectors (N88-BASIC and CP/M of the PC-98)
};

const Damage damaged{"a damaged DIM image"};

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeDim(std::shared_ptr<const ByteFile> file)
{
    unsigned char header[kHeaderSize];
    if (file->size() < 0xAB + 11 || file->readAt(0, header, kHeaderSize) < 0xAB + 11
        || std::memcmp(header + 0xAB, "DIFC HEADER", 11) != 0)
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    if (file->size() < kHeaderSize)
        return Found(damaged("it ends inside its header"));
    const Media* media = nullptr;
    for (const Media& m : kMedia)
        if (m.type == header[0])
            media = &m;
    if (!media) {
        static const char digits[] = "0123456789ABCDEF";
        return Found(damaged(std::string("its disk type 0x") + digits[header[0] >> 4] + digits[header[0] & 15]
            + " is unknown"));
    }
    std::uint32_t last = 0;
    for (std::uint32_t t = 0; t < kMapTracks; ++t) {
        if (header[1 + t] > 1)
            return Found(damaged("the map entry of track " + std::to_string(t) + " is " + std::to_string(header[1 + t])
                + ", neither stored (1) nor left out (0)"));
        if (header[1 + t])
            last = t + 1;
    }
    if (last == 0)
        return Found(damaged("its map stores no track"));
    const std::uint32_t trackCount = std::max(media->tracks, last);
    const std::uint64_t trackSize = std::uint64_t{media->sectorSize} * media->sectorsPerTrack;
    std::vector<sectors::Track> tracks(trackCount);
    std::uint64_t at = kHeaderSize;
    for (std::uint32_t t = 0; t < trackCount; ++t) {
        if (t >= kMapTracks || !header[1 + t]) {
            tracks[t].absent = "the image leaves its track out (an unformatted or unused track)";
            continue;
        }
        tracks[t].offset = at;
        at += trackSize;
    }
    return Found(sectors::tracks(std::move(file), "DIM", tracks,
        DiskLayout{media->sectorSize, media->sectorsPerTrack, 2, 1}));
}

} // namespace platform::image
