// Dialect paths against real folders: resolution, conversion, current folders, files.
#include "platform.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "support/testsupport.h"

namespace {

using testsupport::makeDirs;
using testsupport::writeFile;

// a: a floppy folder, c: a home folder, n: a network share, q: no medium.
class DialectPaths : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirs(m_dir / "floppy/Docs/Sub");
        makeDirs(m_dir / "home/Arc");
        makeDirs(m_dir / "share/Pics");
        writeFile(m_dir / "floppy/Docs/ReadMe.TXT", "hello");
        writeFile(m_dir / "floppy/表ソ.txt", "sjis trail bytes");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/floppy;c=" + m_dir.path() + "/home;n=" + m_dir.path()
                + "/share|\\\\server\\share;q=" + m_dir.path() + "/nomedium");
        ASSERT_TRUE(platform::changeDrive('c').ok());
    }

    testsupport::TempDir m_dir;
    testsupport::ScopedCwd m_cwd;
    std::optional<testsupport::ScopedEnv> m_env;
};

TEST_F(DialectPaths, NativeTakesTheOnDiskSpellingOfExistingElements)
{
    EXPECT_EQ(platform::toNative("A:\\DOCS\\readme.txt").valueOr(""), m_dir / "floppy/Docs/ReadMe.TXT");
    EXPECT_EQ(platform::toNative("a:\\docs\\sub\\").valueOr(""), m_dir / "floppy/Docs/Sub");
    // Elements that do not exist keep the spelling given, and so does all below them.
    EXPECT_EQ(platform::toNative("a:\\docs\\New\\sub").valueOr(""), m_dir / "floppy/Docs/New/sub");
    EXPECT_EQ(platform::toNative("A:\\").valueOr(""), m_dir / "floppy");
    EXPECT_EQ(platform::toNative("a:\\表ソ.TXT").valueOr(""), m_dir / "floppy/表ソ.txt");
}

TEST_F(DialectPaths, AnExactMatchWinsOverOneWithoutCase)
{
    writeFile(m_dir / "floppy/Docs/readme.txt", "second");
    EXPECT_EQ(platform::toNative("a:\\Docs\\readme.txt").valueOr(""), m_dir / "floppy/Docs/readme.txt");
    EXPECT_EQ(platform::toNative("a:\\Docs\\ReadMe.TXT").valueOr(""), m_dir / "floppy/Docs/ReadMe.TXT");
}

TEST_F(DialectPaths, DialectOfNativePathsUsesTheLongestMappedFolder)
{
    EXPECT_EQ(platform::toDialect(m_dir / "floppy/Docs").valueOr(""), "A:\\Docs");
    EXPECT_EQ(platform::toDialect(m_dir / "floppy").valueOr(""), "A:\\");
    EXPECT_EQ(platform::toDialect(m_dir / "home/Arc/x.lzh").valueOr(""), "C:\\Arc\\x.lzh");
    EXPECT_EQ(platform::toDialect("/etc/passwd").valueOr(""), "Z:\\etc\\passwd");
    EXPECT_EQ(platform::toDialect("/").valueOr(""), "Z:\\");
}

TEST_F(DialectPaths, NamesTheDialectCannotHoldAreRefused)
{
    auto backslash = platform::toDialect(m_dir / "floppy/a\\b");
    ASSERT_FALSE(backslash.ok());
    EXPECT_EQ(backslash.error().code, EILSEQ);
    EXPECT_NE(backslash.error().message.find("a\\b"), std::string::npos);
    EXPECT_FALSE(platform::toDialect(m_dir / "floppy/\x83\x5C.txt").ok()); // CP932 bytes
    EXPECT_FALSE(platform::toNative(std::string("a:\\x\0y", 6)).ok());
    EXPECT_FALSE(platform::toNative("").ok());
    EXPECT_FALSE(platform::toNative("7:\\x").ok());
    EXPECT_FALSE(platform::toNative("m:\\x").ok()); // no such drive
}

TEST_F(DialectPaths, UncPathsGoThroughTheNetworkDrive)
{
    EXPECT_EQ(platform::fullPath("\\\\SERVER\\Share\\pics").valueOr(""), "N:\\pics");
    EXPECT_EQ(platform::toNative("\\\\server\\share\\pics").valueOr(""), m_dir / "share/Pics");
    EXPECT_FALSE(platform::fullPath("\\\\other\\share").ok());
}

TEST_F(DialectPaths, EachDriveKeepsItsOwnCurrentFolder)
{
    EXPECT_EQ(platform::currentDrive(), 'c');
    EXPECT_EQ(platform::currentFolder(), "C:\\");
    ASSERT_TRUE(platform::changeFolder("a:\\Docs\\Sub").ok());
    EXPECT_EQ(platform::currentDrive(), 'c'); // changing a folder never changes the drive
    ASSERT_TRUE(platform::changeFolder("Arc").ok());
    EXPECT_EQ(platform::currentFolder(), "C:\\Arc");
    EXPECT_EQ(platform::currentFolder('a'), "A:\\Docs\\Sub");
    EXPECT_EQ(platform::fullPath("a:..\\x").valueOr(""), "A:\\Docs\\x");
    EXPECT_EQ(platform::fullPath("..\\y").valueOr(""), "C:\\y");
    EXPECT_EQ(platform::fullPath("\\y").valueOr(""), "C:\\y");

    ASSERT_TRUE(platform::changeDrive('a').ok());
    EXPECT_EQ(platform::currentFolder(), "A:\\Docs\\Sub");
    EXPECT_EQ(platform::fullPath("z.lzh").valueOr(""), "A:\\Docs\\Sub\\z.lzh");
    EXPECT_EQ(std::filesystem::current_path().string(), m_dir / "floppy/Docs/Sub");
    EXPECT_EQ(platform::currentFolder('c'), "C:\\Arc");
}

TEST_F(DialectPaths, ChangingToADriveWithoutMediumFails)
{
    auto changed = platform::changeDrive('q');
    ASSERT_FALSE(changed.ok());
    EXPECT_EQ(platform::currentDrive(), 'c');
    EXPECT_FALSE(platform::changeDrive('m').ok());
    EXPECT_FALSE(platform::changeFolder("a:\\NoSuchFolder").ok());
    EXPECT_FALSE(platform::changeFolder("a:\\Docs\\ReadMe.TXT").ok());
}

TEST_F(DialectPaths, ADriveWhoseFolderVanishedStartsAtItsRoot)
{
    ASSERT_TRUE(platform::changeFolder("a:\\Docs\\Sub").ok());
    std::filesystem::remove(m_dir / "floppy/Docs/Sub"); // another disk was put in
    ASSERT_TRUE(platform::changeDrive('a').ok());
    EXPECT_EQ(platform::currentFolder(), "A:\\");
}

TEST_F(DialectPaths, AChdirElsewhereIsSeen)
{
    ASSERT_EQ(::chdir((m_dir / "floppy/Docs").c_str()), 0);
    EXPECT_EQ(platform::currentDrive(), 'a');
    EXPECT_EQ(platform::currentFolder(), "A:\\Docs");
}

TEST_F(DialectPaths, FilesAndFolders)
{
    EXPECT_TRUE(platform::canOpenForReading("a:\\docs\\readme.txt"));
    EXPECT_FALSE(platform::canOpenForReading("a:\\docs"));
    EXPECT_FALSE(platform::canOpenForReading("a:\\docs\\missing.txt"));
    EXPECT_TRUE(platform::isFolder("A:\\DOCS"));
    EXPECT_EQ(platform::onDiskName("a:\\docs\\readme.txt").valueOr(""), "ReadMe.TXT");
    EXPECT_FALSE(platform::onDiskName("a:\\nothing\\readme.txt").ok());

    ASSERT_TRUE(platform::makeFolder("a:\\docs\\新しい").ok());
    EXPECT_TRUE(testsupport::exists(m_dir / "floppy/Docs/新しい"));
    EXPECT_FALSE(platform::makeFolder("a:\\docs\\新しい").ok()); // exists
    EXPECT_FALSE(platform::makeFolder("a:\\x\\y\\z").ok());       // no parent
    EXPECT_FALSE(platform::deleteFile("a:\\docs\\新しい").ok());   // a folder
    ASSERT_TRUE(platform::deleteFile("A:\\DOCS\\README.TXT").ok());
    EXPECT_FALSE(testsupport::exists(m_dir / "floppy/Docs/ReadMe.TXT"));
    EXPECT_FALSE(platform::deleteFile("A:\\DOCS\\README.TXT").ok());
}

TEST_F(DialectPaths, SpaceOfReadyAndMissingDrives)
{
    auto space = platform::diskFree("a:\\");
    ASSERT_TRUE(space.ok());
    EXPECT_GT(space->bytesPerSector, 0u);
    EXPECT_GE(space->totalClusters, space->freeClusters);
    EXPECT_FALSE(platform::diskFree("q:\\").ok());
}

TEST(SpecialFolders, TempFolderEndsWithASeparator)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv drives("SORVANE2_DRIVES", "t=" + dir.path());
    testsupport::ScopedEnv tmp("TMPDIR", dir.path() + "/work");
    EXPECT_EQ(platform::tempFolder(), "T:\\work\\");
    testsupport::ScopedEnv noTmp("TMPDIR", std::nullopt);
    EXPECT_EQ(platform::tempFolder(), "Z:\\tmp\\");
}

TEST(SpecialFolders, SystemFolderIsTheExecutablesOrTheOverride)
{
    testsupport::ScopedEnv drives("SORVANE2_DRIVES", std::nullopt);
    testsupport::ScopedEnv unset("SORVANE2_SYSTEM_DIR", std::nullopt);
    const std::string exe = std::filesystem::canonical("/proc/self/exe").parent_path().string();
    EXPECT_EQ(platform::systemFolder(), platform::toDialect(exe).valueOr("?"));
    testsupport::ScopedEnv set("SORVANE2_SYSTEM_DIR", "/opt/sorvane2/lib/");
    EXPECT_EQ(platform::systemFolder(), "Z:\\opt\\sorvane2\\lib");
}

} // namespace
