// The pack command over floppy images in the containers beside raw, D88 and
// FDI: the archive holds the files mcopy extracts from the raw disk, the
// command succeeds, and the image never changes.
#include <ostream>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/image_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;

struct ContainerPack {
    std::string name;
    std::string format; // "F144M", "PC98"
    std::string file;   // the image's name
    std::string archive;
};

void PrintTo(const ContainerPack& c, std::ostream* os)
{
    *os << c.name;
}

class ImageContainersPack : public ::testing::TestWithParam<ContainerPack> {};

TEST_P(ImageContainersPack, ArchivesWhatMcopyExtracts)
{
    const ContainerPack& run = GetParam();
    TempDir dir;
    const ImageFormat format = imageFormat(run.format);
    const std::string raw = dir / "disk.raw";
    makeImage(format, raw, "GAME02");
    ASSERT_FALSE(HasFatalFailure());
    mtoolsExtract(format, raw, dir / "files");
    const std::string bytes = readFile(raw);
    const FloppyTracks tracks = floppyTracks(bytes, format.sectorSize, format.sectorsPerTrack, format.heads);
    std::string container;
    if (run.name == "NfdR1")
        container = nfdR1Of(tracks, format.heads);
    else if (run.name == "Dim")
        container = dimOf(bytes, 0x00, format.sectorSize * format.sectorsPerTrack);
    else if (run.name == "TeleDiskAdvanced")
        container = td0Of(tracks, format.heads, true);
    else if (run.name == "Edsk")
        container = cpcDskOf(tracks, format.heads, true);
    const std::string image = dir / run.file;
    writeFile(image, container);
    const std::string before = fileState(image);
    makeDirs(dir / "arc");
    makeDirs(dir / "tmp");

    const std::string env = "SORVANE2_DRIVES=" + quote("a=" + image + ";c=" + dir.path() + "/arc;d=" + dir.path()
        + "/tmp") + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(dir.path()) + " ";
    const CommandResult packed = shell(env + quote(binaryDir() + "/sorvane2-pack") + " --drive a: --label --hidden"
        + " --folder 'C:\\' --tmp 'D:\\' --format " + run.archive + " 2>&1");
    ASSERT_EQ(packed.exitCode, 0) << packed.output;
    const std::string archive = dir / ("arc/GAME02." + std::string(run.archive == "lzh" ? "LZH" : "ZIP"));

    makeDirs(dir / "x");
    const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(dir / "x") + " 2>&1");
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    std::map<std::string, TreeFile> got, expected;
    for (auto& [path, file] : readTree(dir / "x"))
        if (!file.folder)
            got[path] = file;
    for (auto& [path, file] : readTree(dir / "files"))
        if (!file.folder)
            expected[path] = file;
    ASSERT_EQ(got.size(), expected.size());
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << path;
        EXPECT_TRUE(got.at(path).content == file.content) << path;
    }
    const CommandResult tested = shell(run.archive == "lzh" ? "lhasa t " + quote(archive) + " 2>&1"
                                                            : "unzip -tq " + quote(archive) + " 2>&1");
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    EXPECT_EQ(fileState(image), before) << "the image file changed";
}

INSTANTIATE_TEST_SUITE_P(Containers, ImageContainersPack,
    ::testing::Values(ContainerPack{"NfdR1", "PC98", "GAME02.NFD", "lzh"},
                      ContainerPack{"Dim", "PC98", "GAME02.DIM", "zip"},
                      ContainerPack{"TeleDiskAdvanced", "F144M", "GAME02.TD0", "lzh"},
                      ContainerPack{"Edsk", "F144M", "GAME02.DSK", "zip"}),
    [](const ::testing::TestParamInfo<ContainerPack>& info) { return info.param.name; });

} // namespace
