// The installed program: `cmake --install` into a fresh prefix, then both
// programs started from there with nothing in the environment pointing at
// their files; the desktop entry, metainfo, icons and manual page as the
// desktop's own validators see them.
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

using namespace testsupport;

const std::string kAppId = SORVANE2_APP_ID;

// A child's environment: none of the program's own variables, a private
// settings folder, no display.
std::string cleanEnv(const std::string& config)
{
    return "env -u SORVANE2_SYSTEM_DIR -u SORVANE2_DRIVES -u SORVANE2_SELF_CHECK -u SORVANE2_CONFIG_DIR"
           " QT_QPA_PLATFORM=offscreen SORVANE2_CONFIG_DIR="
        + quote(config) + " ";
}

// The width and height stored in a PNG file's header, or {0, 0}.
std::pair<unsigned, unsigned> pngSize(const std::string& path)
{
    const std::string data = readFile(path);
    if (data.size() < 24 || data.compare(0, 8, "\x89PNG\r\n\x1a\n") != 0 || data.compare(12, 4, "IHDR") != 0)
        return {0, 0};
    auto word = [&](size_t at) {
        unsigned value = 0;
        for (size_t i = 0; i < 4; ++i)
            value = value << 8 | static_cast<unsigned char>(data[at + i]);
        return value;
    };
    return {word(16), word(20)};
}

class Installed : public ::testing::Test {
protected:
    void SetUp() override
    {
        const CommandResult install = shell(quote(SORVANE2_CMAKE_COMMAND) + " --install " + quote(SORVANE2_BUILD_DIR)
            + " --prefix " + quote(m_prefix) + " 2>&1");
        ASSERT_EQ(install.exitCode, 0) << install.output;
    }
    std::string path(const std::string& relative) const { return m_prefix + "/" + relative; }

    TempDir m_dir;
    const std::string m_prefix = m_dir / "prefix";
    const std::string m_config = m_dir / "config";
};

TEST_F(Installed, TheWindowProgramFindsItsModulesAndHelpPageWithNoEnvironment)
{
    const CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_SELF_CHECK=1 " + quote(path("bin/sorvane2")));
    ASSERT_EQ(run.exitCode, 0) << run.output;
    // The modules' folder is the installed one, in the program's drive dialect.
    EXPECT_NE(run.output.find("modules: Z:" + std::regex_replace(path(SORVANE2_INSTALL_MODULEDIR), std::regex("/"), "\\")),
        std::string::npos)
        << run.output;
    for (const char* library : {"UNLHA32.DLL", "UNZIP32.DLL", "ZIP32J.DLL"})
        EXPECT_NE(run.output.find(std::string("library: ") + library + " "), std::string::npos) << library << run.output;
    EXPECT_NE(run.output.find("help: " + path(SORVANE2_INSTALL_DATADIR "/Sorvane2.html") + " (found)"), std::string::npos)
        << run.output;
    EXPECT_FALSE(exists(m_config)) << "a check run saves nothing";
}

TEST_F(Installed, TheSystemFolderVariableStillOverridesTheInstalledModules)
{
    makeDirs(m_dir / "empty");
    CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_SELF_CHECK=1 SORVANE2_SYSTEM_DIR=" + quote(m_dir / "empty")
        + " " + quote(path("bin/sorvane2")));
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_NE(run.output.find(std::string(resSorvane::ResText(205))), std::string::npos) << run.output;

    makeDirs(m_dir / "disk");
    writeFile(m_dir / "disk/A.TXT", "a");
    run = shell(cleanEnv(m_config) + "SORVANE2_SYSTEM_DIR=" + quote(m_dir / "empty") + " SORVANE2_DRIVES="
        + quote("a=" + m_dir.path() + "/disk;d=" + m_dir.path()) + " " + quote(path("bin/sorvane2-pack"))
        + " --drive a: --name X --folder 'D:\\'");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_FALSE(exists(m_dir / "X.LZH"));
}

TEST_F(Installed, ThePackCommandPacksAMappedFolderWithTheInstalledModules)
{
    makeSampleTree(m_dir / "disk");
    makeDirs(m_dir / "arc");
    makeDirs(m_dir / "tmp");
    const auto before = readTree(m_dir / "disk");
    const std::string drives = "a=" + m_dir.path() + "/disk|SAMPLE;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/arc";
    struct Case {
        const char* options;
        const char* archive;
    } cases[] = {
        {"--name DISK01", "DISK01.LZH"},
        {"--label --format zip", "SAMPLE.ZIP"},
        {"--name DISK02 --mode double --pattern 1", "DISK02.LZH.ZIP"},
    };
    for (const Case& c : cases) {
        const CommandResult run = shell(cleanEnv(m_config) + "SORVANE2_DRIVES=" + quote(drives) + " "
            + quote(path("bin/sorvane2-pack")) + " --drive a: --folder 'D:\\' --tmp 'C:\\' --hidden " + c.options);
        ASSERT_EQ(run.exitCode, 0) << c.options << "\n" << run.output;
        ASSERT_TRUE(exists(m_dir / (std::string("arc/") + c.archive))) << c.options << "\n" << run.output;
    }
    // Read back by other programs: every file of the disk, byte for byte.
    for (const char* archive : {"DISK01.LZH", "SAMPLE.ZIP"}) {
        const std::string out = m_dir / (std::string("out-") + archive);
        makeDirs(out);
        const CommandResult extracted =
            shell("bsdtar -xf " + quote(m_dir / (std::string("arc/") + archive)) + " -C " + quote(out));
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        for (const auto& [name, file] : before) {
            if (!file.folder) {
                EXPECT_EQ(readFile(out + "/" + name), file.content) << archive << ": " << name;
            }
        }
    }
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "arc/DISK01.LZH")).exitCode, 0);
    const auto after = readTree(m_dir / "disk");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [name, file] : before) {
        ASSERT_TRUE(after.count(name)) << name;
        EXPECT_EQ(after.at(name).content, file.content) << name;
        EXPECT_EQ(after.at(name).mtime, file.mtime) << name;
    }

    const CommandResult version = shell(quote(path("bin/sorvane2-pack")) + " --version");
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.output, "sorvane2-pack (Sorvane2) " SORVANE2_VERSION "\n");
}

TEST_F(Installed, TheDesktopFilesPassTheDesktopsValidators)
{
    const std::string desktop = path("share/applications/" + kAppId + ".desktop");
    const std::string metainfo = path("share/metainfo/" + kAppId + ".metainfo.xml");
    CommandResult run = shell("desktop-file-validate " + quote(desktop) + " 2>&1");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_EQ(run.output, "") << "warnings count too";
    run = shell("appstreamcli validate --no-net " + quote(metainfo) + " 2>&1");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    const std::string entry = readFile(desktop);
    EXPECT_NE(entry.find("\nExec=sorvane2\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nIcon=" + kAppId + "\n"), std::string::npos) << entry;
    EXPECT_NE(entry.find("\nName[en]=Sorvane2\n"), std::string::npos) << entry;
    EXPECT_EQ(entry.find("MimeType"), std::string::npos) << "the program opens drives, not files";

    // One picture at every size, and the drawing it comes from.
    std::istringstream sizes(SORVANE2_ICON_SIZES);
    unsigned size = 0;
    int count = 0;
    while (sizes >> size) {
        const std::string icon = path("share/icons/hicolor/" + std::to_string(size) + "x" + std::to_string(size)
            + "/apps/" + kAppId + ".png");
        EXPECT_EQ(pngSize(icon), std::make_pair(size, size)) << icon;
        ++count;
    }
    EXPECT_GE(count, 6);
    EXPECT_NE(readFile(path("share/icons/hicolor/scalable/apps/" + kAppId + ".svg")).find("<svg"), std::string::npos);
}

TEST_F(Installed, TheManualPageDescribesEveryOptionOfTheHelpText)
{
    const CommandResult page = shell("gzip -dc " + quote(path(SORVANE2_INSTALL_MANDIR "/man1/sorvane2-pack.1.gz")));
    ASSERT_EQ(page.exitCode, 0) << page.output;
    EXPECT_NE(page.output.find(".TH SORVANE2-PACK 1"), std::string::npos);
    EXPECT_NE(page.output.find(SORVANE2_VERSION), std::string::npos);
    const CommandResult help = shell(quote(path("bin/sorvane2-pack")) + " --help");
    ASSERT_EQ(help.exitCode, 0);
    std::set<std::string> options{"--version"};
    const std::regex option("--[a-z][a-z-]*");
    for (auto it = std::sregex_iterator(help.output.begin(), help.output.end(), option); it != std::sregex_iterator(); ++it)
        options.insert(it->str());
    EXPECT_GE(options.size(), 15u);
    for (const std::string& name : options) {
        // roff writes each hyphen of an option as \-.
        const std::string written = std::regex_replace(name, std::regex("-"), "\\-");
        EXPECT_NE(page.output.find(written), std::string::npos) << name << " is not in the manual page";
    }
    for (const char* section : {".SH EXIT STATUS", ".SH EXAMPLES", ".SH ENVIRONMENT", "SORVANE2_DRIVES"})
        EXPECT_NE(page.output.find(section), std::string::npos) << section;
}

TEST(Install, EveryFileGoesBelowDestdir)
{
    TempDir dir;
    const CommandResult install = shell("DESTDIR=" + quote(dir / "stage") + " " + quote(SORVANE2_CMAKE_COMMAND)
        + " --install " + quote(SORVANE2_BUILD_DIR) + " 2>&1");
    ASSERT_EQ(install.exitCode, 0) << install.output;
    std::istringstream lines(install.output);
    std::string line;
    int files = 0;
    const std::string stage = dir / "stage/";
    while (std::getline(lines, line)) {
        for (const std::string lead : {"-- Installing: ", "-- Up-to-date: "}) {
            if (line.rfind(lead, 0) == 0) {
                EXPECT_EQ(line.compare(lead.size(), stage.size(), stage), 0) << line;
                ++files;
            }
        }
    }
    EXPECT_GE(files, 15) << install.output;
    EXPECT_EQ(shell("find " + quote(stage) + " -path '*/bin/sorvane2-pack' -type f | grep -q .").exitCode, 0);
}

} // namespace
