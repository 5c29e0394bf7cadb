// The settings record: encodings, defaults, the legacy move and delete-all.
#include "settings/settings.h"

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/testsupport.h"

namespace {

class SettingsRecord : public ::testing::Test {
protected:
    // A store of the test's own: a folder on POSIX systems, a registry key
    // on Windows (removed again at the end).
    void SetUp() override
    {
        m_env.emplace("SORVANE2_CONFIG_DIR", m_dir.path());
        const std::string leaf = m_dir.path().substr(m_dir.path().find_last_of("/\\") + 1);
        m_key.emplace("SORVANE2_SETTINGS_KEY", "Software\\Sorvane2 tests\\" + leaf);
    }
    void TearDown() override
    {
        (void)platform::settingsDeleteApplication(settings::kApplication);
        (void)platform::settingsDeleteApplication(settings::kLegacyApplication);
    }

    static std::string current(const char* key)
    {
        return platform::settingsRead(settings::kApplication, settings::kSection, key, "<none>");
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::ScopedEnv> m_env;
    std::optional<testsupport::ScopedEnv> m_key;
};

TEST(SettingsEncodings, BooleansIntegersPositions)
{
    EXPECT_EQ(settings::parseBoolean("True"), true);
    EXPECT_EQ(settings::parseBoolean("false"), false);
    EXPECT_EQ(settings::parseBoolean("0"), false);
    EXPECT_EQ(settings::parseBoolean("1"), true);
    EXPECT_EQ(settings::parseBoolean("-1"), true);
    EXPECT_FALSE(settings::parseBoolean("yes").has_value());
    EXPECT_FALSE(settings::parseBoolean("").has_value());
    EXPECT_EQ(settings::parseInteger("-9999"), -9999);
    EXPECT_FALSE(settings::parseInteger("40000").has_value());
    EXPECT_FALSE(settings::parseInteger("ten").has_value());
    EXPECT_FALSE(settings::parseInteger("1.5").has_value());
    EXPECT_EQ(settings::parsePosition(settings::formatPosition(1234.5f)), 1234.5f);
    EXPECT_EQ(settings::formatPosition(1000.0f), "1000");
}

TEST_F(SettingsRecord, AnEmptyStoreGivesDefaultsAndSaveWritesEverything)
{
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    const settings::ProgramSettings d = settings::defaults();
    EXPECT_EQ(record.Lzh_Option, "u -+");
    EXPECT_TRUE(record.SubDir);
    EXPECT_FALSE(record.Hiddn);
    EXPECT_EQ(record.Font_Name, "ＭＳ 明朝");
    EXPECT_EQ(record.Font_Size, 10);
    EXPECT_EQ(record.TmpDir, d.TmpDir);
    settings::SaveSettings(record);
    EXPECT_EQ(current("Version"), "1.00");
    EXPECT_EQ(current("SubDir"), "True");
    EXPECT_EQ(current("Pattern"), "0");
    EXPECT_EQ(current("Font_Name"), "ＭＳ 明朝");
}

TEST_F(SettingsRecord, TheLegacyLocationIsReadOnceThenMoved)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Pattern", "2").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Pattern", "3").ok());
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    EXPECT_EQ(record.Pattern, 2); // from the legacy location
    settings::SaveSettings(record);
    EXPECT_EQ(current("Pattern"), "2");
    EXPECT_EQ(platform::settingsRead(settings::kLegacyApplication, settings::kSection, "Version", "gone"), "gone");
    settings::ProgramSettings again;
    settings::LoadSettings(again);
    EXPECT_EQ(again.Pattern, 2); // now from the current location
}

TEST_F(SettingsRecord, VersionZeroMeansTheCurrentLocation)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Version", "0.00").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Pattern", "2").ok());
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    EXPECT_EQ(record.Pattern, 0);
}

TEST_F(SettingsRecord, ValuesThatDoNotConvertKeepTheirValue)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "SubDir", "0").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Hiddn", "1").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Font_Size", "big").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Pattern", "7").ok());
    settings::ProgramSettings record; // zero at start
    settings::LoadSettings(record);
    EXPECT_FALSE(record.SubDir);
    EXPECT_TRUE(record.Hiddn);
    EXPECT_EQ(record.Font_Size, 0);
    EXPECT_EQ(record.Pattern, 7);
}

TEST_F(SettingsRecord, WindowLocationsAreChosenOneByOne)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Main_Left", "1200").ok());
    EXPECT_EQ(settings::programLocation().application, settings::kLegacyApplication);
    EXPECT_EQ(settings::windowLocation("Main")->application, settings::kLegacyApplication);
    EXPECT_EQ(settings::windowLocation("Default")->application, settings::kApplication);
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "About_Left", "wide").ok());
    EXPECT_FALSE(settings::windowLocation("About").has_value());
}

TEST_F(SettingsRecord, AWindowWithoutItsLeftKeyIsReadFromTheLegacyLocationWhenItsOtherKeysAreThere)
{
    // Earlier versions wrote a panel's _Left only with Resize off.
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Dir_Out", "D:\\ARC").ok());
    EXPECT_EQ(settings::windowLocation("OutDir", {"Dir_Out"})->application, settings::kLegacyApplication);
    EXPECT_EQ(settings::windowLocation("InDir", {"Dir_In"})->application, settings::kApplication);
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "InDir_Top", "300").ok());
    EXPECT_EQ(settings::windowLocation("InDir", {"Dir_In"})->application, settings::kLegacyApplication);
}

TEST_F(SettingsRecord, ALeftKeyIsANumberBeyondSixteenBitsToo)
{
    const struct {
        const char* stored;
        std::optional<const char*> location;
    } rows[] = {
        {"38400", settings::kLegacyApplication},
        {"1234.5", settings::kLegacyApplication},
        {"-9999.0", settings::kApplication},
        {"-9999", settings::kApplication},
        {"abc", std::nullopt},
    };
    for (const auto& row : rows) {
        ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Main_Left", row.stored).ok());
        const auto where = settings::windowLocation("Main");
        ASSERT_EQ(where.has_value(), row.location.has_value()) << row.stored;
        if (where) {
            EXPECT_EQ(where->application, std::string(*row.location)) << row.stored;
        }
    }
}

TEST_F(SettingsRecord, DeleteAllLeavesTheLegacyLocation)
{
    ASSERT_TRUE(platform::settingsWrite(settings::kApplication, settings::kSection, "Tip", "False").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Version", "1.00").ok());
    settings::DeleteAll();
    EXPECT_EQ(current("Tip"), "<none>");
    EXPECT_EQ(platform::settingsRead(settings::kLegacyApplication, settings::kSection, "Version", ""), "1.00");
}

} // namespace
