// The settings store: round trips, deletes, damaged files, killed and concurrent writers.
#include "platform.h"
#include "settings_ini.h"

#include <csignal>
#include <filesystem>
#include <random>

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/testsupport.h"

namespace {

class SettingsStore : public ::testing::Test {
protected:
    void SetUp() override { m_env.emplace("SORVANE2_CONFIG_DIR", m_dir.path() + "/config"); }

    std::string file(const std::string& app) const { return m_dir.path() + "/config/" + app + ".ini"; }

    std::vector<std::string> leftovers() const
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(m_dir.path() + "/config"))
            if (entry.path().filename().string().find(".tmp-") != std::string::npos)
                names.push_back(entry.path().filename().string());
        return names;
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::ScopedEnv> m_env;
};

TEST_F(SettingsStore, JapaneseAndAwkwardValuesComeBackUnchanged)
{
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Font_Name", "ＭＳ 明朝"},
        {"Dir_Out", "C:\\アーカイブ\\表ソ\\"},
        {"Dir_Out_DirName0", "  blanks at both ends  "},
        {"Odd", "line1\nline2\r\n=[x];#\\x41\ttab"},
        {"Empty", ""},
    };
    for (const auto& [key, value] : values)
        ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", key, value).ok());
    for (const auto& [key, value] : values)
        EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", key, "?"), value) << key;
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(SettingsStore, MissingValuesGiveTheDefaultAndKeysIgnoreCase)
{
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", "True"), "True");
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Main_Left", "1000").ok());
    EXPECT_EQ(platform::settingsRead("brelmoor", "SORVANE2", "main_left", "-9999"), "1000");
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "sorvane2", "MAIN_LEFT", "2000").ok());
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Main_Left", ""), "2000");
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Main_Top", "x"), "x");
}

TEST_F(SettingsStore, DeleteSectionKeepsOtherSectionsAndApplications)
{
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Tip", "False").ok());
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Other", "Key", "kept").ok());
    ASSERT_TRUE(platform::settingsWrite("Sorvane2", "Sorvane2", "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsDeleteSection("Brelmoor", "Sorvane2").ok());
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", "gone"), "gone");
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Other", "Key", ""), "kept");
    EXPECT_EQ(platform::settingsRead("Sorvane2", "Sorvane2", "Version", "0.00"), "1.00");
}

TEST_F(SettingsStore, DeleteApplicationRemovesEverySection)
{
    ASSERT_TRUE(platform::settingsWrite("Sorvane2", "Sorvane2", "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsWrite("Sorvane2", "Extra", "K", "v").ok());
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Tip", "True").ok());
    ASSERT_TRUE(platform::settingsDeleteApplication("Sorvane2").ok());
    EXPECT_EQ(platform::settingsRead("Sorvane2", "Sorvane2", "Version", "0.00"), "0.00");
    EXPECT_EQ(platform::settingsRead("Sorvane2", "Extra", "K", "none"), "none");
    EXPECT_FALSE(testsupport::exists(file("Sorvane2")));
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", ""), "True");
    EXPECT_TRUE(platform::settingsDeleteApplication("Sorvane2").ok()); // nothing left: still fine
    EXPECT_TRUE(platform::settingsDeleteSection("Nobody", "None").ok());
}

TEST_F(SettingsStore, UnusableApplicationNamesAreRefused)
{
    EXPECT_FALSE(platform::settingsWrite("../evil", "S", "K", "v").ok());
    EXPECT_FALSE(platform::settingsWrite("", "S", "K", "v").ok());
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead("a/b", "S", "K", "fallback", &problem), "fallback");
    EXPECT_TRUE(problem.has_value());
}

TEST_F(SettingsStore, AnUnreadableStoreGivesDefaultsAndAReason)
{
    testsupport::makeDirs(file("Brelmoor")); // a folder where the file should be
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", "True", &problem), "True");
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->message.find("Brelmoor.ini"), std::string::npos);
    EXPECT_FALSE(platform::settingsWrite("Brelmoor", "Sorvane2", "Tip", "False").ok());
}

TEST_F(SettingsStore, ADamagedFileKeepsItsGoodLinesAndIsKeptAsside)
{
    testsupport::makeDirs(m_dir.path() + "/config");
    const std::string damaged = "[Sorvane2]\nTip=False\n\x01\x02garbage\xFF\nPattern=2\n";
    testsupport::writeFile(file("Brelmoor"), damaged);
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", "True", &problem), "False");
    ASSERT_TRUE(problem.has_value());
    EXPECT_NE(problem->message.find("line 3"), std::string::npos);
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Pattern", "0"), "2");
    // Reading never rewrites it; the first write keeps the damaged original.
    EXPECT_EQ(testsupport::readFile(file("Brelmoor")), damaged);
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Hiddn", "True").ok());
    EXPECT_EQ(testsupport::readFile(file("Brelmoor") + ".bad"), damaged);
    problem.reset();
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Pattern", "0", &problem), "2");
    EXPECT_FALSE(problem.has_value());
}

TEST_F(SettingsStore, AHugeFileIsRefusedNotRead)
{
    testsupport::makeDirs(m_dir.path() + "/config");
    testsupport::writeFile(file("Brelmoor"), "[Sorvane2]\nTip=False\n" + std::string(5 << 20, 'x'));
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Tip", "True", &problem), "True");
    EXPECT_TRUE(problem.has_value());
    EXPECT_FALSE(platform::settingsWrite("Brelmoor", "Sorvane2", "Tip", "True").ok());
    EXPECT_GT(std::filesystem::file_size(file("Brelmoor")), 5u << 20); // left alone
}

TEST(SettingsText, RandomNamesAndValuesSurviveTheTextForm)
{
    std::mt19937 random(20261207);
    for (int round = 0; round < 300; ++round) {
        platform::ini::Document document;
        for (int i = 0; i < 5; ++i) {
            auto randomText = [&](bool allowEmpty) {
                std::string text;
                const int length = static_cast<int>(random() % 12) + (allowEmpty ? 0 : 1);
                for (int k = 0; k < length; ++k) {
                    static const char pool[] = "ab=[];#\\ \t\r\n\x01x\x7f";
                    text += pool[random() % (sizeof pool - 1)];
                }
                return text;
            };
            std::string section = "S" + randomText(true);
            std::string key = "K" + std::to_string(i) + randomText(true);
            document.set(section, key, randomText(true));
        }
        const auto parsed = platform::ini::parse(platform::ini::serialize(document));
        ASSERT_TRUE(parsed.badLines.empty()) << platform::ini::serialize(document);
        for (const auto& section : document.sections)
            for (const auto& [key, value] : section.values) {
                const std::string* back = parsed.document.find(section.name, key);
                ASSERT_TRUE(back) << key;
                ASSERT_EQ(*back, value);
            }
    }
}

// A file edited by hand holds paths with single backslashes; they read as written
// and stay so across later writes.
TEST_F(SettingsStore, HandWrittenBackslashesAreBackslashes)
{
    testsupport::makeDirs(m_dir.path() + "/config");
    const std::string handWritten = "[Sorvane2]\nTmpDir=D:\\WORK\\\nDir_Out=C:\\temp\\new\\x86\\xyz\n"
                                    "OldDir_Out=C:\\\\ARC\nDir_In=\\\\server\\share\n";
    testsupport::writeFile(file("Brelmoor"), handWritten);
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "TmpDir", "", &problem), "D:\\WORK\\");
    EXPECT_FALSE(problem.has_value()) << problem->message;
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Dir_Out", ""), "C:\\temp\\new\\x86\\xyz");
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "OldDir_Out", ""), "C:\\ARC"); // a doubled one is one
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Dir_In", ""), "\\server\\share");
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Tip", "False").ok());
    EXPECT_FALSE(std::filesystem::exists(file("Brelmoor") + ".bad")); // nothing was damaged
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "TmpDir", ""), "D:\\WORK\\");
    EXPECT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "Dir_Out", ""), "C:\\temp\\new\\x86\\xyz");
}

// A writer killed at any moment leaves the old file or the new one, never a torn one.
TEST_F(SettingsStore, AKilledWriterLeavesAReadableFile)
{
    const std::string big(3000, 'v');
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Value", "0-" + big).ok());
    std::mt19937 random(7);
    for (int round = 0; round < 40; ++round) {
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            for (int i = 1;; ++i)
                (void)platform::settingsWrite("Brelmoor", "Sorvane2", "Value", std::to_string(i) + "-" + big);
        }
        ::usleep(static_cast<useconds_t>(random() % 20000));
        ::kill(child, SIGKILL);
        ::waitpid(child, nullptr, 0);

        std::optional<platform::Error> problem;
        const std::string value = platform::settingsRead("Brelmoor", "Sorvane2", "Value", "", &problem);
        ASSERT_FALSE(problem.has_value()) << problem->message;
        ASSERT_TRUE(value.ends_with("-" + big)) << "torn value in round " << round;
    }
    // The next write clears what the killed writers left behind.
    ASSERT_TRUE(platform::settingsWrite("Brelmoor", "Sorvane2", "Other", "x").ok());
    EXPECT_TRUE(leftovers().empty());
}

TEST_F(SettingsStore, TwoInstancesWritingAtOnceLoseNoKey)
{
    constexpr int kKeys = 60;
    pid_t children[2];
    for (int c = 0; c < 2; ++c) {
        children[c] = ::fork();
        ASSERT_GE(children[c], 0);
        if (children[c] == 0) {
            bool ok = true;
            for (int i = 0; i < kKeys; ++i)
                ok = platform::settingsWrite("Brelmoor", "Sorvane2", "P" + std::to_string(c) + "_" + std::to_string(i),
                         std::to_string(i)).ok() && ok;
            ::_exit(ok ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ::waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    for (int c = 0; c < 2; ++c)
        for (int i = 0; i < kKeys; ++i)
            ASSERT_EQ(platform::settingsRead("Brelmoor", "Sorvane2", "P" + std::to_string(c) + "_" + std::to_string(i), "lost"),
                std::to_string(i));
}

} // namespace
