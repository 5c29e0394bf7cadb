// Parsing and forming dialect paths.
#include "dialect.h"

#include <gtest/gtest.h>

namespace {

using platform::dialect::PathKind;
using platform::dialect::parse;

struct ParseRow {
    const char* path;
    PathKind kind;
    char drive;
    std::vector<std::string> parts;
};

void PrintTo(const ParseRow& row, std::ostream* out)
{
    *out << '"' << row.path << '"';
}

class DialectParse : public ::testing::TestWithParam<ParseRow> {};

TEST_P(DialectParse, KindDriveAndElements)
{
    const ParseRow row = GetParam();
    const auto parsed = parse(row.path);
    EXPECT_EQ(parsed.kind, row.kind) << row.path;
    EXPECT_EQ(parsed.drive, row.drive) << row.path;
    EXPECT_EQ(parsed.parts, row.parts) << row.path;
}

INSTANTIATE_TEST_SUITE_P(Rows, DialectParse, ::testing::Values(
    ParseRow{"A:\\ARC\\DISK01.LZH", PathKind::Absolute, 'a', {"ARC", "DISK01.LZH"}},
    ParseRow{"c:\\", PathKind::Absolute, 'c', {}},
    ParseRow{"c:/x//y/", PathKind::Absolute, 'c', {"x", "y"}},
    ParseRow{"b:sub\\f", PathKind::DriveRelative, 'b', {"sub", "f"}},
    ParseRow{"b:", PathKind::DriveRelative, 'b', {}},
    ParseRow{"\\top", PathKind::RootRelative, 0, {"top"}},
    ParseRow{"rel\\..\\x", PathKind::Relative, 0, {"rel", "..", "x"}},
    ParseRow{"\\\\server\\share\\d", PathKind::Unc, 0, {"d"}},
    ParseRow{"\\\\server", PathKind::Invalid, 0, {}},
    ParseRow{"", PathKind::Invalid, 0, {}},
    ParseRow{"1:\\x", PathKind::Invalid, 0, {}},
    ParseRow{"ソ\\表", PathKind::Relative, 0, {"ソ", "表"}}));

TEST(Dialect, UncRootKeepsServerAndShare)
{
    EXPECT_EQ(parse("\\\\srv\\pub\\a\\b").uncRoot, "\\\\srv\\pub");
    EXPECT_EQ(parse("//srv/pub").uncRoot, "\\\\srv\\pub");
}

TEST(Dialect, FoldNeverClimbsAboveTheRoot)
{
    std::vector<std::string> base{"a", "b"};
    platform::dialect::fold(base, {"..", ".", "c", "..", "..", "..", "d"});
    EXPECT_EQ(base, (std::vector<std::string>{"d"}));
}

TEST(Dialect, JoinUpperCasesTheLetter)
{
    EXPECT_EQ(platform::dialect::join('a', {}), "A:\\");
    EXPECT_EQ(platform::dialect::join('c', {"x", "Y"}), "C:\\x\\Y");
}

TEST(Dialect, NamesCompareWithoutCase)
{
    using platform::dialect::sameName;
    EXPECT_TRUE(sameName("Program Files", "PROGRAM FILES"));
    EXPECT_TRUE(sameName("ａｂｃ", "ＡＢＣ"));
    EXPECT_TRUE(sameName("ソフト", "ソフト"));
    EXPECT_FALSE(sameName("abc", "abd"));
    EXPECT_FALSE(sameName("ｱ", "ア")); // half- and full-width are different names
    EXPECT_TRUE(sameName("ÄÖÜ.TXT", "äöü.txt"));
    EXPECT_TRUE(sameName("ΟΔΟΣ", "οδος"));  // final sigma
    EXPECT_TRUE(sameName("ФАЙЛ", "файл"));
    // Bytes that are not UTF-8 match only themselves, whatever the program's locale.
    EXPECT_TRUE(sameName("\x83\x5C", "\x83\x5C"));
    EXPECT_FALSE(sameName("\x83\x5C", "\x84\x5C"));
    EXPECT_FALSE(sameName("A\xFF", "A\xFE"));
    EXPECT_FALSE(sameName("\xC3", "\xC3\xA4"));
}

TEST(Dialect, Utf8Validation)
{
    using platform::dialect::isValidUtf8;
    EXPECT_TRUE(isValidUtf8("plain"));
    EXPECT_TRUE(isValidUtf8("日本語\xF0\x9F\x98\x80"));
    EXPECT_FALSE(isValidUtf8(std::string("a\0b", 3)));
    EXPECT_FALSE(isValidUtf8("\x83\x5C"));         // CP932 "ソ"
    EXPECT_FALSE(isValidUtf8("\xE6\x97"));         // cut short
    EXPECT_FALSE(isValidUtf8("\xC0\xAF"));         // overlong "/"
    EXPECT_FALSE(isValidUtf8("\xED\xA0\x80"));     // surrogate
    EXPECT_FALSE(isValidUtf8("\xF4\x90\x80\x80")); // past U+10FFFF
}

} // namespace
