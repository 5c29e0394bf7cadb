// Whole pack runs with the real library modules: a mapped folder as a:, every
// mode, both formats, all four double patterns, checked by other readers.
#include "engine/pack_drive.h"

#include <filesystem>

#include <gtest/gtest.h>

#include "engine/archiver_library.h"
#include "platform/platform.h"
#include "support/archive_support.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

struct Lines : engine::HistorySink, engine::ArchiveListSink, engine::MessageBoxes {
    std::vector<std::string> history, archives, messages;
    void ListInAdd(const std::string& line) override { history.push_back(line); }
    void show(const std::string& text) override { messages.push_back(text); }
};

struct ArchivePaths : engine::ArchiveListSink {
    std::vector<std::string> paths;
    void ListInAdd(const std::string& path) override { paths.push_back(path); }
};

class PackEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSampleTree(m_dir / "disk");
        makeDirs(m_dir / "arc");
        makeDirs(m_dir / "tmp");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/disk;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/arc");
        m_system.emplace("SORVANE2_SYSTEM_DIR", binaryDir());
        ASSERT_TRUE(platform::changeDrive('d').ok());
        m_libraries = engine::loadLibraries(platform::systemFolder());
        ASSERT_TRUE(m_libraries.availability.lzh && m_libraries.availability.zip && m_libraries.availability.unzip);
        m_settings.TmpDir = "C:\\";
        m_settings.Hiddn = true;
    }

    std::int16_t pack(std::int16_t mode)
    {
        m_lines = Lines{};
        m_paths = ArchivePaths{};
        engine::Engine engine(m_settings, m_libraries, m_lines, m_paths, m_lines);
        return engine.PackDrive("a:\\", "disk01", "D:\\", mode);
    }

    // Every file of the disk comes out of `archive` (a native path) byte for byte.
    void expectWholeDisk(const std::string& archive)
    {
        const std::string out = m_dir / ("x" + std::to_string(++m_runs));
        makeDirs(out);
        const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(out));
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        for (const auto& [path, file] : readTree(m_dir / "disk")) {
            if (!file.folder) {
                EXPECT_EQ(readFile(out + "/" + path), file.content) << path;
            }
        }
    }

    // Unpacks the one inner archive of a double archive and returns its path.
    std::string innerOf(const std::string& archive)
    {
        const std::string out = m_dir / ("inner" + std::to_string(++m_runs));
        makeDirs(out);
        EXPECT_EQ(shell("bsdtar -xf " + quote(archive) + " -C " + quote(out)).exitCode, 0);
        const auto tree = readTree(out);
        EXPECT_EQ(tree.size(), 1u);
        return out + "/" + (tree.empty() ? std::string() : tree.begin()->first);
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_env;
    std::optional<ScopedEnv> m_system;
    engine::LibrarySet m_libraries;
    engine::PackSettings m_settings;
    Lines m_lines;
    ArchivePaths m_paths;
    int m_runs = 0;
};

TEST_F(PackEndToEnd, NormalAndStoreInBothFormats)
{
    for (std::int16_t format : {0, 1}) {
        m_settings.AshukuExe = format;
        const std::string extension = format == 0 ? "LZH" : "ZIP";
        ASSERT_EQ(pack(engine::Normal), 0) << ::testing::PrintToString(m_lines.history);
        EXPECT_EQ(m_paths.paths, (std::vector<std::string>{"D:\\DISK01." + extension}));
        expectWholeDisk(m_dir / ("arc/DISK01." + extension));
        fs::remove(m_dir / ("arc/DISK01." + extension));
        ASSERT_EQ(pack(engine::Store), 0);
        expectWholeDisk(m_dir / ("arc/DISK01." + extension));
    }
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "arc/DISK01.LZH")).exitCode, 0);
    EXPECT_EQ(shell("unzip -tq " + quote(m_dir / "arc/DISK01.ZIP")).exitCode, 0);
}

TEST_F(PackEndToEnd, DoubleInAllFourPatterns)
{
    const char* names[] = {"DISK01.LZH.LZH", "DISK01.LZH.ZIP", "DISK01.ZIP.LZH", "DISK01.ZIP.ZIP"};
    for (std::int16_t pattern = 0; pattern < 4; ++pattern) {
        m_settings.Pattern = pattern;
        ASSERT_EQ(pack(engine::Double), 0) << pattern << ::testing::PrintToString(m_lines.history);
        const std::string archive = m_dir / (std::string("arc/") + names[pattern]);
        ASSERT_TRUE(exists(archive)) << names[pattern];
        expectWholeDisk(innerOf(archive));
        EXPECT_TRUE(readTree(m_dir / "tmp").empty()) << "staging file left";
    }
}

TEST_F(PackEndToEnd, ASecondDoubleRunUpdatesTheArchive)
{
    m_settings.Double = true;
    m_settings.Pattern = 0;
    ASSERT_EQ(pack(engine::Double), 0);
    writeFile(m_dir / "disk/README.TXT", "changed since the first run");
    setMtime(m_dir / "disk/README.TXT", 1900000000);
    ASSERT_EQ(pack(engine::Double), 0) << ::testing::PrintToString(m_lines.history);
    EXPECT_EQ(m_lines.history[1], std::string(resSorvane::ResText(20020)));
    const std::string inner = innerOf(m_dir / "arc/DISK01.LZH.LZH");
    expectWholeDisk(inner);
    EXPECT_TRUE(readTree(m_dir / "tmp").empty());
}

TEST_F(PackEndToEnd, AFullStorageDriveFailsWithItsLine)
{
    const std::string volume = m_dir / "small";
    makeDirs(volume);
    // A tiny volume needs a private mount; without one the case cannot be made here.
    const CommandResult probe = shell("unshare -Urm true");
    if (probe.exitCode != 0)
        GTEST_SKIP() << probe.output;
    const std::string script = "mount -t tmpfs -o size=64k tmpfs " + quote(volume) + " && SORVANE2_DRIVES="
        + quote("a=" + m_dir.path() + "/disk;c=" + m_dir.path() + "/tmp;e=" + volume) + " SORVANE2_SYSTEM_DIR="
        + quote(binaryDir()) + " SORVANE2_CONFIG_DIR=" + quote(m_dir.path()) + " "
        + quote(binaryDir() + "/sorvane2-pack") + " --drive a: --name DISK01 --folder 'E:\\' --tmp 'C:\\'; echo exit=$?";
    const CommandResult run = shell("unshare -Urm sh -c " + quote(script));
    EXPECT_NE(run.output.find(std::string(resSorvane::ResText(20040))), std::string::npos) << run.output;
    EXPECT_NE(run.output.find(std::string(resVelt::ResText(30))), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("exit=1"), std::string::npos) << run.output;
}

TEST(PackCommandInput, BadInputGivesMessagesAndNonzeroExits)
{
    TempDir dir;
    makeDirs(dir / "disk");
    writeFile(dir / "disk/A.TXT", "a");
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + dir.path() + "/disk;b=" + dir.path() + "/nodisk;d=" + dir.path());
    ScopedEnv system("SORVANE2_SYSTEM_DIR", binaryDir());
    ScopedEnv config("SORVANE2_CONFIG_DIR", dir.path() + "/config");
    const std::string tool = quote(binaryDir() + "/sorvane2-pack");
    CommandResult run = shell(tool + " --drive b: --name X --folder 'D:\\'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find(std::string(resSorvane::ResText(301))), std::string::npos) << run.output;
    run = shell(tool + " --drive a: --name '   ' --folder 'D:\\'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find(std::string(resSorvane::ResText(300))), std::string::npos) << run.output;
    run = shell(tool + " --drive a: --name X --folder 'D:\\NOPE' --tmp 'D:\\'");
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_NE(run.output.find(std::string(resVelt::ResText(30))), std::string::npos) << run.output;
    run = shell(tool + " --drive a: --name X --folder 'D:\\' --tmp 'D:\\NOTEMP' --mode double");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    run = shell(tool + " --drive a: --mode sideways --folder 'D:\\'");
    EXPECT_EQ(run.exitCode, 2);
    run = shell(tool + " --drive a: --name DISK09 --folder 'D:\\' --tmp 'D:\\' --count-up");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("DISK10"), std::string::npos) << run.output;
    EXPECT_TRUE(exists(dir / "DISK09.LZH"));
    EXPECT_EQ(shell(tool + " --help").exitCode, 0);
}

} // namespace
