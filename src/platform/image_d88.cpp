// D88 disk images (and D68, D77, D98, the same layout under other names): a
// 0x2B0-byte header with a table of track offsets, each track a run of
// sectors, each sector a 16-byte header (C, H, R, N, sectors in the track,
// density, deleted mark, status, data size) followed by its data.
#include "disk_image.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace platform::image {

namespace {

constexpr std::uint32_t kHeaderSize = 0x2B0;
constexpr std::uint32_t kShortHeaderSize = 0x2A0; // writers that keep 160 tracks
constexpr std::uint32_t kTrackTable = 0x20;
constexpr std::uint32_t kTracks = 164;
constexpr std::uint32_t kSectorHeader = 16;
constexpr std::uint32_t kMaxSectorData = 0x4000; // N = 7 is the largest sector there is
constexpr std::uint32_t kMaxSectorsPerTrack = 256;

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

Error damaged(const std::string& why)
{
    return Error{EINVAL, "a damaged D88 image: " + why};
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeD88(std::shared_ptr<const ByteFile> file)
{
    unsigned char header[kHeaderSize];
    if (file->size() < kHeaderSize || file->readAt(0, header, kHeaderSize) != static_cast<long>(kHeaderSize))
        return std::nullopt;
    const std::uint8_t media = header[0x1B];
    const std::uint32_t declared = le32(header + 0x1C);
    if (media != 0x00 && media != 0x10 && media != 0x20 && media != 0x30 && media != 0x40)
        return std::nullopt;
    if (declared < kShortHeaderSize || declared > file->size())
        return std::nullopt;
    // The first track starts right after the header: that tells a D88 from
    // other data, and the header's length. A short header's table holds 160
    // tracks; the four entries after them are the first sector's header.
    auto firstTrack = [&](std::uint32_t tracks) {
        std::uint32_t first = 0;
        for (std::uint32_t t = 0; t < tracks; ++t) {
            const std::uint32_t offset = le32(header + kTrackTable + 4 * t);
            if (offset != 0 && (first == 0 || offset < first))
                first = offset;
        }
        return first;
    };
    std::uint32_t first = firstTrack((kShortHeaderSize - kTrackTable) / 4);
    if (first != kShortHeaderSize)
        first = firstTrack(kTracks);
    if (first != kHeaderSize && first != kShortHeaderSize)
        return std::nullopt;
    const std::uint32_t tracks = (first - kTrackTable) / 4;

    struct Sector {
        std::uint32_t r;
        std::uint64_t fileOffset;
        std::uint32_t size;
    };
    std::vector<std::vector<Sector>> table(tracks);
    std::map<std::uint64_t, int> trackSizes; // bytes of a track -> how many tracks have it
    std::uint32_t lastTrack = 0;
    bool any = false;
    for (std::uint32_t t = 0; t < tracks; ++t) {
        std::uint64_t at = le32(header + kTrackTable + 4 * t);
        if (at == 0)
            continue;
        if (at < first || at >= declared)
            return Result<std::shared_ptr<const Disk>>(damaged("track " + std::to_string(t) + " lies outside the image"));
        std::vector<Sector>& sectors = table[t];
        std::uint32_t count = 1;
        for (std::uint32_t k = 0; k < count; ++k) {
            unsigned char sh[kSectorHeader];
            if (at + kSectorHeader > declared || file->readAt(at, sh, kSectorHeader) != static_cast<long>(kSectorHeader))
                return Result<std::shared_ptr<const Disk>>(damaged("track " + std::to_string(t) + " runs past the end of the image"));
            if (k == 0) {
                count = le16(sh + 4);
                if (count == 0 || count > kMaxSectorsPerTrack)
                    return Result<std::shared_ptr<const Disk>>(damaged("track " + std::to_string(t) + " claims "
                        + std::to_string(count) + " sectors"));
            }
            const std::uint32_t size = le16(sh + 0x0E);
            if (size > kMaxSectorData || at + kSectorHeader + size > declared)
                return Result<std::shared_ptr<const Disk>>(damaged("a sector of track " + std::to_string(t) + " has an impossible size"));
            const std::uint32_t r = sh[2];
            // A sector recorded twice (a copy-protection trick) counts once.
            if (std::none_of(sectors.begin(), sectors.end(), [&](const Sector& s) { return s.r == r; }))
                sectors.push_back({r, at + kSectorHeader, size});
            at += kSectorHeader + size;
        }
        std::sort(sectors.begin(), sectors.end(), [](const Sector& a, const Sector& b) { return a.r < b.r; });
        std::uint64_t bytes = 0;
        for (const Sector& s : sectors)
            bytes += s.size;
        ++trackSizes[bytes];
        lastTrack = t;
        any = true;
    }
    if (!any)
        return Result<std::shared_ptr<const Disk>>(damaged("it holds no tracks"));
    // An unformatted track in the middle keeps its place, as long as its neighbours.
    std::uint64_t usual = 0;
    int most = 0;
    for (const auto& [bytes, tracksWith] : trackSizes)
        if (tracksWith > most) {
            most = tracksWith;
            usual = bytes;
        }

    std::vector<Disk::Stretch> stretches;
    std::uint64_t diskOffset = 0;
    std::uint32_t sectorSize = 0;
    for (std::uint32_t t = 0; t <= lastTrack; ++t) {
        if (table[t].empty()) {
            diskOffset += usual;
            continue;
        }
        for (const Sector& s : table[t]) {
            if (!stretches.empty() && stretches.back().diskOffset + stretches.back().length == diskOffset
                && stretches.back().fileOffset + stretches.back().length == s.fileOffset)
                stretches.back().length += s.size;
            else
                stretches.push_back({diskOffset, s.fileOffset, s.size});
            diskOffset += s.size;
            if (s.size > sectorSize)
                sectorSize = s.size;
        }
    }
    auto disk = std::make_shared<Disk>(std::move(file), "D88", std::move(stretches), diskOffset);
    disk->sectorSize = sectorSize;
    return Result<std::shared_ptr<const Disk>>(std::shared_ptr<const Disk>(std::move(disk)));
}

} // namespace platform::image
