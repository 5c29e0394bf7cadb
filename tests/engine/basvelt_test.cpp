// The drive, folder and file-name procedures against the examples they were built for.
#include "engine/basvelt.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/testsupport.h"

namespace {

struct TextRow {
    const char* in;
    const char* out;
};

void PrintTo(const TextRow& row, std::ostream* out)
{
    *out << '"' << row.in << '"';
}

class ShortenPathRows : public ::testing::TestWithParam<TextRow> {};
TEST_P(ShortenPathRows, Shortens)
{
    EXPECT_EQ(basVelt::ShortenPath(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Rows, ShortenPathRows, ::testing::Values(
    TextRow{"C:\\A\\B\\C\\D", "C:\\A\\...\\C\\D"},
    TextRow{"C:\\A\\B\\C\\D\\", "C:\\A\\...\\D\\"},
    TextRow{"C:\\A\\B\\C\\D\\E.TXT", "C:\\A\\...\\D\\E.TXT"},
    TextRow{"C:\\A\\B\\C", "C:\\A\\B\\C"},
    TextRow{"a:\\", "a:\\"},
    TextRow{"", ""},
    TextRow{"\\\\SERVER\\SHARE\\DIR\\X", "\\\\...\\DIR\\X"},
    TextRow{"C:\\長い\\フォルダ\\名前\\の\\例", "C:\\長い\\...\\の\\例"}));

class LastPathElementRows : public ::testing::TestWithParam<TextRow> {};
TEST_P(LastPathElementRows, TakesTheTail)
{
    EXPECT_EQ(basVelt::LastPathElement(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Rows, LastPathElementRows, ::testing::Values(
    TextRow{"\\\\SERVER\\SHARE", "SHARE"},
    TextRow{"C:\\", ""},
    TextRow{"NOSLASH", ""},
    TextRow{"C:\\ARC\\ディスク", "ディスク"},
    TextRow{"", ""}));

class UpperCaseNameRows : public ::testing::TestWithParam<TextRow> {};
TEST_P(UpperCaseNameRows, UpperCasesAllButThreeRanges)
{
    EXPECT_EQ(basVelt::UpperCaseName(GetParam().in), GetParam().out);
}
INSTANTIATE_TEST_SUITE_P(Rows, UpperCaseNameRows, ::testing::Values(
    TextRow{"disk01", "DISK01"},
    TextRow{"ｄｉｓｋ", "ｄｉｓｋ"},         // full-width small Latin: kept
    TextRow{"ａｚＡ", "ａｚＡ"},
    TextRow{"αβω", "αβω"},                // Greek small: kept
    TextRow{"абя", "абя"},                // Cyrillic small: kept
    TextRow{"ё", "Ё"},                    // outside а..я by code value: upper-cased
    TextRow{"ﾃﾞｨｽｸ123", "ﾃﾞｨｽｸ123"},      // half-width katakana and digits
    TextRow{"é-ß", "É-ß"},                // one character for one
    TextRow{"表ソ.lzh", "表ソ.LZH"},
    TextRow{"", ""}));

TEST(FreeSpace, FormatsMegabytesWithOneDecimal)
{
    EXPECT_EQ(basVelt::FormatFreeSpace(1457664), " (1.4M Free)");
    EXPECT_EQ(basVelt::FormatFreeSpace(1288490188), " (1,228.8M Free)");
    EXPECT_EQ(basVelt::FormatFreeSpace(0), "");
    EXPECT_EQ(basVelt::FormatFreeSpace(1), " (0.0M Free)");
    // Past 2 GiB and 4 GiB the product must not wrap.
    EXPECT_EQ(basVelt::FormatFreeSpace(3ull << 30), " (3,072.0M Free)");
    EXPECT_EQ(basVelt::FormatFreeSpace(500ull << 30), " (512,000.0M Free)");
}

class DriveProcedures : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::makeDirs(m_dir / "c/Program Files/Foo");
        testsupport::makeDirs(m_dir / "c/WINDOWS");
        testsupport::writeFile(m_dir / "c/Program Files/Foo/ReadMe.txt", "x");
        m_env.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/nomedium;c=" + m_dir.path() + "/c");
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::ScopedEnv> m_env;
};

TEST_F(DriveProcedures, LongPathNameSpellsAsTheDiskDoes)
{
    EXPECT_EQ(basVelt::LongPathName("c:\\program files\\foo"), "C:\\Program Files\\Foo");
    EXPECT_EQ(basVelt::LongPathName("c:\\PROGRAM FILES\\foo\\readme.TXT"), "C:\\Program Files\\Foo\\ReadMe.txt");
    EXPECT_EQ(basVelt::LongPathName("c:\\windows\\"), "C:\\WINDOWS");
    EXPECT_EQ(basVelt::LongPathName("c:\\"), "C:\\");
    EXPECT_EQ(basVelt::LongPathName("a:\\"), "A:\\"); // a root is not looked up
}

TEST_F(DriveProcedures, LongPathNameOfWhatDoesNotExistIsEmpty)
{
    EXPECT_EQ(basVelt::LongPathName("c:\\nothing\\foo"), "");
    EXPECT_EQ(basVelt::LongPathName("c:\\program files\\nothing"), "");
    EXPECT_EQ(basVelt::LongPathName("\\\\SERVER\\SHARE"), "");
    EXPECT_EQ(basVelt::LongPathName("c:"), "");
    EXPECT_EQ(basVelt::LongPathName("relative\\x"), "");
    EXPECT_EQ(basVelt::LongPathName("a:\\x"), "");
    EXPECT_EQ(basVelt::LongPathName("c:\\windows\\\\x"), "");
}

TEST_F(DriveProcedures, FreeSpaceOfReadyAndMissingDrives)
{
    EXPECT_EQ(basVelt::FreeSpaceText("a:\\"), "");
    EXPECT_EQ(basVelt::FreeSpaceText("q:\\x"), "");
    EXPECT_EQ(basVelt::FreeSpaceText(""), "");
    const std::string text = basVelt::FreeSpaceText("C:\\Program Files");
    EXPECT_TRUE(text.starts_with(" (") && text.ends_with("M Free)")) << text;
}

TEST_F(DriveProcedures, FileExistsOnlyForReadableFiles)
{
    EXPECT_TRUE(basVelt::FileExists("c:\\program files\\foo\\readme.txt"));
    EXPECT_FALSE(basVelt::FileExists("c:\\program files\\foo"));
    EXPECT_FALSE(basVelt::FileExists("c:\\program files\\foo\\missing.txt"));
    EXPECT_FALSE(basVelt::FileExists("a:\\anything"));
    EXPECT_FALSE(basVelt::FileExists(""));
}

TEST_F(DriveProcedures, TempAndSystemFolders)
{
    testsupport::ScopedEnv tmp("TMPDIR", m_dir.path() + "/c/WINDOWS");
    EXPECT_EQ(basVelt::GetTempFolder(), "C:\\WINDOWS\\");
    testsupport::ScopedEnv system("SORVANE2_SYSTEM_DIR", m_dir.path() + "/c/Program Files");
    EXPECT_EQ(basVelt::GetSystemFolder(), "C:\\Program Files");
    // Too long for the 255-character buffer: nothing rather than a cut path.
    testsupport::ScopedEnv longTmp("TMPDIR", m_dir.path() + "/c/" + std::string(300, 'x'));
    EXPECT_EQ(basVelt::GetTempFolder(), "");
}

} // namespace
