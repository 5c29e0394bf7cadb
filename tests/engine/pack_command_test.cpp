// sorvane2-pack with the real modules: runs that must not harm anything they
// did not make. Every case hashes the whole test folder (source disk, storage
// and temporary folders, earlier archives) before and after the run.
#include <algorithm>
#include <filesystem>
#include <optional>

#include <gtest/gtest.h>

#include "engine/archiver_library.h"
#include "platform/platform.h"
#include "support/archive_support.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

std::string res(std::int16_t id)
{
    return std::string(resSorvane::ResText(id));
}

// The drive path of a native path through z:, the drive of "/".
std::string dialectOf(const std::string& native)
{
    std::string path = "Z:" + native;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

// a: the disk, c: the temporary folder, d: the storage folder.
class PackCommand : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSampleTree(m_dir / "disk");
        makeDirs(m_dir / "arc");
        makeDirs(m_dir / "tmp");
        makeDirs(m_dir / "config");
        m_drives.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/disk|MYDISK;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/arc");
        m_system.emplace("SORVANE2_SYSTEM_DIR", binaryDir());
        m_config.emplace("SORVANE2_CONFIG_DIR", m_dir.path() + "/config");
    }

    // The stored settings, as the program's own store file.
    void store(const std::string& lines) { writeFile(m_dir / "config/Brelmoor.ini", "[Sorvane2]\n" + lines); }

    CommandResult pack(const std::string& arguments, const std::string& prefix = "")
    {
        return shell(prefix + "timeout 120 " + quote(binaryDir() + "/sorvane2-pack") + " " + arguments + " 2>&1");
    }

    // Everything below the test folder but the settings: names, contents and
    // times of files, names of folders (whose times change with their contents).
    std::map<std::string, TreeFile> snapshot()
    {
        auto tree = readTree(m_dir.path());
        std::erase_if(tree, [](const auto& entry) { return entry.first.starts_with("config"); });
        for (auto& [path, file] : tree)
            if (file.folder)
                file.mtime = 0;
        return tree;
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_drives, m_system, m_config;
};

// Each run is refused before any library call: the whole folder stays as it
// was, the message names the cause, and the exit status is 1.
TEST_F(PackCommand, RefusedRunsLeaveEveryFileAsItWas)
{
    makeDirs(m_dir / "disk/WORK");
    makeDirs(m_dir / "disk/ARC");
    writeFile(m_dir / "disk/MYDISK.LZH", "an archive kept on the disk");
    writeFile(m_dir / "disk/WORK/MYDISK.LZH", "another one");
    writeFile(m_dir / "tmp/DISK01.LZH", "the normal archive made earlier, or another disk's leftover");
    const struct {
        const char* what;
        std::string storeLines;
        std::string arguments;
        std::string message;
    } rows[] = {
        {"empty TmpDir", "TmpDir=\n", "--drive a: --name MYDISK --folder 'C:\\' --mode double", res(20203)},
        {"relative --tmp", "", "--drive a: --name MYDISK --folder 'C:\\' --tmp WORK --mode double", res(20203)},
        {"missing --tmp", "", "--drive a: --name MYDISK --folder 'C:\\' --tmp 'C:\\GONE' --mode double", res(20203)},
        {"--tmp on the disk", "", "--drive a: --name MYDISK --folder 'D:\\' --tmp 'A:\\WORK' --mode double --no-subdir",
            res(20201)},
        {"storage folder is the temporary folder", "",
            "--drive a: --name DISK01 --folder 'C:\\' --tmp 'C:\\' --mode double", res(20204)},
        {"a leftover staging file", "", "--drive a: --name DISK01 --folder 'D:\\' --tmp 'C:\\' --mode double",
            res(20204)},
        {"--folder a:", "", "--drive a: --name X --folder 'a:' --tmp 'C:\\'", res(20200)},
        {"--folder \\ARC", "", "--drive a: --name X --folder '\\ARC' --tmp 'C:\\'", res(20200)},
        {"--folder ARC", "", "--drive a: --name X --folder ARC --tmp 'C:\\'", res(20200)},
        {"the disk through z:", "",
            "--drive a: --name X --folder " + quote(dialectOf(m_dir / "disk/ARC")) + " --tmp 'C:\\'", res(20200)},
        {"a quotation mark", "", "--drive a: --name X --folder 'C:\\my\"arc' --tmp 'C:\\'", res(20205)},
    };
    for (const auto& row : rows) {
        store(row.storeLines);
        const auto before = snapshot();
        const CommandResult run = pack(row.arguments);
        EXPECT_EQ(run.exitCode, 1) << row.what << "\n" << run.output;
        EXPECT_NE(run.output.find(row.message), std::string::npos) << row.what << "\n" << run.output;
        EXPECT_NE(run.output.find(res(20005)), std::string::npos) << row.what << "\n" << run.output;
        EXPECT_TRUE(snapshot() == before) << row.what << ": a file was changed, made or removed";
    }
}

// The staging file of a double run is the run's own: made, used and deleted,
// while an earlier normal archive beside it stays untouched.
TEST_F(PackCommand, ADoubleRunOnlyDeletesItsOwnStagingFile)
{
    writeFile(m_dir / "arc/DISK01.LZH", "the normal archive of the disk");
    const auto before = snapshot();
    const CommandResult run = pack("--drive a: --name DISK01 --folder 'D:\\' --tmp 'C:\\' --mode double");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("archive: D:\\DISK01.LZH.LZH"), std::string::npos) << run.output;
    auto after = snapshot();
    ASSERT_EQ(after.erase("arc/DISK01.LZH.LZH"), 1u);
    EXPECT_TRUE(after == before);
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "arc/DISK01.LZH.LZH")).exitCode, 0);
}

// A default temporary folder whose path is long in bytes but not in characters.
TEST_F(PackCommand, ALongJapaneseTemporaryPathIsStillTheDefault)
{
    std::string element;
    for (int i = 0; i < 33; ++i)
        element += "あ";
    const std::string temp = m_dir / ("tmp/" + element + "/" + element + "/" + element);
    makeDirs(temp);
    ScopedEnv tmpdir("TMPDIR", temp);
    store("");
    const CommandResult run = pack("--drive a: --name DISK01 --folder 'D:\\' --mode double");
    ASSERT_EQ(run.exitCode, 0) << run.output;
    EXPECT_TRUE(exists(m_dir / "arc/DISK01.LZH.LZH"));
    EXPECT_TRUE(readTree(temp).empty());
}

// A source file that cannot be read: the run fails, the archive is not made,
// and the library's reason (naming the file) reaches the user.
TEST_F(PackCommand, AFailureNamesTheFileAndTheCause)
{
    if (shell("capsh --drop=cap_dac_override,cap_dac_read_search -- -c true").exitCode != 0)
        GTEST_SKIP() << "capsh cannot drop the capabilities here";
    writeFile(m_dir / "disk/SECRET.TXT", "unreadable");
    fs::permissions(m_dir / "disk/SECRET.TXT", fs::perms::none);
    store("");
    const auto before = snapshot();
    const std::string command = quote(binaryDir() + "/sorvane2-pack")
        + " --drive a: --name DISK01 --folder 'D:\\' --tmp 'C:\\'";
    const CommandResult run = shell("timeout 120 capsh --drop=cap_dac_override,cap_dac_read_search -- -c "
        + quote(command + " 2>" + quote(m_dir / "stderr.txt")));
    const std::string errors = readFile(m_dir / "stderr.txt");
    fs::remove(m_dir / "stderr.txt");
    fs::permissions(m_dir / "disk/SECRET.TXT", fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(run.exitCode, 1) << run.output << errors;
    const size_t failure = run.output.find(res(20004));
    ASSERT_NE(failure, std::string::npos) << run.output;
    const size_t cause = run.output.find("\u3000SECRET.TXT", failure);
    EXPECT_NE(cause, std::string::npos) << run.output;
    EXPECT_NE(errors.find("SECRET.TXT"), std::string::npos) << errors;
    EXPECT_TRUE(snapshot() == before);
}

TEST_F(PackCommand, ScriptsGetClearExitStatuses)
{
    store("");
    const struct {
        const char* what;
        std::string prefix;
        std::string arguments;
        int exitCode;
        std::string inOutput;
    } rows[] = {
        {"malformed drive map", "SORVANE2_DRIVES='a=relative/path;;' ", "--drive a: --name X --folder 'D:\\'", 2,
            "SORVANE2_DRIVES"},
        {"--name with --label", "", "--drive a: --name X --label --folder 'D:\\'", 2, "--label"},
        {"--label with --count-up", "", "--drive a: --label --count-up --folder 'D:\\'", 2, "--count-up"},
        {"no name", "", "--drive a: --folder 'D:\\'", 2, "--name"},
        {"a Linux folder", "", "--drive a: --name X --folder " + quote(m_dir / "arc"), 2, "(try D:\\)"},
        {"a Linux temporary folder", "", "--drive a: --name X --folder 'D:\\' --tmp /tmp", 2, "--tmp"},
    };
    for (const auto& row : rows) {
        const auto before = snapshot();
        const CommandResult run = pack(row.arguments, row.prefix);
        EXPECT_EQ(run.exitCode, row.exitCode) << row.what << "\n" << run.output;
        EXPECT_NE(run.output.find(row.inOutput), std::string::npos) << row.what << "\n" << run.output;
        EXPECT_TRUE(snapshot() == before) << row.what;
    }
    // A name that cannot count up: the archive is made, no next name is printed.
    CommandResult run = pack("--drive a: --name DISK --folder 'D:\\' --tmp 'C:\\' --count-up");
    EXPECT_EQ(run.exitCode, 3) << run.output;
    EXPECT_NE(run.output.find("archive: D:\\DISK.LZH"), std::string::npos) << run.output;
    EXPECT_EQ(run.output.find("next:"), std::string::npos) << run.output;
    run = pack("--drive a: --name DISK09 --folder 'D:\\' --tmp 'C:\\' --count-up");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("next: DISK10\n"), std::string::npos) << run.output;
    run = pack("--drive a: --label --folder 'D:\\' --tmp 'C:\\'");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    EXPECT_NE(run.output.find("archive: D:\\MYDISK.LZH"), std::string::npos) << run.output;
}

// Each library stands on its own files: a damaged ZIP module takes ZIP away,
// not LZH; modules load only from an absolute folder.
TEST_F(PackCommand, ADamagedZipModuleLeavesLzhWorking)
{
    const std::string modules = m_dir / "modules";
    makeDirs(modules);
    for (const char* name : {"UNLHA32.DLL", "UNZIP32.DLL", "IZIP32J.DLL"})
        fs::copy_file(binaryDir() + "/" + name, modules + "/" + name);
    writeFile(modules + "/ZIP32J.DLL", "not a module");
    m_system.emplace("SORVANE2_SYSTEM_DIR", modules);
    store("");
    CommandResult run = pack("--drive a: --name DISK01 --folder 'D:\\' --tmp 'C:\\'");
    EXPECT_EQ(run.exitCode, 0) << run.output;
    run = pack("--drive a: --name DISK02 --folder 'D:\\' --tmp 'C:\\' --format zip");
    EXPECT_EQ(run.exitCode, 1) << run.output;
    EXPECT_FALSE(exists(m_dir / "arc/DISK02.ZIP"));
}

// A system folder that is empty or relative names the current folder, which
// during a run is the disk being packed: a module planted there never loads.
TEST_F(PackCommand, ModulesNeverLoadFromARelativeOrEmptyFolder)
{
    fs::copy_file(binaryDir() + "/UNLHA32.DLL", m_dir / "disk/UNLHA32.DLL");
    makeDirs(m_dir / "disk/SYS");
    fs::copy_file(binaryDir() + "/UNLHA32.DLL", m_dir / "disk/SYS/UNLHA32.DLL");
    ASSERT_TRUE(platform::changeDrive('a').ok());
    for (const std::string folder : {"", "SYS", "\\SYS", "a:", "A:SYS"}) {
        const engine::LibrarySet set = engine::loadLibraries(folder);
        EXPECT_FALSE(set.availability.lzh) << folder;
        EXPECT_FALSE(set.lzh) << folder;
    }
    EXPECT_TRUE(engine::loadLibraries("A:\\SYS").availability.lzh); // named absolutely, it loads
}

} // namespace
