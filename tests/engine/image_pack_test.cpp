// Pack runs whose source is a disk image: the archive holds what packing the
// files mcopy extracts gives, the image never changes, and a pile of images
// packs in one batch that names its failures.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <set>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <malloc.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;


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
    const ImageFormat format = imageFormat(run.format);
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
    for (const char* jobs : {"0", "-1", "2x", "", "99999999999"})
        EXPECT_EQ(shell(env + tool + " --images " + quote(dir / "a.img") + " --jobs '" + jobs
                      + "' --name X --folder 'C:\\'").exitCode, 2) << jobs;
    EXPECT_EQ(shell(env + tool + " --drive a: --jobs 2 --name X --folder 'C:\\'").exitCode, 2);
}

// ── Volumes checked before they are trusted ─────────────────────────────────

const std::string kMtools = "LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";

void put16(std::string& bytes, std::size_t at, std::uint32_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

// The environment of a pack run from drive a: (the image) into c: (arc) with d: (tmp).
std::string packEnvironment(const TempDir& dir, const std::string& image)
{
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    return "SORVANE2_DRIVES=" + quote("a=" + image + ";b=" + dir.path() + "/files;c=" + dir.path() + "/arc;d="
               + dir.path() + "/tmp")
        + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
}

CommandResult packDrive(const TempDir& dir, const std::string& image, const std::string& drive, const std::string& name)
{
    return shell(packEnvironment(dir, image) + "timeout 300 " + quote(binaryDir() + "/sorvane2-pack") + " --drive "
        + drive + " --name " + name + " --folder 'C:\\' --tmp 'D:\\' --format zip --hidden 2>&1");
}

// The image packs as the files mcopy extracts from `mtoolsImage` pack (the
// same bytes, names, times); the image never changes.
void expectPacksAsMtools(const TempDir& dir, const std::string& image, const std::string& mtoolsImage)
{
    const std::string before = sparseFileState(image);
    makeDirs(dir / "files");
    const CommandResult extracted = shell(kMtools + "mcopy -s -m -n -i " + quote(mtoolsImage) + " '::*' "
        + quote(dir / "files") + " 2>&1");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    const CommandResult fromImage = packDrive(dir, image, "a:", "IMAGE");
    ASSERT_EQ(fromImage.exitCode, 0) << fromImage.output;
    const CommandResult fromFolder = packDrive(dir, image, "b:", "FILES");
    ASSERT_EQ(fromFolder.exitCode, 0) << fromFolder.output;
    const std::map<std::string, TreeFile> got = unpacked(dir / "arc/IMAGE.ZIP", dir / "x-image");
    const std::map<std::string, TreeFile> expected = unpacked(dir / "arc/FILES.ZIP", dir / "x-folder");
    EXPECT_FALSE(expected.empty());
    ASSERT_EQ(got.size(), expected.size());
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << path;
        EXPECT_TRUE(got.at(path).content == file.content) << path;
        EXPECT_EQ(got.at(path).mtime, file.mtime) << path;
    }
    EXPECT_EQ(sparseFileState(image), before) << "the image file changed";
}

// Packing the image as drive a: and in a batch of images fails, and leaves
// nothing behind; the batch, which prints each image's reason, names the
// image and `expected`.
void expectPackRefused(const TempDir& dir, const std::string& image, const std::vector<std::string>& expected)
{
    const std::string before = sparseFileState(image);
    const CommandResult run = packDrive(dir, image, "a:", "DISK");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_TRUE(readTree(dir / "arc").empty()) << "an archive was left";
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";

    const CommandResult batch = shell(packEnvironment(dir, image) + "timeout 300 " + quote(binaryDir() + "/sorvane2-pack")
        + " --images " + quote(image) + " --name DISK01 --folder 'C:\\' --tmp 'D:\\' 2>&1");
    EXPECT_EQ(batch.exitCode, 1) << batch.output;
    EXPECT_NE(batch.output.find("Images: 0 packed, 1 failed"), std::string::npos) << batch.output;
    EXPECT_NE(batch.output.find(image), std::string::npos) << "the image is not named: " << batch.output;
    for (const std::string& part : expected)
        EXPECT_NE(batch.output.find(part), std::string::npos) << part << " is not named: " << batch.output;
    EXPECT_TRUE(readTree(dir / "arc").empty()) << "an archive was left";
    EXPECT_TRUE(readTree(dir / "tmp").empty()) << "a temporary file was left";
    EXPECT_EQ(sparseFileState(image), before) << "the image file changed";
}

// A floppy of SUB holding DEEP holding X.TXT, built byte by byte.
Floppy foldersFloppy()
{
    Floppy f;
    f.putRoot(0, Floppy::entry("SUB        ", 0x10, 2, 0));
    f.setFat(2, 0xFFF);
    f.putInCluster(2, 0, Floppy::entry(".          ", 0x10, 2, 0));
    f.putInCluster(2, 1, Floppy::entry("..         ", 0x10, 0, 0));
    f.putInCluster(2, 2, Floppy::entry("DEEP       ", 0x10, 3, 0));
    f.setFat(3, 0xFFF);
    f.putInCluster(3, 0, Floppy::entry(".          ", 0x10, 3, 0));
    f.putInCluster(3, 1, Floppy::entry("..         ", 0x10, 2, 0));
    f.putInCluster(3, 2, Floppy::entry("X       TXT", 0x20, 4, 5));
    f.setFat(4, 0xFFF);
    f.putData(4, "deep!");
    return f;
}

struct Refused {
    const char* name;
    std::function<void(const TempDir&, const std::string&)> make; // the image at the path
    std::vector<std::string> expected;
};

std::vector<Refused> refusals()
{
    auto mkfs = [](const std::string& arguments, const std::function<void(std::string&)>& damage) {
        return [arguments, damage](const TempDir& dir, const std::string& image) {
            writeFile(dir / "A.TXT", "a file");
            const CommandResult made = shell("mkfs.fat -C " + arguments.substr(0, arguments.find('#')) + " " + quote(image)
                + " " + arguments.substr(arguments.find('#') + 1) + " >/dev/null 2>&1 && " + kMtools + "mcopy -i "
                + quote(image) + " " + quote(dir / "A.TXT") + " ::A.TXT 2>&1");
            ASSERT_EQ(made.exitCode, 0) << made.output;
            std::string bytes = readFile(image);
            damage(bytes);
            writeFile(image, bytes);
        };
    };
    auto floppy = [](const std::function<void(Floppy&)>& damage) {
        return [damage](const TempDir&, const std::string& image) {
            Floppy f = foldersFloppy();
            damage(f);
            writeFile(image, f.bytes());
        };
    };
    return {
        {"ClustersOfTheWrongSize", mkfs("-F 12 -s 1#1600", [](std::string& b) { b[13] = static_cast<char>(128); }),
            {"the boot sector's values do not fit the disk", "is too large for 24 clusters of 128 sectors"}},
        {"RootFolderOfPartSectors", mkfs("-F 12 -s 1#1600", [](std::string& b) { put16(b, 17, 18); }),
            {"the root folder (18 entries of 32 bytes) does not fill whole 512-byte sectors"}},
        {"FatWithoutTheMediaByte", mkfs("-F 16#16384", [](std::string& b) { b[21] = static_cast<char>(0xF9); }),
            {"the FAT does not open with the media byte 0xF9"}},
        {"Fat16WithTooManyClusters", mkfs("-F 16#16384", [](std::string& b) {
             put16(b, 19, 0);
             b[32] = 0x60, b[33] = 0x22, b[34] = 0x02, b[35] = 0; // 140,000 sectors
             b[13] = 2;
         }), {"more than FAT16 can number (65,524)"}},
        {"FatTooSmall", mkfs("-F 16#16384", [](std::string& b) { put16(b, 22, 16); }),
            {"the FAT (FAT16) (16 sectors) is too small for"}},
        {"FatsPastTheVolume", mkfs("-F 16#16384", [](std::string& b) {
             put16(b, 19, 60);
             b[32] = b[33] = b[34] = b[35] = 0;
         }), {"the reserved sectors, the FATs and the root folder (100 sectors) do not fit in the volume's 60 sectors"}},
        {"Fat32RootClusterOutside", mkfs("-F 32 -s 1#40960", [](std::string& b) {
             b[44] = 0x10, b[45] = b[46] = b[47] = 0x10; // cluster 0x10101010
         }), {"the root folder's cluster 269,488,144 is not one of the volume's"}},
        {"FolderWithoutDots", floppy([](Floppy& f) { f.putInCluster(3, 0, std::string(32, '\xE5')); }),
            {"SUB\\DEEP", "does not open with its \".\" and \"..\" entries"}},
        {"ParentOfAnother", floppy([](Floppy& f) { f.putInCluster(3, 1, Floppy::entry("..         ", 0x10, 3, 0)); }),
            {"SUB\\DEEP", "its \"..\" entry names cluster 3, not its parent folder's cluster 2"}},
        {"OneNameTwice", floppy([](Floppy& f) {
             f.putInCluster(3, 3, Floppy::entry("X       TXT", 0x20, 5, 5));
             f.setFat(5, 0xFFF);
             f.putData(5, "twice");
         }), {"SUB\\DEEP", "two of its entries have the name \"X.TXT\""}},
        {"CrossLinkedFiles", floppy([](Floppy& f) {
             f.putRoot(1, Floppy::entry("ALSO    BIN", 0x20, 6, 1000));
             f.setFat(6, 4);
         }), {"SUB\\DEEP\\X.TXT", "ALSO.BIN", "cluster 4"}},
    };
}

class ImagePackChecks : public ::testing::TestWithParam<Refused> {};

TEST_P(ImagePackChecks, ARefusedVolumePacksNothing)
{
    TempDir dir;
    const std::string image = dir / "disk.img";
    GetParam().make(dir, image);
    ASSERT_FALSE(HasFatalFailure());
    expectPackRefused(dir, image, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Damaged, ImagePackChecks, ::testing::ValuesIn(refusals()),
    [](const ::testing::TestParamInfo<Refused>& info) { return std::string(info.param.name); });

// Two entries of one name, as mdir lists them: before, one of them was left
// out of the archive without a word.
TEST(ImagePackCheck, AFolderHoldingOneNameTwiceIsNotPackedWithOneOfThemMissing)
{
    TempDir dir;
    Floppy f = foldersFloppy();
    f.putRoot(1, Floppy::entry("README  TXT", 0x20, 5, 3));
    f.putRoot(2, Floppy::entry("README  TXT", 0x20, 6, 3));
    f.setFat(5, 0xFFF);
    f.setFat(6, 0xFFF);
    f.putData(5, "one");
    f.putData(6, "two");
    writeFile(dir / "disk.img", f.bytes());
    const CommandResult listed = shell(kMtools + "mdir -i " + quote(dir / "disk.img") + " :: 2>&1");
    ASSERT_EQ(listed.exitCode, 0) << listed.output;
    const std::size_t first = listed.output.find("README   TXT");
    ASSERT_NE(first, std::string::npos) << listed.output;
    EXPECT_NE(listed.output.find("README   TXT", first + 1), std::string::npos) << "mdir lists both: " << listed.output;
    expectPackRefused(dir, dir / "disk.img", {"the root folder", "two of its entries have the name \"README.TXT\""});
}

// A 1.44 MB floppy whose boot sector is wrong about its clusters or its root
// folder: before, its files came out as zeros or went missing; the disk's
// size and media byte name the 1.44 MB format, which packs what mtools reads
// of the disk before the damage.
TEST(ImagePackCheck, AFloppyWhoseBootSectorIsWrongPacksAsItsKnownFormat)
{
    for (const auto& [what, damage] : std::vector<std::pair<std::string, std::function<void(std::string&)>>>{
             {"sectors per cluster 128", [](std::string& b) { b[13] = static_cast<char>(128); }},
             {"root entries 114", [](std::string& b) { put16(b, 17, 114); }},
             {"root entries 18", [](std::string& b) { put16(b, 17, 18); }}}) {
        SCOPED_TRACE(what);
        TempDir dir;
        makeImage(imageFormats()[1], dir / "good.img", "SAMPLES");
        ASSERT_FALSE(HasFatalFailure());
        std::string bytes = readFile(dir / "good.img");
        damage(bytes);
        writeFile(dir / "damaged.img", bytes);
        ASSERT_NE(shell("fsck.fat -n " + quote(dir / "damaged.img") + " 2>&1").exitCode, 0) << "fsck.fat takes it";
        expectPacksAsMtools(dir, dir / "damaged.img", dir / "good.img");
    }
}

// The last cluster of the largest FAT16 and FAT32 volumes, in sectors of
// 2048 and 512 bytes, packs as mtools reads it.
TEST(ImagePackCheck, TheLastClusterOfTheLargestVolumesPacks)
{
    for (const auto& [bits, clusters, sectorSize] : {std::tuple<int, std::uint64_t, std::uint32_t>{16, 65524, 2048},
             {32, 268435443, 512}}) {
        SCOPED_TRACE("FAT" + std::to_string(bits));
        TempDir dir;
        const std::string image = dir / "limit.img";
        FatLayout layout;
        layout.bytesPerSector = sectorSize;
        layout.fatBits = bits;
        layout.clusters = clusters;
        layout.reservedSectors = bits == 32 ? 32 : 1;
        std::string tail;
        for (std::uint32_t i = 0; tail.size() < sectorSize + 100; ++i)
            tail += "line " + std::to_string(i) + "\n";
        {
            SparseFat fat(image, layout);
            ASSERT_FALSE(HasFatalFailure());
            const std::uint32_t last = static_cast<std::uint32_t>(clusters + 1);
            fat.putRoot(0, SparseFat::entry("LAST    TXT", 0x20, last - 1, static_cast<std::uint32_t>(tail.size())));
            fat.putFile(last - 1, tail);
        }
        expectPacksAsMtools(dir, image, image);
    }
}

// ── Several images at once ──────────────────────────────────────────────────

// A pack command started by the test itself, so that the test can watch and
// signal it and its children; stdout and stderr go to files. Environment
// variables of the program's own come only from `environment`.
pid_t startPack(const std::vector<std::string>& environment, const std::vector<std::string>& arguments,
                const std::string& out, const std::string& err)
{
    const std::string program = binaryDir() + "/sorvane2-pack";
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env(environment);
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "SORVANE2_", 9) != 0 && std::strncmp(*e, "LD_PRELOAD=", 11) != 0
            && std::strncmp(*e, "ASAN_OPTIONS=", 13) != 0)
            env.emplace_back(*e);
    // The hold library comes before the sanitizer's runtime when there is one.
    const char* asan = std::getenv("ASAN_OPTIONS");
    env.push_back(std::string("ASAN_OPTIONS=") + (asan ? std::string(asan) + ":" : "") + "verify_asan_link_order=0");
    std::vector<char*> argv, envp;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int outFd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(outFd, 1);
        ::dup2(errFd, 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(outFd);
    ::close(errFd);
    return child;
}

// The exit status of `status` as a shell gives it: 128 + the signal when one ended it.
int exitCodeOf(int status)
{
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// childrenOf: the processes whose parent is `parent`.
std::vector<pid_t> childrenOf(pid_t parent)
{
    std::vector<pid_t> children;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", error)) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const std::string stat = readFile(entry.path().string() + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream fields(stat.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        fields >> state >> ppid;
        if (ppid == parent)
            children.push_back(static_cast<pid_t>(std::stol(name)));
    }
    return children;
}

// imageOf: the file below `pile` that process `pid` has open; empty when none.
std::string imageOf(pid_t pid, const std::string& pile)
{
    std::error_code error;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/fd", error)) {
        const std::string target = std::filesystem::read_symlink(fd.path(), error).string();
        if (target.rfind(pile + "/", 0) == 0)
            return std::filesystem::path(target).filename().string();
    }
    return {};
}

// driveBatch: until the batch `pack` ends, each of its image processes that
// stopped at its hold point (stop_after_temporary) is put to `decide` with
// the image it packs, and again while `decide` returns false (it is held);
// true once it has continued or killed it. Returns the batch's exit status.
int driveBatch(pid_t pack, const std::string& pile, const std::function<bool(pid_t, const std::string&)>& decide)
{
    std::set<pid_t> decided;
    for (;;) {
        int status = 0;
        if (::waitpid(pack, &status, WNOHANG) == pack)
            return exitCodeOf(status);
        for (const pid_t child : childrenOf(pack))
            if (!decided.count(child) && processState(child) == 'T' && decide(child, imageOf(child, pile)))
                decided.insert(child);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// A pile of small floppies, each with a NOTE.TXT of its own number; which
// are damaged, and how, each case says.
struct Pile {
    TempDir dir;
    std::map<std::string, std::string> states; // image file name -> fileState
    Pile()
    {
        makeDirs(dir / "pile");
        makeDirs(dir / "tmp");
    }
    std::string pile() const { return dir / "pile"; }
    std::string env(const std::string& arc) const
    {
        return "SORVANE2_DRIVES=c=" + dir.path() + "/" + arc + ";d=" + dir.path() + "/tmp";
    }
    std::vector<std::string> environment(const std::string& arc, bool held) const
    {
        std::vector<std::string> e{env(arc), "SORVANE2_SYSTEM_DIR=" + binaryDir(), "SORVANE2_CONFIG_DIR=" + dir.path()};
        if (held)
            e.push_back("LD_PRELOAD=" + binaryDir() + "/stop_after_temporary.so");
        return e;
    }
    void add(const std::string& name, const std::string& label, int number)
    {
        const ImageFormat format = imageFormat("F144M");
        makeImage(format, dir / ("pile/" + name), label);
        writeFile(dir / "note.txt", "image " + std::to_string(number) + "\n");
        const CommandResult copied = shell(kMtools + "mcopy -i " + quote(dir / ("pile/" + name)) + " "
            + quote(dir / "note.txt") + " ::NOTE.TXT 2>&1");
        ASSERT_EQ(copied.exitCode, 0) << copied.output;
    }
    void seal()
    {
        for (const auto& [path, file] : readTree(pile()))
            states[path] = fileState(pile() + "/" + path);
    }
    void expectUnchanged() const
    {
        for (const auto& [name, state] : states)
            EXPECT_EQ(fileState(pile() + "/" + name), state) << name << " changed";
        EXPECT_EQ(readTree(pile()).size(), states.size());
    }
    // The archive holds what mcopy reads of the image: every file, byte for byte.
    void expectArchiveOf(const std::string& image, const std::string& archive, const std::string& format) const
    {
        SCOPED_TRACE(image + " in " + archive);
        const std::string files = dir / ("m-" + image);
        const std::string out = dir / ("x-" + std::filesystem::path(archive).filename().string());
        shell("rm -rf " + quote(files) + " " + quote(out));
        makeDirs(files);
        const CommandResult extracted = shell(kMtools + "mcopy -s -m -n -i " + quote(pile() + "/" + image) + " '::*' "
            + quote(files) + " 2>&1");
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        std::map<std::string, TreeFile> expected;
        for (const auto& [path, file] : readTree(files))
            if (!file.folder)
                expected[path] = file;
        const std::map<std::string, TreeFile> got = unpacked(archive, out);
        ASSERT_EQ(got.size(), expected.size());
        for (const auto& [path, file] : expected) {
            ASSERT_TRUE(got.count(path)) << path;
            EXPECT_TRUE(got.at(path).content == file.content) << path << ": not what mcopy reads";
        }
        const CommandResult tested = shell(format == "lzh" ? "lhasa t " + quote(archive) + " 2>&1"
                                                           : "unzip -tq " + quote(archive) + " 2>&1");
        EXPECT_EQ(tested.exitCode, 0) << tested.output;
    }
    // The names of what is in `folder`, temporary and lock files too.
    std::set<std::string> left(const std::string& folder) const
    {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir / folder))
            names.insert(entry.path().filename().string());
        return names;
    }
};

// A D88 of the sample files whose dump recorded a data CRC error inside
// SUB/DATA.BIN: its volume walks, its pack fails reading that file.
std::string d88WithABadSector()
{
    const ImageFormat format = imageFormat("F144M");
    TempDir dir;
    makeImage(format, dir / "disk.raw", "BADSECT");
    const std::string raw = readFile(dir / "disk.raw");
    std::string data;
    for (const SampleFile& file : sampleFiles())
        if (file.path == "SUB/DATA.BIN")
            data = file.content;
    const std::uint32_t trackBytes = format.sectorSize * format.sectorsPerTrack;
    const std::uint32_t track = static_cast<std::uint32_t>(raw.find(data) / trackBytes + 2);
    D88Layout bad = d88Tracks(raw, format.sectorSize, format.sectorsPerTrack, format.heads);
    bad.record(track / 2, track % 2, 7).status = 0xB0;
    return bad.bytes();
}

// The same pile packed one image at a time and three at once, in count-up
// and label mode, to LZH and ZIP: the same archives byte for byte and the
// same output, although in the three-at-once run the first image's pack is
// held until every other one has ended. In the pile: a truncated image and
// one with a bad sector in a file (both fail their first look), one whose
// archive name is taken by a file that holds no archive (its pack fails, the
// file stays), and in label mode one whose label an earlier image took.
TEST(ImageJobs, ThreeAtOnceGiveTheArchivesAndOutputOfOneAtATime)
{
    Pile p;
    const std::vector<std::string> labels{"VOLA", "VOLB", "VOLC", "VOLD", "", "VOLF", ""};
    for (int i = 1; i <= 7; ++i) {
        const std::string name = "IMG0" + std::to_string(i) + (i == 5 ? ".D88" : ".IMG");
        if (i == 5)
            writeFile(p.dir / ("pile/" + name), d88WithABadSector());
        else if (i == 7) // VOLA again
            writeFile(p.dir / ("pile/" + name), readFile(p.dir / "pile/IMG01.IMG"));
        else
            ASSERT_NO_FATAL_FAILURE(p.add(name, labels[i - 1], i));
    }
    writeFile(p.dir / "pile/IMG04.IMG", readFile(p.dir / "pile/IMG04.IMG").substr(0, 40000));
    p.seal();

    for (const std::string format : {"lzh", "zip"}) {
        for (const bool label : {false, true}) {
            SCOPED_TRACE(format + (label ? " label" : " count-up"));
            const std::string extension = format == "lzh" ? ".LZH" : ".ZIP";
            // Image -> archive, for the images that pack.
            std::map<std::string, std::string> packs;
            for (const int i : {1, 2, 3})
                packs["IMG0" + std::to_string(i) + ".IMG"] = (label ? "VOL" + std::string(1, static_cast<char>('A' + i - 1))
                                                                    : "DISK0" + std::to_string(i)) + extension;
            if (!label)
                packs["IMG07.IMG"] = "DISK07" + extension;
            const std::string taken = (label ? "VOLF" : "DISK06") + extension;
            std::vector<std::string> arguments{"--images", p.pile(), "--format", format, "--hidden",
                "--folder", "C:\\", "--tmp", "D:\\"};
            if (label)
                arguments.push_back("--label");
            else
                arguments.insert(arguments.end(), {"--name", "DISK01"});

            std::map<int, std::string> out, err;
            std::map<int, int> status;
            for (const int jobs : {1, 3}) {
                const std::string arc = "arc" + std::to_string(jobs);
                shell("rm -rf " + quote(p.dir / arc));
                makeDirs(p.dir / arc);
                writeFile(p.dir / (arc + "/" + taken), "not an archive\n");
                std::vector<std::string> args = arguments;
                args.insert(args.end(), {"--jobs", std::to_string(jobs)});
                const std::string outFile = p.dir / "out", errFile = p.dir / "err";
                const pid_t pack = startPack(p.environment(arc, jobs == 3), args, outFile, errFile);
                ASSERT_GT(pack, 0);
                if (jobs == 1) {
                    int raw = 0;
                    ::waitpid(pack, &raw, 0);
                    status[jobs] = exitCodeOf(raw);
                } else {
                    // IMG01 goes on once every other image's process has ended
                    // (all their archives are there and no other child is).
                    bool released = false;
                    status[jobs] = driveBatch(pack, p.pile(), [&](pid_t child, const std::string& image) {
                        if (image == "IMG01.IMG") {
                            for (const auto& [other, archive] : packs)
                                if (other != image && !exists(p.dir / (arc + "/" + archive)))
                                    return false;
                            if (childrenOf(pack).size() != 1)
                                return false;
                            EXPECT_EQ(readFile(outFile), "") << "output came before the first image's";
                            released = true;
                        }
                        ::kill(child, SIGCONT);
                        return true;
                    });
                    EXPECT_TRUE(released);
                }
                out[jobs] = readFile(outFile);
                err[jobs] = readFile(errFile);
            }
            EXPECT_EQ(status[1], 1) << out[1] << err[1];
            EXPECT_EQ(status[3], status[1]);
            EXPECT_EQ(out[3], out[1]);
            EXPECT_EQ(err[3], err[1]);

            // One at a time: each image's lines under its heading, in order.
            std::vector<std::string> blocks(8);
            int at = 0;
            std::istringstream lines(out[1]);
            std::string summary;
            for (std::string line; std::getline(lines, line);) {
                if (line.rfind("[" + std::to_string(at + 1) + "/7] ", 0) == 0)
                    ++at;
                else if (line.rfind("Images: ", 0) == 0)
                    summary = line;
                else
                    blocks[static_cast<size_t>(at)] += line + "\n";
            }
            EXPECT_EQ(at, 7) << out[1];
            for (int i = 1; i <= 7; ++i) {
                const std::string image = "IMG0" + std::to_string(i) + (i == 5 ? ".D88" : ".IMG");
                if (packs.count(image))
                    EXPECT_NE(blocks[i].find("archive: C:\\" + packs[image]), std::string::npos) << image << "\n" << out[1];
                else if (i == 6)
                    EXPECT_TRUE(blocks[i].find("archive: ") == std::string::npos
                        && blocks[i].find("C:\\" + taken + ": ") != std::string::npos) << image << "\n" << out[1];
                else
                    EXPECT_NE(blocks[i].find(image + ": "), std::string::npos) << image << "\n" << out[1];
            }
            EXPECT_NE(blocks[5].find("data CRC error"), std::string::npos) << blocks[5];
            EXPECT_NE(err[1].find("sorvane2-pack: C:\\" + taken + ": "), std::string::npos) << err[1];
            EXPECT_NE(blocks[4].find("truncated"), std::string::npos) << blocks[4];
            EXPECT_EQ(summary, label ? "Images: 3 packed, 4 failed: IMG04.IMG IMG05.D88 IMG06.IMG (VOLF) IMG07.IMG"
                                     : "Images: 4 packed, 3 failed: IMG04.IMG IMG05.D88 IMG06.IMG (DISK06)");

            // The same archives, byte for byte, and each what mcopy reads.
            std::set<std::string> expected{taken};
            for (const auto& [image, archive] : packs)
                expected.insert(archive);
            EXPECT_EQ(readFile(p.dir / ("arc3/" + taken)), "not an archive\n");
            EXPECT_EQ(p.left("arc1"), expected);
            EXPECT_EQ(p.left("arc3"), expected);
            for (const auto& [image, archive] : packs) {
                EXPECT_TRUE(readFile(p.dir / ("arc1/" + archive)) == readFile(p.dir / ("arc3/" + archive))) << archive;
                p.expectArchiveOf(image, p.dir / ("arc3/" + archive), format);
            }
            EXPECT_TRUE(p.left("tmp").empty());
            p.expectUnchanged();
        }
    }
}

// A pack killed while it writes its archive fails by name and the batch goes
// on; an interrupt (SIGINT or SIGTERM) ends the packs running, starts no more
// and names the images not packed; a batch killed outright takes its packs
// with it. Archives already written stay whole, and what the ended packs
// left (their temporary files and the archives' locks) goes at the next run.
TEST(ImageJobs, KilledPacksAndInterruptedBatchesLeaveWholeArchivesOnly)
{
    Pile p;
    for (int i = 1; i <= 4; ++i)
        ASSERT_NO_FATAL_FAILURE(p.add("IMG0" + std::to_string(i) + ".IMG", "VOL" + std::to_string(i), i));
    p.seal();
    const std::vector<std::string> batch{"--images", p.pile(), "--name", "DISK01", "--hidden", "--jobs", "2",
        "--folder", "C:\\", "--tmp", "D:\\"};
    auto rerun = [&](const std::string& arc, const std::vector<std::string>& images, const std::string& first) {
        std::vector<std::string> args{"--images"};
        for (const std::string& image : images)
            args.push_back(p.pile() + "/" + image);
        args.insert(args.end(), {"--name", first, "--hidden", "--folder", "C:\\", "--tmp", "D:\\"});
        const pid_t pack = startPack(p.environment(arc, false), args, p.dir / "out2", p.dir / "err2");
        int raw = 0;
        ::waitpid(pack, &raw, 0);
        EXPECT_EQ(exitCodeOf(raw), 0) << readFile(p.dir / "out2") << readFile(p.dir / "err2");
    };

    {
        SCOPED_TRACE("a pack killed");
        makeDirs(p.dir / "arc");
        const pid_t pack = startPack(p.environment("arc", true), batch, p.dir / "out", p.dir / "err");
        const int status = driveBatch(pack, p.pile(), [&](pid_t child, const std::string& image) {
            ::kill(child, image == "IMG02.IMG" ? SIGKILL : SIGCONT);
            return true;
        });
        const std::string out = readFile(p.dir / "out");
        EXPECT_EQ(status, 1) << out;
        EXPECT_NE(out.find("IMG02.IMG: its pack ended by signal 9"), std::string::npos) << out;
        EXPECT_NE(out.find("Images: 3 packed, 1 failed: IMG02.IMG (DISK02)\n"), std::string::npos) << out;
        EXPECT_FALSE(exists(p.dir / "arc/DISK02.LZH"));
        rerun("arc", {"IMG02.IMG"}, "DISK02");
        EXPECT_EQ(p.left("arc"), (std::set<std::string>{"DISK01.LZH", "DISK02.LZH", "DISK03.LZH", "DISK04.LZH"}));
        for (int i = 1; i <= 4; ++i)
            p.expectArchiveOf("IMG0" + std::to_string(i) + ".IMG", p.dir / ("arc/DISK0" + std::to_string(i) + ".LZH"), "lzh");
    }

    for (const int signal : {SIGINT, SIGTERM}) {
        SCOPED_TRACE(::strsignal(signal));
        const std::string arc = "arc" + std::to_string(signal);
        makeDirs(p.dir / arc);
        // IMG01 packs; IMG02 and IMG03 are held mid-write when the batch is interrupted.
        const pid_t pack = startPack(p.environment(arc, true), batch, p.dir / "out", p.dir / "err");
        std::set<pid_t> held;
        bool interrupted = false;
        const int status = driveBatch(pack, p.pile(), [&](pid_t child, const std::string& image) {
            if (image == "IMG01.IMG") {
                ::kill(child, SIGCONT);
                return true;
            }
            held.insert(child);
            if (held.size() == 2 && !interrupted) {
                ::kill(pack, signal);
                interrupted = true;
            }
            return interrupted;
        });
        const std::string out = readFile(p.dir / "out");
        EXPECT_EQ(status, 128 + signal) << out;
        EXPECT_NE(out.find("archive: C:\\DISK01.LZH"), std::string::npos) << out;
        EXPECT_NE(out.find("IMG02.IMG: not packed: the batch was interrupted"), std::string::npos) << out;
        EXPECT_NE(out.find("IMG03.IMG: not packed: the batch was interrupted"), std::string::npos) << out;
        EXPECT_NE(out.find(std::string("Images: 1 packed, 0 failed; interrupted by ") + (signal == SIGINT ? "SIGINT" : "SIGTERM")
                      + ", 3 not packed: IMG02.IMG (DISK02) IMG03.IMG (DISK03) IMG04.IMG (DISK04)\n"),
            std::string::npos) << out;
        for (const pid_t child : held)
            EXPECT_EQ(processState(child), 0) << "a pack outlived its batch";
        EXPECT_EQ(p.left(arc).count("DISK01.LZH"), 1u);
        EXPECT_EQ(p.left(arc).count("DISK02.LZH") + p.left(arc).count("DISK03.LZH"), 0u);
        p.expectArchiveOf("IMG01.IMG", p.dir / (arc + "/DISK01.LZH"), "lzh");
        rerun(arc, {"IMG02.IMG", "IMG03.IMG", "IMG04.IMG"}, "DISK02");
        EXPECT_EQ(p.left(arc), (std::set<std::string>{"DISK01.LZH", "DISK02.LZH", "DISK03.LZH", "DISK04.LZH"}));
        for (int i = 1; i <= 4; ++i)
            p.expectArchiveOf("IMG0" + std::to_string(i) + ".IMG", p.dir / (arc + "/DISK0" + std::to_string(i) + ".LZH"), "lzh");
    }

    {
        SCOPED_TRACE("the batch killed");
        makeDirs(p.dir / "arck");
        const pid_t pack = startPack(p.environment("arck", true), batch, p.dir / "out", p.dir / "err");
        std::set<pid_t> held;
        const int status = driveBatch(pack, p.pile(), [&](pid_t child, const std::string&) {
            held.insert(child);
            if (held.size() == 2)
                ::kill(pack, SIGKILL);
            return true;
        });
        EXPECT_EQ(status, 128 + SIGKILL);
        // The kernel sent them SIGKILL as their parent ended: they are gone,
        // or going (a zombie, or the kill still pending).
        for (const pid_t child : held) {
            const char state = processState(child);
            if (state == 0 || state == 'Z')
                continue;
            std::istringstream status(readFile("/proc/" + std::to_string(child) + "/status"));
            std::string pending;
            for (std::string line; std::getline(status, line);)
                if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0)
                    pending += line + "\n";
            EXPECT_NE(pending.find("0000000000000100"), std::string::npos) << "a pack outlived its batch: " << pending;
        }
        for (const pid_t child : held)
            while (processState(child) != 0 && processState(child) != 'Z')
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(p.left("arck").count("DISK01.LZH") == 0 && p.left("arck").count("DISK02.LZH") == 0);
        rerun("arck", {"IMG01.IMG"}, "DISK01");
        EXPECT_EQ(p.left("arck"), (std::set<std::string>{"DISK01.LZH"}));
    }
    p.expectUnchanged();
}

// ── Memory ──────────────────────────────────────────────────────────────────

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

constexpr std::uint64_t kMiB = 1 << 20;

// The peak resident memory of one run of the pack command, as the kernel
// counts it for the child (ru_maxrss), with its output.
std::uint64_t peakOfPack(const std::vector<std::string>& environment, const std::vector<std::string>& arguments,
                         const std::string& log, int* status)
{
    const std::string program = binaryDir() + "/sorvane2-pack";
    std::vector<std::string> args{program};
    args.insert(args.end(), arguments.begin(), arguments.end());
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    std::vector<std::string> env(environment);
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "SORVANE2_", 9) != 0)
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    // The child starts as a copy of this process, and the kernel counts what
    // that copy holds in the child's peak: what this process freed goes back
    // to the system first (the test process grows with the tests before).
    ::malloc_trim(0);
    const pid_t child = ::fork();
    if (child == 0) {
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        ::_exit(127);
    }
    ::close(out);
    struct rusage usage {};
    *status = -1;
    int raw = 0;
    if (child > 0 && ::wait4(child, &raw, 0, &usage) == child && WIFEXITED(raw))
        *status = WEXITSTATUS(raw);
    return static_cast<std::uint64_t>(usage.ru_maxrss) * 1024;
}

std::string largeData()
{
    std::string data;
    for (int i = 0; data.size() < 3 * kMiB; ++i)
        data += "a line of the large file " + std::to_string(i) + "\n";
    return data;
}

// An 8 GiB sparse FAT32 volume of 512-byte clusters whose 64 MiB FAT is all
// in use (its free clusters marked bad), with a few files.
void makeLargeFat32(const std::string& image, std::uint64_t clusters, bool fillFat)
{
    FatLayout layout;
    layout.fatBits = 32;
    layout.clusters = clusters;
    layout.reservedSectors = 32;
    SparseFat fat(image, layout);
    ASSERT_FALSE(::testing::Test::HasFatalFailure());
    if (fillFat) {
        std::string bad;
        for (int i = 0; i < (1 << 18); ++i)
            bad += std::string("\xF7\xFF\xFF\x0F", 4);
        for (std::uint64_t at = 0; at < fat.sectorsPerFat() * 512ull; at += bad.size())
            fat.write(fat.fatOffset() + at, bad.substr(0, std::min<std::uint64_t>(bad.size(), fat.sectorsPerFat() * 512ull - at)));
        fat.setFat(0, 0x0FFFFFF8);
        fat.setFat(1, 0x0FFFFFFF);
        fat.setFat(2, 0x0FFFFFFF);
    }
    const std::string data = largeData();
    fat.putRoot(0, SparseFat::entry("SMALL   TXT", 0x20, 3, 5));
    fat.putFile(3, "small");
    fat.putRoot(1, SparseFat::entry("LARGE   BIN", 0x20, 10, static_cast<std::uint32_t>(data.size())));
    fat.putFile(10, data);
}

// One image's run stays within 64 MiB and the size of its FAT above what a
// run on a small volume takes (the baseline, measured first; about 16 MiB),
// the FAT held once; a batch of four such images peaks no higher than a
// batch of one (the open images are kept by the bytes of their FATs).
TEST(ImagePackMemory, ALargeFatTakesItsSizeOnceAndABatchDoesNotGrow)
{
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers' own memory hides the program's";
    TempDir dir;
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    makeDirs(dir / "one");
    makeDirs(dir / "four");
    const std::uint64_t largeClusters = 16 * kMiB - 2; // a FAT of 64 MiB
    const std::uint64_t fatBytes = 64 * kMiB;
    makeLargeFat32(dir / "small.img", 70000, true);
    makeLargeFat32(dir / "one/DISK1.IMG", largeClusters, true);
    ASSERT_FALSE(HasFatalFailure());
    for (int i = 1; i <= 4; ++i)
        ASSERT_EQ(shell("cp --sparse=always " + quote(dir / "one/DISK1.IMG") + " "
            + quote(dir / ("four/DISK" + std::to_string(i) + ".IMG"))).exitCode, 0);
    const std::string before = sparseFileState(dir / "one/DISK1.IMG");

    auto environment = [&](const std::string& image) {
        return std::vector<std::string>{"SORVANE2_DRIVES=a=" + image + ";c=" + dir.path() + "/arc;d=" + dir.path() + "/tmp",
            "SORVANE2_SYSTEM_DIR=" + binaryDir(), "SORVANE2_CONFIG_DIR=" + dir.path()};
    };
    auto drive = [&](const std::string& image, const std::string& name) {
        int status = 0;
        const std::uint64_t peak = peakOfPack(environment(image),
            {"--drive", "a:", "--name", name, "--folder", "C:\\", "--tmp", "D:\\", "--format", "zip"}, dir / "log", &status);
        EXPECT_EQ(status, 0) << readFile(dir / "log");
        return peak;
    };
    auto batch = [&](const std::string& folder, const std::string& name) {
        int status = 0;
        const std::uint64_t peak = peakOfPack(environment(dir / "small.img"),
            {"--images", folder, "--name", name, "--folder", "C:\\", "--tmp", "D:\\", "--format", "zip"}, dir / "log",
            &status);
        EXPECT_EQ(status, 0) << readFile(dir / "log");
        return peak;
    };
    const std::uint64_t baseline = drive(dir / "small.img", "SMALL");
    const std::uint64_t large = drive(dir / "one/DISK1.IMG", "LARGE");
    const std::uint64_t batchOfOne = batch(dir / "one", "ONE01");
    const std::uint64_t batchOfFour = batch(dir / "four", "FOUR01");
    std::printf("peaks: a small volume %llu MiB, the large one %llu MiB, batches of one %llu MiB and of four %llu MiB\n",
        static_cast<unsigned long long>(baseline / kMiB), static_cast<unsigned long long>(large / kMiB),
        static_cast<unsigned long long>(batchOfOne / kMiB), static_cast<unsigned long long>(batchOfFour / kMiB));
    EXPECT_LE(large, baseline + fatBytes + 64 * kMiB) << "baseline " << baseline / kMiB << " MiB";
    // Held once: the program and the archiver module it loads share the open image.
    EXPECT_LE(large, baseline + fatBytes + 16 * kMiB) << "baseline " << baseline / kMiB << " MiB";
    EXPECT_GE(large, baseline + fatBytes / 2) << "the FAT was not read whole";
    EXPECT_LE(batchOfFour, batchOfOne + 16 * kMiB) << "a batch of one peaks at " << batchOfOne / kMiB << " MiB";
    const std::map<std::string, TreeFile> got = unpacked(dir / "arc/FOUR04.ZIP", dir / "x");
    ASSERT_EQ(got.count("LARGE.BIN"), 1u);
    EXPECT_TRUE(got.at("LARGE.BIN").content == largeData());
    makeDirs(dir / "mtools");
    ASSERT_EQ(shell(kMtools + "mcopy -i " + quote(dir / "four/DISK4.IMG") + " ::LARGE.BIN " + quote(dir / "mtools/LARGE.BIN")).exitCode, 0);
    EXPECT_TRUE(readFile(dir / "mtools/LARGE.BIN") == largeData()) << "not what mtools reads";
    EXPECT_EQ(sparseFileState(dir / "one/DISK1.IMG"), before);
}

// A 2 GiB volume whose boot sector asks for a 64 MiB FAT, four times what
// its clusters need: refused before any of it is read.
TEST(ImagePackMemory, AFatFarLargerThanItsClustersNeedIsRefusedUnread)
{
    if (kSanitized)
        GTEST_SKIP() << "the sanitizers' own memory hides the program's";
    TempDir dir;
    const std::string image = dir / "big.img";
    FatLayout layout;
    layout.fatBits = 32;
    layout.reservedSectors = 32;
    layout.clusters = 4 * kMiB - 32 * 1024; // 2 GiB less the FATs
    layout.sectorsPerFat = 131072;          // 64 MiB
    {
        SparseFat fat(image, layout);
        ASSERT_FALSE(HasFatalFailure());
    }
    makeLargeFat32(dir / "small.img", 70000, true);
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");
    auto run = [&](const std::string& path, int* status) {
        return peakOfPack({"SORVANE2_DRIVES=c=" + dir.path() + "/arc;d=" + dir.path() + "/tmp",
                              "SORVANE2_SYSTEM_DIR=" + binaryDir(), "SORVANE2_CONFIG_DIR=" + dir.path()},
            {"--images", path, "--name", "DISK01", "--folder", "C:\\", "--tmp", "D:\\"}, dir / "log", status);
    };
    int status = 0;
    const std::uint64_t baseline = run(dir / "small.img", &status);
    ASSERT_EQ(status, 0) << readFile(dir / "log");
    shell("rm -f " + quote(dir / "arc/DISK01.LZH"));
    const std::string before = sparseFileState(image);
    const std::uint64_t peak = run(image, &status);
    EXPECT_EQ(status, 1);
    const std::string log = readFile(dir / "log");
    EXPECT_NE(log.find(image), std::string::npos) << log;
    EXPECT_NE(log.find("the FAT (131,072 sectors) is too large for"), std::string::npos) << log;
    EXPECT_LE(peak, baseline + 16 * kMiB);
    EXPECT_TRUE(readTree(dir / "arc").empty());
    EXPECT_TRUE(readTree(dir / "tmp").empty());
    EXPECT_EQ(sparseFileState(image), before);
}

} // namespace
