// Pack runs of hard disk images: every FAT partition packs into its own
// archive holding what mcopy reads from that partition; "IMAGE#N" in the
// drive map packs one; a damaged table fails naming the image and the cause.
// The image never changes.
#include <set>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/hdd_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;


// The archive holds the files mcopy reads from the volume at `offset` of `image`, bytes and times.
void expectArchiveOfVolume(const std::string& archive, const std::string& image, std::uint64_t offset,
                           const std::string& work)
{
    extractAt(image, offset, work + "-mcopy");
    std::map<std::string, TreeFile> expected;
    for (const auto& [path, file] : readTree(work + "-mcopy"))
        if (!file.folder)
            expected[path] = file;
    const std::map<std::string, TreeFile> got = unpacked(archive, work + "-archive");
    ASSERT_EQ(got.size(), expected.size()) << archive;
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << archive << ": " << path;
        EXPECT_TRUE(got.at(path).content == file.content) << archive << ": " << path << " is not what mcopy reads";
        EXPECT_EQ(got.at(path).mtime, file.mtime) << archive << ": " << path;
    }
    const bool lzh = archive.size() > 4 && archive.substr(archive.size() - 4) == ".LZH";
    const CommandResult tested = shell((lzh ? "lhasa t " : "unzip -tq ") + quote(archive) + " 2>&1");
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
}

class PartitionPack : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeVolume(dir / "a.vol", 8192, 16, 512, "DOSA");
        makeVolume(dir / "b.vol", 12288, 16, 1024, "DOSB");
        ASSERT_FALSE(HasFatalFailure());
        makeDirs(dir / "pile");
        makeDirs(dir / "arc");
        makeDirs(dir / "tmp");
        disk = writePc98Disk(dir / "pile/HDD.HDI", "HDI", {0, 8, 17, 512},
            {{dir / "a.vol", 0x21, "MS-DOS 6.20"}, {dir / "b.vol", 0x21, "MS-DOS 6.20"}});
        ASSERT_FALSE(HasFatalFailure());
        before = fileState(disk.path);
    }
    std::string env(const std::string& drives) const
    {
        return "SORVANE2_DRIVES=" + quote(drives + "c=" + dir.path() + "/arc;d=" + dir.path() + "/tmp")
            + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    }
    std::set<std::string> archives() const
    {
        std::set<std::string> names;
        for (const auto& [path, file] : readTree(dir / "arc"))
            names.insert(path);
        return names;
    }
    void clearArchives() const { shell("rm -rf " + quote(dir / "arc") + " && mkdir " + quote(dir / "arc")); }

    TempDir dir;
    HddImage disk;
    std::string before;
    const std::string tool = quote(binaryDir() + "/sorvane2-pack");
};

TEST_F(PartitionPack, APc98HardDiskImageWithTwoFatPartitionsPacksBoth)
{
    // By label: one archive for each partition, the history naming image and partition.
    CommandResult run = shell(env("") + tool + " --images " + quote(disk.path)
        + " --label --folder 'C:\\' --tmp 'D:\\' --format lzh --hidden 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("[2/2] " + disk.path + "#2 (FAT partition 2 of 2)"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("Images: 2 packed, 0 failed"), std::string::npos) << run.output;
    EXPECT_EQ(archives(), (std::set<std::string>{"DOSA.LZH", "DOSB.LZH"}));
    expectArchiveOfVolume(dir / "arc/DOSA.LZH", disk.path, disk.headerSize + disk.offsets[0], dir / "one");
    expectArchiveOfVolume(dir / "arc/DOSB.LZH", disk.path, disk.headerSize + disk.offsets[1], dir / "two");
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";
    clearArchives();

    // By the count-up: one name for each partition, in table order.
    run = shell(env("") + tool + " --images " + quote(dir / "pile")
        + " --name DISK01 --folder 'C:\\' --tmp 'D:\\' --format zip --hidden 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(archives(), (std::set<std::string>{"DISK01.ZIP", "DISK02.ZIP"}));
    expectArchiveOfVolume(dir / "arc/DISK02.ZIP", disk.path, disk.headerSize + disk.offsets[1], dir / "three");
    clearArchives();

    // The second partition as a drive of its own.
    run = shell(env("a=" + disk.path + "#2;") + tool + " --drive a: --name SECOND --folder 'C:\\' --tmp 'D:\\'"
        " --format lzh --hidden 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(archives(), (std::set<std::string>{"SECOND.LZH"}));
    expectArchiveOfVolume(dir / "arc/SECOND.LZH", disk.path, disk.headerSize + disk.offsets[1], dir / "four");
    EXPECT_EQ(fileState(disk.path), before) << "the image file changed";
}

// Without labels, the archives take the image's name and the partition's number.
TEST_F(PartitionPack, UnlabelledPartitionsAreNamedAfterTheImageAndTheirNumber)
{
    makeVolume(dir / "c.vol", 8192, 16, 512, "");
    ASSERT_FALSE(HasFatalFailure());
    const HddImage plain = writePc98Disk(dir / "PLAIN.NHD", "NHD", {0, 8, 17, 512},
        {{dir / "c.vol", 0x21, ""}, {dir / "c.vol", 0x21, ""}});
    const CommandResult run = shell(env("") + tool + " --images " + quote(plain.path)
        + " --label --folder 'C:\\' --tmp 'D:\\' --format zip --hidden 2>&1");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(archives(), (std::set<std::string>{"PLAIN-1.ZIP", "PLAIN-2.ZIP"}));
    expectArchiveOfVolume(dir / "arc/PLAIN-2.ZIP", plain.path, plain.headerSize + plain.offsets[1], dir / "plain");
}

// A partition past the disk's end: the drive and the batch fail naming the
// image and the partition; nothing is written.
TEST_F(PartitionPack, ATableThatDoesNotFitTheDiskFailsNamingImageAndPartition)
{
    pokeFile(disk.path, disk.headerSize + disk.tableAt + 32 + 14, le16(disk.geometry.cylinders + 9));
    before = fileState(disk.path);
    const std::string cause = "PC-98 partition 2 runs past the end of the disk";
    CommandResult run = shell(env("a=" + disk.path + "#2;") + tool + " --drive a: --name X --folder 'C:\\'"
        " --tmp 'D:\\' 2>&1");
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(disk.path + "#2: a damaged partition table: " + cause), std::string::npos) << run.output;
    run = shell(env("") + tool + " --images " + quote(disk.path) + " --name X --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("HDD.HDI: " + disk.path + ": a damaged partition table: " + cause), std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("Images: 0 packed, 1 failed: HDD.HDI"), std::string::npos) << run.output;
    EXPECT_TRUE(archives().empty()) << "an archive was written";
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";
    EXPECT_EQ(fileState(disk.path), before) << "the image file changed";
}

} // namespace
