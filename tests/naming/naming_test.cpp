// The automatic count-up and drive labels.
#include "naming/naming.h"

#include <gtest/gtest.h>

#include "support/testsupport.h"

namespace {

struct CountRow {
    const char* before;
    const char* after;     // the name afterwards
    std::int16_t message;  // 0 when counted
};

void PrintTo(const CountRow& row, std::ostream* out)
{
    *out << '"' << row.before << '"';
}

class CountUpRows : public ::testing::TestWithParam<CountRow> {};

TEST_P(CountUpRows, AdvanceOrRefuse)
{
    const CountRow row = GetParam();
    const naming::CountUp result = naming::countUp(row.before);
    EXPECT_EQ(result.counted, row.message == 0);
    EXPECT_EQ(result.messageId, row.message);
    EXPECT_EQ(result.name, row.after);
}

INSTANTIATE_TEST_SUITE_P(Rows, CountUpRows, ::testing::Values(
    CountRow{"DISK09", "DISK10", 0},
    CountRow{"0001", "0002", 0},
    CountRow{"1A2", "1A3", 0},
    CountRow{"ディスク01", "ディスク02", 0},
    CountRow{"A99", "A99", 3100},
    CountRow{"9", "9", 3100},
    CountRow{"ABC", "ABC", 3102},
    CountRow{"", "", 3103},
    CountRow{"DISK01 ", "DISK01 ", 3102},
    CountRow{"DISK０１", "DISK０１", 3102},
    CountRow{"1234567890", "1234567890", 3101},
    CountRow{"00000000001", "00000000001", 3101},
    CountRow{"99999999999", "99999999999", 3103},
    CountRow{"999999998", "999999999", 0},
    CountRow{"999999999", "999999999", 3100}));

TEST(Trimming, SpacesOfBothWidths)
{
    EXPECT_EQ(naming::trimmed("  DISK01  "), "DISK01");
    EXPECT_EQ(naming::trimmed("\u3000ディスク\u3000 "), "ディスク");
    EXPECT_EQ(naming::trimmed("   "), "");
}

TEST(DriveLabels, BracketsShareNamesAndMissingDisks)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv env("SORVANE2_DRIVES", "a=" + dir.path() + "|FLOPPY01;c=" + dir.path() + "|SYSTEM;n="
        + dir.path() + "|\\\\server\\share;q=" + dir.path() + "/none|GONE;e=" + dir.path());
    EXPECT_EQ(naming::driveLabel('a'), "FLOPPY01"); // from the volume-label query
    EXPECT_EQ(naming::driveLabel('c'), "SYSTEM");   // from the brackets
    EXPECT_EQ(naming::driveLabel('n'), "share");    // the share name
    EXPECT_EQ(naming::driveLabel('q'), "");         // no disk
    EXPECT_EQ(naming::driveLabel('e'), "");         // no label
}

TEST(FileNames, WhatALabelMustBeToNameAnArchive)
{
    for (const char* good : {"GAME01", "DISK 1", "ゲーム　ディスク", "A.B", "COM0", "CONSOLE", "LPT", ".HIDDEN", "表"})
        EXPECT_TRUE(naming::usableAsFileName(good)) << good;
    for (const char* bad : {"", "A*B", "A?B", "C:X", "A\\B", "A/B", "A\"B", "A<B", "A>B", "A|B", "DISK.", "DISK ",
             "A\tB", "A\x01", "CON", "con", "NUL.TXT", "Com1", "LPT9", "AUX ", "CLOCK$"})
        EXPECT_FALSE(naming::usableAsFileName(bad)) << bad;
}

} // namespace
