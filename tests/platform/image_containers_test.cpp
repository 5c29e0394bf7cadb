// Floppy image containers (NFD r0/r1, FDD, DCP/DCU, DIM; ImageDisk,
// TeleDisk, CopyQM, CPC DSK/EDSK, ApriDisk through libdsk): disks that mtools made,
// wrapped by writers that follow the formats' published layouts, read as
// mcopy reads the raw disk; sectors their dumps recorded as bad fail the
// file over them, naming the sector, and no other; damaged headers fail
// naming the image and what is wrong; the image file never changes.
#include "platform.h"

#include <cstddef>
#include <functional>
#include <map>
#include <ostream>
#include <set>

#include <libdsk.h>

#include <gtest/gtest.h>

#include "disk_image.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/image_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;

// A disk mtools made, and what mcopy extracts from it.
struct Base {
    ImageFormat format;
    std::string raw;
    std::map<std::string, TreeFile> extracted;
    std::uint32_t trackBytes() const { return format.sectorSize * format.sectorsPerTrack; }
    FloppyTracks tracks() const { return floppyTracks(raw, format.sectorSize, format.sectorsPerTrack, format.heads); }
};

// A container and how the tests write it.
struct Writer {
    std::string name;
    std::string format; // what the disk calls itself
    int base;           // 0: the 1.44 MB disk, 1: the PC-98 1.23 MB one
    std::function<std::string(const Base&, const FloppyTracks&)> write;
    bool recordsStatus; // whether a sector's bad flag reaches the image
};

void PrintTo(const Writer& w, std::ostream* os)
{
    *os << w.name;
}

std::vector<Writer> writers()
{
    return {
        {"NfdR0", "NFD", 0, [](const Base& b, const FloppyTracks& t) { return nfdR0Of(t, b.format.heads); }, true},
        {"NfdR0Pc98", "NFD", 1, [](const Base& b, const FloppyTracks& t) { return nfdR0Of(t, b.format.heads); }, true},
        {"NfdR1", "NFD", 0, [](const Base& b, const FloppyTracks& t) { return nfdR1Of(t, b.format.heads); }, true},
        {"NfdR1Pc98", "NFD", 1, [](const Base& b, const FloppyTracks& t) { return nfdR1Of(t, b.format.heads); }, true},
        {"Fdd", "FDD", 0, [](const Base&, const FloppyTracks& t) { return fddOf(t); }, false},
        {"FddPc98", "FDD", 1, [](const Base&, const FloppyTracks& t) { return fddOf(t); }, false},
        {"Dcp2hq", "DCP", 0, [](const Base& b, const FloppyTracks&) { return dcpOf(b.raw, 0x03, b.trackBytes()); }, false},
        {"Dcu2hd", "DCP", 1, [](const Base& b, const FloppyTracks&) { return dcpOf(b.raw, 0x01, b.trackBytes()); }, false},
        {"Dim2hq", "DIM", 0, [](const Base& b, const FloppyTracks&) { return dimOf(b.raw, 0x09, b.trackBytes()); }, false},
        {"Dim2hd", "DIM", 1, [](const Base& b, const FloppyTracks&) { return dimOf(b.raw, 0x00, b.trackBytes()); }, false},
        {"ImageDisk", "ImageDisk", 0, [](const Base& b, const FloppyTracks& t) { return imdOf(t, b.format.heads); }, true},
        {"ImageDiskPc98", "ImageDisk", 1, [](const Base& b, const FloppyTracks& t) { return imdOf(t, b.format.heads); }, true},
        {"TeleDisk", "TeleDisk", 0, [](const Base& b, const FloppyTracks& t) { return td0Of(t, b.format.heads, false); }, true},
        {"TeleDiskAdvanced", "TeleDisk", 0,
            [](const Base& b, const FloppyTracks& t) { return td0Of(t, b.format.heads, true); }, true},
        {"CopyQm", "CopyQM", 0, [](const Base& b, const FloppyTracks&) {
             return cqmOf(b.raw, b.format.sectorSize, b.format.sectorsPerTrack, b.format.heads);
         }, false},
        {"CpcDsk", "CPC DSK", 0, [](const Base& b, const FloppyTracks& t) { return cpcDskOf(t, b.format.heads, false); }, true},
        {"Edsk", "EDSK", 0, [](const Base& b, const FloppyTracks& t) { return cpcDskOf(t, b.format.heads, true); }, true},
        {"ApriDisk", "ApriDisk", 0, [](const Base&, const FloppyTracks& t) { return apriDiskOf(t); }, false},
        {"ApriDiskPc98", "ApriDisk", 1, [](const Base&, const FloppyTracks& t) { return apriDiskOf(t); }, false},
        {"Cfi", "CFI", 0, [](const Base& b, const FloppyTracks&) { return cfiOf(b.raw, b.trackBytes()); }, false},
    };
}

class Containers : public ::testing::TestWithParam<Writer> {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        s_bases = new std::vector<Base>;
        for (int index : {1, 3}) { // F144M, PC98
            Base b{imageFormats()[static_cast<std::size_t>(index)], {}, {}};
            const std::string raw = *s_dir / (b.format.name + ".raw");
            makeImage(b.format, raw, "FLOPPY");
            mtoolsExtract(b.format, raw, *s_dir / (b.format.name + "-mcopy"));
            b.raw = readFile(raw);
            b.extracted = readTree(*s_dir / (b.format.name + "-mcopy"));
            s_bases->push_back(std::move(b));
        }
    }
    static void TearDownTestSuite()
    {
        delete s_bases;
        delete s_dir;
        s_bases = nullptr;
        s_dir = nullptr;
    }
    static const Base& base() { return (*s_bases)[static_cast<std::size_t>(GetParam().base)]; }

    // The tracks that SUB/DATA.BIN fills from end to end.
    static std::vector<std::uint32_t> dataTracks()
    {
        std::string data;
        for (const SampleFile& file : sampleFiles())
            if (file.path == "SUB/DATA.BIN")
                data = file.content;
        const std::size_t at = base().raw.find(data);
        EXPECT_NE(at, std::string::npos);
        const std::uint32_t track = base().trackBytes();
        std::vector<std::uint32_t> tracks;
        for (std::size_t t = (at + track - 1) / track; (t + 1) * track <= at + data.size(); ++t)
            tracks.push_back(static_cast<std::uint32_t>(t));
        EXPECT_GE(tracks.size(), 3u);
        return tracks;
    }

    // Every file reads as mcopy extracted it, but `failing`, which fails to
    // read; a walk ends in `walkError` (nothing: succeeds).
    static void expectFiles(const std::string& bytes, const std::string& failing, const std::string& walkError)
    {
        TempDir dir;
        const std::string image = dir / "disk.img";
        writeFile(image, bytes);
        const std::string before = fileState(image);
        ScopedEnv drives("SORVANE2_DRIVES", "a=" + image);
        std::set<std::string> names;
        const auto walked = platform::walkFolder("a:\\", {}, [&](const platform::WalkEntry& e) {
            std::string key = e.relative;
            std::replace(key.begin(), key.end(), '\\', '/');
            names.insert(key);
            return true;
        });
        if (walkError.empty()) {
            EXPECT_TRUE(walked.ok()) << walked.error().message;
            std::set<std::string> extracted;
            for (const auto& [path, file] : base().extracted)
                extracted.insert(path);
            EXPECT_EQ(names, extracted);
        } else {
            ASSERT_FALSE(walked.ok());
            EXPECT_EQ(walked.error().message, image + ": " + walkError);
        }
        for (const auto& [path, file] : base().extracted) {
            if (file.folder)
                continue;
            std::unique_ptr<platform::FileStream> stream = platform::openImageFile(image + "/" + path);
            ASSERT_TRUE(stream) << path;
            std::string content;
            char buffer[4096];
            long got;
            while ((got = stream->read(buffer, sizeof buffer)) > 0)
                content.append(buffer, static_cast<std::size_t>(got));
            if (path == failing) {
                EXPECT_LT(got, 0) << path << " read with success";
                EXPECT_EQ(stream->error(), EIO);
            } else {
                EXPECT_EQ(got, 0) << path;
                EXPECT_TRUE(content == file.content) << path << ": not what mcopy extracts";
            }
        }
        EXPECT_EQ(fileState(image), before) << "the image file changed";
    }

    static TempDir* s_dir;
    static std::vector<Base>* s_bases;
};

TempDir* Containers::s_dir = nullptr;
std::vector<Base>* Containers::s_bases = nullptr;

TEST_P(Containers, ReadAsMcopyReadsTheRawDisk)
{
    const Writer& w = GetParam();
    const std::string bytes = w.write(base(), base().tracks());
    auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(bytes));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    EXPECT_EQ((*disk)->format(), w.format);
    ASSERT_EQ((*disk)->size(), base().raw.size());
    EXPECT_TRUE((*disk)->faults().empty()) << (*disk)->faults().front().reason;
    std::string whole(base().raw.size(), '\0');
    ASSERT_TRUE((*disk)->read(0, whole.data(), whole.size()).ok());
    EXPECT_TRUE(whole == base().raw) << "the disk is not the raw disk mtools made";
    EXPECT_EQ((*disk)->layout().sectorSize, base().format.sectorSize);
    EXPECT_EQ((*disk)->layout().sectorsPerTrack, base().format.sectorsPerTrack);
    expectFiles(bytes, "", "");
}

// Containers that record a sector's read status (or leave whole tracks out).
class ContainerFaults : public Containers {};

TEST_P(ContainerFaults, ASectorTheDumpRecordedBadFailsTheFileOverItAlone)
{
    const Writer& w = GetParam();
    const std::vector<std::uint32_t> tracks = dataTracks();
    ASSERT_FALSE(HasFailure());
    const std::uint32_t t = tracks[1];
    const std::uint32_t heads = base().format.heads;
    std::string bytes;
    std::string reason;
    std::uint32_t record = 7;
    if (w.recordsStatus) {
        FloppyTracks damaged = base().tracks();
        damaged[t][record - 1].bad = true;
        bytes = w.write(base(), damaged);
        reason = "the dump recorded a data CRC error";
    } else if (w.format == "ApriDisk") { // the bad sector's record replaced: no data for it
        FloppyTracks damaged = base().tracks();
        damaged[t][record - 1].bad = true;
        bytes = w.write(base(), damaged);
        reason = "missing from the image";
    } else if (w.format == "DCP" || w.format == "DIM") {
        std::vector<bool> stored(base().raw.size() / base().trackBytes(), true);
        stored[t] = false;
        const std::uint8_t media = static_cast<std::uint8_t>(w.name == "Dcp2hq" ? 0x03 : w.name == "Dcu2hd" ? 0x01
            : w.name == "Dim2hq" ? 0x09 : 0x00);
        bytes = w.format == "DCP" ? dcpOf(base().raw, media, base().trackBytes(), stored)
                                  : dimOf(base().raw, media, base().trackBytes(), stored);
        reason = "the image leaves its track out (an unformatted or unused track)";
        record = 1;
    } else {
        FAIL() << w.name << " records no sector status";
    }
    const std::string named = "cylinder " + std::to_string(t / heads) + " head " + std::to_string(t % heads)
        + " sector " + std::to_string(record) + ": " + reason;
    auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(bytes));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    const std::uint64_t offset = std::uint64_t{t} * base().trackBytes() + (record - 1) * base().format.sectorSize;
    std::string sector(base().format.sectorSize, '\0');
    const platform::Result<void> read = (*disk)->read(offset, sector.data(), sector.size());
    ASSERT_FALSE(read.ok());
    EXPECT_EQ(read.error().message, named);
    EXPECT_TRUE((*disk)->holds(offset - base().format.sectorSize, base().format.sectorSize) || record == 1);
    expectFiles(bytes, "SUB/DATA.BIN", "SUB\\DATA.BIN: " + named);
}

// NFD r1 and EDSK keep every read of a sector whose reads differed: such a
// sector is not held, one whose reads agree is.
class ContainerRereads : public Containers {};

TEST_P(ContainerRereads, RereadsThatDifferFailTheFileOverThem)
{
    const Writer& w = GetParam();
    const std::vector<std::uint32_t> tracks = dataTracks();
    ASSERT_FALSE(HasFailure());
    const std::uint32_t t = tracks[1];
    FloppyTracks alike = base().tracks();
    alike[t][6].rereads = {alike[t][6].data, alike[t][6].data};
    expectFiles(w.write(base(), alike), "", "");
    FloppyTracks differ = base().tracks();
    std::string other = differ[t][6].data;
    other[100] = static_cast<char>(other[100] ^ 0x55);
    differ[t][6].rereads = {other};
    const std::uint32_t heads = base().format.heads;
    expectFiles(w.write(base(), differ), "SUB/DATA.BIN", "SUB\\DATA.BIN: cylinder " + std::to_string(t / heads) + " head "
        + std::to_string(t % heads) + " sector 7: the dump read different data on its 2 reads");
}

std::vector<Writer> writersWhere(const std::function<bool(const Writer&)>& keep)
{
    std::vector<Writer> kept;
    for (const Writer& w : writers())
        if (keep(w))
            kept.push_back(w);
    return kept;
}

std::string writerName(const ::testing::TestParamInfo<Writer>& info)
{
    return info.param.name;
}

INSTANTIATE_TEST_SUITE_P(Writers, Containers, ::testing::ValuesIn(writers()), writerName);
INSTANTIATE_TEST_SUITE_P(Writers, ContainerFaults, ::testing::ValuesIn(writersWhere([](const Writer& w) {
    return w.recordsStatus || w.format == "DCP" || w.format == "DIM" || w.format == "ApriDisk";
})), writerName);
INSTANTIATE_TEST_SUITE_P(Writers, ContainerRereads, ::testing::ValuesIn(writersWhere([](const Writer& w) {
    return w.name == "NfdR1" || w.name == "Edsk";
})), writerName);

// ── Damaged headers ─────────────────────────────────────────────────────────

// A small disk of one file for the damaged images: 720 KB, 9 sectors a track.
class DamagedContainers : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        Floppy f;
        s_raw = new std::string(f.bytes());
    }
    static void TearDownTestSuite()
    {
        delete s_raw;
        delete s_dir;
    }
    static FloppyTracks tracks() { return floppyTracks(*s_raw, 512, 18, 2); }

    // The image fails to open, as a disk and as a drive, naming what is wrong; it is never written.
    static void expectRefused(const std::string& name, const std::string& bytes, const std::string& expected)
    {
        SCOPED_TRACE(name);
        auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(bytes));
        ASSERT_FALSE(disk.ok());
        EXPECT_EQ(disk.error().message, expected);
        TempDir dir;
        const std::string image = dir / "disk.img";
        writeFile(image, bytes);
        const std::string before = fileState(image);
        const platform::Result<void> checked = platform::checkDiskImage(image);
        ASSERT_FALSE(checked.ok());
        EXPECT_NE(checked.error().message.find(image), std::string::npos) << checked.error().message;
        EXPECT_NE(checked.error().message.find(expected), std::string::npos) << checked.error().message;
        EXPECT_EQ(fileState(image), before);
    }

    static TempDir* s_dir;
    static std::string* s_raw;
};

TempDir* DamagedContainers::s_dir = nullptr;
std::string* DamagedContainers::s_raw = nullptr;

void set32(std::string& b, std::size_t at, std::uint32_t v)
{
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

TEST_F(DamagedContainers, FailNamingTheImageAndWhatIsWrong)
{
    const FloppyTracks t = tracks();
    {
        std::string b = nfdR0Of(t, 2);
        set32(b, 0x110, static_cast<std::uint32_t>(b.size() + 1));
        expectRefused("NFD r0 header size", b, "a damaged NFD image: its header size (" + std::to_string(b.size() + 1)
            + " bytes) lies beyond the file (" + std::to_string(b.size()) + " bytes)");
    }
    {
        std::string b = nfdR0Of(t, 2);
        b[0x120 + 3] = 9;
        expectRefused("NFD r0 size code", b, "a damaged NFD image: a sector of track 0 has size code N = 9");
    }
    {
        std::string b = nfdR1Of(t, 2);
        set32(b, 0x120 + 4 * 5, 0x10);
        expectRefused("NFD r1 track entry", b, "a damaged NFD image: the table entry of track 5 lies outside the header");
    }
    {
        std::string b = nfdR1Of(t, 2);
        std::size_t at = 0;
        for (int i = 3; i >= 0; --i)
            at = at << 8 | static_cast<unsigned char>(b[0x120 + i]);
        b[at] = b[at + 1] = static_cast<char>(0xFF); // 65535 sectors: past the header
        expectRefused("NFD r1 sector count", b, "a damaged NFD image: the sector list of track 0 runs past the header");
    }
    expectRefused("NFD revision", std::string("T98FDDIMAGE.R7") + std::string(0x200, '\0'),
        "a damaged NFD image: revision \"7\" is unknown");
    {
        std::string b = fddOf(t);
        set32(b, 220 + 8, 100); // the first sector's data inside the header
        expectRefused("FDD data offset", b, "a damaged FDD image: the data of a sector of track 0 lies inside the header");
        expectRefused("FDD short header", b.substr(0, 4000), "a damaged FDD image: it ends inside its header");
    }
    {
        std::string b = dimOf(*s_raw, 0x09, 9216);
        b[0] = 0x05;
        expectRefused("DIM disk type", b, "a damaged DIM image: its disk type 0x05 is unknown");
        b[0] = 0x09;
        b[1 + 3] = 7;
        expectRefused("DIM track map", b, "a damaged DIM image: the map entry of track 3 is 7, neither stored (1) nor left out (0)");
    }
    {
        std::string b = imdOf(t, 2);
        const std::size_t first = b.find('\x1A') + 1;
        std::string unknown = b;
        unknown[first + 5 + 18] = 9; // the first sector's record type
        expectRefused("IMD record type", unknown, "a damaged ImageDisk image: a sector of track 0 has an unknown record type 9");
        std::string mode = b;
        mode[first] = 7;
        expectRefused("IMD mode", mode, "a damaged ImageDisk image: track 0 has an unknown mode 7");
        expectRefused("IMD truncated", b.substr(0, first + 5 + 18 + 100),
            "a damaged ImageDisk image: track 0 ends inside a sector's data");
        expectRefused("IMD comment", "IMD 1.18: no end mark", "a damaged ImageDisk image: its comment has no end mark");
    }
    {
        std::string b = td0Of(t, 2, false);
        expectRefused("TD0 truncated", b.substr(0, b.size() / 2),
            "a damaged TeleDisk image: a sector header of track 79 runs past the end of the file");
        std::string encoding = b;
        const std::size_t first = 12 + 10 + 18 + 4 + 6 + 2; // the first sector's encoding byte
        encoding[first] = 3;
        expectRefused("TD0 encoding", encoding, "a damaged TeleDisk image: a sector of track 0 holds an unknown encoding 3");
        std::string header = b;
        header[2] = 1;
        header[10] = static_cast<char>(0); // the CRC is checked first: a wrong one is no TeleDisk image
        auto notTeleDisk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(header));
        EXPECT_TRUE(!notTeleDisk.ok() || (*notTeleDisk)->format() == "raw");
    }
    {
        std::string b = cqmOf(*s_raw, 512, 18, 2);
        std::string sum = b;
        sum[0x10] = 17;
        expectRefused("CQM checksum", sum, "a damaged CopyQM image: its header checksum is wrong");
        expectRefused("CQM truncated", b.substr(0, b.size() - 40), "a damaged CopyQM image: its data ends inside a run");
    }
    {
        // The creator's record (16 + 15 bytes) after the header, then the boot sector's.
        const std::string b = apriDiskOf(t);
        const std::size_t boot = 128 + 31;
        ASSERT_EQ(b.substr(boot + 12, 4), std::string("\0\x01\0\0", 4));
        expectRefused("ApriDisk truncated", b.substr(0, boot + 10),
            "a damaged ApriDisk image: record 1 (at byte 159) ends inside its header");
        std::string length = b;
        set32(length, boot + 8, 0x7FFFFFF0);
        expectRefused("ApriDisk data size", length, "a damaged ApriDisk image: record 1 (at byte 159) claims "
            + std::to_string(0x7FFFFFF0) + " bytes of data, past the end of the file");
        std::string size = b;
        set32(size, boot + 8, 500);
        expectRefused("ApriDisk sector size", size, "a damaged ApriDisk image: the record of cylinder 0 head 0 sector 1"
            " (at byte 159) holds 500 bytes, not a size a floppy's sectors have");
        std::string type = b;
        type[boot + 3] = 0x12;
        expectRefused("ApriDisk record type", type, "a damaged ApriDisk image: record 1 (at byte 159) has an unknown type 0x121D0001");
        // The first run: a sector of one byte, stored as its count and the byte.
        const std::size_t run = b.find(std::string("\x01\0\x1D\xE3\x5A\x3E", 6));
        ASSERT_NE(run, std::string::npos);
        std::string count = b;
        count[run + 16] = static_cast<char>(0xFF);
        count[run + 17] = static_cast<char>(0x7F);
        expectRefused("ApriDisk run", count, "a damaged ApriDisk image: the record of cylinder "
            + std::to_string(static_cast<unsigned char>(b[run + 14])) + " head " + std::to_string(static_cast<int>(b[run + 12]))
            + " sector " + std::to_string(static_cast<unsigned char>(b[run + 13])) + " (at byte " + std::to_string(run)
            + ") holds 32767 bytes, not a size a floppy's sectors have");
        std::string twice = b + b.substr(boot, 16 + 512);
        expectRefused("ApriDisk stored twice", twice, "a damaged ApriDisk image: cylinder 0 head 0 sector 1 is stored twice");
    }
    {
        std::string b = cpcDskOf(t, 2, true);
        std::string info = b;
        info[256 + 3] = 'x';
        expectRefused("EDSK track header", info, "a damaged CPC DSK image: track 0 has no Track-Info header");
        std::string table = b;
        table[0x34 + 159] = static_cast<char>(0xF0);
        expectRefused("EDSK track table", table, "a damaged CPC DSK image: track 159 runs past the end of the file");
    }
}

// The BASIC 2HD media of DCP: a first track of 26 sectors of 128 bytes, every
// other one of 26 of 256. The disk keeps 256-byte sectors; its first track is
// not held, the others read as stored, and a file one byte short of the
// whole is a truncated image.
TEST(DcpBasicMedia, TheFirstTrackOfHalfSectorsIsNotHeld)
{
    std::string b(0xA2, '\0');
    b[0] = 0x11;
    b[0xA1] = 1; // every track stored
    std::string data;
    for (std::size_t i = 0; i < 26 * 128 + 153 * 26 * 256; ++i)
        data += static_cast<char>((i * 131) >> 7);
    const std::string image = b + data;
    auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(image));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    EXPECT_EQ((*disk)->format(), "DCP");
    EXPECT_EQ((*disk)->size(), 154u * 26 * 256);
    std::string sector(256, '\0');
    const auto first = (*disk)->read(0, sector.data(), sector.size());
    ASSERT_FALSE(first.ok());
    EXPECT_EQ(first.error().message, "cylinder 0 head 0 sector 1: stored as 128-byte sectors where the disk's sectors have 256");
    std::string rest((154 - 1) * 26 * 256, '\0');
    ASSERT_TRUE((*disk)->read(26 * 256, rest.data(), rest.size()).ok());
    EXPECT_TRUE(rest == data.substr(26 * 128));

    auto shorter = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(image.substr(0, image.size() - 1)));
    ASSERT_TRUE(shorter.ok()) << shorter.error().message;
    const auto last = (*shorter)->read((*shorter)->size() - 256, sector.data(), sector.size());
    ASSERT_FALSE(last.ok());
    EXPECT_EQ(last.error().message, "cylinder 76 head 1 sector 26: the image ends before its data (a truncated image)");
    // One byte more than every track: no DCP (it has no signature to go by).
    auto longer = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(image + 'x'));
    EXPECT_TRUE(!longer.ok() || (*longer)->format() == "raw");
}

// A TeleDisk image of one track of one 512-byte sector whose data block is
// `block` (its encoding byte first).
std::string oneSectorTeleDisk(const std::string& block)
{
    std::string b = {'T', 'D', 0, 0, 0x15, 2, 4, 0, 0, 1, 0, 0};
    std::uint16_t crc = 0;
    for (int i = 0; i < 10; ++i) {
        crc ^= static_cast<std::uint16_t>(static_cast<unsigned char>(b[i]) << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0xA097 : crc << 1);
    }
    b[10] = static_cast<char>(crc & 0xFF);
    b[11] = static_cast<char>(crc >> 8);
    b += std::string{1, 0, 0, 0};          // one sector, cylinder 0, head 0
    b += std::string{0, 0, 1, 2, 0, 0};    // C H R N flags CRC
    b += static_cast<char>(block.size() & 0xFF);
    b += static_cast<char>(block.size() >> 8);
    return b + block + '\xFF';
}

// Sector data that would make libdsk write past its buffer, or loop for
// ever, is refused before libdsk sees it.
// CFI has no signature: a file is one only when every track unpacks to the
// same whole sectors and they make a floppy of a known size. Anything less is
// not taken for CFI, and then is no disk the program reads.
TEST_F(DamagedContainers, CfiIsTakenOnlyForWholeTracksOfAKnownFloppy)
{
    const std::string cfi = cfiOf(*s_raw, 18 * 512);
    auto whole = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(cfi));
    ASSERT_TRUE(whole.ok()) << whole.error().message;
    EXPECT_EQ((*whole)->format(), "CFI");
    auto raw = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(*s_raw));
    ASSERT_TRUE(raw.ok());
    EXPECT_EQ((*raw)->format(), "raw");

    std::string shortTrack = cfi;
    // The first block of the first track, a literal stretch, one byte shorter.
    shortTrack[2] = static_cast<char>(static_cast<unsigned char>(shortTrack[2]) - 1);
    for (const auto& [name, bytes] : {std::pair<std::string, std::string>{"truncated", cfi.substr(0, cfi.size() - 7)},
             {"a track that unpacks short", shortTrack},
             {"one track too few", cfiOf(s_raw->substr(0, s_raw->size() - 18 * 512), 18 * 512)}}) {
        SCOPED_TRACE(name);
        auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(bytes));
        if (disk.ok()) {
            EXPECT_NE((*disk)->format(), "CFI");
        }
        TempDir dir;
        const std::string image = dir / "disk.cfi";
        writeFile(image, bytes);
        const std::string before = fileState(image);
        const platform::Result<void> checked = platform::checkDiskImage(image);
        ASSERT_FALSE(checked.ok());
        EXPECT_NE(checked.error().message.find(image), std::string::npos) << checked.error().message;
        EXPECT_EQ(fileState(image), before);
    }
}

TEST_F(DamagedContainers, TeleDiskSectorDataIsCheckedBeforeLibdskDecodesIt)
{
    const std::string fits = std::string{2, 1, static_cast<char>(255), 'a', 'b'} + std::string{1, 1, 'c', 'd'};
    auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(oneSectorTeleDisk(fits)));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    std::string sector(512, '\0');
    ASSERT_TRUE((*disk)->read(0, sector.data(), sector.size()).ok());
    std::string expected;
    for (int i = 0; i < 255; ++i)
        expected += "ab";
    EXPECT_EQ(sector, expected + "cd");

    const std::string prefix = "a damaged TeleDisk image: a sector of track 0 holds ";
    expectRefused("runs past the sector", oneSectorTeleDisk(std::string{2, 1, static_cast<char>(255), 'a', 'b'}
        + std::string{1, 2, 'c', 'd'}), prefix + "runs that pass the end of the sector");
    expectRefused("an empty run", oneSectorTeleDisk(std::string{2, 0, 0} + std::string(512, 'x')), prefix + "an empty run");
    expectRefused("a run of an unknown unit", oneSectorTeleDisk(std::string{2, 9, 1} + std::string(512, 'x')),
        prefix + "a run of unknown type 9");
    expectRefused("a pattern short of the sector", oneSectorTeleDisk(std::string{1, 10, 0, 'a', 'b'}),
        prefix + "a pattern that does not fill the sector");
    expectRefused("raw data short of the sector", oneSectorTeleDisk(std::string(1, '\0') + std::string(100, 'x')),
        prefix + "raw data of another length than the sector's");
}

// TeleDisk's advanced compression: what the tests' packer writes is what
// libdsk's own unpacker reads, and what this program's unpacker reads.
TEST(TeleDiskPacking, LibdskReadsThePackedImageAsThePlainOne)
{
    Floppy f;
    const std::string raw = f.bytes();
    const FloppyTracks tracks = floppyTracks(raw, 512, 18, 2);
    TempDir dir;
    const std::string packed = dir / "disk.td0";
    writeFile(packed, td0Of(tracks, 2, true));
    DSK_PDRIVER drive = nullptr;
    ASSERT_EQ(dsk_open(&drive, packed.c_str(), "tele", nullptr), DSK_ERR_OK);
    DSK_GEOMETRY g{};
    ASSERT_EQ(dsk_getgeom(drive, &g), DSK_ERR_OK);
    std::string sector(512, '\0');
    int differ = 0;
    for (std::uint32_t t = 0; t < tracks.size(); ++t)
        for (std::uint32_t s = 0; s < 18; ++s) {
            int deleted = 0;
            const dsk_err_t err = dsk_xread(drive, &g, sector.data(), t / 2, t % 2, t / 2, t % 2, s + 1, 512, &deleted);
            if (err != DSK_ERR_OK || sector != tracks[t][s].data)
                ++differ;
        }
    dsk_close(&drive);
    EXPECT_EQ(differ, 0);
    auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(readFile(packed)));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    std::string whole(raw.size(), '\0');
    ASSERT_TRUE((*disk)->read(0, whole.data(), whole.size()).ok());
    EXPECT_TRUE(whole == raw);
}

} // namespace
