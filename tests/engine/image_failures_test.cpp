// Pack runs from disk images that cannot be packed: the command names the
// image and the cause, writes no archive and leaves the image as it was.
#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

using namespace testsupport;

std::string catalogue(std::int16_t id)
{
    return std::string(resSorvane::ResText(id));
}


class PackFromImage : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirs(m_dir / "arc");
        makeDirs(m_dir / "tmp");
        makeDirs(m_dir / "files");
        writeFile(m_dir / "files/A.TXT", "a folder's file");
    }
    // run: sorvane2-pack with drive a: standing for `image`, b: a folder, c: the storage folder.
    CommandResult run(const std::string& image, const std::string& arguments)
    {
        const std::string env = "SORVANE2_DRIVES=" + quote("a=" + image + ";b=" + m_dir.path() + "/files;c=" + m_dir.path()
            + "/arc;d=" + m_dir.path() + "/tmp") + " SORVANE2_SYSTEM_DIR=" + quote(binaryDir()) + " SORVANE2_CONFIG_DIR="
            + quote(m_dir.path()) + " ";
        return shell(env + quote(binaryDir() + "/sorvane2-pack") + " " + arguments + " --tmp 'D:\\' 2>&1");
    }
    std::vector<std::string> leftIn(const std::string& folder)
    {
        std::vector<std::string> names;
        for (const auto& [path, file] : readTree(m_dir / folder))
            names.push_back(path);
        return names;
    }

    TempDir m_dir;
};

TEST_F(PackFromImage, EveryDamagedImageIsNamedWithItsCause)
{
    Floppy floppy;
    floppy.putRoot(0, Floppy::entry("README  TXT", 0x20, 2, 5));
    floppy.setFat(2, 0xFFF);
    floppy.putData(2, "hello");
    const std::string good = floppy.bytes();
    std::string noBoot = good;
    std::fill(noBoot.begin(), noBoot.begin() + 19 * 512, '\0');
    std::string d88 = d88Of(good, 512, 18, 2);
    d88[0x20] = '\xFF'; // the first track's offset points past the end of the file
    d88[0x23] = '\x7F';
    struct Damage {
        std::string name, bytes, cause;
    };
    const std::vector<Damage> damaged = {
        {"EMPTY.IMG", "", "too small"},
        {"ONE.IMG", "x", "too small"},
        {"NOBOOT.IMG", noBoot, "not a FAT, Human68k or N88-BASIC disk"},
        {"CUTFAT.IMG", good.substr(0, 2048), ""},
        {"TRACK.D88", d88, "D88"},
    };
    for (const Damage& damage : damaged) {
        SCOPED_TRACE(damage.name);
        const std::string image = m_dir / damage.name;
        writeFile(image, damage.bytes);
        const std::string before = fileState(image);
        const CommandResult result = run(image, "--drive a: --name DISK01 --folder 'C:\\'");
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find(catalogue(301)), std::string::npos) << result.output;
        const size_t named = result.output.find("sorvane2-pack: " + image + ": ");
        ASSERT_NE(named, std::string::npos) << result.output;
        EXPECT_GT(result.output.find('\n', named), named + ("sorvane2-pack: " + image + ": ").size()) << result.output;
        EXPECT_NE(result.output.find(damage.cause), std::string::npos) << result.output;
        EXPECT_EQ(fileState(image), before);
        EXPECT_TRUE(leftIn("arc").empty());
        EXPECT_TRUE(leftIn("tmp").empty());
    }

    // A blank dump, all zeros: no boot sector, no known medium.
    const std::string blank = m_dir / "BLANK.IMG";
    ASSERT_EQ(shell("truncate -s 32M " + quote(blank)).exitCode, 0);
    const std::string before = fileState(blank);
    const CommandResult result = run(blank, "--drive a: --name DISK01 --folder 'C:\\'");
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find("sorvane2-pack: " + blank + ": not a FAT, Human68k or N88-BASIC disk"), std::string::npos) << result.output;
    EXPECT_EQ(fileState(blank), before);
    EXPECT_TRUE(leftIn("arc").empty());
}

TEST_F(PackFromImage, ALabelThatCannotBeAFileNameIsRefusedOrReplacedByTheImageName)
{
    for (const std::string& label11 : {std::string("A*B        "), std::string("C:X        "), std::string("DISK.      "),
             std::string("A|B<C>     "), std::string("CON        ")}) {
        const std::string image = m_dir / "GAME-07.HDM";
        writeFile(image, labelledFloppy(label11));
        const std::string before = fileState(image);
        std::string label = label11;
        label.erase(label.find_last_not_of(' ') + 1);
        SCOPED_TRACE(label);

        // One drive: refused, the label quoted.
        CommandResult result = run(image, "--drive a: --label --folder 'C:\\'");
        EXPECT_EQ(result.exitCode, 1) << result.output;
        EXPECT_NE(result.output.find(catalogue(20206) + "\n「" + label + "」"), std::string::npos) << result.output;
        EXPECT_TRUE(leftIn("arc").empty());

        // A batch: the image's file name instead, said in its history.
        result = run(image, "--images " + quote(image) + " --label --folder 'C:\\'");
        EXPECT_EQ(result.exitCode, 0) << result.output;
        EXPECT_NE(result.output.find("GAME-07.HDM: the label \"" + label + "\" cannot be a file name; the archive is named "
                                     "after the image file"), std::string::npos) << result.output;
        EXPECT_EQ(leftIn("arc"), std::vector<std::string>{"GAME-07.LZH"});
        EXPECT_EQ(shell("lhasa t " + quote(m_dir / "arc/GAME-07.LZH")).exitCode, 0);
        const CommandResult content = shell("bsdtar -xOf " + quote(m_dir / "arc/GAME-07.LZH") + " README.TXT");
        EXPECT_EQ(content.output, "hello");
        EXPECT_EQ(fileState(image), before);
        ASSERT_EQ(::unlink((m_dir / "arc/GAME-07.LZH").c_str()), 0);
    }
}

TEST_F(PackFromImage, AnImageDriveIsRefusedAsTheStorageFolderSayingItIsReadOnly)
{
    const std::string image = m_dir / "GAME01.HDM";
    writeFile(image, labelledFloppy("GAME01     "));
    const std::string before = fileState(image);
    const std::string files = readFile(m_dir / "files/A.TXT");
    const CommandResult result = run(image, "--drive b: --name DISK01 --folder 'A:\\'");
    EXPECT_EQ(result.exitCode, 1) << result.output;
    EXPECT_NE(result.output.find(catalogue(20207) + "\nA:\\"), std::string::npos) << result.output;
    EXPECT_EQ(fileState(image), before);
    EXPECT_EQ(readFile(m_dir / "files/A.TXT"), files);
    EXPECT_TRUE(leftIn("tmp").empty());
}

} // namespace
