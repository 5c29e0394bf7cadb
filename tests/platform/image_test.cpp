// Disk images as drives: images made by mtools and dosfstools read through the
// platform interface as mcopy and 7-Zip read them; crafted names; damaged
// images ending in clear errors; the image file never changes.
#include "platform.h"

#include <map>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "disk_image.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;

struct Seen {
    platform::EntryType type = platform::EntryType::File;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    bool hidden = false, system = false, readOnly = false;
    std::string content;
};

// Every entry of a: by its relative path ("SUB/DATA.BIN"), files read through openImageFile.
std::map<std::string, Seen> walkDrive(std::string* error = nullptr)
{
    std::map<std::string, Seen> seen;
    auto walked = platform::walkFolder("a:\\", {}, [&](const platform::WalkEntry& e) {
        Seen s{e.type, e.size, e.mtime, e.hidden, e.system, e.readOnly, {}};
        if (e.type == platform::EntryType::File) {
            std::unique_ptr<platform::FileStream> stream = platform::openImageFile(e.native);
            EXPECT_TRUE(stream) << e.native;
            char buffer[3000];
            long got;
            while (stream && (got = stream->read(buffer, sizeof buffer)) > 0)
                s.content.append(buffer, static_cast<size_t>(got));
        }
        std::string key = e.relative;
        for (char& c : key)
            if (c == '\\')
                c = '/';
        seen[key] = s;
        return true;
    });
    if (error)
        *error = walked.ok() ? std::string() : walked.error().message;
    else
        EXPECT_TRUE(walked.ok()) << walked.error().message;
    return seen;
}

// The same D88 with the 0x2A0-byte header of the writers that keep a table of
// 160 tracks: the table ends where the first track begins.
std::string shortHeaderD88(const std::string& d88)
{
    std::string out = d88.substr(0, 0x2A0) + d88.substr(0x2B0);
    auto moveBack = [&out](size_t at) {
        std::uint32_t value = 0;
        for (int i = 3; i >= 0; --i)
            value = value << 8 | static_cast<unsigned char>(out[at + i]);
        if (value == 0)
            return;
        value -= 0x10;
        for (int i = 0; i < 4; ++i)
            out[at + i] = static_cast<char>(value >> (8 * i));
    };
    moveBack(0x1C); // the image's size
    for (size_t track = 0; track < 160; ++track)
        moveBack(0x20 + 4 * track);
    return out;
}

struct Case {
    ImageFormat format;
    std::string container; // "raw", "D88" or "FDI"
};

class ImageRoundTrip : public ::testing::TestWithParam<Case> {};

TEST_P(ImageRoundTrip, ReadsWhatMcopyAnd7zipRead)
{
    const Case& c = GetParam();
    TempDir dir;
    const std::string raw = dir / "disk.raw";
    makeImage(c.format, raw, "GAME01");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    std::string image = raw;
    if (c.container == "D88") {
        image = dir / "disk.d88";
        writeFile(image, d88Of(readFile(raw), c.format.sectorSize, c.format.sectorsPerTrack, c.format.heads));
    } else if (c.container == "D88short") {
        image = dir / "disk.d88";
        writeFile(image, shortHeaderD88(d88Of(readFile(raw), c.format.sectorSize, c.format.sectorsPerTrack, c.format.heads)));
    } else if (c.container == "FDI") {
        image = dir / "disk.fdi";
        writeFile(image, fdiOf(readFile(raw), c.format.sectorSize, c.format.sectorsPerTrack, c.format.heads));
    }
    const std::string before = fileState(image);
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + image + ";d=" + dir.path());
    ScopedCwd cwd;

    // The label in the drive list and as the volume's.
    std::optional<platform::Drive> a = platform::findDrive('a');
    ASSERT_TRUE(a);
    EXPECT_EQ(platform::driveEntryText(*a), "a: [GAME01]");
    EXPECT_EQ(platform::volumeLabel('a').valueOr("?"), "GAME01");
    EXPECT_TRUE(platform::isDriveReady('a'));

    // Names, sizes, bytes and times as mcopy extracts them.
    const std::map<std::string, Seen> seen = walkDrive();
    mtoolsExtract(c.format, raw, dir / "mcopy");
    const auto extracted = readTree(dir / "mcopy");
    std::set<std::string> seenNames, extractedNames;
    for (const auto& [path, s] : seen)
        seenNames.insert(path);
    for (const auto& [path, file] : extracted)
        extractedNames.insert(path);
    EXPECT_EQ(seenNames, extractedNames);
    for (const auto& [path, file] : extracted) {
        auto found = seen.find(path);
        if (found == seen.end() || file.folder)
            continue;
        EXPECT_EQ(found->second.content, file.content) << path;
        EXPECT_EQ(found->second.size, file.content.size()) << path;
        EXPECT_EQ(found->second.mtime, file.mtime) << path;
    }

    // Attributes, as 7-Zip reads the FAT side of a raw image.
    if (c.container == "raw" && c.format.name != "Card") {
        for (const auto& [path, attributes] : sevenZipAttributes(raw)) {
            auto found = seen.find(path);
            ASSERT_NE(found, seen.end()) << path;
            EXPECT_EQ(found->second.hidden, attributes.find('H') != std::string::npos) << path;
            EXPECT_EQ(found->second.system, attributes.find('S') != std::string::npos) << path;
            EXPECT_EQ(found->second.readOnly, attributes.find('R') != std::string::npos) << path;
            EXPECT_EQ(found->second.type == platform::EntryType::Folder, attributes.find('D') != std::string::npos)
                << path;
        }
    }
    for (const SampleFile& file : sampleFiles()) {
        if (file.path.back() != '/') {
            ASSERT_TRUE(seen.count(file.path)) << file.path;
            EXPECT_EQ(seen.at(file.path).content, file.content) << file.path;
        }
    }

    // The path procedures: case-blind look-up, on-disk names, current folders, read only.
    EXPECT_TRUE(platform::isFolder("a:\\sub\\deep"));
    EXPECT_FALSE(platform::isFolder("a:\\readme.txt"));
    EXPECT_TRUE(platform::canOpenForReading("a:\\sub\\data.bin"));
    EXPECT_FALSE(platform::canOpenForReading("a:\\sub"));
    EXPECT_FALSE(platform::canOpenForReading("a:\\nothing.txt"));
    EXPECT_EQ(platform::onDiskName("a:\\mixed.txt").valueOr("?"), "MiXed.Txt");
    EXPECT_EQ(platform::toNative("a:\\sub\\deep\\X.TXT").valueOr("?"), image + "/SUB/DEEP/x.txt");
    EXPECT_EQ(platform::makeFolder("a:\\NEW").error().code, EROFS);
    EXPECT_EQ(platform::deleteFile("a:\\README.TXT").error().code, EROFS);
    const platform::Result<platform::DiskFree> space = platform::diskFree("a:\\");
    ASSERT_TRUE(space.ok());
    EXPECT_EQ(space->freeClusters, 0u);
    EXPECT_GT(space->totalClusters, 0u);
    EXPECT_EQ(space->bytesPerSector, c.format.sectorSize);
    ASSERT_TRUE(platform::changeDrive('a').ok());
    ASSERT_TRUE(platform::changeFolder("a:\\").ok());
    EXPECT_EQ(platform::currentFolder(), "A:\\");
    ASSERT_TRUE(platform::changeFolder("SUB").ok());
    EXPECT_EQ(platform::currentFolder(), "A:\\SUB");
    EXPECT_EQ(platform::fullPath("deep").valueOr("?"), "A:\\SUB\\deep");
    EXPECT_FALSE(platform::changeFolder("a:\\readme.txt").ok());
    ASSERT_TRUE(platform::changeDrive('d').ok());
    EXPECT_EQ(platform::currentFolder(), "D:\\");
    ASSERT_TRUE(platform::changeDrive('a').ok());
    EXPECT_EQ(platform::currentFolder(), "A:\\SUB") << "each drive keeps its folder";
    ASSERT_TRUE(platform::changeDrive('d').ok());

    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

std::vector<Case> roundTripCases()
{
    std::vector<Case> cases;
    for (const ImageFormat& format : imageFormats())
        cases.push_back({format, "raw"});
    for (const ImageFormat& format : imageFormats()) {
        if (format.name == "F144M" || format.name == "PC98") {
            cases.push_back({format, "D88"});
            cases.push_back({format, "D88short"});
            cases.push_back({format, "FDI"});
        }
    }
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Formats, ImageRoundTrip, ::testing::ValuesIn(roundTripCases()),
    [](const ::testing::TestParamInfo<Case>& info) { return info.param.format.name + "_" + info.param.container; });

// ── Names and media made byte by byte ───────────────────────────────────────

class CraftedImage : public ::testing::Test {
protected:
    std::map<std::string, Seen> read(const std::string& bytes, std::string* error = nullptr)
    {
        writeFile(m_dir / "disk.img", bytes);
        m_before = fileState(m_dir / "disk.img");
        m_env.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/disk.img");
        return walkDrive(error);
    }
    void TearDown() override { EXPECT_EQ(fileState(m_dir / "disk.img"), m_before); }

    TempDir m_dir;
    std::string m_before;
    std::optional<ScopedEnv> m_env;
};

TEST_F(CraftedImage, ShortNamesLongNamesAndAttributes)
{
    Floppy f;
    int slot = 0;
    f.putRoot(slot++, Floppy::entry("MYLABEL    ", platform::image::kAttrVolume, 0, 0));
    f.putRoot(slot++, Floppy::entry("\x83\x5C\x95\x5C    TXT", 0x20, 0, 0)); // "ソ表": 0x5C trail bytes
    f.putRoot(slot++, Floppy::entry("\x05\x40      DAT", 0x20, 0, 0));       // 0xE5 lead byte kept as 0x05
    f.putRoot(slot++, Floppy::entry("\xE5OLD    TXT", 0x20, 0, 0));          // deleted
    f.putRoot(slot++, Floppy::entry("README  TXT", 0x20, 0, 0, 0x18));       // lower-case flags
    f.putRoot(slot++, Floppy::entry("HALF    TXT", 0x20, 0, 0, 0x08));
    f.putRoot(slot++, Floppy::entry("\xB6\xC5      TXT", 0x20, 0, 0));         // half-width kana
    for (const std::string& e : Floppy::longNameEntries(u"Long Name ソ.txt", "LONGNA~1TXT"))
        f.putRoot(slot++, e);
    f.putRoot(slot++, Floppy::entry("LONGNA~1TXT", 0x20, 0, 0));
    for (const std::string& e : Floppy::longNameEntries(u"Broken.txt", "BROKEN~1TXT", true))
        f.putRoot(slot++, e);
    f.putRoot(slot++, Floppy::entry("BROKEN~1TXT", 0x20, 0, 0));
    f.putRoot(slot++, Floppy::entry("ATTRS   BIN", 0x27, 2, 700)); // read-only, hidden, system
    std::string data;
    for (int i = 0; i < 700; ++i)
        data += static_cast<char>(i % 251);
    f.putData(2, data);
    f.setFat(2, 3);
    f.setFat(3, 0xFFF);
    f.putRoot(slot++, Floppy::entry("SUB        ", platform::image::kAttrFolder, 4, 0));
    f.setFat(4, 0xFFF);
    f.putInCluster(4, 0, Floppy::entry(".          ", platform::image::kAttrFolder, 4, 0));
    f.putInCluster(4, 1, Floppy::entry("..         ", platform::image::kAttrFolder, 0, 0));
    f.putInCluster(4, 2, Floppy::entry("INNER   TXT", 0x20, 0, 0));

    const auto seen = read(f.bytes());
    std::set<std::string> names;
    for (const auto& [path, s] : seen)
        names.insert(path);
    EXPECT_EQ(names, (std::set<std::string>{"ソ表.TXT", "蕁.DAT", "readme.txt", "half.TXT", "ｶﾅ.TXT",
                         "Long Name ソ.txt", "BROKEN~1.TXT", "ATTRS.BIN", "SUB", "SUB/INNER.TXT"}));
    ASSERT_TRUE(seen.count("ATTRS.BIN"));
    const Seen& attrs = seen.at("ATTRS.BIN");
    EXPECT_TRUE(attrs.hidden && attrs.system && attrs.readOnly);
    EXPECT_EQ(attrs.content, data);
    EXPECT_EQ(platform::volumeLabel('a').valueOr("?"), "MYLABEL");
    EXPECT_EQ(platform::toNative("a:\\LONGNA~1.TXT").valueOr("?"), m_dir / "disk.img/Long Name ソ.txt");
}

TEST_F(CraftedImage, DosOneMediaWithoutBootParameters)
{
    // 160 K and the PC-98 1.23 M format as mformat writes them, then the BPB wiped.
    for (const std::string geometry : {"-t 40 -h 1 -s 8 -c 1 -r 4 -m 0xfe", "-t 77 -h 2 -s 8 -S 3 -c 1 -r 6 -m 0xfe"}) {
        const std::string made = m_dir / "made.img";
        shell("rm -f " + quote(made));
        writeFile(m_dir / "A.TXT", "dos one");
        const CommandResult formatted = shell("MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mformat -i " + quote(made) + " -C "
            + geometry + " :: && MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null mcopy -i " + quote(made) + " "
            + quote(m_dir / "A.TXT") + " :: 2>&1");
        ASSERT_EQ(formatted.exitCode, 0) << formatted.output;
        std::string bytes = readFile(made);
        std::fill(bytes.begin() + 3, bytes.begin() + 62, '\0');
        bytes[510] = bytes[511] = 0;
        const auto seen = read(bytes);
        ASSERT_TRUE(seen.count("A.TXT")) << geometry;
        EXPECT_EQ(seen.at("A.TXT").content, "dos one");
    }
}

// ── Damaged and hostile images ──────────────────────────────────────────────

struct Damage {
    const char* name;
    std::function<std::string()> image;
    const char* expected; // part of the error
};

std::string withFile(std::uint16_t cluster, std::uint32_t size, const std::function<void(Floppy&)>& more)
{
    Floppy f;
    f.putRoot(0, Floppy::entry("FILE    BIN", 0x20, cluster, size));
    more(f);
    return f.bytes();
}

std::vector<Damage> damages()
{
    return {
        {"ChainLoops", [] { return withFile(2, 3000, [](Floppy& f) { f.setFat(2, 3); f.setFat(3, 2); }); },
            "loops"},
        {"ChainOutOfRange", [] { return withFile(2, 3000, [](Floppy& f) { f.setFat(2, 4000); }); }, "out of range"},
        {"FirstClusterOutOfRange", [] { return withFile(3500, 10, [](Floppy&) {}); }, "out of range"},
        {"SizeLongerThanChain", [] { return withFile(2, 5000, [](Floppy& f) { f.setFat(2, 0xFFF); }); },
            "longer than its cluster chain"},
        {"ChainsCross", [] { return withFile(2, 600, [](Floppy& f) {
             f.setFat(2, 3);
             f.setFat(3, 0xFFF);
             f.putRoot(1, Floppy::entry("OTHER   BIN", 0x20, 3, 100));
         }); }, "another chain"},
        {"BadCluster", [] { return withFile(2, 600, [](Floppy& f) { f.setFat(2, 0xFF7); }); }, "out of range"},
        {"FolderLoop", [] {
             Floppy f;
             f.putRoot(0, Floppy::entry("SUB        ", platform::image::kAttrFolder, 2, 0));
             f.setFat(2, 0xFFF);
             f.putInCluster(2, 0, Floppy::entry(".          ", platform::image::kAttrFolder, 2, 0));
             f.putInCluster(2, 1, Floppy::entry("..         ", platform::image::kAttrFolder, 0, 0));
             f.putInCluster(2, 2, Floppy::entry("AGAIN      ", platform::image::kAttrFolder, 2, 0));
             return f.bytes();
         }, "folder loop"},
        {"FolderAtRoot", [] {
             Floppy f;
             f.putRoot(0, Floppy::entry("SUB        ", platform::image::kAttrFolder, 0, 0));
             return f.bytes();
         }, "folder loop"},
        {"Truncated", [] { return withFile(2, 100, [](Floppy& f) { f.setFat(2, 0xFFF); f.bytes().resize(17000); }); },
            "truncated"},
        {"NotCp932", [] {
             Floppy f;
             f.putRoot(0, Floppy::entry("\x81\x20" "BAD   TXT", 0x20, 0, 0));
             return f.bytes();
         }, "not a valid CP932"},
        // (The FAT's media byte goes too: a 1.44 M disk whose BPB is gone is still known by it.)
        {"SectorSizeAbsurd", [] { Floppy f; f.bytes()[11] = 3; f.bytes()[512] = 0; return f.bytes(); }, "not a FAT, Human68k or N88-BASIC disk"},
        {"NoFats", [] { Floppy f; f.bytes()[16] = 0; f.bytes()[512] = 0; return f.bytes(); }, "not a FAT, Human68k or N88-BASIC disk"},
        {"FatPastTheEnd", [] {
             Floppy f;
             f.bytes().resize(1024); // the image ends inside the first FAT
             return f.bytes();
         }, "truncated"},
        {"Fat32FatEnormous", [] {
             Floppy f;
             std::string& b = f.bytes();
             b[17] = b[18] = b[22] = b[23] = b[19] = b[20] = 0; // no fixed root, FAT32 fields
             b[32] = 0; b[33] = 0; b[34] = 0; b[35] = 0x10;           // 256 M sectors
             b[36] = 0; b[37] = 0; b[38] = 0; b[39] = 0x01;           // 16 M sectors per FAT
             b[44] = 2; b[45] = b[46] = b[47] = 0;              // root folder at cluster 2
             b[512] = 0; // and no 1.44 M media byte to fall back on
             return b;
         }, "too large"},
        {"RandomBytes", [] {
             std::string b(1474560, '\0');
             for (size_t i = 0; i < b.size(); ++i)
                 b[i] = static_cast<char>((i * 2654435761u) >> 13);
             return b;
         }, "not a FAT, Human68k or N88-BASIC disk"},
        {"TooSmall", [] { return std::string(100, 'x'); }, "too small"},
        {"D88TrackOutside", [] {
             Floppy f;
             std::string d88 = d88Of(f.bytes(), 512, 18, 2);
             d88[0x24] = '\xFF'; d88[0x25] = '\xFF'; d88[0x26] = '\x0F'; d88[0x27] = 0;
             return d88;
         }, "damaged D88"},
        {"D88SectorCount", [] {
             Floppy f;
             std::string d88 = d88Of(f.bytes(), 512, 18, 2);
             d88[0x2B0 + 4] = '\xFF'; d88[0x2B0 + 5] = '\xFF';
             return d88;
         }, "damaged D88"},
        {"FdiShort", [] {
             Floppy f;
             std::string fdi = fdiOf(f.bytes(), 512, 18, 2, 0x30);
             fdi.resize(4096 + 9000);
             return fdi;
         }, "truncated"},
    };
}

class DamagedImage : public ::testing::TestWithParam<Damage> {};

TEST_P(DamagedImage, EndsInAClearError)
{
    TempDir dir;
    const std::string image = dir / "disk.img";
    writeFile(image, GetParam().image());
    const std::string before = fileState(image);
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + image);
    std::string error;
    if (platform::checkDiskImage(image).ok()) {
        walkDrive(&error);
    } else {
        error = platform::checkDiskImage(image).error().message;
        EXPECT_FALSE(platform::isDriveReady('a'));
        EXPECT_FALSE(platform::walkFolder("a:\\", {}, [](const platform::WalkEntry&) { return true; }).ok());
    }
    EXPECT_NE(error.find(GetParam().expected), std::string::npos) << error;
    EXPECT_EQ(fileState(image), before);
}

INSTANTIATE_TEST_SUITE_P(Images, DamagedImage, ::testing::ValuesIn(damages()),
    [](const ::testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

// ── D88 images read by their sector headers ─────────────────────────────────

// One 1.44 M disk that mtools made and extracted, wrapped in D88s damaged one
// sector or track at a time. Its SUB/DATA.BIN covers several whole tracks.
class D88Sectors : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        s_dir = new TempDir;
        const ImageFormat& f = format();
        makeImage(f, *s_dir / "disk.raw", "SECTORS");
        mtoolsExtract(f, *s_dir / "disk.raw", *s_dir / "mcopy");
        s_raw = new std::string(readFile(*s_dir / "disk.raw"));
        s_extracted = new std::map<std::string, TreeFile>(readTree(*s_dir / "mcopy"));
    }
    static void TearDownTestSuite()
    {
        delete s_extracted;
        delete s_raw;
        delete s_dir;
    }
    static const ImageFormat& format()
    {
        static const ImageFormat f = imageFormats()[1]; // F144M
        return f;
    }
    static std::uint32_t trackBytes() { return format().sectorSize * format().sectorsPerTrack; }

    // The tracks that SUB/DATA.BIN fills from end to end, by table index.
    std::vector<std::uint32_t> dataTracks() const
    {
        std::string data;
        for (const SampleFile& file : sampleFiles())
            if (file.path == "SUB/DATA.BIN")
                data = file.content;
        const std::size_t at = s_raw->find(data);
        EXPECT_NE(at, std::string::npos);
        EXPECT_EQ(at % format().sectorSize, 0u);
        std::vector<std::uint32_t> tracks;
        for (std::size_t t = (at + trackBytes() - 1) / trackBytes(); (t + 1) * trackBytes() <= at + data.size(); ++t)
            tracks.push_back(static_cast<std::uint32_t>(t));
        EXPECT_GE(tracks.size(), 5u);
        return tracks;
    }
    D88Layout layout() const
    {
        const ImageFormat& f = format();
        return d88Tracks(*s_raw, f.sectorSize, f.sectorsPerTrack, f.heads);
    }
    static std::string sectorText(std::uint32_t track, std::uint32_t record)
    {
        return "cylinder " + std::to_string(track / 2) + " head " + std::to_string(track % 2) + " sector "
            + std::to_string(record);
    }

    // Every file reads as mcopy extracted it from the raw disk, but `failing`,
    // which fails to read; a walk ends in `walkError` (nothing: succeeds).
    void expectFiles(const std::string& d88, const std::string& failing, const std::string& walkError)
    {
        TempDir dir;
        const std::string image = dir / "disk.d88";
        writeFile(image, d88);
        const std::string before = fileState(image);
        ScopedEnv drives("SORVANE2_DRIVES", "a=" + image);
        std::string error;
        const std::map<std::string, Seen> seen = walkDrive(&error);
        if (walkError.empty()) {
            EXPECT_EQ(error, "");
            std::set<std::string> names, extracted;
            for (const auto& [path, s] : seen)
                names.insert(path);
            for (const auto& [path, file] : *s_extracted)
                extracted.insert(path);
            EXPECT_EQ(names, extracted);
        } else {
            EXPECT_EQ(error, image + ": " + walkError);
        }
        for (const auto& [path, file] : *s_extracted) {
            if (file.folder)
                continue;
            std::string native = image + "/" + path;
            std::unique_ptr<platform::FileStream> stream = platform::openImageFile(native);
            ASSERT_TRUE(stream) << path;
            std::string content;
            char buffer[4096];
            long got;
            while ((got = stream->read(buffer, sizeof buffer)) > 0)
                content.append(buffer, static_cast<size_t>(got));
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
    static std::string* s_raw;
    static std::map<std::string, TreeFile>* s_extracted;
};

TempDir* D88Sectors::s_dir = nullptr;
std::string* D88Sectors::s_raw = nullptr;
std::map<std::string, TreeFile>* D88Sectors::s_extracted = nullptr;

TEST_F(D88Sectors, AFaultySectorFailsTheFileOnItNamingTheSectorAndNoOtherFile)
{
    const std::vector<std::uint32_t> tracks = dataTracks();
    ASSERT_FALSE(HasFailure());
    const std::uint32_t t = tracks[1], u = tracks[3]; // u + 1 holds DATA.BIN too
    struct Fault {
        const char* name;
        std::function<void(D88Layout&)> damage;
        std::uint32_t record; // of track t, the first that DATA.BIN cannot read
        std::string reason;
    };
    auto onSector = [t](std::function<void(D88Record&)> change) {
        return [t, change](D88Layout& d) { change(d.record(t / 2, t % 2, 7)); };
    };
    auto withStatus = [&](std::uint8_t status) { return onSector([status](D88Record& r) { r.status = status; }); };
    const std::vector<Fault> faults = {
        {"missing", [t](D88Layout& d) {
             auto& track = d.tracks[t];
             track.erase(std::find_if(track.begin(), track.end(), [](const D88Record& r) { return r.r == 7; }));
         }, 7, "missing from the image"},
        {"twice with other data", [t](D88Layout& d) {
             D88Record copy = d.record(t / 2, t % 2, 7);
             copy.data = d.record(t / 2, t % 2, 8).data;
             d.tracks[t].insert(d.tracks[t].begin(), copy);
         }, 7, "stored twice with different data"},
        {"N of another size", onSector([](D88Record& r) { r.n = 3; }), 7,
            "stored with 512 bytes (N = 3) where the disk's sectors have 512"},
        {"data of another size", onSector([](D88Record& r) { r.data.resize(256); r.n = 1; }), 7,
            "stored with 256 bytes (N = 1) where the disk's sectors have 512"},
        {"N and size disagreeing", [t](D88Layout& d) {
             D88Record& r = d.record(t / 2, t % 2, 7); // N = 2 says 512 bytes; 256 are stored
             r.data.resize(256);
             r.sizeField = 256;
         }, 7, "stored with 256 bytes (N = 2) where the disk's sectors have 512"},
        {"ID CRC error", withStatus(0xA0), 7, "the dump recorded an ID CRC error"},
        {"data CRC error", withStatus(0xB0), 7, "the dump recorded a data CRC error"},
        {"no address mark", withStatus(0xE0), 7, "the dump recorded no address mark"},
        {"no data mark", withStatus(0xF0), 7, "the dump recorded no data mark"},
        {"another error status", withStatus(0x80), 7, "the dump recorded error status 0x80"},
        {"track gone from the table", [t](D88Layout& d) { d.tracks[t].clear(); }, 1, "missing from the image"},
        {"two table entries at one track's bytes", [t, u](D88Layout& d) { d.storedAt[t] = {u, 0}; }, 1,
            "stored in bytes of the image that another track is stored in too (a damaged image)"},
        {"a table entry inside another track", [t, u](D88Layout& d) { d.storedAt[t] = {u, 5}; }, 1,
            "stored in bytes of the image that another track is stored in too (a damaged image)"},
    };
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        D88Layout d = layout();
        fault.damage(d);
        const std::string d88 = d.bytes();
        const std::string named = sectorText(t, fault.record) + ": " + fault.reason;

        // The disk: the sector reads as an error naming it, and is listed with its reason.
        auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(d88));
        ASSERT_TRUE(disk.ok()) << disk.error().message;
        const std::uint64_t offset = std::uint64_t{t} * trackBytes() + (fault.record - 1) * format().sectorSize;
        std::string sector(format().sectorSize, '\0');
        const platform::Result<void> read = (*disk)->read(offset, sector.data(), sector.size());
        ASSERT_FALSE(read.ok());
        EXPECT_EQ(read.error().message, named);
        EXPECT_EQ((*disk)->gap(offset - 1, 2).value_or("held"), named);
        EXPECT_TRUE((*disk)->holds(offset - format().sectorSize, format().sectorSize));
        const auto& listed = (*disk)->faults();
        EXPECT_TRUE(std::any_of(listed.begin(), listed.end(), [&](const platform::image::SectorFault& f) {
            return f.diskOffset == offset && f.cylinder == t / 2 && f.head == t % 2 && f.record == fault.record
                && f.reason == fault.reason;
        }));
        EXPECT_EQ((*disk)->size(), s_raw->size());

        // The drive: the walk names the file and the sector; every other file reads as mcopy reads it.
        expectFiles(d88, "SUB/DATA.BIN", "SUB\\DATA.BIN: " + named);
    }
}

TEST_F(D88Sectors, WhatTheHeadersSayAlikeReadsAsTheRawDisk)
{
    const std::vector<std::uint32_t> tracks = dataTracks();
    ASSERT_FALSE(HasFailure());
    const std::uint32_t t = tracks[1];
    const std::uint32_t lastTrack = static_cast<std::uint32_t>(s_raw->size() / trackBytes()) - 1;
    struct Alike {
        const char* name;
        std::function<void(D88Layout&)> change;
    };
    const std::vector<Alike> alike = {
        {"deleted data", [t](D88Layout& d) { d.record(t / 2, t % 2, 7).status = 0x10; }},
        {"a sector twice with the same data", [t](D88Layout& d) {
             d.tracks[t].push_back(d.record(t / 2, t % 2, 7));
         }},
        {"a good copy beside one with a data CRC error", [t](D88Layout& d) {
             D88Record bad = d.record(t / 2, t % 2, 7);
             bad.status = 0xB0;
             bad.data.assign(bad.data.size(), 'x');
             d.tracks[t].insert(d.tracks[t].begin(), bad);
         }},
        {"sectors in any order, numbered from 0", [](D88Layout& d) {
             std::uint32_t seed = 12345;
             for (auto& track : d.tracks) {
                 for (D88Record& r : track)
                     --r.r;
                 for (std::size_t i = track.size(); i > 1; --i) {
                     seed = seed * 1103515245u + 12345u;
                     std::swap(track[i - 1], track[(seed >> 8) % i]);
                 }
             }
         }},
        {"numbered from 0x41", [](D88Layout& d) {
             for (auto& track : d.tracks)
                 for (D88Record& r : track)
                     r.r = static_cast<std::uint8_t>(r.r + 0x40);
         }},
        {"tracks stored in another order than their table entries", [t](D88Layout& d) {
             std::swap(d.tracks[t], d.tracks[t + 2]);
             std::swap(d.tracks[0], d.tracks[5]);
         }},
        {"both sides recorded with head 0", [](D88Layout& d) {
             for (auto& track : d.tracks)
                 for (D88Record& r : track)
                     r.h = 0;
         }},
        {"an extra sector past the track's run", [t](D88Layout& d) {
             D88Record extra = d.record(t / 2, t % 2, 7);
             extra.r = 0xF5;
             extra.data.assign(extra.data.size(), 'p');
             d.tracks[t].push_back(extra);
         }},
        {"a data CRC error where no file is", [lastTrack](D88Layout& d) {
             d.record(lastTrack / 2, lastTrack % 2, 18).status = 0xB0;
         }},
    };
    for (const Alike& a : alike) {
        SCOPED_TRACE(a.name);
        D88Layout d = layout();
        a.change(d);
        expectFiles(d.bytes(), "", "");
        auto disk = platform::image::openDisk(std::make_shared<platform::image::MemoryFile>(d.bytes()));
        ASSERT_TRUE(disk.ok());
        EXPECT_EQ((*disk)->size(), s_raw->size());
    }
}

TEST(ImageAttach, AttachedImageTakesAFreeLetterAndGoes)
{
    TempDir dir;
    Floppy f;
    f.putRoot(0, Floppy::entry("DISK5      ", platform::image::kAttrVolume, 0, 0));
    writeFile(dir / "five.img", f.bytes());
    writeFile(dir / "not.img", std::string(5000, 'x'));
    makeDirs(dir / "a");
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + dir.path() + "/a");
    EXPECT_FALSE(platform::attachImage(dir / "not.img").ok());
    EXPECT_FALSE(platform::attachImage("relative.img").ok());
    const platform::Result<char> letter = platform::attachImage(dir / "five.img");
    ASSERT_TRUE(letter.ok()) << letter.error().message;
    EXPECT_EQ(*letter, 'b');
    EXPECT_EQ(platform::attachedImage(), dir / "five.img");
    EXPECT_EQ(platform::driveEntryText(*platform::findDrive('b')), "b: [DISK5]");
    EXPECT_EQ(platform::toDialect(dir / "five.img/X").valueOr("?"), "B:\\X");
    EXPECT_EQ(*platform::attachImage(dir / "five.img", 'k'), 'k');
    EXPECT_FALSE(platform::findDrive('b'));
    platform::detachImage();
    EXPECT_FALSE(platform::findDrive('k'));
    EXPECT_EQ(platform::attachedImage(), "");
}

} // namespace
