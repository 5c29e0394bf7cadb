// The two message catalogues: sizes, aliases, empty ids and texts that are easy to get wrong.
#include "text/catalogue.h"

#include <set>
#include <string>

#include <gtest/gtest.h>

namespace {

using std::string_view;

std::set<int> listedIds(std::span<const text::CatalogueEntry> entries)
{
    std::set<int> ids;
    for (const auto& entry : entries)
        for (auto id : entry.ids)
            if (id != 0)
                ids.insert(id);
    return ids;
}

TEST(Catalogue, HasEveryRowAndNoIdTwice)
{
    EXPECT_EQ(resSorvane::Entries().size(), 107u);
    EXPECT_EQ(resVelt::Entries().size(), 53u);
    size_t idCount = 0;
    for (const auto& entry : resSorvane::Entries())
        idCount += (entry.ids[0] != 0) + (entry.ids[1] != 0);
    EXPECT_EQ(listedIds(resSorvane::Entries()).size(), idCount) << "an id appears on two rows";
    idCount = 0;
    for (const auto& entry : resVelt::Entries())
        idCount += (entry.ids[0] != 0) + (entry.ids[1] != 0);
    EXPECT_EQ(listedIds(resVelt::Entries()).size(), idCount) << "an id appears on two rows";
}

TEST(Catalogue, EveryUnlistedIdIsEmptyAndEveryListedOneIsNot)
{
    const std::set<int> sorvane = listedIds(resSorvane::Entries());
    const std::set<int> velt = listedIds(resVelt::Entries());
    for (int id = -32768; id <= 32767; ++id) {
        const auto small = static_cast<std::int16_t>(id);
        const bool sorvaneListed = (sorvane.count(id) && id != 10060) || id == 0;
        ASSERT_EQ(resSorvane::ResText(small).empty(), !sorvaneListed) << "resSorvane " << id;
        ASSERT_EQ(resVelt::ResText(small).empty(), !velt.count(id)) << "resVelt " << id;
    }
}

TEST(Catalogue, ZeroAndTheEmptyEntry)
{
    EXPECT_EQ(resSorvane::ResText(0), "Sorvane2"); // the name the /U prompt begins with
    EXPECT_EQ(resVelt::ResText(0), "");
    EXPECT_EQ(resSorvane::ResText(10060), "");
    EXPECT_EQ(resSorvane::ResText(10059), "");
    EXPECT_EQ(resSorvane::ResText(10061), "テンポラリドライブ名を設定します");
    EXPECT_EQ(resSorvane::ResText(-1), "");
}

struct AliasRow {
    bool sorvane;
    std::int16_t a, b;
    const char* text;
};

void PrintTo(const AliasRow& row, std::ostream* out)
{
    *out << row.a << "/" << row.b;
}

class CatalogueAliases : public ::testing::TestWithParam<AliasRow> {};

TEST_P(CatalogueAliases, ShareOneText)
{
    const AliasRow row = GetParam();
    auto lookup = row.sorvane ? resSorvane::ResText : resVelt::ResText;
    EXPECT_EQ(lookup(row.a), row.text);
    EXPECT_EQ(lookup(row.b), row.text);
}

INSTANTIATE_TEST_SUITE_P(Rows, CatalogueAliases, ::testing::Values(
    AliasRow{true, 1, 8007, "通常圧縮"},
    AliasRow{true, 2, 8008, "非圧縮圧縮"},
    AliasRow{true, 3, 8009, "２重圧縮"},
    AliasRow{true, 1000, 10000, "圧縮ドライブ名"},
    AliasRow{true, 3000, 3009, "圧縮ファイル名"},
    AliasRow{true, 5000, 5001, "実行履歴"},
    AliasRow{true, 3102, 3103, "自動カウント時、数字データが無いか異常のため自動カウントしません"},
    AliasRow{true, 10002, 10063, "テンポラリフォルダ名"},
    AliasRow{false, 1100, 11101, "フォルダエリアス名を入力してください"},
    AliasRow{false, 5, 8043, "ｷｬﾝｾﾙ"}),
    [](const auto& info) {
        return std::string(info.param.sorvane ? "resSorvane_" : "resVelt_") + std::to_string(info.param.a);
    });

TEST(Catalogue, TextsThatDifferOnlyInDetail)
{
    EXPECT_EQ(resSorvane::ResText(200), "ファイルが存在しています。上書きしてよろしいですか。");
    EXPECT_EQ(resVelt::ResText(5100), "ファイルが存在しています。上書きしてよろしいですか");
    EXPECT_EQ(resSorvane::ResText(201), resVelt::ResText(5101));
    EXPECT_EQ(resSorvane::ResText(8037), "圧縮・非圧縮\u3000圧縮時の形式はＬＺＨ形式です");
    EXPECT_EQ(resSorvane::ResText(8038), "圧縮・非圧縮\u3000圧縮時の形式はＺＩＰ形式です");
    EXPECT_EQ(resVelt::ResText(101), "フォルダ名には [\\] は使用できません");
    EXPECT_EQ(resVelt::ResText(11), "LogFile(*.LOG)|*.LOG|全てのファイル(*.*)|*.*");
    EXPECT_EQ(resSorvane::ResText(9999), "Sorvane2 for Win32");
    EXPECT_EQ(resSorvane::ResText(7001), "Ｓｏｒｖａｎｅ２");
    EXPECT_EQ(resVelt::ResText(20), "で使用したレジストリを全て削除します");
    EXPECT_EQ(resVelt::ResText(11000), "のエリアスメンテナンス");
}

TEST(Catalogue, StatusLinesStartWithOneIdeographicSpace)
{
    const string_view space = "\u3000";
    int statusLines = 0;
    for (const auto& entry : resSorvane::Entries()) {
        if (entry.ids[0] < 20001 || entry.ids[0] > 20042)
            continue;
        ++statusLines;
        ASSERT_TRUE(entry.text.starts_with(space)) << entry.ids[0];
        EXPECT_FALSE(entry.text.substr(space.size()).starts_with(space)) << entry.ids[0];
    }
    EXPECT_EQ(statusLines, 15);
    EXPECT_EQ(resSorvane::ResText(20003), "\u3000圧縮正常終了しました");
    EXPECT_EQ(resSorvane::ResText(20004), "\u3000圧縮できませんでした");
    EXPECT_FALSE(resVelt::ResText(30).starts_with(space));
    EXPECT_FALSE(resVelt::ResText(31).starts_with(space));
}

TEST(Catalogue, ContactTextsArePlaceholdersOfTheirKind)
{
    EXPECT_FALSE(resVelt::ResText(7003).empty());
    EXPECT_NE(resVelt::ResText(7004).find('@'), string_view::npos);
    EXPECT_TRUE(resVelt::ResText(7005).starts_with("http"));
}

TEST(Catalogue, NoTextHoldsControlCharacters)
{
    for (auto entries : {resSorvane::Entries(), resVelt::Entries()}) {
        for (const auto& entry : entries) {
            for (unsigned char c : entry.text)
                ASSERT_GE(c, 0x20) << entry.ids[0];
        }
    }
}

} // namespace
