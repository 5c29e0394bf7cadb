// The packing engine with fake libraries: command lines byte for byte, folder
// refusals, history lines, busy and missing libraries, the double-mode flow.
#include "engine/pack_drive.h"

#include <algorithm>
#include <deque>
#include <filesystem>
#include <functional>

#include <gtest/gtest.h>

#include "platform/platform.h"
#include "support/testsupport.h"
#include "text/catalogue.h"

namespace {

using engine::PackSettings;
using testsupport::makeDirs;

class FakeLibrary : public engine::ArchiverLibrary {
public:
    int command(const std::string& line) override
    {
        lines.push_back(line);
        currentFolders.push_back(platform::currentFolder());
        if (effect)
            effect(line);
        if (results.empty())
            return 0;
        const int result = results.front();
        results.pop_front();
        return result;
    }
    bool running() override { return busy; }
    std::int16_t version() override { return 110; }
    std::string report() const override { return reportText; }

    std::function<void(const std::string&)> effect; // what the call does to the disk
    std::string reportText;
    std::vector<std::string> lines;
    std::vector<std::string> currentFolders;
    std::deque<int> results;
    bool busy = false;
};

struct Recorder : engine::HistorySink, engine::ArchiveListSink, engine::MessageBoxes {
    struct History : engine::HistorySink {
        std::vector<std::string> lines;
        void ListInAdd(const std::string& line) override { lines.push_back(line); }
    } history;
    struct Archives : engine::ArchiveListSink {
        std::vector<std::string> paths;
        void ListInAdd(const std::string& path) override { paths.push_back(path); }
    } archives;
    std::vector<std::string> messages;
    void ListInAdd(const std::string&) override {}
    void show(const std::string& text) override { messages.push_back(text); }
};

std::string res(std::int16_t id)
{
    return std::string(resSorvane::ResText(id));
}

PackSettings exampleSettings()
{
    PackSettings s;
    s.Lzh_Option = "u -+";
    s.SubDir = true;
    s.Hiddn = true;
    s.TmpDir = "C:\\TEMP\\";
    s.Pattern = 1;
    return s;
}

TEST(CommandLines, TheExampleTable)
{
    PackSettings s = exampleSettings();
    EXPECT_EQ(engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Normal).first,
        "u -+ -xra  \"-wC:\\TEMP\\\"  -jx386SPART.PAR -jxWIN386.SWP -jxPAGEFILE.SYS \"D:\\ARC\\DISK01.LZH\" \"*.*\"");
    EXPECT_EQ(engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Store).first,
        "u -+ -xra  -z1  \"-wC:\\TEMP\\\"  -jx386SPART.PAR -jxWIN386.SWP -jxPAGEFILE.SYS \"D:\\ARC\\DISK01.LZH\" \"*.*\"");
    const auto twice = engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Double);
    EXPECT_EQ(twice.first,
        "u -+ -xra  -z1 \"-wC:\\TEMP\\\"  -jx386SPART.PAR -jxWIN386.SWP -jxPAGEFILE.SYS \"C:\\TEMP\\DISK01.LZH\" \"*.*\"");
    EXPECT_EQ(twice.extraction, "-x \"D:\\ARC\\DISK01.LZH.ZIP\" \"C:\\TEMP\\\" \"DISK01.LZH\"");
    EXPECT_EQ(twice.second, "-r -9 \"D:\\ARC\\DISK01.LZH.ZIP\" \"DISK01.LZH\"");
    EXPECT_EQ(twice.inner, "C:\\TEMP\\DISK01.LZH");
    EXPECT_EQ(twice.archive, "D:\\ARC\\DISK01.LZH.ZIP");
    s.AshukuExe = 1;
    EXPECT_EQ(engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Normal).first,
        " -r -S  -9 \"D:\\ARC\\DISK01.ZIP\" \"*.*\"");
    EXPECT_EQ(engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Store).first,
        " -r -S  -0 \"D:\\ARC\\DISK01.ZIP\" \"*.*\"");
}

TEST(CommandLines, LzhSecondStageAndExtraction)
{
    PackSettings s = exampleSettings();
    s.Pattern = 0;
    const auto lines = engine::buildCommandLines(s, "DISK01", "D:\\ARC\\", engine::Double);
    EXPECT_EQ(lines.second, "u -+ \"-wC:\\TEMP\\\" \"D:\\ARC\\DISK01.LZH.LZH\" \"DISK01.LZH\"");
    EXPECT_EQ(lines.extraction, "x -+ \"D:\\ARC\\DISK01.LZH.LZH\" \"C:\\TEMP\\\" \"DISK01.LZH\"");
    s.Pattern = 2;
    const auto zipFirst = engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Double);
    EXPECT_EQ(zipFirst.first, " -r -S  -0 \"C:\\TEMP\\DISK01.ZIP\" \"*.*\"");
    EXPECT_EQ(zipFirst.archive, "D:\\ARC\\DISK01.ZIP.LZH");
}

TEST(CommandLines, TemporaryFolderWithoutSeparator)
{
    PackSettings s = exampleSettings();
    s.TmpDir = "C:\\TEMP";
    s.Pattern = 0;
    const auto lines = engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Double);
    EXPECT_NE(lines.first.find("\"-wC:\\TEMP\""), std::string::npos) << lines.first;
    EXPECT_EQ(lines.inner, "C:\\TEMP\\DISK01.LZH");
}

TEST(CommandLines, SwitchesNamesAndPatterns)
{
    PackSettings s = exampleSettings();
    s.SubDir = false;
    s.Hiddn = false;
    s.AshukuExe = 1;
    EXPECT_EQ(engine::buildCommandLines(s, "DISK01", "D:\\ARC", engine::Normal).first,
        " -D  -9 \"D:\\ARC\\DISK01.ZIP\" \"*.*\"");
    s.AshukuExe = 0;
    s.Hiddn = true;
    EXPECT_EQ(engine::buildCommandLines(s, "disk01", "D:\\ARC", engine::Normal).first.substr(0, 11), "u -+ -xa  \"");
    EXPECT_EQ(engine::buildCommandLines(s, "disk01", "D:\\ARC", engine::Normal).archive, "D:\\ARC\\DISK01.LZH");
    EXPECT_EQ(engine::buildCommandLines(s, "ｄｉｓｋ", "D:\\ARC", engine::Normal).archive, "D:\\ARC\\ｄｉｓｋ.LZH");
    s.UCase = false;
    EXPECT_EQ(engine::buildCommandLines(s, "disk01", "D:\\ARC", engine::Normal).archive, "D:\\ARC\\disk01.LZH");
    s.Pattern = 7; // outside 0..3: both stages ZIP
    const auto seven = engine::buildCommandLines(s, "disk01", "D:\\ARC", engine::Double);
    EXPECT_EQ(seven.archive, "D:\\ARC\\disk01.ZIP.ZIP");
    EXPECT_FALSE(seven.firstIsLzh);
    EXPECT_FALSE(seven.secondIsLzh);
    s.Lzh_Option = "a";
    EXPECT_EQ(engine::buildCommandLines(s, "X", "D:\\", engine::Normal).first.substr(0, 7), "a -xa  ");
}

// a: the disk, c: the temporary folder's drive, d: the storage drive.
class PackDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirs(m_dir / "a/SUB");
        makeDirs(m_dir / "c/TEMP");
        makeDirs(m_dir / "d/ARC");
        testsupport::writeFile(m_dir / "a/FILE.TXT", "x");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/a;c=" + m_dir.path() + "/c;d=" + m_dir.path() + "/d");
        ASSERT_TRUE(platform::changeDrive('d').ok());
        m_settings = exampleSettings();
        m_libraries.lzh = m_lzh;
        m_libraries.zip = m_zip;
        m_libraries.unzip = m_unzip;
        m_libraries.availability = {true, 110, true, 110, true, 110};
    }

    // The first stage leaves the staging file, as a library would.
    void stageOnFirstCall(const std::string& content)
    {
        m_lzh->effect = [this, content](const std::string&) {
            if (m_lzh->lines.size() == 1)
                testsupport::writeFile(m_dir / "c/TEMP/DISK01.LZH", content);
        };
    }

    std::int16_t pack(std::int16_t mode, const std::string& folder = "D:\\ARC", const std::string& source = "a:\\")
    {
        engine::Engine engine(m_settings, m_libraries, m_out.history, m_out.archives, m_out);
        return engine.PackDrive(source, "DISK01", folder, mode);
    }

    testsupport::TempDir m_dir;
    testsupport::ScopedCwd m_cwd;
    std::optional<testsupport::ScopedEnv> m_env;
    PackSettings m_settings;
    std::shared_ptr<FakeLibrary> m_lzh = std::make_shared<FakeLibrary>();
    std::shared_ptr<FakeLibrary> m_zip = std::make_shared<FakeLibrary>();
    std::shared_ptr<FakeLibrary> m_unzip = std::make_shared<FakeLibrary>();
    engine::LibrarySet m_libraries;
    Recorder m_out;
};

TEST_F(PackDrive, ANormalLzhRunWritesItsLinesAndListsTheArchive)
{
    EXPECT_EQ(pack(engine::Normal), 0);
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{"[ a:\\ ]", res(20010), res(20003)}));
    EXPECT_EQ(m_out.archives.paths, (std::vector<std::string>{"D:\\ARC\\DISK01.LZH"}));
    ASSERT_EQ(m_lzh->lines.size(), 1u);
    EXPECT_EQ(m_lzh->currentFolders[0], "A:\\"); // "*.*" resolves against the disk's root
    EXPECT_EQ(platform::currentFolder(), "A:\\");
}

TEST_F(PackDrive, StoreAndZipRunsTakeTheirLines)
{
    m_settings.AshukuExe = 1;
    EXPECT_EQ(pack(engine::Store), 0);
    EXPECT_EQ(m_out.history.lines[1], res(20013));
    EXPECT_EQ(m_zip->lines.at(0), " -r -S  -0 \"D:\\ARC\\DISK01.ZIP\" \"*.*\"");
}

TEST_F(PackDrive, FoldersInsideTheSourceAreRefused)
{
    // The storage folder on the source drive: with subfolders, any folder there.
    EXPECT_EQ(pack(engine::Normal, "A:\\ARC"), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20200)}));
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20005)}));
    EXPECT_TRUE(m_lzh->lines.empty());
    // Without subfolders only the root itself.
    m_settings.SubDir = false;
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Normal, "A:\\ARC"), 0);
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Normal, "a:\\"), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20200)}));
    // The temporary folder inside the source, even in normal mode.
    m_settings.SubDir = true;
    m_settings.TmpDir = "A:\\TEMP\\";
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20201)}));
}

// The dialect form of a native path through z:, the drive of "/".
std::string throughZ(const std::string& native)
{
    std::string path = "Z:" + native;
    std::replace(path.begin(), path.end(), '/', '\\');
    return path;
}

TEST_F(PackDrive, StorageFoldersThatReachTheSourceOtherwiseAreRefused)
{
    makeDirs(m_dir / "a/ARC");
    std::filesystem::create_directory_symlink(m_dir / "a", m_dir / "d/LINK");
    const std::string rows[] = {
        "a:",                               // the current folder of a:, its root during the run
        "\\ARC",                            // the root of the current drive, the source
        "ARC",                              // relative to the source root
        "A:\\ARC\\..\\SUB\\.",                // folded back into the source
        throughZ(m_dir / "a/ARC"),          // the same folder through another letter
        "D:\\LINK\\ARC",                     // through a link
    };
    for (const std::string& folder : rows) {
        m_out = Recorder{};
        EXPECT_EQ(pack(engine::Normal, folder), 1) << folder;
        EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20200)})) << folder;
        EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20005)})) << folder;
    }
    // Without subfolders only the source root itself, however it is written.
    m_settings.SubDir = false;
    for (const std::string& folder : {std::string("a:"), std::string("\\"), throughZ(m_dir / "a"), std::string("D:\\LINK")}) {
        m_out = Recorder{};
        EXPECT_EQ(pack(engine::Normal, folder), 1) << folder;
        EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20200)})) << folder;
    }
    EXPECT_TRUE(m_lzh->lines.empty());
}

TEST_F(PackDrive, AnUnusableTemporaryFolderIsRefusedBeforeAnyCall)
{
    makeDirs(m_dir / "a/WORK");
    const struct {
        std::string tmp;
        std::int16_t message;
    } rows[] = {
        {"", 20203},                             // would be the root of the current drive: the source
        {"WORK", 20203},                         // relative: inside the source during the run
        {"\\TEMP\\", 20203},                     // the current drive's root: the source
        {"C:\\NOPE\\", 20203},                   // missing
        {"Q:\\", 20203},                          // no such drive
        {throughZ(m_dir / "a/WORK"), 20201},    // the source through another letter
    };
    for (const auto& row : rows) {
        for (std::int16_t mode : {engine::Normal, engine::Double}) {
            m_settings.TmpDir = row.tmp;
            m_out = Recorder{};
            EXPECT_EQ(pack(mode), 1) << row.tmp;
            ASSERT_EQ(m_out.messages.size(), 1u) << row.tmp;
            EXPECT_TRUE(m_out.messages[0].starts_with(res(row.message))) << row.tmp << " " << m_out.messages[0];
            EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20005)})) << row.tmp;
        }
    }
    // Without subfolders the temporary folder is still refused anywhere on the source.
    m_settings.SubDir = false;
    m_settings.TmpDir = "A:\\WORK\\";
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Double), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20201)}));
    EXPECT_TRUE(m_lzh->lines.empty());
    EXPECT_TRUE(m_zip->lines.empty());
}

TEST_F(PackDrive, AQuotationMarkInAFolderOrNameIsRefused)
{
    engine::Engine engine(m_settings, m_libraries, m_out.history, m_out.archives, m_out);
    EXPECT_EQ(engine.PackDrive("a:\\", "DISK01", "D:\\my\"arc", engine::Normal), 1);
    EXPECT_EQ(engine.PackDrive("a:\\", "DI\"SK", "D:\\ARC", engine::Normal), 1);
    m_settings.TmpDir = "C:\\TE\"MP\\";
    EXPECT_EQ(engine.PackDrive("a:\\", "DISK01", "D:\\ARC", engine::Double), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>(3, res(20205))));
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>(3, res(20005))));
    EXPECT_TRUE(m_lzh->lines.empty());
}

TEST_F(PackDrive, AStagingFileThatIsAlreadyThereIsNeverTouched)
{
    m_settings.Pattern = 0;
    m_settings.Double = true;
    testsupport::writeFile(m_dir / "c/TEMP/DISK01.LZH", "another disk's leftover");
    testsupport::writeFile(m_dir / "d/ARC/DISK01.LZH.LZH", "the double archive");
    EXPECT_EQ(pack(engine::Double), 1);
    ASSERT_EQ(m_out.messages.size(), 1u);
    EXPECT_EQ(m_out.messages[0], res(20204) + "\n" + "C:\\TEMP\\DISK01.LZH");
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20005)}));
    EXPECT_TRUE(m_lzh->lines.empty()) << "no extraction over it, no update of it";
    EXPECT_EQ(testsupport::readFile(m_dir / "c/TEMP/DISK01.LZH"), "another disk's leftover");
}

TEST_F(PackDrive, TheLibrarysReportOfAFailureFollowsTheFailureLine)
{
    m_lzh->results = {0x800D};
    m_lzh->reportText = "SUB\\A.TXT - added\nREADME.TXT: cannot be opened: Input/output error\n";
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{"[ a:\\ ]", res(20010), res(20004),
                                       "\u3000README.TXT: cannot be opened: Input/output error"}));
    // A success shows no report.
    m_out = Recorder{};
    m_lzh->reportText = "README.TXT - added\n";
    EXPECT_EQ(pack(engine::Normal), 0);
    EXPECT_EQ(m_out.history.lines.back(), res(20003));
}

TEST_F(PackDrive, ASourceThatCannotBeEnteredIsRefused)
{
    m_env.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/nodisk;c=" + m_dir.path() + "/c;d=" + m_dir.path() + "/d");
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20202)}));
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20005)}));
}

TEST_F(PackDrive, SpecificResultCodesHaveTheirLines)
{
    const std::pair<int, std::int16_t> rows[] = {{0x8005, 20040}, {0x8006, 20041}, {0x8020, 20042}};
    for (const auto& [code, line] : rows) {
        m_out = Recorder{};
        m_lzh->results = {code};
        EXPECT_EQ(pack(engine::Normal), -1);
        EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{"[ a:\\ ]", res(20010), res(line), res(20004)}));
        EXPECT_TRUE(m_out.archives.paths.empty());
    }
    m_out = Recorder{};
    m_lzh->results = {0x801F}; // reported busy by the library itself: no specific line
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.history.lines.back(), res(20004));
    EXPECT_EQ(m_out.history.lines.size(), 3u);
}

TEST_F(PackDrive, ABusyLibraryIsNotCalled)
{
    m_lzh->busy = true;
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20100)}));
    EXPECT_TRUE(m_lzh->lines.empty());
    m_settings.AshukuExe = 1;
    m_zip->busy = true;
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.messages, (std::vector<std::string>{res(20101)}));
}

TEST_F(PackDrive, AMissingLibraryWritesNoSourceLine)
{
    m_libraries.availability.zip = false;
    m_settings.AshukuExe = 1;
    EXPECT_EQ(pack(engine::Normal), 1);
    EXPECT_EQ(m_out.history.lines, (std::vector<std::string>{res(20004)}));
    EXPECT_TRUE(m_zip->lines.empty());
}

TEST_F(PackDrive, DoubleRunStagesInTheTemporaryFolder)
{
    m_settings.Pattern = 0;
    stageOnFirstCall("staged");
    EXPECT_EQ(pack(engine::Double), 0);
    EXPECT_EQ(m_out.history.lines,
        (std::vector<std::string>{"[ a:\\ ]", res(20001), res(20002), res(20003)}));
    ASSERT_EQ(m_lzh->lines.size(), 2u);
    EXPECT_EQ(m_lzh->currentFolders[0], "A:\\");
    EXPECT_EQ(m_lzh->currentFolders[1], "C:\\TEMP");
    EXPECT_EQ(m_out.archives.paths, (std::vector<std::string>{"D:\\ARC\\DISK01.LZH.LZH"}));
    EXPECT_FALSE(testsupport::exists(m_dir / "c/TEMP/DISK01.LZH")) << "the staging file stays";
    EXPECT_EQ(platform::currentFolder(), "A:\\");
}

TEST_F(PackDrive, AFirstStageFailureWritesItsLineTwiceAndSkipsTheSecond)
{
    m_settings.Pattern = 0;
    m_lzh->results = {0x8006};
    stageOnFirstCall("partial");
    EXPECT_EQ(pack(engine::Double), -1);
    EXPECT_EQ(m_out.history.lines,
        (std::vector<std::string>{"[ a:\\ ]", res(20001), res(20041), res(20041), res(20004)}));
    EXPECT_EQ(m_lzh->lines.size(), 1u);
    EXPECT_TRUE(m_out.archives.paths.empty());
    EXPECT_FALSE(testsupport::exists(m_dir / "c/TEMP/DISK01.LZH"));
}

TEST_F(PackDrive, UpdateExtractionOnlyWhenTheArchiveExists)
{
    m_settings.Double = true;
    m_settings.Pattern = 1;
    EXPECT_EQ(pack(engine::Double), 0);
    EXPECT_TRUE(m_unzip->lines.empty());
    EXPECT_EQ(m_out.history.lines[1], res(20001));
    testsupport::writeFile(m_dir / "d/ARC/DISK01.LZH.ZIP", "old");
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Double), 0);
    EXPECT_EQ(m_out.history.lines[1], res(20020));
    EXPECT_EQ(m_unzip->lines, (std::vector<std::string>{"-x \"D:\\ARC\\DISK01.LZH.ZIP\" \"C:\\TEMP\\\" \"DISK01.LZH\""}));
    // A busy extractor is skipped without a message.
    m_unzip->busy = true;
    m_out = Recorder{};
    EXPECT_EQ(pack(engine::Double), 0);
    EXPECT_TRUE(m_out.messages.empty());
    EXPECT_EQ(m_unzip->lines.size(), 1u);
}

TEST_F(PackDrive, AMissingLibraryInDoubleModeIsAnUnexpectedError)
{
    m_libraries.zip = nullptr;
    m_settings.Pattern = 1;
    EXPECT_EQ(pack(engine::Double), -1);
    EXPECT_EQ(m_out.history.lines.back(), res(20004));
}

TEST(AboutLines, AvailableLibrariesFirstWithoutGaps)
{
    engine::Availability only{true, 104, false, 0, false, 0};
    auto lines = engine::aboutLines(only);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].name, "UNLHA32.DLL");
    EXPECT_EQ(lines[0].version, "1.04");
    EXPECT_TRUE(lines[1].name.empty() && lines[2].version.empty());
    engine::Availability zipOnly{false, 0, true, 1010, true, 50};
    lines = engine::aboutLines(zipOnly);
    EXPECT_EQ(lines[0].name, "UNZIP32.DLL");
    EXPECT_EQ(lines[0].version, "0.50");
    EXPECT_EQ(lines[1].name, "ZIP32J.DLL");
    EXPECT_EQ(lines[1].version, "10.10");
    lines = engine::aboutLines({true, 0, true, 110, true, 110});
    EXPECT_EQ(lines[0].version, "0.00");
    EXPECT_EQ(lines[2].name, "ZIP32J.DLL");
}

TEST(ResultOutcome, MapsCodes)
{
    PackSettings settings;
    engine::LibrarySet libraries;
    Recorder out;
    engine::Engine engine(settings, libraries, out.history, out.archives, out);
    EXPECT_EQ(engine.ResultOutcome(0), 0);
    EXPECT_EQ(engine.ResultOutcome(-1), 1);
    EXPECT_EQ(engine.ResultOutcome(0x8014), 1);
    EXPECT_EQ(engine.ResultOutcome(0x8005), -1);
    EXPECT_EQ(out.history.lines, (std::vector<std::string>{res(20040)}));
}

} // namespace
