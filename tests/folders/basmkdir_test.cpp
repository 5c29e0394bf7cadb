// Folder creation: the name rules in their order, the path, the current folder.
#include "folders/basmkdir.h"

#include <deque>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

struct Script : basMkdir::FolderPrompts {
    std::deque<std::optional<std::string>> replies;
    std::vector<std::string> messages;
    std::vector<std::string> prompts;
    std::optional<std::string> askText(const std::string& prompt, const std::string& title) override
    {
        prompts.push_back(prompt + "|" + title);
        if (replies.empty())
            return std::nullopt;
        auto reply = replies.front();
        replies.pop_front();
        return reply;
    }
    void message(const std::string& text) override { messages.push_back(text); }
};

std::string series(std::int16_t id)
{
    return std::string(resVelt::ResText(id));
}

struct RuleRow {
    const char* name;
    std::int16_t message; // 0: accepted
};

void PrintTo(const RuleRow& row, std::ostream* out)
{
    *out << '"' << row.name << '"';
}

class FolderNameRules : public ::testing::TestWithParam<RuleRow> {};

TEST_P(FolderNameRules, FirstFailingRuleSpeaks)
{
    Script script;
    const RuleRow row = GetParam();
    EXPECT_EQ(basMkdir::IsValidFolderName(row.name, script), row.message == 0);
    if (row.message)
        EXPECT_EQ(script.messages, std::vector<std::string>{series(row.message)});
    else
        EXPECT_TRUE(script.messages.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, FolderNameRules, ::testing::Values(
    RuleRow{"", 106}, RuleRow{"A\\B", 101}, RuleRow{"\\A", 101}, RuleRow{"NEW\\", 0}, RuleRow{"\\", 0},
    RuleRow{"A*", 102}, RuleRow{"A?", 103}, RuleRow{"*\\?", 101}, RuleRow{".A", 108}, RuleRow{"A.", 108},
    RuleRow{"A.B", 0}, RuleRow{"   ", 0}, RuleRow{" .A", 0}, RuleRow{"新しいフォルダ", 0}));

class CreateFolder : public ::testing::Test {
protected:
    void SetUp() override
    {
        testsupport::makeDirs(m_dir / "d/ARC");
        m_env.emplace("SORVANE2_DRIVES", "d=" + m_dir.path() + "/d");
        ASSERT_TRUE(platform::changeDrive('d').ok());
        ASSERT_TRUE(platform::changeFolder("D:\\ARC").ok());
    }
    testsupport::TempDir m_dir;
    testsupport::ScopedCwd m_cwd;
    std::optional<testsupport::ScopedEnv> m_env;
    Script m_script;
};

TEST_F(CreateFolder, MakesTheFolderAndKeepsTheCurrentFolder)
{
    m_script.replies = {std::string("DISKS\\")};
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), "D:\\ARC\\DISKS");
    EXPECT_TRUE(testsupport::exists(m_dir / "d/ARC/DISKS"));
    EXPECT_EQ(platform::currentFolder(), "D:\\ARC");
    EXPECT_EQ(m_script.prompts.front(), series(100) + "\rD:\\ARC|" + series(110));
    m_script.replies = {std::string(" 新しい ")};
    EXPECT_EQ(basMkdir::CreateFolder("D:\\", m_script), "D:\\新しい"); // a root takes the name directly
    EXPECT_TRUE(m_script.messages.empty());
}

TEST_F(CreateFolder, RefusalsAndFailures)
{
    m_script.replies = {std::nullopt, std::string(""), std::string("   ")};
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), "");
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), "");
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), ""); // only spaces: nothing, silently
    EXPECT_TRUE(m_script.messages.empty());
    testsupport::makeDirs(m_dir / "d/ARC/OLD");
    m_script.replies = {std::string("OLD"), std::string("\\")};
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), "");
    EXPECT_EQ(basMkdir::CreateFolder("D:\\ARC", m_script), "");
    // Each refusal says why, naming the folder.
    ASSERT_EQ(m_script.messages.size(), 2u);
    EXPECT_TRUE(m_script.messages[0].starts_with(series(104) + "\nD:\\ARC\\OLD: ")) << m_script.messages[0];
    EXPECT_TRUE(m_script.messages[1].starts_with(series(104) + "\n")) << m_script.messages[1];
    EXPECT_EQ(platform::currentFolder(), "D:\\ARC");
}

} // namespace
