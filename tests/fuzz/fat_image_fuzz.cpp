// libFuzzer target: disk images as drives read them: the container probes
// (D88, FDI, raw), the boot sector, the FAT, every folder with its names, and
// every file's data.
//
// Two modes, chosen by the first byte:
// - 0xD8: a fixed FAT12 disk with files of known content, wrapped in a D88,
//   the input a list of changes to its sector headers and track table (drop,
//   repeat or relabel a sector, change its N, size, status or count, point a
//   track at another one's bytes, poke a header byte). Nothing here changes a
//   sector's data, so the disk the headers describe holds either the original
//   bytes or, where a relabelling moved them, another sector's: a sector read
//   with success must be one the headers place there, and a file read with
//   success must be exactly its original content unless the headers moved
//   sectors. A wrong result aborts.
// - 0xC0: the same disk in one of the floppy containers (the second byte
//   picks NFD r0/r1, FDD, DCP, DIM, ImageDisk, TeleDisk plain or packed,
//   CopyQM, CPC DSK, EDSK, ApriDisk or CFI), the input a list of 4-byte changes: mark a
//   sector as read with an error (for the containers that record it), or
//   poke a byte of the container's header and tables. Without pokes, every
//   sector must read as the original but the marked ones, which must fail;
//   with pokes, only crashes, hangs and sanitizer faults count.
// - 0x88: a fixed N88-BASIC 2D disk (second byte even) or Human68k 2HD disk
//   (odd), the rest of the input pokes of three bytes (an offset into the
//   structures, a value) into its system track (directory and FATs) or its
//   boot sector, FATs and root folder. Every file read with success must
//   give exactly the bytes its entry's size promises; a wrong result aborts.
// - 0x98: a fixed hard disk of two small FAT12 partitions, its container
//   chosen by the second byte (HDI, NHD, THD, Virtual98 HDD, SLH or none
//   behind a PC-98 table; a raw disk behind an MBR with an extended
//   partition), the rest
//   pokes (16-bit offset, byte) into its header, IPL, tables and boot
//   sectors. Every partition a table read gives must lie on the disk, after
//   the table, and overlap no other; a wrong result aborts.
// - anything else: the bytes are the image, and only crashes, hangs and
//   sanitizer faults count.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "disk_image.h"
#include "support/image_writers.h"
#include "partitions.h"

namespace {

using namespace platform::image;
using platform::Result;

constexpr std::uint32_t kSectorSize = 512;
constexpr std::uint32_t kSectorsPerTrack = 8;
constexpr std::uint32_t kHeads = 2;
constexpr std::uint32_t kCylinders = 40;
constexpr std::uint32_t kTracks = kCylinders * kHeads;
constexpr std::uint32_t kDiskSectors = kTracks * kSectorsPerTrack; // 640: 320 K
constexpr std::uint32_t kFirstData = 12; // boot, two FATs of 2 sectors, 7 of root folder

[[noreturn]] void wrong(const std::string& what)
{
    std::fprintf(stderr, "WRONG RESULT: %s\n", what.c_str());
    std::abort();
}

void put16(std::string& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// The disk every mutation starts from, and what its files hold.
struct Original {
    std::string disk;
    std::map<std::string, std::string> files; // "SUB\\THIRD.BIN" -> content
};

const Original& original()
{
    static const Original made = [] {
        Original o;
        std::string& d = o.disk;
        d.assign(std::size_t{kDiskSectors} * kSectorSize, '\0');
        const unsigned char boot[] = {0xEB, 0x3C, 0x90, 'F', 'U', 'Z', 'Z', 'D', 'I', 'S', 'K'};
        std::memcpy(d.data(), boot, sizeof boot);
        put16(d, 11, kSectorSize);
        d[13] = 1;                      // one sector a cluster
        put16(d, 14, 1);                // reserved
        d[16] = 2;                      // FATs
        put16(d, 17, 112);              // root entries
        put16(d, 19, kDiskSectors);
        d[21] = static_cast<char>(0xF9);
        put16(d, 22, 2);                // sectors per FAT
        put16(d, 24, kSectorsPerTrack);
        put16(d, 26, kHeads);
        d[510] = 0x55;
        d[511] = static_cast<char>(0xAA);
        auto setFat = [&](std::uint32_t cluster, std::uint32_t value) {
            for (std::size_t fat : {512u, 1024u}) {
                const std::size_t at = fat + cluster * 3 / 2;
                auto* b = reinterpret_cast<unsigned char*>(d.data());
                if (cluster & 1) {
                    b[at] = static_cast<unsigned char>((b[at] & 0x0F) | ((value << 4) & 0xF0));
                    b[at + 1] = static_cast<unsigned char>(value >> 4);
                } else {
                    b[at] = static_cast<unsigned char>(value & 0xFF);
                    b[at + 1] = static_cast<unsigned char>((b[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
                }
            }
        };
        setFat(0, 0xFF9);
        setFat(1, 0xFFF);
        auto clusterAt = [](std::uint32_t cluster) { return std::size_t{kFirstData + cluster - 2} * kSectorSize; };
        auto entry = [](const char* name11, std::uint8_t attributes, std::uint32_t cluster, std::uint32_t size) {
            std::string e(32, '\0');
            std::memcpy(e.data(), name11, 11);
            e[11] = static_cast<char>(attributes);
            put16(e, 22, (10 << 11) | (20 << 5) | 15);
            put16(e, 24, ((2001 - 1980) << 9) | (2 << 5) | 3);
            put16(e, 26, cluster);
            put32(e, 28, size);
            return e;
        };
        std::uint32_t nextCluster = 2;
        // A file of `size` bytes whose every byte depends on the file and its place.
        auto file = [&](const std::string& path, std::uint32_t size, std::uint32_t seed) {
            std::string content(size, '\0');
            std::uint32_t x = seed * 2654435761u + 1;
            for (std::uint32_t i = 0; i < size; ++i) {
                x = x * 1664525u + 1013904223u;
                content[i] = static_cast<char>(x >> 24);
            }
            const std::uint32_t first = size ? nextCluster : 0;
            for (std::uint32_t at = 0; at < size; at += kSectorSize) {
                const std::uint32_t part = std::min(kSectorSize, size - at);
                d.replace(clusterAt(nextCluster), part, content, at, part);
                setFat(nextCluster, at + kSectorSize >= size ? 0xFFF : nextCluster + 1);
                ++nextCluster;
            }
            o.files[path] = content;
            return first;
        };
        const std::size_t root = std::size_t{5} * kSectorSize;
        d.replace(root, 32, entry("FUZZDISK   ", kAttrVolume, 0, 0));
        d.replace(root + 32, 32, entry("FIRST   BIN", 0x20, file("FIRST.BIN", 50000, 1), 50000));
        d.replace(root + 64, 32, entry("SMALL   TXT", 0x20, file("SMALL.TXT", 300, 2), 300));
        d.replace(root + 96, 32, entry("EMPTY   DAT", 0x20, 0, 0));
        o.files["EMPTY.DAT"] = "";
        const std::uint32_t sub = nextCluster++;
        setFat(sub, 0xFFF);
        d.replace(root + 128, 32, entry("SUB        ", kAttrFolder, sub, 0));
        d.replace(root + 160, 32, entry("SECOND  BIN", 0x20, file("SECOND.BIN", 70000, 3), 70000));
        d.replace(clusterAt(sub), 32, entry(".          ", kAttrFolder, sub, 0));
        d.replace(clusterAt(sub) + 32, 32, entry("..         ", kAttrFolder, 0, 0));
        d.replace(clusterAt(sub) + 64, 32, entry("THIRD   BIN", 0x20, file("SUB\\THIRD.BIN", 90000, 4), 90000));
        d.replace(clusterAt(sub) + 96, 32, entry("FOURTH  BIN", 0x20, file("SUB\\FOURTH.BIN", 60000, 5), 60000));
        return o;
    }();
    return made;
}

// ── The D88 being mutated ──────────────────────────────────────────────────

struct Record {
    unsigned char header[16];
    std::string data;
};

struct D88Model {
    std::vector<std::vector<Record>> tracks; // by table entry
    std::vector<bool> countSet;              // per track: a record's count field was set by hand
    // Changes made to the serialized bytes: table entries pointed elsewhere, header bytes poked.
    struct Pointer { std::uint32_t entry, target, records; bool raw; std::uint32_t delta; };
    std::vector<Pointer> pointers;
    struct Poke { std::uint32_t track, record, byte; std::uint8_t value; };
    std::vector<Poke> pokes;
};

D88Model originalModel()
{
    const std::string& disk = original().disk;
    D88Model m;
    m.tracks.resize(kTracks);
    m.countSet.assign(kTracks, false);
    // Interleaved, as dumps of real disks often are: 1, 5, 2, 6, 3, 7, 4, 8.
    const std::uint32_t order[kSectorsPerTrack] = {0, 4, 1, 5, 2, 6, 3, 7};
    for (std::uint32_t t = 0; t < kTracks; ++t) {
        for (std::uint32_t k : order) {
            Record r{};
            r.header[0] = static_cast<unsigned char>(t / kHeads);
            r.header[1] = static_cast<unsigned char>(t % kHeads);
            r.header[2] = static_cast<unsigned char>(k + 1);
            r.header[3] = 2; // 512 bytes
            r.header[4] = kSectorsPerTrack;
            r.data = disk.substr((std::size_t{t} * kSectorsPerTrack + k) * kSectorSize, kSectorSize);
            m.tracks[t].push_back(r);
        }
    }
    return m;
}

std::string serialize(D88Model& m)
{
    std::string out(0x2B0, '\0');
    std::memcpy(out.data(), "FUZZ", 4);
    out[0x1B] = 0x00;
    std::vector<std::vector<std::uint32_t>> recordAt(m.tracks.size());
    for (std::uint32_t t = 0; t < m.tracks.size(); ++t) {
        if (m.tracks[t].empty())
            continue;
        put32(out, 0x20 + 4 * t, static_cast<std::uint32_t>(out.size()));
        for (Record& r : m.tracks[t]) {
            std::string header(reinterpret_cast<const char*>(r.header), 16);
            if (!m.countSet[t])
                put16(header, 4, static_cast<std::uint32_t>(m.tracks[t].size()));
            put16(header, 0x0E, static_cast<std::uint32_t>(r.data.size()));
            recordAt[t].push_back(static_cast<std::uint32_t>(out.size()));
            out += header;
            out += r.data;
        }
    }
    put32(out, 0x1C, static_cast<std::uint32_t>(out.size()));
    for (const D88Model::Pointer& p : m.pointers) {
        std::uint32_t offset = 0;
        if (p.raw) {
            offset = 0x2B0 + p.delta % static_cast<std::uint32_t>(out.size() - 0x2B0);
        } else if (!recordAt[p.target].empty()) {
            offset = recordAt[p.target][p.records % recordAt[p.target].size()];
        }
        put32(out, 0x20 + 4 * p.entry, offset);
    }
    for (const D88Model::Poke& p : m.pokes) {
        if (recordAt[p.track].empty())
            continue;
        out[recordAt[p.track][p.record % recordAt[p.track].size()] + p.byte % 16] = static_cast<char>(p.value);
    }
    return out;
}

// Applies the input's changes: five bytes each (what, and four arguments).
void mutate(D88Model& m, const std::uint8_t* ops, std::size_t size)
{
    for (std::size_t at = 0; at + 5 <= size && at < 5 * 12; at += 5) {
        const std::uint8_t what = ops[at] % 14;
        const std::uint32_t t = ops[at + 1] % kTracks;
        std::vector<Record>& track = m.tracks[t];
        const std::uint8_t a = ops[at + 2], b = ops[at + 3], c = ops[at + 4];
        if (track.empty() && what <= 9)
            continue;
        Record* r = track.empty() ? nullptr : &track[a % track.size()];
        switch (what) {
        case 0: // drop a sector
            track.erase(track.begin() + a % track.size());
            break;
        case 1: // the same sector twice
            track.insert(track.begin() + b % (track.size() + 1), *r);
            break;
        case 2: { // a sector's header again, with another sector's data
            const std::vector<Record>& from = m.tracks[c % kTracks];
            if (from.empty())
                break;
            Record copy = *r;
            copy.data = from[b % from.size()].data;
            track.insert(track.begin() + b % (track.size() + 1), copy);
            break;
        }
        case 3: case 4: case 5: case 6: case 7: // C, H, R, N, status
            r->header[what == 7 ? 8 : what - 3] = b;
            break;
        case 8: { // another data size: its bytes cut short or padded
            static const std::uint32_t sizes[] = {0, 128, 256, 511, 513, 1024};
            r->data.resize(sizes[b % 6], static_cast<char>(c));
            break;
        }
        case 9: // a record's count of sectors in its track, as written
            r->header[4] = b;
            r->header[5] = c;
            m.countSet[t] = true;
            break;
        case 10: // two sectors trade places in the track (another interleave)
            if (!track.empty())
                std::swap(track[a % track.size()], track[b % track.size()]);
            break;
        case 11: // a table entry pointed at another track's records, or anywhere
            m.pointers.push_back({t, static_cast<std::uint32_t>(c % kTracks), a, (b & 1) != 0,
                                  static_cast<std::uint32_t>(a | (b << 8) | (c << 16))});
            break;
        case 12: // a whole track gone from the table
            track.clear();
            break;
        default: // a byte of a sector header
            m.pokes.push_back({t, a, b, c});
            break;
        }
    }
}

// ── What the headers say ───────────────────────────────────────────────────

// A sector as the D88's bytes hold it, read here on their own terms: each
// table entry's records, as many as its first one counts.
struct Seen {
    std::uint32_t entry;
    std::uint32_t c, h, r, n, status, size;
    std::string data;
    bool shared = false; // its track's bytes overlap another track's
};

std::vector<Seen> seenSectors(const std::string& d88)
{
    auto le = [&](std::size_t at, int bytes) {
        std::uint32_t v = 0;
        for (int i = bytes - 1; i >= 0; --i)
            v = v << 8 | static_cast<unsigned char>(d88[at + static_cast<std::size_t>(i)]);
        return v;
    };
    std::vector<Seen> seen;
    std::vector<std::pair<std::size_t, std::size_t>> spans(164, {0, 0});
    for (std::uint32_t t = 0; t < 164; ++t) {
        std::size_t at = le(0x20 + 4 * t, 4);
        if (at == 0)
            continue;
        const std::size_t begin = at;
        std::uint32_t count = 1;
        for (std::uint32_t k = 0; k < count && at + 16 <= d88.size(); ++k) {
            if (k == 0)
                count = le(at + 4, 2);
            const std::uint32_t size = le(at + 14, 2);
            if (at + 16 + size > d88.size())
                break;
            seen.push_back({t, static_cast<unsigned char>(d88[at]), static_cast<unsigned char>(d88[at + 1]),
                            static_cast<unsigned char>(d88[at + 2]), static_cast<unsigned char>(d88[at + 3]),
                            static_cast<unsigned char>(d88[at + 8]), size, d88.substr(at + 16, size)});
            at += 16 + size;
        }
        spans[t] = {begin, at};
    }
    for (Seen& s : seen)
        for (std::uint32_t u = 0; u < 164; ++u)
            if (u != s.entry && spans[u].first < spans[s.entry].second && spans[s.entry].first < spans[u].second)
                s.shared = true;
    return seen;
}

// Every sector the disk reads with success is one the headers place there:
// a good copy (normal or deleted-data status, the disk's size, N agreeing,
// not stored in another track's bytes) whose ID names that place, and no good
// copy there holds other data. Places are by ID (C * heads + H, R) unless two
// stored tracks carry the ID of one track, then by table entry and R.
// Returns whether the disk is the original one wherever it reads.
bool checkSectors(const Disk& disk, const std::string& d88)
{
    const Disk::Layout& layout = disk.layout();
    if (layout.sectorSize != kSectorSize || layout.sectorsPerTrack != kSectorsPerTrack || layout.firstRecord != 1
        || layout.heads != kHeads)
        wrong("a few changed headers changed the disk's layout");
    const std::vector<Seen> seen = seenSectors(d88);
    // The ID most sectors of each stored track carry; by ID unless two share one.
    std::map<std::uint32_t, std::map<std::pair<std::uint32_t, std::uint32_t>, int>> ids;
    for (const Seen& s : seen)
        ++ids[s.entry][{s.c, s.h}];
    bool byId = true;
    std::vector<bool> taken(164 * 2, false);
    for (const auto& [entry, counts] : ids) {
        std::pair<std::uint32_t, std::uint32_t> best{};
        int most = 0;
        for (const auto& [id, count] : counts)
            if (count > most) {
                most = count;
                best = id;
            }
        const std::uint32_t place = best.first * kHeads + best.second;
        if (best.second >= kHeads || place >= 164 || taken[place])
            byId = false;
        else
            taken[place] = true;
    }
    std::map<std::pair<std::uint32_t, std::uint32_t>, std::vector<const Seen*>> good; // (track, R)
    for (const Seen& s : seen) {
        const bool sane = s.n <= 7 && s.size == (128u << s.n) && s.size == kSectorSize;
        if (!sane || s.shared || (s.status != 0x00 && s.status != 0x10) || (byId && s.h >= kHeads))
            continue;
        good[{byId ? s.c * kHeads + s.h : s.entry, s.r}].push_back(&s);
    }
    const std::string& originalDisk = original().disk;
    bool same = true;
    std::string sector(kSectorSize, '\0');
    for (std::uint64_t at = 0; at < disk.size(); at += kSectorSize) {
        const std::uint32_t index = static_cast<std::uint32_t>(at / kSectorSize);
        const auto place = std::make_pair(index / kSectorsPerTrack, index % kSectorsPerTrack + 1);
        const auto found = good.find(place);
        const bool agreed = found != good.end()
            && std::all_of(found->second.begin(), found->second.end(),
                [&](const Seen* s) { return s->data == found->second.front()->data; });
        if (!disk.read(at, sector.data(), kSectorSize)) {
            if (agreed)
                wrong("a sector the headers hold reads as not held: track " + std::to_string(place.first) + " R "
                      + std::to_string(place.second));
            continue;
        }
        if (!agreed || sector != found->second.front()->data)
            wrong("a sector reads with success but not as the headers say: track " + std::to_string(place.first)
                  + " R " + std::to_string(place.second));
        if (at + kSectorSize > originalDisk.size() || originalDisk.compare(at, kSectorSize, sector) != 0)
            same = false;
    }
    return same;
}

void checkMutated(const std::uint8_t* ops, std::size_t size)
{
    const Original& o = original();
    D88Model model = originalModel();
    mutate(model, ops, size);
    const std::string d88 = serialize(model);
    auto disk = openDisk(std::make_shared<MemoryFile>(d88));
    if (!disk || (*disk)->format() != "D88") // a table that no longer starts at its header's end is no D88
        return;
    // Where the headers moved a sector, files may read other bytes, as the disk holds them.
    const bool original = checkSectors(**disk, d88);
    auto volume = Volume::open(*disk);
    if (!volume || !original)
        return;
    std::shared_ptr<const Volume> v = *volume;
    Entry root;
    root.attributes = kAttrFolder;
    (void)walk(*v, root, true, [&](const WalkItem& item) {
        std::string path;
        for (const std::string& part : item.relative)
            path += (path.empty() ? "" : "\\") + part;
        auto expected = o.files.find(path);
        if (item.entry.isFolder())
            return true;
        std::string content;
        FileReader reader(v, item.entry);
        char buffer[4096];
        long got;
        while ((got = reader.read(buffer, sizeof buffer)) > 0)
            content.append(buffer, static_cast<std::size_t>(got));
        if (got < 0)
            return true;
        if (expected == o.files.end())
            wrong("a file that is not on the disk: " + path);
        if (content != expected->second)
            wrong(path + " read with success, but not its content");
        return true;
    });
}

// The floppy containers: the original disk wrapped, sectors marked bad, header bytes poked.
void checkContainer(const std::uint8_t* ops, std::size_t size)
{
    if (size < 1)
        return;
    const Original& o = original();
    const std::uint32_t which = ops[0] % 13u;
    ++ops;
    --size;
    testsupport::FloppyTracks tracks = testsupport::floppyTracks(o.disk, kSectorSize, kSectorsPerTrack, kHeads);
    const bool recordsStatus = which <= 1 || (which >= 5 && which <= 7) || (which >= 9 && which <= 11);
    std::vector<bool> bad(kDiskSectors, false);
    std::vector<std::pair<std::uint32_t, std::uint8_t>> pokes;
    for (std::size_t at = 0; at + 4 <= size && at < 4 * 16; at += 4) {
        const std::uint32_t value = (std::uint32_t{ops[at + 1]} << 16) | (ops[at + 2] << 8) | ops[at + 3];
        if (ops[at] < 0x80) {
            const std::uint32_t sector = value % kDiskSectors;
            if (recordsStatus) {
                bad[sector] = true;
                tracks[sector / kSectorsPerTrack][sector % kSectorsPerTrack].bad = true;
            }
        } else {
            pokes.push_back({value, ops[at]});
        }
    }
    // The containers of the disk with no sector marked are made once.
    static std::map<std::uint32_t, std::string> clean;
    const bool marked = std::find(bad.begin(), bad.end(), true) != bad.end();
    std::string image = marked ? std::string() : clean[which];
    std::uint32_t span = 0; // the header and tables the pokes go to
    const bool made = !image.empty();
    switch (made ? 100 + which : which) {
    case 0: image = testsupport::nfdR0Of(tracks, kHeads); span = 0x10A10; break;
    case 1: image = testsupport::nfdR1Of(tracks, kHeads); span = static_cast<std::uint32_t>(image.size() - o.disk.size()); break;
    case 2: image = testsupport::fddOf(tracks); span = 220 + 160 * 26 * 12 + 32; break;
    case 3: image = testsupport::dcpOf(o.disk, 0x04, kSectorSize * kSectorsPerTrack); span = 0xA2; break;
    case 4: image = testsupport::dimOf(o.disk, 0x02, kSectorSize * kSectorsPerTrack); span = 0x100; break;
    case 5: image = testsupport::imdOf(tracks, kHeads); span = 0x200; break;
    case 6: image = testsupport::td0Of(tracks, kHeads, false); span = 0x200; break;
    case 7: image = testsupport::td0Of(tracks, kHeads, true); span = 0x200; break;
    case 8: image = testsupport::cqmOf(o.disk, kSectorSize, kSectorsPerTrack, kHeads); span = 133; break;
    case 9: image = testsupport::cpcDskOf(tracks, kHeads, false); span = 0x200; break;
    case 10: image = testsupport::cpcDskOf(tracks, kHeads, true); span = 0x200; break;
    case 11: image = testsupport::apriDiskOf(tracks); span = 0x400; break; // the header and the first records
    case 12: image = testsupport::cfiOf(o.disk, kSectorSize * kSectorsPerTrack); span = 0x400; break; // the first tracks
    default: // made before: the span as it was then
        span = which == 0 ? 0x10A10 : which == 1 ? static_cast<std::uint32_t>(image.size() - o.disk.size())
             : which == 2 ? 220 + 160 * 26 * 12 + 32 : which == 3 ? 0xA2 : which == 4 ? 0x100 : which == 8 ? 133 : which >= 11 ? 0x400 : 0x200;
        break;
    }
    if (!marked && !made)
        clean[which] = image;
    span = std::min<std::uint32_t>(span, static_cast<std::uint32_t>(image.size()));
    for (const auto& [offset, mask] : pokes)
        image[offset % span] = static_cast<char>(image[offset % span] ^ (mask & 0x7F ? mask & 0x7F : 1));
    auto disk = openDisk(std::make_shared<MemoryFile>(image));
    if (pokes.empty() && which != 4) { // DIM has no geometry of 8 sectors a track: its disk is another
        if (!disk)
            wrong("a container of the original disk does not open: " + disk.error().message);
        std::string sector(kSectorSize, '\0');
        for (std::uint32_t s = 0; s < kDiskSectors; ++s) {
            const auto read = (*disk)->read(std::uint64_t{s} * kSectorSize, sector.data(), kSectorSize);
            if (bad[s] && read)
                wrong("a sector marked bad read with success");
            if (!bad[s] && !read)
                wrong("a good sector fails: " + read.error().message);
            if (read && sector != o.disk.substr(std::size_t{s} * kSectorSize, kSectorSize))
                wrong("a sector read with success, but not its content");
        }
    }
    if (!disk)
        return;
    auto volume = Volume::open(*disk);
    if (!volume)
        return;
    std::shared_ptr<const Volume> v = *volume;
    Entry root;
    root.attributes = kAttrFolder;
    (void)walk(*v, root, true, [&](const WalkItem& item) {
        if (!item.entry.isFolder()) {
            FileReader reader(v, item.entry);
            char buffer[4096];
            while (reader.read(buffer, sizeof buffer) > 0) {
            }
        }
        return true;
    });
}


// ── The N88-BASIC and Human68k structures ───────────────────────────────────

std::string n88Base()
{
    std::string disk(327680, static_cast<char>(0xFF));
    const std::size_t system = 37 * 16 * 256; // cylinder 18, head 1
    for (int copy = 0; copy < 3; ++copy) {
        char* fat = &disk[system + (13 + copy) * 256];
        fat[0] = fat[1] = fat[74] = fat[75] = static_cast<char>(0xFE);
        fat[2] = 3, fat[3] = static_cast<char>(0xC3), fat[4] = static_cast<char>(0xC8);
    }
    std::memcpy(&disk[system], "A     BAS\x80\x02\xFF\xFF\xFF\xFF\xFF", 16);
    std::memcpy(&disk[system + 16], "B     DAT\x01\x04\xFF\xFF\xFF\xFF\xFF", 16);
    for (std::size_t i = 0; i < 3 * 2048; ++i)
        disk[2 * 2048 + i] = static_cast<char>(i * 7);
    return disk;
}

std::string human68kBase()
{
    std::string disk(1261568, '\0');
    disk[0] = 0x60;
    std::memcpy(&disk[2], "Hudson soft 2.00", 16);
    for (std::size_t fat : {1024u, 3072u}) {
        const unsigned char head[] = {0xFE, 0xFF, 0xFF, 0x03, 0xF0, 0xFF, 0xFF, 0xFF, 0xFF};
        std::memcpy(&disk[fat], head, sizeof head); // 2 -> 3 -> end, 4 -> end, 5 -> end
    }
    auto entry = [&](std::size_t at, const char* name11, const char* more10, unsigned char attributes,
                     unsigned char cluster, std::uint32_t size) {
        std::memcpy(&disk[at], name11, 11);
        disk[at + 11] = static_cast<char>(attributes);
        std::memcpy(&disk[at + 12], more10, std::strlen(more10));
        disk[at + 26] = static_cast<char>(cluster);
        for (int i = 0; i < 4; ++i)
            disk[at + 28 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    };
    const std::size_t root = 5 * 1024;
    entry(root, "LONGNAMETXT", "12345\x93\xfa\x96\x7b", 0x20, 2, 2000);
    entry(root + 32, "SUBFOLDE   ", "R", 0x10, 4, 0);
    const std::size_t sub = (11 + 2) * 1024;
    entry(sub, ".          ", "", 0x10, 4, 0);
    entry(sub + 32, "..         ", "", 0x10, 0, 0);
    entry(sub + 64, "IN      DAT", "", 0x20, 5, 10);
    for (std::size_t i = 0; i < 2048; ++i)
        disk[11 * 1024 + i] = static_cast<char>(i * 3);
    return disk;
}

void checkStructures(const std::uint8_t* data, std::size_t size)
{
    const bool human68k = size >= 1 && (data[0] & 1);
    static const std::string n88 = n88Base(), x68 = human68kBase();
    std::string disk = human68k ? x68 : n88;
    // The pokes land in the structures: the N88 system track, the Human68k boot sector, FATs and root.
    const std::size_t base = human68k ? 0 : 37 * 16 * 256;
    const std::size_t span = human68k ? 11 * 1024 : 16 * 256;
    for (std::size_t at = 1; at + 3 <= size && at < 1 + 3 * 64; at += 3)
        disk[base + ((data[at] | (data[at + 1] << 8)) % span)] = static_cast<char>(data[at + 2]);
    const bool untouched = size < 4;
    auto opened = openDisk(std::make_shared<MemoryFile>(disk));
    if (!opened)
        return;
    auto volume = Volume::open(*opened);
    if (!volume) {
        if (untouched)
            wrong("the sound disk does not open: " + volume.error().message);
        return;
    }
    std::shared_ptr<const Volume> v = *volume;
    if (untouched && v->fileSystem() != (human68k ? "Human68k" : "N88-BASIC"))
        wrong("the sound disk opens as " + v->fileSystem());
    Entry root;
    root.attributes = kAttrFolder;
    std::size_t files = 0;
    Result<void> walked = walk(*v, root, true, [&](const WalkItem& item) {
        (void)v->find(item.relative);
        if (item.entry.isFolder())
            return true;
        ++files;
        FileReader reader(v, item.entry);
        char buffer[4096];
        long got;
        std::uint64_t total = 0;
        while ((got = reader.read(buffer, sizeof buffer)) > 0)
            total += static_cast<std::uint64_t>(got);
        if (got == 0 && total != item.entry.size)
            wrong("a file read with success, but not the size its entry gives");
        if (untouched && got != 0)
            wrong("a file of the sound disk fails: " + reader.problem());
        return true;
    });
    if (untouched && (!walked || files != (human68k ? 2u : 2u)))
        wrong("the sound disk does not walk: " + (walked ? std::to_string(files) + " files" : walked.error().message));
}
// ── Hard disk headers and partition tables ─────────────────────────────────

// A FAT12 volume of `sectors` 512-byte sectors (one FAT sector) holding one
// file, HELLO.TXT.
std::string tinyVolume(std::uint32_t sectors, const char* label)
{
    std::string v(std::size_t{sectors} * 512, '\0');
    v[0] = static_cast<char>(0xEB), v[1] = 0x3C, v[2] = static_cast<char>(0x90);
    put16(v, 11, 512);
    v[13] = sectors > 340 ? 2 : 1; // clusters enough to fit one FAT sector
    put16(v, 14, 1);
    v[16] = 2;
    put16(v, 17, 16);
    put16(v, 19, sectors);
    v[21] = static_cast<char>(0xF8);
    put16(v, 22, 1);
    v[38] = 0x29;
    std::memcpy(&v[43], label, 11);
    for (std::size_t fat : {512u, 1024u}) {
        v[fat] = static_cast<char>(0xF8), v[fat + 1] = static_cast<char>(0xFF), v[fat + 2] = static_cast<char>(0xFF);
        v[fat + 3] = static_cast<char>(0xFF), v[fat + 4] = 0x0F; // cluster 2: the end of its chain
    }
    std::memcpy(&v[1536], "HELLO   TXT", 11);
    put16(v, 1536 + 26, 2);
    put16(v, 1536 + 28, 6);
    std::memcpy(&v[2048], "hello\n", 6);
    return v;
}

std::string hardDisk(std::uint8_t kind)
{
    // 61 cylinders of 8 heads × 17 sectors of 512 bytes (an HDI is no smaller
    // than 4 MiB): partitions of 2 and 3 cylinders.
    constexpr std::uint32_t kCyl = 8 * 17 * 512;
    std::string disk(61 * kCyl, '\0');
    std::string header;
    auto le32s = [](std::uint32_t v) { std::string b(4, '\0'); put32(b, 0, v); return b; };
    switch (kind % 7) {
    case 0:
        header.assign(4096, '\0');
        header.replace(8, 4, le32s(4096));
        header.replace(12, 4, le32s(static_cast<std::uint32_t>(disk.size())));
        header.replace(16, 4, le32s(512));
        header.replace(20, 4, le32s(17));
        header.replace(24, 4, le32s(8));
        header.replace(28, 4, le32s(61));
        break;
    case 1:
        header.assign(512, '\0');
        header.replace(0, 14, "T98HDDIMAGE.R0");
        header.replace(0x110, 4, le32s(512));
        header.replace(0x114, 4, le32s(61));
        put16(header, 0x118, 8);
        put16(header, 0x11A, 17);
        put16(header, 0x11C, 512);
        break;
    case 2:
        header.assign(220, '\0');
        header.replace(0, 7, "VHD1.00");
        put16(header, 0x8E, 512);
        header[0x90] = 17;
        header[0x91] = 8;
        put16(header, 0x92, 61);
        header.replace(0x94, 4, le32s(61 * 8 * 17));
        break;
    case 5:
        header.assign(512, '\0');
        header.replace(0, 4, "HDIM");
        header.replace(4, 4, le32s(static_cast<std::uint32_t>(disk.size())));
        header.replace(12, 16, le32s(512) + le32s(61) + le32s(8) + le32s(17));
        break;
    case 6:
        disk.replace(0, 8, "\xEB\x0A\x90\x90IPL1"); // a raw PC-98 disk: its geometry found by its volumes
        break;
    default:
        break;
    }
    if (kind % 7 == 3) {
        // THD: 8 heads of 33 sectors of 256 bytes; the partitions on cylinders 1 and 2.
        constexpr std::uint32_t kThdCyl = 33 * 8 * 256;
        disk.assign(4 * kThdCyl, '\0');
        header.assign(256, '\0');
        put16(header, 0, 4);
        disk[510] = 0x55, disk[511] = static_cast<char>(0xAA);
        for (std::uint32_t p = 0; p < 2; ++p) {
            std::string e(32, '\0');
            e[0] = static_cast<char>(0xA0), e[1] = static_cast<char>(0xA1);
            put16(e, 10, 1 + p);
            e[12] = 32, e[13] = 7;
            put16(e, 14, 1 + p);
            disk.replace(512 + 32 * p, 32, e);
            disk.replace((1 + p) * kThdCyl, kThdCyl, tinyVolume(kThdCyl / 512, p ? "SECOND     " : "FIRST      "));
        }
        return header + disk;
    }
    if (kind % 7 == 4) {
        // Raw: an MBR, a primary partition at sector 32 and a logical one behind an extended record.
        disk[510] = 0x55, disk[511] = static_cast<char>(0xAA);
        auto entry = [&](std::size_t at, std::uint8_t type, std::uint32_t start, std::uint32_t count) {
            disk[at + 4] = static_cast<char>(type);
            put32(disk, at + 8, start);
            put32(disk, at + 12, count);
        };
        entry(446, 0x01, 32, 32);
        entry(462, 0x05, 64, 64);
        disk[64 * 512 + 510] = 0x55, disk[64 * 512 + 511] = static_cast<char>(0xAA);
        entry(64 * 512 + 446, 0x01, 16, 48);
        disk.replace(32 * 512, 32 * 512, tinyVolume(32, "FIRST      "));
        disk.replace(80 * 512, 48 * 512, tinyVolume(48, "SECOND     "));
        return disk;
    }
    disk[510] = 0x55, disk[511] = static_cast<char>(0xAA);
    for (std::uint32_t p = 0; p < 2; ++p) {
        std::string e(32, '\0');
        e[0] = static_cast<char>(0xA0), e[1] = static_cast<char>(0xA1);
        put16(e, 10, 1 + 2 * p);
        e[12] = 16, e[13] = 7;
        put16(e, 14, 2 + 3 * p);
        disk.replace(512 + 32 * p, 32, e);
        const std::uint32_t cylinders = p ? 3 : 2;
        disk.replace((1 + 2 * p) * kCyl, cylinders * kCyl, tinyVolume(cylinders * kCyl / 512, p ? "SECOND     " : "FIRST      "));
    }
    return header + disk;
}

void checkHardDisk(const std::uint8_t* data, std::size_t size)
{
    if (size < 1)
        return;
    std::string image = hardDisk(data[0]);
    for (std::size_t i = 1; i + 3 <= size && i < 1 + 3 * 32; i += 3) {
        const std::size_t at = (data[i] | (data[i + 1] << 8)) % std::min<std::size_t>(image.size(), 0x9000);
        image[at] = static_cast<char>(data[i + 2]);
    }
    auto disk = openDisk(std::make_shared<MemoryFile>(image));
    const bool sound = size == 1;
    if (!disk) {
        if (sound)
            wrong("the sound hard disk is refused: " + disk.error().message);
        return;
    }
    auto parts = readPartitions(**disk);
    if (sound) {
        auto count = fatPartitionCount(**disk);
        if (!count || *count != 2)
            wrong("the sound hard disk does not show its two FAT partitions: "
                + (count ? std::to_string(*count) : count.error().message));
        for (unsigned n = 1; n <= 2; ++n)
            if (auto volume = Volume::open(*disk, n); !volume)
                wrong("partition " + std::to_string(n) + " of the sound hard disk does not open: " + volume.error().message);
    }
    if (parts) {
        std::vector<Partition> sorted = *parts;
        std::sort(sorted.begin(), sorted.end(), [](const Partition& a, const Partition& b) { return a.offset < b.offset; });
        for (std::size_t i = 0; i < sorted.size(); ++i) {
            if (sorted[i].length == 0 || sorted[i].offset + sorted[i].length > (*disk)->size() || sorted[i].offset < 512)
                wrong(sorted[i].describe() + " taken though it does not lie on the disk after the table");
            if (i > 0 && sorted[i].offset < sorted[i - 1].offset + sorted[i - 1].length)
                wrong(sorted[i - 1].describe() + " and " + sorted[i].describe() + " taken though they overlap");
        }
    }
    for (unsigned n = 0; n <= 3; ++n) {
        auto volume = Volume::open(*disk, n);
        if (!volume)
            continue;
        std::shared_ptr<const Volume> v = *volume;
        Entry root;
        root.attributes = kAttrFolder;
        (void)walk(*v, root, true, [&](const WalkItem& item) {
            if (!item.entry.isFolder()) {
                FileReader reader(v, item.entry);
                char buffer[4096];
                while (reader.read(buffer, sizeof buffer) > 0) {
                }
            }
            return true;
        });
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size >= 1 && data[0] == 0xD8) {
        checkMutated(data + 1, size - 1);
        return 0;
    }
    if (size >= 1 && data[0] == 0xC0) {
        checkContainer(data + 1, size - 1);
        return 0;
    }
    if (size >= 2 && data[0] == 0x88) {
        checkStructures(data + 1, size - 1);
        return 0;
    }
    if (size >= 1 && data[0] == 0x98) {
        checkHardDisk(data + 1, size - 1);
        return 0;
    }
    auto file = std::make_shared<MemoryFile>(std::string(reinterpret_cast<const char*>(data), size));
    auto disk = openDisk(file);
    if (!disk)
        return 0;
    auto volume = Volume::open(*disk);
    if (!volume)
        return 0;
    std::shared_ptr<const Volume> v = *volume;
    Entry root;
    root.attributes = kAttrFolder;
    std::uint64_t produced = 0;
    (void)walk(*v, root, true, [&](const WalkItem& item) {
        (void)v->find(item.relative);
        if (!item.entry.isFolder()) {
            FileReader reader(v, item.entry);
            char buffer[4096];
            long got;
            while ((got = reader.read(buffer, sizeof buffer)) > 0)
                if ((produced += static_cast<std::uint64_t>(got)) > (8u << 20))
                    return false;
        }
        return true;
    });
    return 0;
}
