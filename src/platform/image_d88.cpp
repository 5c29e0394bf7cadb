// D88 disk images (and D68, D77, D98, the same layout under other names): a
// 0x2B0-byte header with a table of track offsets, each track a run of
// sectors, each sector a 16-byte header (C, H, R, N, sectors in the track,
// density, deleted mark, status, data size) followed by its data.
//
// The disk is what the sector headers say, not the order of their bytes in
// the file. The disk has one sector size (the usual one among the sectors,
// 128 << N) and tracks of one run of records (from the usual lowest R,
// normally 1, as many as most tracks hold), and every sector goes to the
// place its ID names: track C * heads + H (two heads when the tracks carry
// head 1, else one), record R. The table only tells where a track is stored.
// Its index takes over from the IDs when they cannot be the disk's places:
// when two stored tracks carry the ID of the same track (both sides of a
// cylinder written with head 0, say), every track goes to the place of its
// table entry (cylinder index / 2, head index % 2) whatever its IDs say.
//
// A place the image holds no good sector for is "not held", as the end of
// a truncated dump is: reading it fails, naming the sector and why. No
// sector has its ID ("missing"); the ones that have it are of another size
// than the disk's, or their dump recorded an error (a CRC error, no address
// or data mark; deleted data is data), or they are stored in bytes of the
// file that another track is stored in too; or it is stored twice with
// different data. Copies with the same data count once, and a good copy
// beside a bad one is the sector (the controller read it without fault).
// Sectors whose ID lies outside the disk's run of records or tracks (the
// extra sectors of copy-protected disks) are no part of it.
#include "disk_image.h"
#include "image_sectors.h"

#include <vector>

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

const Damage damaged{"a damaged D88 image"};

// One sector as the image stores it.
struct Stored {
    std::uint32_t c, h, r, n;
    std::uint8_t status;
    std::uint32_t size;
    std::uint64_t data;  // where its data is in the file
    std::uint32_t entry; // the table entry of its track
};

// One table entry's track: its sectors and the bytes of the file they take.
struct StoredTrack {
    std::uint32_t entry = 0;
    std::uint64_t begin = 0, end = 0;
    std::vector<Stored> sectors;
    std::int64_t sharesWith = -1; // another entry whose bytes overlap these
};

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
    const std::uint32_t entries = (first - kTrackTable) / 4;
    using Found = Result<std::shared_ptr<const Disk>>;

    // Every track of the table, as stored.
    std::vector<StoredTrack> tracks;
    for (std::uint32_t t = 0; t < entries; ++t) {
        std::uint64_t at = le32(header + kTrackTable + 4 * t);
        if (at == 0)
            continue;
        if (at < first || at >= declared)
            return Found(damaged("track " + std::to_string(t) + " lies outside the image"));
        StoredTrack track;
        track.entry = t;
        track.begin = at;
        std::uint32_t count = 1;
        for (std::uint32_t k = 0; k < count; ++k) {
            unsigned char sh[kSectorHeader];
            if (at + kSectorHeader > declared || file->readAt(at, sh, kSectorHeader) != static_cast<long>(kSectorHeader))
                return Found(damaged("track " + std::to_string(t) + " runs past the end of the image"));
            if (k == 0) {
                count = le16(sh + 4);
                if (count == 0 || count > kMaxSectorsPerTrack)
                    return Found(damaged("track " + std::to_string(t) + " claims " + std::to_string(count) + " sectors"));
            }
            const std::uint32_t size = le16(sh + 0x0E);
            if (size > kMaxSectorData || at + kSectorHeader + size > declared)
                return Found(damaged("a sector of track " + std::to_string(t) + " has an impossible size"));
            track.sectors.push_back({sh[0], sh[1], sh[2], sh[3], sh[8], size, at + kSectorHeader, t});
            at += kSectorHeader + size;
        }
        track.end = at;
        tracks.push_back(std::move(track));
    }
    if (tracks.empty())
        return Found(damaged("it holds no tracks"));

    // Tracks stored in the same bytes: neither is what the disk held there.
    for (StoredTrack& a : tracks)
        for (const StoredTrack& b : tracks)
            if (&a != &b && a.begin < b.end && b.begin < a.end && a.sharesWith < 0)
                a.sharesWith = b.entry;

    // The disk the sectors' IDs describe, a sector of tracks stored in the
    // same bytes as another being no sector of the disk.
    sectors::Sectors found;
    for (const StoredTrack& track : tracks)
        for (const Stored& s : track.sectors) {
            sectors::Stored sector{s.c, s.h, s.r, s.n, track.entry, s.size, false, s.data, sectors::statusFault(s.status)};
            if (track.sharesWith >= 0)
                sector.fault = "stored in bytes of the image that another track is stored in too (a damaged image)";
            found.list.push_back(std::move(sector));
        }
    return sectors::build(std::move(file), "D88", found, damaged.prefix, kTracks);
}

} // namespace platform::image
