// The file systems behind the one volume interface: MSX-DOS 1 disks without a
// BPB (made by mformat, compared with what mcopy reads of the sound disk),
// Human68k disks with their 18.3 Shift-JIS names and N88-BASIC disks of the
// three layouts (built by the writers, compared with what they put), and the
// damaged structures each of them refuses, naming the entry and the cause.
#include <map>
#include <string>

#include <gtest/gtest.h>

#include "disk_image.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/fs_writers.h"
#include "support/image_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;
using namespace platform::image;
using platform::Error;
using platform::Result;

struct Read {
    std::map<std::string, std::string> files; // path with "/" -> content; folders end in "/"
    std::map<std::string, Entry> entries;
};

Result<std::shared_ptr<Volume>> volumeOf(const std::string& bytes)
{
    auto disk = openDisk(std::make_shared<MemoryFile>(bytes));
    if (!disk)
        return disk.error();
    return Volume::open(*disk);
}

// readAll: every entry the walk gives, with the bytes FileReader reads; the
// walk's or a read's error as the Error.
Result<Read> readAll(const std::shared_ptr<Volume>& volume)
{
    Read read;
    Entry root;
    root.attributes = kAttrFolder;
    std::string problem;
    Result<void> walked = walk(*volume, root, true, [&](const WalkItem& item) {
        std::string path;
        for (const std::string& part : item.relative)
            path += (path.empty() ? "" : "/") + part;
        if (item.entry.isFolder()) {
            read.files[path + "/"] = "";
            read.entries[path + "/"] = item.entry;
            return true;
        }
        FileReader reader(volume, item.entry);
        std::string content;
        char buffer[3000];
        long got;
        while ((got = reader.read(buffer, sizeof buffer)) > 0)
            content.append(buffer, static_cast<std::size_t>(got));
        if (got < 0) {
            problem = path + ": " + reader.problem();
            return false;
        }
        read.files[path] = content;
        read.entries[path] = item.entry;
        return true;
    });
    if (!walked)
        return walked.error();
    if (!problem.empty())
        return Error{EIO, problem};
    return read;
}

std::string pattern(std::size_t size, unsigned seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return data;
}

// ── MSX-DOS 1 ───────────────────────────────────────────────────────────────

TEST(MsxDos1, A720KDiskWithoutBpbReadsAsMcopyReadsTheSoundDisk)
{
    TempDir dir;
    const ImageFormat format = imageFormat("F720K");
    ASSERT_FALSE(format.name.empty());
    const std::string raw = dir / "msx.dsk";
    makeImage(format, raw, "MSXDISK");
    ASSERT_FALSE(HasFatalFailure());
    mtoolsExtract(format, raw, dir / "mtools");
    ASSERT_FALSE(HasFatalFailure());
    // MSX-DOS 1 boot sectors hold no BPB: the FAT's media byte (0xF9) tells the format.
    std::string bytes = readFile(raw);
    ASSERT_EQ(static_cast<unsigned char>(bytes[512]), 0xF9);
    std::fill(bytes.begin() + 3, bytes.begin() + 62, '\0');
    auto volume = volumeOf(bytes);
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_FALSE((*volume)->geometry().fromBpb);
    EXPECT_EQ((*volume)->fileSystem(), "FAT12");
    auto read = readAll(*volume);
    ASSERT_TRUE(read) << read.error().message;
    std::map<std::string, std::string> expected;
    for (const auto& [path, file] : readTree(dir / "mtools"))
        expected[file.folder ? path + "/" : path] = file.content;
    EXPECT_EQ(read->files, expected);
}

// ── Human68k ────────────────────────────────────────────────────────────────

Human68kDisk sampleHuman68k()
{
    Human68kDisk disk;
    disk.addFile(0, "日本語のファイル名.DOC", pattern(3000, 1));           // 18 bytes of Shift-JIS, 3 clusters
    disk.addFile(0, "ABCDEFGHIJKLMNOPQR.TXT", "eighteen characters\r\n"); // 18 + 3 ASCII
    disk.addFile(0, "A日本語テキスト.X", pattern(1024, 2));              // a character across the two name fields
    disk.addFile(0, "lower.c", "int main(void) { return 0; }\n");
    disk.addFile(0, "EMPTY.DAT", "");
    const std::uint16_t sub = disk.addFolder(0, "サブフォルダ");
    disk.addFile(sub, "表示ソフト.R", pattern(2049, 3), 0x21);            // 0x5C trail bytes; read-only
    return disk;
}

class Human68kRead : public ::testing::TestWithParam<std::string> {};

TEST_P(Human68kRead, LongShiftJisNamesAndContentsAreWhatTheWriterPut)
{
    Human68kDisk disk = sampleHuman68k();
    ASSERT_FALSE(HasFatalFailure());
    const std::string bytes = GetParam() == "D88" ? d88Of(disk.bytes(), 1024, 8, 2, 0x20) : disk.bytes();
    auto volume = volumeOf(bytes);
    ASSERT_TRUE(volume) << volume.error().message;
    EXPECT_EQ((*volume)->fileSystem(), "Human68k");
    auto read = readAll(*volume);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->files, disk.files());
    // Today's FAT reading would have cut these to "日本語のファイル名" → 8.3.
    EXPECT_TRUE(read->files.count("日本語のファイル名.DOC"));
    const Entry& readOnly = read->entries.at("サブフォルダ/表示ソフト.R");
    EXPECT_TRUE(readOnly.attributes & kAttrReadOnly);
    EXPECT_EQ(read->entries.at("lower.c").mtime, dosTime(Human68kDisk::kDate, Human68kDisk::kTime));
    // Found by name, without regard to case for the ASCII part.
    auto found = (*volume)->find({"サブフォルダ", "表示ソフト.r"});
    ASSERT_TRUE(found && *found) << (found ? "" : found.error().message);
    EXPECT_EQ((**found).name, "表示ソフト.R");
}

INSTANTIATE_TEST_SUITE_P(Containers, Human68kRead, ::testing::Values("raw", "D88"));

TEST(Human68kDamage, ANameThatIsNotShiftJisIsRefusedWithItsBytes)
{
    Human68kDisk disk;
    disk.addFile(0, "GOOD.TXT", "fine\n");
    // A lead byte with nothing after it, in the name's second field.
    disk.putEntry(0, Human68kDisk::entry(std::string("BADNAME12") + "\x82" + ".TXT", 0x20, 0, 0));
    auto volume = volumeOf(disk.bytes());
    ASSERT_TRUE(volume) << volume.error().message;
    auto read = readAll(*volume);
    ASSERT_FALSE(read);
    EXPECT_NE(read.error().message.find("not a valid Shift-JIS file name"), std::string::npos) << read.error().message;
    EXPECT_NE(read.error().message.find("the root folder"), std::string::npos) << read.error().message;
}

TEST(Human68kDamage, ChainsAreCheckedAsFatOnes)
{
    Human68kDisk disk;
    disk.addFile(0, "長い名前のファイル.BIN", pattern(3072, 4)); // clusters 2, 3, 4
    disk.setFat(4, 2);                                                  // back to the start
    auto volume = volumeOf(disk.bytes());
    ASSERT_TRUE(volume) << volume.error().message;
    auto read = readAll(*volume);
    ASSERT_FALSE(read);
    EXPECT_NE(read.error().message.find("長い名前のファイル.BIN: its cluster chain loops"), std::string::npos)
        << read.error().message;
}

// ── N88-BASIC ───────────────────────────────────────────────────────────────

struct N88Case {
    const char* name;
    N88Disk::Kind kind;
    std::uint32_t sectorsPerTrack;
};

class N88Read : public ::testing::TestWithParam<N88Case> {};

N88Disk sampleN88(N88Disk::Kind kind)
{
    N88Disk disk(kind);
    std::string binary = pattern(700, 5);
    binary[0] = binary[100] = binary[699] = 0x1A; // an end-of-text byte is data in a binary file
    disk.addFile("HELLO", "BAS", "\xFF\x10\x00\x0A\x00\x91 \"HELLO\"\x00\x00\x00", 0x80);
    disk.addFile("DATA", "", pattern(disk.clusterBytes() * 2 + 256 * 3 + 17, 6), 0x00, 3); // partial last cluster
    disk.addFile("GAME", "BIN", binary, 0x01);
    disk.addFile("LOCKED", "BAS", pattern(256, 7), 0x90); // write-protected
    disk.addFile("ｶﾅ", "", "kana name\r\n", 0x00);
    return disk;
}

TEST_P(N88Read, FilesEndAtTheSectorsTheirLastClusterGives)
{
    N88Disk disk = sampleN88(GetParam().kind);
    const bool twoHD = GetParam().kind == N88Disk::Kind::TwoHD;
    // A PC-9801's 2HD disk as dumped: its IPL track (cylinder 0 head 0) in 26 FM sectors of 128 bytes.
    D88Layout fm = d88Tracks(disk.bytes(), 256, GetParam().sectorsPerTrack, 2, twoHD ? 0x20 : 0x00);
    for (std::size_t r = 0; r < fm.tracks[0].size(); ++r) {
        fm.tracks[0][r].n = 0;
        fm.tracks[0][r].data = pattern(128, static_cast<unsigned>(r));
    }
    std::vector<std::string> containers{"raw", "D88"};
    if (twoHD)
        containers.insert(containers.end(), {"D88 with an FM IPL track", "DIM"});
    for (const std::string& container : containers) {
        SCOPED_TRACE(container);
        const std::string bytes = container == "D88" ? d88Of(disk.bytes(), 256, GetParam().sectorsPerTrack, 2, twoHD ? 0x20 : 0x00)
            : container == "DIM"                     ? dimOf(disk.bytes(), 0x11, 26 * 256)
            : container == "raw"                     ? disk.bytes()
                                                     : fm.bytes();
        auto volume = volumeOf(bytes);
        ASSERT_TRUE(volume) << volume.error().message;
        EXPECT_EQ((*volume)->fileSystem(), "N88-BASIC");
        auto read = readAll(*volume);
        ASSERT_TRUE(read) << read.error().message;
        EXPECT_EQ(read->files, disk.files());
        EXPECT_EQ(read->files.at("DATA").size(), disk.clusterBytes() * 2 + 256 * 4);
        EXPECT_EQ(read->files.at("GAME.BIN").substr(0, 700), disk.files().at("GAME.BIN").substr(0, 700));
        EXPECT_TRUE(read->entries.at("LOCKED.BAS").attributes & kAttrReadOnly);
        EXPECT_FALSE(read->entries.at("GAME.BIN").attributes & kAttrReadOnly);
        auto found = (*volume)->find({"hello.bas"});
        ASSERT_TRUE(found && *found);
        EXPECT_EQ((**found).name, "HELLO.BAS");
    }
}

INSTANTIATE_TEST_SUITE_P(Layouts, N88Read,
    ::testing::Values(N88Case{"TwoD", N88Disk::Kind::TwoD, 16}, N88Case{"TwoDD", N88Disk::Kind::TwoDD, 16},
                      N88Case{"TwoHD", N88Disk::Kind::TwoHD, 26}),
    [](const auto& info) { return std::string(info.param.name); });

struct N88Damage {
    const char* name;
    void (*damage)(N88Disk&, std::uint8_t first);
    const char* message;
};

class N88Damaged : public ::testing::TestWithParam<N88Damage> {};

TEST_P(N88Damaged, IsRefusedNamingTheFileAndCause)
{
    N88Disk disk(N88Disk::Kind::TwoD);
    disk.addFile("OTHER", "BAS", pattern(300, 8));
    const std::uint8_t first = disk.addFile("VICTIM", "DAT", pattern(disk.clusterBytes() * 3, 9));
    GetParam().damage(disk, first);
    auto volume = volumeOf(disk.bytes());
    ASSERT_TRUE(volume) << volume.error().message;
    auto read = readAll(*volume);
    ASSERT_FALSE(read) << "a damaged disk read as sound";
    EXPECT_NE(read.error().message.find(GetParam().message), std::string::npos) << read.error().message;
}

INSTANTIATE_TEST_SUITE_P(Faults, N88Damaged, ::testing::Values(
    N88Damage{"ChainLoop", [](N88Disk& d, std::uint8_t first) { d.setFat(d.fat(d.fat(first)) == 0 ? first : d.fat(first), first); },
              "VICTIM.DAT: its cluster chain loops"},
    N88Damage{"ClusterOutOfRange", [](N88Disk& d, std::uint8_t first) { d.setFat(first, 0xA5); },
              "VICTIM.DAT: its cluster chain leads to cluster 165, out of range (0 to 159)"},
    N88Damage{"FirstClusterOutOfRange", [](N88Disk& d, std::uint8_t) { d.bytes()[d.directoryOffset() + 16 + 10] = static_cast<char>(0xB0); },
              "VICTIM.DAT: its cluster chain leads to cluster 176, out of range"},
    N88Damage{"IntoTheSystemTrack", [](N88Disk& d, std::uint8_t first) { d.setFat(first, 74); },
              "VICTIM.DAT: its cluster chain leads to cluster 74, which the FAT marks reserved"},
    N88Damage{"LastClusterTooLong", [](N88Disk& d, std::uint8_t first) { d.setFat(d.fat(d.fat(first)), 0xC9); },
              "more sectors than a cluster's 8"},
    N88Damage{"CrossedChains", [](N88Disk& d, std::uint8_t) { d.bytes()[d.directoryOffset() + 10] = d.bytes()[d.directoryOffset() + 16 + 10]; },
              "VICTIM.DAT: its cluster chain starts in another chain, that of OTHER.BAS"},
    N88Damage{"SameNameTwice", [](N88Disk& d, std::uint8_t) { d.bytes().replace(d.directoryOffset(), 9, "VICTIMDAT"); },
              "two of its entries have the name \"VICTIM.DAT\""},
    N88Damage{"NameNotText", [](N88Disk& d, std::uint8_t) { d.bytes()[d.directoryOffset() + 16 + 2] = 0x07; },
              "not a valid N88-BASIC file name (bytes 5649075449"}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(N88Damage, ASectorTheDumpLacksIsNamedWithTheFile)
{
    N88Disk disk(N88Disk::Kind::TwoD);
    const std::uint8_t first = disk.addFile("DUMPED", "", pattern(1000, 10));
    D88Layout layout = d88Tracks(disk.bytes(), 256, 16, 2, 0x00);
    // Cluster `first` is the half track first % 2 of track first / 2; its second sector.
    const std::uint32_t track = first / 2;
    layout.record(track / 2, track % 2, (first % 2) * 8 + 2).status = 0xB0;
    auto volume = volumeOf(layout.bytes());
    ASSERT_TRUE(volume) << volume.error().message;
    auto read = readAll(*volume);
    ASSERT_FALSE(read);
    EXPECT_NE(read.error().message.find("DUMPED: cylinder " + std::to_string(track / 2) + " head "
                                        + std::to_string(track % 2) + " sector " + std::to_string((first % 2) * 8 + 2)),
              std::string::npos)
        << read.error().message;
}

// The FAT is kept three times, in the system track's last three sectors: a
// dump that lost the first copy reads from the next; one that lost all three
// is refused, naming the first, and not read as the empty DOS 1.x disk the
// formatted sectors' 0xFF bytes would make of it.
TEST(N88Damage, AFatCopyTheDumpLostIsTakenFromTheNext)
{
    N88Disk disk(N88Disk::Kind::TwoD);
    disk.addFile("KEPT", "BAS", pattern(1500, 11));
    const std::uint32_t track = static_cast<std::uint32_t>(disk.directoryOffset() / (16 * 256));
    D88Layout layout = d88Tracks(disk.bytes(), 256, 16, 2, 0x00);
    layout.record(track / 2, track % 2, 14).status = 0xB0;
    auto volume = volumeOf(layout.bytes());
    ASSERT_TRUE(volume) << volume.error().message;
    auto read = readAll(*volume);
    ASSERT_TRUE(read) << read.error().message;
    EXPECT_EQ(read->files, disk.files());

    layout.record(track / 2, track % 2, 15).status = 0xB0;
    layout.record(track / 2, track % 2, 16).status = 0xB0;
    auto lost = volumeOf(layout.bytes());
    ASSERT_FALSE(lost) << "a disk without a readable FAT was taken";
    EXPECT_NE(lost.error().message.find("cylinder " + std::to_string(track / 2) + " head " + std::to_string(track % 2)
                                        + " sector 14"), std::string::npos)
        << lost.error().message;
}

TEST(FileSystemChoice, ADiskOfNoKnownFileSystemIsRefusedNamingWhatWasLookedFor)
{
    for (std::size_t size : {327680u, 655360u, 1025024u, 1261568u}) {
        auto volume = volumeOf(std::string(size, '\xE5'));
        ASSERT_FALSE(volume) << size;
        EXPECT_NE(volume.error().message.find("not a FAT, Human68k or N88-BASIC disk: "), std::string::npos)
            << volume.error().message;
    }
}

} // namespace
