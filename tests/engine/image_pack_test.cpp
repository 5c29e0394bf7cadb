// Pack runs whose source is a disk image: the archive holds what packing the
// files mcopy extracts gives, the image never changes, and a pile of images
// packs in one batch that names its failures.
#include <filesystem>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;

// The files and their times as bsdtar extracts them from an archive.
std::map<std::string, TreeFile> unpacked(const std::string& archive, const std::string& out)
{
    makeDirs(out);
    const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(out) + " 2>&1");
    EXPECT_EQ(extracted.exitCode, 0) << extracted.output;
    std::map<std::string, TreeFile> files;
    for (auto& [path, file] : readTree(out))
        if (!file.folder)
            files[path] = file;
    return files;
}

struct PackCase {
    std::string format;    // "F144M", "PC98"
    std::string container; // "raw", "D88", "FDI"
    std::string archive;   // "lzh", "zip"
    bool hidden = false;
};

class ImagePack : public ::testing::TestWithParam<PackCase> {};

TEST_P(ImagePack, SameContentAsTheFilesMcopyExtracts)
{
    const PackCase& run = GetParam();
    TempDir dir;
    ImageFormat format;
    for (const ImageFormat& f : imageFormats())
        if (f.name == run.format)
            format = f;
    const std::string raw = dir / "disk.raw";
    makeImage(format, raw, "GAME01");
    ASSERT_FALSE(HasFatalFailure());
    std::string image = raw;
    if (run.container == "D88")
        writeFile(image = dir / "GAME01.D88", d88Of(readFile(raw), format.sectorSize, format.sectorsPerTrack, format.heads));
    if (run.container == "FDI")
        writeFile(image = dir / "GAME01.FDI", fdiOf(readFile(raw), format.sectorSize, format.sectorsPerTrack, format.heads));
    mtoolsExtract(format, raw, dir / "files");
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    const std::string before = fileState(image);

    const std::string env = "SORVANE2_DRIVES=" + quote("a=" + image + ";b=" + dir.path() + "/files;c=" + dir.path()
        + "/arc;d=" + dir.path() + "/tmp") + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR="
        + quote(dir.path()) + " ";
    const std::string options = " --folder 'C:\\' --tmp 'D:\\' --format " + run.archive
        + (run.hidden ? " --hidden" : " --no-hidden");
    const CommandResult fromImage = shell(env + quote(binaryDir() + "/sorvane2-pack") + " --drive a: --label" + options + " 2>&1");
    ASSERT_EQ(fromImage.exitCode, 0) << fromImage.output;
    const CommandResult fromFolder = shell(env + quote(binaryDir() + "/sorvane2-pack") + " --drive b: --name FILES" + options + " 2>&1");
    ASSERT_EQ(fromFolder.exitCode, 0) << fromFolder.output;
    const std::string extension = run.archive == "lzh" ? ".LZH" : ".ZIP";
    const std::string imageArchive = dir / ("arc/GAME01" + extension);
    const std::string folderArchive = dir / ("arc/FILES" + extension);

    // Bytes and times: the folder's archive, less the hidden and system files when they are left out.
    std::map<std::string, TreeFile> expected = unpacked(folderArchive, dir / "x-folder");
    if (!run.hidden) {
        expected.erase("HIDDEN.TXT");
        expected.erase("SYSTEM.SYS");
    }
    const std::map<std::string, TreeFile> got = unpacked(imageArchive, dir / "x-image");
    ASSERT_EQ(got.size(), expected.size());
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << path;
        EXPECT_EQ(got.at(path).content, file.content) << path;
        EXPECT_EQ(got.at(path).mtime, file.mtime) << path;
    }
    // Names, folders included, as 7-Zip lists them; the image's attributes kept.
    std::map<std::string, std::string> names = sevenZipAttributes(imageArchive);
    std::set<std::string> imageNames, folderNames;
    for (const auto& [path, attributes] : names)
        imageNames.insert(path);
    for (const auto& [path, attributes] : sevenZipAttributes(folderArchive))
        if (run.hidden || (path != "HIDDEN.TXT" && path != "SYSTEM.SYS"))
            folderNames.insert(path);
    EXPECT_EQ(imageNames, folderNames);
    if (run.hidden && run.archive == "zip") { // 7-Zip shows the DOS attributes of ZIP entries
        EXPECT_NE(names["HIDDEN.TXT"].find('H'), std::string::npos) << names["HIDDEN.TXT"];
        EXPECT_NE(names["SYSTEM.SYS"].find('S'), std::string::npos) << names["SYSTEM.SYS"];
    }
    const CommandResult tested = shell(run.archive == "lzh" ? "lhasa t " + quote(imageArchive) + " 2>&1"
                                                            : "unzip -tq " + quote(imageArchive) + " 2>&1");
    EXPECT_EQ(tested.exitCode, 0) << tested.output;

    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

// The most clusters FAT12 can have, every one of them used by one file: the
// last cluster is packed like the others.
TEST(ImagePackLimits, AFat12VolumeOfTheMostClustersPacksItsLastCluster)
{
    TempDir dir;
    const std::string image = dir / "FULL.IMG";
    // 1 reserved sector, two FATs of 12 sectors, 32 sectors of root folder,
    // then 4,084 clusters of one sector.
    const CommandResult made = shell("truncate -s " + std::to_string(4141 * 512) + " " + quote(image)
        + " && mkfs.fat -F 12 -s 1 -S 512 -f 2 -r 512 -R 1 -n FULL " + quote(image) + " >/dev/null"
        + " && python3 -c \"import struct,sys; f=open(sys.argv[1],'r+b'); f.seek(19); f.write(struct.pack('<H',4141))\" "
        + quote(image) + " && fsck.fat -n " + quote(image) + " 2>&1");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    ASSERT_NE(made.output.find("0/4084 clusters"), std::string::npos) << made.output;
    std::string content;
    for (std::uint32_t i = 0; content.size() < 4084u * 512; ++i)
        content += "cluster line " + std::to_string(i * 2654435761u % 1000003u) + "\n";
    content.resize(4084u * 512);
    writeFile(dir / "BIG.BIN", content);
    ASSERT_EQ(shell("mcopy -i " + quote(image) + " " + quote(dir / "BIG.BIN") + " ::BIG.BIN").exitCode, 0);
    const CommandResult clean = shell("fsck.fat -n " + quote(image) + " 2>&1");
    ASSERT_NE(clean.output.find("4084/4084 clusters"), std::string::npos) << clean.output;
    makeDirs(dir / "mtools");
    ASSERT_EQ(shell("mcopy -i " + quote(image) + " ::BIG.BIN " + quote(dir / "mtools/BIG.BIN")).exitCode, 0);
    const std::string before = fileState(image);

    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    const std::string env = "SORVANE2_DRIVES=" + quote("a=" + image + ";c=" + dir.path() + "/arc;d=" + dir.path()
        + "/tmp") + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    const CommandResult packed = shell(env + quote(binaryDir() + "/sorvane2-pack")
        + " --drive a: --label --folder 'C:\\' --tmp 'D:\\' --format lzh 2>&1");
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    const std::map<std::string, TreeFile> got = unpacked(dir / "arc/FULL.LZH", dir / "x");
    ASSERT_EQ(got.count("BIG.BIN"), 1u);
    EXPECT_TRUE(got.at("BIG.BIN").content == readFile(dir / "mtools/BIG.BIN")) << "not what mtools reads";
    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

INSTANTIATE_TEST_SUITE_P(Images, ImagePack,
    ::testing::Values(PackCase{"F144M", "raw", "lzh", false}, PackCase{"F144M", "raw", "zip", true},
        PackCase{"F144M", "raw", "lzh", true}, PackCase{"PC98", "D88", "lzh", true}, PackCase{"PC98", "FDI", "zip", false},
        PackCase{"F144M", "D88", "zip", false}),
    [](const ::testing::TestParamInfo<PackCase>& info) {
        return info.param.format + "_" + info.param.container + "_" + info.param.archive
            + (info.param.hidden ? "_hidden" : "");
    });

// A D88 whose dump recorded a data CRC error inside SUB/DATA.BIN: packing it
// fails naming the image, the file and the sector, and leaves no archive and
// no temporary file; in a batch the other images pack. With the error where
// no file is, the disk packs as mcopy reads the raw disk.
TEST(ImagePackD88, ASectorWithADataCrcErrorFailsThePackOfItsFileOnly)
{
    TempDir dir;
    const ImageFormat format = imageFormats()[1]; // F144M
    const std::string raw = dir / "disk.raw";
    makeImage(format, raw, "GAME01");
    ASSERT_FALSE(HasFatalFailure());
    mtoolsExtract(format, raw, dir / "files");
    const std::string rawBytes = readFile(raw);
    std::string data;
    for (const SampleFile& file : sampleFiles())
        if (file.path == "SUB/DATA.BIN")
            data = file.content;
    const std::size_t at = rawBytes.find(data);
    ASSERT_NE(at, std::string::npos);
    const std::uint32_t trackBytes = format.sectorSize * format.sectorsPerTrack;
    const std::uint32_t track = static_cast<std::uint32_t>(at / trackBytes + 2); // wholly DATA.BIN's
    ASSERT_LE((track + 1) * std::size_t{trackBytes}, at + data.size());
    D88Layout bad = d88Tracks(rawBytes, format.sectorSize, format.sectorsPerTrack, format.heads);
    bad.record(track / 2, track % 2, 7).status = 0xB0;
    D88Layout good = d88Tracks(rawBytes, format.sectorSize, format.sectorsPerTrack, format.heads);
    const std::uint32_t last = static_cast<std::uint32_t>(rawBytes.size() / trackBytes - 1);
    good.record(last / 2, last % 2, 18).status = 0xB0;
    makeDirs(dir / "pile");
    writeFile(dir / "pile/BAD.D88", bad.bytes());
    writeFile(dir / "pile/GOOD.D88", good.bytes());
    const std::string badState = fileState(dir / "pile/BAD.D88");
    const std::string goodState = fileState(dir / "pile/GOOD.D88");
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    const std::string sector = "cylinder " + std::to_string(track / 2) + " head " + std::to_string(track % 2)
        + " sector 7: the dump recorded a data CRC error";

    auto env = [&](const std::string& image) {
        return "SORVANE2_DRIVES=" + quote("a=" + image + ";c=" + dir.path() + "/arc;d=" + dir.path() + "/tmp")
            + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    };
    const std::string tool = quote(binaryDir() + "/sorvane2-pack");
    const std::string options = " --label --folder 'C:\\' --tmp 'D:\\' --format lzh --hidden 2>&1";
    CommandResult run = shell(env(dir / "pile/BAD.D88") + tool + " --drive a:" + options);
    EXPECT_NE(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find(dir / "pile/BAD.D88: SUB\\DATA.BIN: " + sector), std::string::npos) << run.output;
    EXPECT_TRUE(readTree(dir / "arc").empty()) << "an archive was left";
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";
    EXPECT_EQ(fileState(dir / "pile/BAD.D88"), badState) << "the image file changed";

    // The error where no file is: the archive holds what mcopy reads.
    run = shell(env(dir / "pile/GOOD.D88") + tool + " --drive a:" + options);
    ASSERT_EQ(run.exitCode, 0) << run.output;
    const std::map<std::string, TreeFile> got = unpacked(dir / "arc/GAME01.LZH", dir / "x");
    std::map<std::string, TreeFile> expected;
    for (const auto& [path, file] : readTree(dir / "files"))
        if (!file.folder)
            expected[path] = file;
    ASSERT_EQ(got.size(), expected.size());
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << path;
        EXPECT_TRUE(got.at(path).content == file.content) << path << ": not what mcopy reads";
    }
    EXPECT_EQ(fileState(dir / "pile/GOOD.D88"), goodState) << "the image file changed";
    shell("rm -rf " + quote(dir / "arc") + " && mkdir " + quote(dir / "arc"));

    // Both in one batch: the good one packs, the bad one is named with its file and sector.
    run = shell(env(dir / "none") + tool + " --images " + quote(dir / "pile") + " --name DISK01 --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find("Images: 1 packed, 1 failed: BAD.D88"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("BAD.D88: SUB\\DATA.BIN: " + sector), std::string::npos) << run.output;
    std::set<std::string> archives;
    for (const auto& [path, file] : readTree(dir / "arc"))
        archives.insert(path);
    EXPECT_EQ(archives.size(), 1u);
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";
    EXPECT_EQ(fileState(dir / "pile/BAD.D88"), badState);
    EXPECT_EQ(fileState(dir / "pile/GOOD.D88"), goodState);
}

TEST(ImageBatch, TwentyImagesOneDamaged)
{
    TempDir dir;
    makeImage(imageFormats()[1], dir / "one.img", "FIRST");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    makeDirs(dir / "pile");
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    const std::string good = readFile(dir / "one.img");
    std::map<std::string, std::string> states;
    for (int i = 1; i <= 20; ++i) {
        const std::string name = std::string("IMG") + (i < 10 ? "0" : "") + std::to_string(i) + ".IMG";
        // The seventh ends before its files' data: a truncated dump.
        writeFile(dir / ("pile/" + name), i == 7 ? good.substr(0, 40000) : good);
        states[name] = fileState(dir / ("pile/" + name));
    }
    writeFile(dir / "pile/README.TXT", "not an image, and not taken for one");

    const std::string env = "SORVANE2_DRIVES=" + quote("c=" + dir.path() + "/arc;d=" + dir.path() + "/tmp")
        + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    const CommandResult run = shell(env + quote(binaryDir() + "/sorvane2-pack") + " --images " + quote(dir / "pile")
        + " --name DISK01 --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    std::set<std::string> archives;
    for (const auto& [path, file] : readTree(dir / "arc"))
        archives.insert(path);
    std::set<std::string> expected;
    for (int i = 1; i <= 20; ++i)
        if (i != 7)
            expected.insert(std::string("DISK") + (i < 10 ? "0" : "") + std::to_string(i) + ".LZH");
    EXPECT_EQ(archives, expected);
    EXPECT_NE(run.output.find("Images: 19 packed, 1 failed: IMG07.IMG"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("truncated"), std::string::npos) << run.output;
    EXPECT_EQ(shell("lhasa t " + quote(dir / "arc/DISK20.LZH")).exitCode, 0);
    for (const auto& [name, state] : states)
        EXPECT_EQ(fileState(dir / ("pile/" + name)), state) << name;
}

TEST(ImageBatch, LabelsNameTheArchivesAndATakenNameFails)
{
    TempDir dir;
    makeImage(imageFormats()[0], dir / "a.img", "ALPHA");
    makeImage(imageFormats()[0], dir / "b.img", "BETA");
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    writeFile(dir / "c.img", readFile(dir / "a.img")); // ALPHA again
    makeDirs(dir / "arc");
    const std::string env = "SORVANE2_DRIVES=" + quote("c=" + dir.path() + "/arc;d=" + dir.path())
        + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    const std::string tool = quote(binaryDir() + "/sorvane2-pack");
    CommandResult run = shell(env + tool + " --images " + quote(dir / "a.img") + " " + quote(dir / "b.img") + " "
        + quote(dir / "c.img") + " --label --format zip --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(exists(dir / "arc/ALPHA.ZIP"));
    EXPECT_TRUE(exists(dir / "arc/BETA.ZIP"));
    EXPECT_NE(run.output.find("Images: 2 packed, 1 failed: c.img"), std::string::npos) << run.output;
    EXPECT_EQ(shell("unzip -tq " + quote(dir / "arc/BETA.ZIP")).exitCode, 0);

    // A name that cannot count up packs nothing; a bad command line is refused.
    run = shell(env + tool + " --images " + quote(dir / "a.img") + " " + quote(dir / "b.img")
        + " --name DISK --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_FALSE(exists(dir / "arc/DISK.LZH"));
    EXPECT_EQ(shell(env + tool + " --images --name X --folder 'C:\\'").exitCode, 2);
    EXPECT_EQ(shell(env + tool + " --images " + quote(dir / "a.img") + " --drive a: --name X --folder 'C:\\'").exitCode, 2);
}

} // namespace
