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

// The value most often counted; among equals, the one `better` prefers.
template <typename T, typename Better>
T mostCommon(const std::map<T, int>& counts, Better better)
{
    T best{};
    int most = 0;
    for (const auto& [value, count] : counts)
        if (count > most || (count == most && better(value, best))) {
            most = count;
            best = value;
        }
    return best;
}

bool sameBytes(const ByteFile& file, std::uint64_t a, std::uint64_t b, std::uint32_t size)
{
    std::string x(size, '\0'), y(size, '\0');
    return file.readAt(a, x.data(), size) == static_cast<long>(size)
        && file.readAt(b, y.data(), size) == static_cast<long>(size) && x == y;
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

    // The sector size: the usual one among sectors whose size agrees with their N.
    std::map<std::uint32_t, int> sizes;
    for (const StoredTrack& track : tracks)
        for (const Stored& s : track.sectors)
            if (s.n <= 7 && s.size == (128u << s.n))
                ++sizes[s.size];
    if (sizes.empty())
        return Found(damaged("no sector's data size agrees with its N"));
    const std::uint32_t sectorSize = mostCommon(sizes, [](std::uint32_t, std::uint32_t) { return false; });

    // Where each track goes: by its sectors' IDs (the ID most of them carry),
    // unless two tracks carry the ID of one place.
    std::uint32_t heads = 1;
    std::vector<std::pair<std::uint32_t, std::uint32_t>> trackId(tracks.size());
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        std::map<std::pair<std::uint32_t, std::uint32_t>, int> ids;
        for (const Stored& s : tracks[i].sectors)
            ++ids[{s.c, s.h}];
        trackId[i] = mostCommon(ids, [](const auto&, const auto&) { return false; });
        if (trackId[i].second == 1)
            heads = 2;
    }
    bool byId = true;
    std::vector<bool> taken(kTracks, false);
    for (const auto& [c, h] : trackId) {
        const std::uint32_t place = c * heads + h;
        if (h >= heads || place >= kTracks || taken[place]) {
            byId = false;
            break;
        }
        taken[place] = true;
    }
    if (!byId)
        heads = 2; // D88 tables keep cylinder * 2 + head
    auto placeOf = [&](const Stored& s) -> std::int64_t {
        if (!byId)
            return s.entry;
        return s.h < heads ? std::int64_t{s.c} * heads + s.h : -1;
    };
    std::uint32_t trackCount = 0;
    for (std::size_t i = 0; i < tracks.size(); ++i) {
        const std::uint32_t place = byId ? trackId[i].first * heads + trackId[i].second : tracks[i].entry;
        trackCount = std::max(trackCount, place + 1);
    }

    // The run of records: from the usual lowest R, as long as most tracks' unbroken runs.
    std::vector<std::vector<bool>> records(trackCount, std::vector<bool>(256, false));
    for (const StoredTrack& track : tracks)
        for (const Stored& s : track.sectors)
            if (const std::int64_t place = placeOf(s); place >= 0 && place < trackCount)
                records[static_cast<std::size_t>(place)][s.r] = true;
    std::map<std::uint32_t, int> lowest;
    for (const std::vector<bool>& r : records)
        if (auto low = std::find(r.begin(), r.end(), true); low != r.end())
            ++lowest[static_cast<std::uint32_t>(low - r.begin())];
    const std::uint32_t firstRecord = mostCommon(lowest, [](std::uint32_t value, std::uint32_t best) {
        return value == 1 || (best != 1 && value < best);
    });
    std::map<std::uint32_t, int> runs;
    for (const std::vector<bool>& r : records) {
        std::uint32_t run = 0;
        while (firstRecord + run < 256 && r[firstRecord + run])
            ++run;
        if (run > 0)
            ++runs[run];
    }
    if (runs.empty())
        return Found(damaged("no track holds a run of sectors"));
    const std::uint32_t perTrack = mostCommon(runs, [](std::uint32_t value, std::uint32_t best) { return value > best; });

    // Each place of the disk: the sectors whose ID names it.
    std::vector<std::vector<const Stored*>> claims(std::size_t{trackCount} * perTrack);
    std::map<std::uint32_t, const StoredTrack*> byEntry;
    for (const StoredTrack& track : tracks) {
        byEntry[track.entry] = &track;
        for (const Stored& s : track.sectors) {
            const std::int64_t place = placeOf(s);
            if (place < 0 || place >= trackCount || s.r < firstRecord || s.r >= firstRecord + perTrack)
                continue;
            claims[static_cast<std::size_t>(place) * perTrack + (s.r - firstRecord)].push_back(&s);
        }
    }
    auto faultOf = [&](const Stored& s) -> std::optional<std::string> {
        const StoredTrack& track = *byEntry.at(s.entry);
        if (track.sharesWith >= 0)
            return "stored in bytes of the image that another track is stored in too (a damaged image)";
        if (s.n > 7 || s.size != (128u << s.n) || s.size != sectorSize)
            return "stored with " + std::to_string(s.size) + " bytes (N = " + std::to_string(s.n)
                + ") where the disk's sectors have " + std::to_string(sectorSize);
        return sectors::statusFault(s.status);
    };
    std::vector<Disk::Stretch> stretches;
    std::vector<Disk::Fault> faults;
    for (std::size_t index = 0; index < claims.size(); ++index) {
        const std::uint64_t diskOffset = index * std::uint64_t{sectorSize};
        const std::uint32_t place = static_cast<std::uint32_t>(index / perTrack);
        Disk::Fault fault{diskOffset, sectorSize, place / heads, place % heads,
                          firstRecord + static_cast<std::uint32_t>(index % perTrack), {}};
        const Stored* good = nullptr;
        std::optional<std::string> bad;
        bool conflict = false;
        for (const Stored* s : claims[index]) {
            if (std::optional<std::string> why = faultOf(*s)) {
                if (!bad)
                    bad = why;
            } else if (!good) {
                good = s;
            } else if (good->data != s->data && !sameBytes(*file, good->data, s->data, sectorSize)) {
                conflict = true;
            }
        }
        if (good && !conflict) {
            if (!stretches.empty() && stretches.back().diskOffset + stretches.back().length == diskOffset
                && stretches.back().fileOffset + stretches.back().length == good->data)
                stretches.back().length += sectorSize;
            else
                stretches.push_back({diskOffset, good->data, sectorSize});
            continue;
        }
        fault.reason = conflict ? "stored twice with different data"
                                : bad ? *bad : std::string("missing from the image");
        faults.push_back(std::move(fault));
    }
    auto disk = std::make_shared<Disk>(std::move(file), "D88", std::move(stretches), claims.size() * std::uint64_t{sectorSize},
        Disk::Layout{sectorSize, perTrack, heads, firstRecord}, std::move(faults));
    return Found(std::shared_ptr<const Disk>(std::move(disk)));
}

} // namespace platform::image
