// Pack runs whose source is a Human68k or an N88-BASIC disk image: the
// archive holds what the disk's writer put, under the names it gave (CP932
// in the LZH headers, as bsdtar and lhasa read them back), the image never
// changes; a damaged one fails naming the image and the cause, writing nothing.
#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/fs_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;

std::string pattern(std::size_t size, unsigned seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>((i * 37 + seed * 11 + (i >> 7)) & 0xFF);
    return data;
}

CommandResult pack(const TempDir& dir, const std::string& image)
{
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    const std::string env = "SORVANE2_DRIVES=" + quote("a=" + image + ";c=" + dir.path() + "/arc;d=" + dir.path()
        + "/tmp") + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    return shell(env + quote(binaryDir() + "/sorvane2-pack")
        + " --drive a: --name DISK --folder 'C:\\' --tmp 'D:\\' --format lzh --hidden 2>&1");
}

void expectArchiveHolds(const TempDir& dir, const std::map<std::string, std::string>& files)
{
    const std::string archive = dir / "arc/DISK.LZH";
    const CommandResult tested = shell("lhasa t " + quote(archive) + " 2>&1");
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    makeDirs(dir / "x");
    const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(dir / "x") + " 2>&1");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    std::map<std::string, std::string> got;
    for (const auto& [path, file] : readTree(dir / "x"))
        got[file.folder ? path + "/" : path] = file.content;
    EXPECT_EQ(got, files);
}

TEST(ImageFsPack, AHuman68kDiskPacksUnderItsLongShiftJisNames)
{
    TempDir dir;
    Human68kDisk disk;
    disk.addFile(0, "日本語のファイル名.DOC", pattern(3000, 1));
    disk.addFile(0, "ABCDEFGHIJKLMNOPQR.TXT", "eighteen\r\n");
    const std::uint16_t sub = disk.addFolder(0, "サブフォルダ");
    disk.addFile(sub, "表示ソフト.R", pattern(2049, 2));
    ASSERT_FALSE(HasFatalFailure());
    const std::string image = dir / "X68.XDF";
    writeFile(image, disk.bytes());
    const std::string before = fileState(image);
    const CommandResult packed = pack(dir, image);
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    expectArchiveHolds(dir, disk.files());
    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

TEST(ImageFsPack, AnN88BasicDiskInAD88PacksItsFilesAsBytes)
{
    TempDir dir;
    N88Disk disk(N88Disk::Kind::TwoD);
    std::string binary = pattern(900, 3);
    binary[0] = binary[899] = 0x1A;
    disk.addFile("GAME", "BIN", binary, 0x01);
    disk.addFile("DATA", "", pattern(disk.clusterBytes() * 2 + 300, 4), 0x00, 3);
    disk.addFile("HELLO", "BAS", "\xFF\x10\x00\x0A\x00\x91 \"HI\"\x00\x00\x00", 0x90);
    const std::string image = dir / "N88.D88";
    writeFile(image, d88Of(disk.bytes(), 256, 16, 2, 0x00));
    const std::string before = fileState(image);
    const CommandResult packed = pack(dir, image);
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    expectArchiveHolds(dir, disk.files());
    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

// A PC-9801 2HD disk as its dump holds it: cylinder 0 head 0 (the IPL) in 26
// FM sectors of 128 bytes, the rest in 256-byte sectors.
TEST(ImageFsPack, AnN88Basic2hdDiskWithItsFmIplTrackPacks)
{
    TempDir dir;
    N88Disk disk(N88Disk::Kind::TwoHD);
    disk.addFile("MAIN", "BAS", pattern(3000, 5), 0x80);
    disk.addFile("SPRITE", "DAT", pattern(disk.clusterBytes() + 17, 6), 0x00, 2);
    D88Layout layout = d88Tracks(disk.bytes(), 256, 26, 2, 0x20);
    for (std::size_t r = 0; r < layout.tracks[0].size(); ++r) {
        layout.tracks[0][r].n = 0;
        layout.tracks[0][r].data = pattern(128, static_cast<unsigned>(r));
    }
    const std::string image = dir / "BASIC.D88";
    writeFile(image, layout.bytes());
    const std::string before = fileState(image);
    const CommandResult packed = pack(dir, image);
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    expectArchiveHolds(dir, disk.files());
    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

TEST(ImageFsPack, DamagedDisksFailNamingTheImageAndCauseAndWriteNothing)
{
    struct Case {
        std::string file, bytes, cause;
    };
    std::vector<Case> cases;
    {
        N88Disk disk(N88Disk::Kind::TwoD);
        const std::uint8_t first = disk.addFile("LOOP", "DAT", pattern(disk.clusterBytes() * 2, 5));
        disk.setFat(disk.fat(first), first);
        cases.push_back({"LOOP.D88", d88Of(disk.bytes(), 256, 16, 2, 0x00), "LOOP.DAT: its cluster chain loops"});
    }
    {
        N88Disk disk(N88Disk::Kind::TwoHD);
        const std::uint8_t first = disk.addFile("FAR", "DAT", pattern(100, 6));
        disk.setFat(first, 0x9F); // 159: past the 154 clusters of a 2HD disk
        cases.push_back({"FAR.HDM", disk.bytes(), "FAR.DAT: its cluster chain leads to cluster 159, out of range"});
    }
    {
        Human68kDisk disk;
        disk.putEntry(0, Human68kDisk::entry(std::string("BADNAME12") + "\x82" + ".TXT", 0x20, 0, 0));
        cases.push_back({"BAD.XDF", disk.bytes(), "not a valid Shift-JIS file name"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        TempDir dir;
        const std::string image = dir / c.file;
        writeFile(image, c.bytes);
        const std::string before = fileState(image);
        const CommandResult packed = pack(dir, image);
        EXPECT_NE(packed.exitCode, 0) << packed.output;
        EXPECT_NE(packed.output.find(image + ": "), std::string::npos) << packed.output;
        EXPECT_NE(packed.output.find(c.cause), std::string::npos) << packed.output;
        EXPECT_TRUE(readTree(dir / "arc").empty()) << "an archive was left";
        EXPECT_EQ(fileState(image), before) << "the image file changed";
    }
}

} // namespace
