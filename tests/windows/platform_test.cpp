// The platform layer on Windows, run under wine (tests/windows/run_platform_test.sh
// prepares the machine): drives and labels, dialect paths and per-drive current
// folders, the walk over Japanese names, the registry settings store with the
// legacy move above it, disk images on the first free letter, folder locks.
//
// The environment names what the script prepared:
//   SORVANE2_TEST_DRIVE        a letter mapped to an empty folder labelled TESTVOL
//   SORVANE2_TEST_MISSING      a letter mapped to a folder that does not exist
//   SORVANE2_TEST_IMAGE        a FAT image made by mformat and mcopy
//   SORVANE2_TEST_IMAGE_FILES  the folder mcopy extracted that image to
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/dialect.h"
#include "platform/folder_lock.h"
#include "platform/platform.h"
#include "platform/win32_text.h"
#include "settings/settings.h"
#include "support/image_writers.h"

namespace {

using platform::narrow;
using platform::widen;

std::string variable(const char* name)
{
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(widen(name).c_str(), buffer, 32768);
    return length && length < 32768 ? narrow(std::wstring_view(buffer, length)) : std::string();
}

char testDrive()
{
    const std::string letter = variable("SORVANE2_TEST_DRIVE");
    return letter.empty() ? 0 : static_cast<char>(std::tolower(static_cast<unsigned char>(letter[0])));
}

std::string root(char letter)
{
    return {static_cast<char>(std::toupper(static_cast<unsigned char>(letter))), ':', '\\'};
}

void writeFile(const std::string& path, const std::string& bytes)
{
    HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                              nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD wrote = 0;
    WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &wrote, nullptr);
    CloseHandle(file);
    ASSERT_EQ(wrote, bytes.size());
}

std::string readFile(const std::string& path)
{
    HANDLE file = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<unreadable>";
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got)
        bytes.append(buffer, got);
    CloseHandle(file);
    return bytes;
}

void makeFolder(const std::string& path)
{
    CreateDirectoryW(widen(path).c_str(), nullptr);
}

// Removes a folder and everything in it (read-only files too).
void removeTree(const std::string& path)
{
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(widen(path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name == L"." || name == L"..")
                continue;
            const std::string child = path + "\\" + narrow(name);
            if ((found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                && !(found.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                removeTree(child);
            } else {
                SetFileAttributesW(widen(child).c_str(), FILE_ATTRIBUTE_NORMAL);
                if (!DeleteFileW(widen(child).c_str()))
                    RemoveDirectoryW(widen(child).c_str());
            }
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    RemoveDirectoryW(widen(path).c_str());
}

// A digest of a tree: every name (in the system's listing order, sorted),
// attribute, size, write time and byte, read with the system's own calls.
std::uint64_t treeHash(const std::string& path)
{
    std::uint64_t hash = 1469598103934665603ull;
    auto mix = [&](const std::string& text) {
        for (unsigned char c : text)
            hash = (hash ^ c) * 1099511628211ull;
        hash = (hash ^ 0xFF) * 1099511628211ull;
    };
    std::vector<std::pair<std::string, WIN32_FIND_DATAW>> entries;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(widen(path + "\\*").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do {
            const std::wstring name = found.cFileName;
            if (name != L"." && name != L"..")
                entries.emplace_back(narrow(name), found);
        } while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [name, data] : entries) {
        mix(name);
        mix(std::to_string(data.dwFileAttributes) + "/" + std::to_string(data.nFileSizeLow) + "/"
            + std::to_string(data.ftLastWriteTime.dwLowDateTime) + "/"
            + std::to_string(data.ftLastWriteTime.dwHighDateTime));
        const std::string child = path + "\\" + name;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)
            continue;
        if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
            mix(std::to_string(treeHash(child)));
        else
            mix(readFile(child));
    }
    return hash;
}

std::vector<platform::WalkEntry> walk(const std::string& path, bool recurse = true)
{
    std::vector<platform::WalkEntry> entries;
    platform::WalkOptions options;
    options.recurse = recurse;
    const platform::Result<void> walked = platform::walkFolder(path, options, [&](const platform::WalkEntry& entry) {
        entries.push_back(entry);
        return true;
    });
    EXPECT_TRUE(walked.ok()) << (walked ? "" : walked.error().message);
    return entries;
}

// expectSameTree: the image drive's root `drive` holds what mtools extracted
// to `extracted`: the same names, types and bytes (read through
// openImageFile), and nothing more.
void expectSameTree(const std::string& drive, const std::string& extracted)
{
    const std::vector<platform::WalkEntry> inImage = walk(drive);
    const std::vector<platform::WalkEntry> files = walk(extracted);
    ASSERT_EQ(inImage.size(), files.size());
    for (size_t i = 0; i < inImage.size(); ++i) {
        EXPECT_TRUE(platform::dialect::sameName(inImage[i].relative, files[i].relative))
            << inImage[i].relative << " / " << files[i].relative;
        EXPECT_EQ(inImage[i].type, files[i].type) << inImage[i].relative;
        if (inImage[i].type != platform::EntryType::File)
            continue;
        EXPECT_EQ(inImage[i].size, files[i].size) << inImage[i].relative;
        std::unique_ptr<platform::FileStream> stream = platform::openImageFile(inImage[i].native);
        ASSERT_TRUE(stream) << inImage[i].native;
        std::string bytes;
        char buffer[4096];
        long got;
        while ((got = stream->read(buffer, sizeof buffer)) > 0)
            bytes.append(buffer, static_cast<size_t>(got));
        EXPECT_EQ(got, 0);
        EXPECT_EQ(bytes, readFile(files[i].native)) << inImage[i].relative;
    }
}

// A folder of its own on the test drive, removed afterwards.
class OnTestDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_letter = testDrive();
        if (!m_letter)
            GTEST_SKIP() << "SORVANE2_TEST_DRIVE is not set (run tests/windows/run_platform_test.sh)";
        m_folder = root(m_letter) + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        removeTree(m_folder);
        makeFolder(m_folder);
        ASSERT_TRUE(platform::changeDrive('c').ok());
    }
    void TearDown() override
    {
        if (m_letter) {
            ASSERT_TRUE(platform::changeDrive('c').ok());
            removeTree(m_folder);
        }
    }
    char m_letter = 0;
    std::string m_folder; // "M:\TestName"
};

// ── Drives ──────────────────────────────────────────────────────────────────

TEST_F(OnTestDrive, DriveListShowsTheMappedFolderWithItsLabel)
{
    const std::vector<platform::Drive> list = platform::drives();
    ASSERT_TRUE(std::is_sorted(list.begin(), list.end(),
        [](const platform::Drive& a, const platform::Drive& b) { return a.letter < b.letter; }));
    const auto mapped = std::find_if(list.begin(), list.end(), [&](const platform::Drive& d) { return d.letter == m_letter; });
    ASSERT_NE(mapped, list.end());
    EXPECT_EQ(mapped->kind, platform::DriveKind::Fixed);
    EXPECT_EQ(mapped->label, "TESTVOL");
    EXPECT_TRUE(mapped->image.empty());
    EXPECT_EQ(platform::driveEntryText(*mapped), std::string{m_letter} + ": [TESTVOL]");
    EXPECT_TRUE(platform::isDriveReady(m_letter));
    EXPECT_TRUE(platform::isDriveReady(static_cast<char>(std::toupper(m_letter))));
    EXPECT_EQ(platform::volumeLabel(m_letter).valueOr("<error>"), "TESTVOL");
    EXPECT_TRUE(platform::findDrive('C').has_value());
    EXPECT_TRUE(platform::driveMapProblem().empty());
}

TEST(Drives, AMissingLetterIsNoDriveAndNotReady)
{
    const std::string missing = variable("SORVANE2_TEST_MISSING");
    if (missing.empty())
        GTEST_SKIP() << "SORVANE2_TEST_MISSING is not set";
    const char letter = missing[0];
    // Listed or not (a drive whose medium is missing is listed on Windows;
    // wine leaves out a letter whose folder is gone), it is never ready.
    EXPECT_FALSE(platform::isDriveReady(letter));
    EXPECT_FALSE(platform::volumeLabel(letter).ok());
    const platform::Result<void> changed = platform::changeDrive(letter);
    ASSERT_FALSE(changed.ok());
    EXPECT_EQ(changed.error().code, ENOMEDIUM);
}

// ── Paths and current folders ───────────────────────────────────────────────

TEST_F(OnTestDrive, FullPathFoldsAndResolvesAgainstEachDrivesFolder)
{
    makeFolder(m_folder + "\\Sub");
    const std::string base = m_folder.substr(2); // "\TestName"
    const std::string drive{m_letter, ':'};
    EXPECT_EQ(platform::fullPath(drive + base + "\\a\\..\\b\\.\\c").valueOr(""), root(m_letter) + base.substr(1) + "\\b\\c");
    EXPECT_EQ(platform::fullPath(drive + base + "/x/y").valueOr(""), m_folder + "\\x\\y");

    ASSERT_TRUE(platform::changeFolder(drive + base + "\\sub").ok());
    // c: stays current; m: keeps its own folder.
    EXPECT_EQ(platform::currentDrive(), 'c');
    EXPECT_EQ(platform::currentFolder(m_letter), root(m_letter) + base.substr(1) + "\\sub");
    EXPECT_EQ(platform::fullPath(drive + "file.txt").valueOr(""), m_folder + "\\sub\\file.txt");
    EXPECT_EQ(platform::fullPath(drive + "..\\other").valueOr(""), m_folder + "\\other");
    // Windows' own idea of the drive's folder follows.
    EXPECT_EQ(variable((std::string("=") + static_cast<char>(std::toupper(m_letter)) + ":").c_str()),
              m_folder + "\\Sub");

    ASSERT_TRUE(platform::changeDrive(m_letter).ok());
    EXPECT_EQ(platform::currentDrive(), m_letter);
    EXPECT_EQ(platform::fullPath("rel").valueOr(""), m_folder + "\\sub\\rel");
    EXPECT_EQ(platform::fullPath("\\top").valueOr(""), root(m_letter) + "top");
    wchar_t cwd[MAX_PATH];
    GetCurrentDirectoryW(MAX_PATH, cwd);
    EXPECT_EQ(narrow(cwd), m_folder + "\\Sub");
    ASSERT_TRUE(platform::changeDrive('c').ok());
    EXPECT_EQ(platform::currentFolder(m_letter), root(m_letter) + base.substr(1) + "\\sub");
    ASSERT_TRUE(platform::changeDrive(m_letter).ok());
    EXPECT_EQ(platform::currentFolder(), root(m_letter) + base.substr(1) + "\\sub");

    // A share no network drive maps lies on no drive.
    const platform::Result<std::string> unc = platform::fullPath("\\\\nosuch\\share\\x");
    ASSERT_FALSE(unc.ok());
    EXPECT_EQ(unc.error().code, ENOENT);
    EXPECT_NE(unc.error().message.find("\\\\nosuch\\share"), std::string::npos) << unc.error().message;
    EXPECT_FALSE(platform::toDialect("\\\\nosuch\\share\\x").ok());

    // A folder that is not there cannot be made current, nor a file.
    writeFile(m_folder + "\\file.txt", "f");
    EXPECT_EQ(platform::changeFolder(m_folder + "\\file.txt").error().code, ENOTDIR);
    const platform::Result<void> missing = platform::changeFolder(drive + base + "\\nothing");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.error().code, ENOENT);
}

TEST_F(OnTestDrive, NativePathsTakeTheSpellingOnDisk)
{
    makeFolder(m_folder + "\\Program Files");
    writeFile(m_folder + "\\Program Files\\ReadMe.TXT", "x");
    const std::string lower = platform::dialect::join(m_letter, {}) + m_folder.substr(3) + "\\program files\\readme.txt";
    EXPECT_EQ(platform::toNative(lower).valueOr(""), m_folder + "\\Program Files\\ReadMe.TXT");
    EXPECT_EQ(platform::onDiskName(lower).valueOr(""), "ReadMe.TXT");
    EXPECT_EQ(platform::onDiskName(m_folder + "\\program files").valueOr(""), "Program Files");
    // What does not exist keeps the spelling given.
    EXPECT_EQ(platform::toNative(m_folder + "\\program files\\new\\Deep.txt").valueOr(""),
              m_folder + "\\Program Files\\new\\Deep.txt");
    EXPECT_FALSE(platform::onDiskName(m_folder + "\\nothing").ok());
    EXPECT_EQ(platform::toDialect(m_folder + "/Program Files/../x").valueOr(""), m_folder + "\\x");
    EXPECT_EQ(platform::toDialect(std::string{static_cast<char>(std::toupper(m_letter)), ':', '\\'}).valueOr(""),
              root(m_letter));

    EXPECT_TRUE(platform::isFolder(lower.substr(0, lower.rfind('\\'))));
    EXPECT_FALSE(platform::isFolder(lower));
    EXPECT_TRUE(platform::canOpenForReading(lower));
    EXPECT_FALSE(platform::canOpenForReading(m_folder));
    const platform::Result<std::string> canonical = platform::canonicalPath(lower);
    ASSERT_TRUE(canonical.ok()) << canonical.error().message;
    EXPECT_TRUE(platform::isInsideOrSame(*canonical, *platform::canonicalPath(m_folder)));
    EXPECT_TRUE(platform::isInsideOrSame(*canonical, platform::dialect::join(m_letter, {})));
    EXPECT_FALSE(platform::isInsideOrSame(*platform::canonicalPath(m_folder), *canonical));
    EXPECT_TRUE(platform::canonicalPath(m_folder + "\\not\\yet").ok());
}

TEST_F(OnTestDrive, FilesAndFoldersAreMadeAndDeleted)
{
    EXPECT_TRUE(platform::makeFolder(m_folder + "\\Made").ok());
    EXPECT_FALSE(platform::makeFolder(m_folder + "\\Made").ok());
    EXPECT_FALSE(platform::makeFolder(m_folder + "\\no\\parent").ok());
    writeFile(m_folder + "\\Made\\f.txt", "abc");
    const platform::Result<void> onFolder = platform::deleteFile(m_folder + "\\Made");
    ASSERT_FALSE(onFolder.ok());
    EXPECT_EQ(onFolder.error().code, EISDIR);
    EXPECT_TRUE(platform::deleteFile(m_folder + "\\made\\F.TXT").ok());
    EXPECT_FALSE(platform::canOpenForReading(m_folder + "\\Made\\f.txt"));
    EXPECT_EQ(platform::deleteFile(m_folder + "\\Made\\f.txt").error().code, ENOENT);
    EXPECT_TRUE(platform::checkWritableVolume(m_folder + "\\Made\\later\\x.lzh").ok());
    const platform::Result<platform::DiskFree> space = platform::diskFree(m_folder);
    ASSERT_TRUE(space.ok()) << space.error().message;
    EXPECT_GT(space->bytesPerSector * space->sectorsPerCluster, 0u);
    EXPECT_GT(space->totalClusters, 0u);
    EXPECT_LE(space->freeClusters, space->totalClusters);
}

TEST(SpecialFolders, TempAndSystemFolders)
{
    const std::string temp = platform::tempFolder();
    ASSERT_FALSE(temp.empty());
    EXPECT_EQ(temp.back(), '\\');
    EXPECT_TRUE(platform::isFolder(temp));
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::string folder = narrow(exe);
    folder.resize(folder.rfind('\\'));
    EXPECT_TRUE(platform::dialect::sameName(platform::systemFolder(), folder)) << platform::systemFolder();
    EXPECT_TRUE(platform::dialect::sameName(platform::programFile("Sorvane2.html"), folder + "\\Sorvane2.html"));
    SetEnvironmentVariableW(L"SORVANE2_SYSTEM_DIR", L"C:\\windows\\");
    EXPECT_EQ(platform::systemFolder(), "C:\\windows");
    SetEnvironmentVariableW(L"SORVANE2_SYSTEM_DIR", nullptr);
}

// ── Folder walk ─────────────────────────────────────────────────────────────

TEST_F(OnTestDrive, WalkListsJapaneseNamesSortedWithAttributesAndChangesNothing)
{
    makeFolder(m_folder + "\\日本語フォルダ");
    writeFile(m_folder + "\\日本語フォルダ\\ファイル.txt", "中身");
    writeFile(m_folder + "\\日本語フォルダ\\表.LZH", std::string(70000, 'x'));
    writeFile(m_folder + "\\ａｂｃ.TXT", "full width");
    writeFile(m_folder + "\\B.txt", "b");
    writeFile(m_folder + "\\hidden.sys", "h");
    SetFileAttributesW(widen(m_folder + "\\hidden.sys").c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    writeFile(m_folder + "\\locked.txt", "r");
    SetFileAttributesW(widen(m_folder + "\\locked.txt").c_str(), FILE_ATTRIBUTE_READONLY);
    // Only where the system makes links (wine 8 says it did and makes none).
    CreateSymbolicLinkW(widen(m_folder + "\\link").c_str(), widen(m_folder + "\\日本語フォルダ").c_str(),
                        SYMBOLIC_LINK_FLAG_DIRECTORY);
    const DWORD linkAttributes = GetFileAttributesW(widen(m_folder + "\\link").c_str());
    const bool linked = linkAttributes != INVALID_FILE_ATTRIBUTES && (linkAttributes & FILE_ATTRIBUTE_REPARSE_POINT);

    const std::uint64_t before = treeHash(m_folder);
    const std::vector<platform::WalkEntry> entries = walk(m_folder);
    EXPECT_EQ(treeHash(m_folder), before);

    std::vector<std::string> names;
    std::map<std::string, platform::WalkEntry> byName;
    for (const platform::WalkEntry& entry : entries) {
        names.push_back(entry.relative);
        byName[entry.relative] = entry;
    }
    std::vector<std::string> expected = {"B.txt", "hidden.sys", "locked.txt", "日本語フォルダ", "日本語フォルダ\\ファイル.txt",
                                         "日本語フォルダ\\表.LZH", "ａｂｃ.TXT"};
    if (linked)
        expected.insert(expected.begin() + 3, "link"); // never followed: nothing below it
    EXPECT_EQ(names, expected);
    EXPECT_EQ(byName["日本語フォルダ"].type, platform::EntryType::Folder);
    EXPECT_EQ(byName["日本語フォルダ\\表.LZH"].size, 70000u);
    EXPECT_EQ(byName["日本語フォルダ\\ファイル.txt"].native, m_folder + "\\日本語フォルダ\\ファイル.txt");
    EXPECT_TRUE(byName["hidden.sys"].hidden);
    EXPECT_TRUE(byName["hidden.sys"].system);
    EXPECT_FALSE(byName["B.txt"].hidden);
    EXPECT_TRUE(byName["locked.txt"].readOnly);
    EXPECT_FALSE(byName["B.txt"].readOnly);
    EXPECT_GT(byName["B.txt"].mtime, 1600000000);
    if (linked) {
        EXPECT_EQ(byName["link"].type, platform::EntryType::Symlink);
        EXPECT_NE(byName["link"].linkTarget.find("日本語フォルダ"), std::string::npos) << byName["link"].linkTarget;
    }

    // One level, and a stop asked for by the visitor.
    EXPECT_EQ(walk(m_folder, false).size(), expected.size() - 2);
    int seen = 0;
    EXPECT_TRUE(platform::walkFolder(m_folder, {}, [&](const platform::WalkEntry&) { return ++seen < 2; }).ok());
    EXPECT_EQ(seen, 2);
    EXPECT_FALSE(platform::walkFolder(m_folder + "\\B.txt", {}, [](const platform::WalkEntry&) { return true; }).ok());
    EXPECT_FALSE(platform::walkFolder(m_folder + "\\none", {}, [](const platform::WalkEntry&) { return true; }).ok());
    EXPECT_EQ(treeHash(m_folder), before);
}

// ── Settings store ──────────────────────────────────────────────────────────

TEST(Settings, RegistryRoundTripWithJapaneseValues)
{
    const std::string app = "Sorvane2 Test 設定";
    ASSERT_TRUE(platform::settingsDeleteApplication(app).ok());
    EXPECT_EQ(platform::settingsLocation(app),
              "HKEY_CURRENT_USER\\Software\\VB and VBA Program Settings\\Sorvane2 Test 設定");
    std::optional<platform::Error> problem;
    EXPECT_EQ(platform::settingsRead(app, "Sec", "Key", "fallback", &problem), "fallback");
    EXPECT_FALSE(problem.has_value());

    ASSERT_TRUE(platform::settingsWrite(app, "Sec", "Dir_Out", "C:\\アーカイブ\\保存").ok());
    ASSERT_TRUE(platform::settingsWrite(app, "Sec", "Empty", "").ok());
    ASSERT_TRUE(platform::settingsWrite(app, "Other", "Font", "ＭＳ ゴシック").ok());
    EXPECT_EQ(platform::settingsRead(app, "Sec", "Dir_Out", ""), "C:\\アーカイブ\\保存");
    // Sections and keys compare without regard to case.
    EXPECT_EQ(platform::settingsRead(app, "SEC", "dir_out", ""), "C:\\アーカイブ\\保存");
    EXPECT_EQ(platform::settingsRead(app, "Sec", "Empty", "fallback"), "");
    ASSERT_TRUE(platform::settingsWrite(app, "sec", "DIR_OUT", "2").ok());
    EXPECT_EQ(platform::settingsRead(app, "Sec", "Dir_Out", ""), "2");

    // As the registry holds it: a REG_SZ value under the section's key.
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER,
                            L"Software\\VB and VBA Program Settings\\Sorvane2 Test \u8a2d\u5b9a\\Other", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    wchar_t value[64] = {};
    DWORD type = 0, bytes = sizeof value;
    ASSERT_EQ(RegQueryValueExW(key, L"Font", nullptr, &type, reinterpret_cast<BYTE*>(value), &bytes), ERROR_SUCCESS);
    RegCloseKey(key);
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(narrow(value), "ＭＳ ゴシック");

    // A value that is not text is reported and the fallback given.
    ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VB and VBA Program Settings\\Sorvane2 Test \u8a2d\u5b9a\\Other",
                            0, KEY_SET_VALUE, &key),
              ERROR_SUCCESS);
    const DWORD number = 7;
    RegSetValueExW(key, L"Number", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&number), sizeof number);
    RegCloseKey(key);
    EXPECT_EQ(platform::settingsRead(app, "Other", "Number", "fb", &problem), "fb");
    EXPECT_TRUE(problem.has_value());

    EXPECT_FALSE(platform::settingsWrite(app, "a\\b", "k", "v").ok());
    EXPECT_FALSE(platform::settingsWrite(app, "", "k", "v").ok());
    EXPECT_FALSE(platform::settingsWrite(app, "Sec", "k", std::string("a\0b", 3)).ok());

    ASSERT_TRUE(platform::settingsDeleteSection(app, "SEC").ok());
    EXPECT_EQ(platform::settingsRead(app, "Sec", "Dir_Out", "gone"), "gone");
    EXPECT_EQ(platform::settingsRead(app, "Other", "Font", ""), "ＭＳ ゴシック");
    ASSERT_TRUE(platform::settingsDeleteSection(app, "Sec").ok()); // not there: no error
    ASSERT_TRUE(platform::settingsDeleteApplication(app).ok());
    EXPECT_EQ(platform::settingsRead(app, "Other", "Font", "gone"), "gone");
    EXPECT_NE(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software\\VB and VBA Program Settings\\Sorvane2 Test \u8a2d\u5b9a", 0,
                            KEY_QUERY_VALUE, &key),
              ERROR_SUCCESS);
    ASSERT_TRUE(platform::settingsDeleteApplication(app).ok());
}

TEST(Settings, LegacyLocationMovesToTheCurrentOne)
{
    ASSERT_TRUE(platform::settingsDeleteApplication(settings::kLegacyApplication).ok());
    ASSERT_TRUE(platform::settingsDeleteApplication(settings::kApplication).ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Version", "1.00").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "TmpDir", "D:\\作業").ok());
    ASSERT_TRUE(platform::settingsWrite(settings::kLegacyApplication, settings::kSection, "Lzh_Option", "a -+").ok());

    EXPECT_EQ(settings::programLocation().application, settings::kLegacyApplication);
    settings::ProgramSettings record;
    settings::LoadSettings(record);
    EXPECT_EQ(record.TmpDir, "D:\\作業");
    EXPECT_EQ(record.Lzh_Option, "a -+");

    settings::SaveSettings(record);
    EXPECT_EQ(platform::settingsRead(settings::kLegacyApplication, settings::kSection, "Version", "gone"), "gone");
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "Version", ""), "1.00");
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "TmpDir", ""), "D:\\作業");
    EXPECT_EQ(settings::programLocation().application, settings::kApplication);

    settings::ProgramSettings again;
    settings::LoadSettings(again);
    EXPECT_EQ(again.TmpDir, "D:\\作業");
    EXPECT_EQ(again.Lzh_Option, "a -+");

    settings::DeleteAll();
    EXPECT_EQ(platform::settingsRead(settings::kApplication, settings::kSection, "Version", "gone"), "gone");
    ASSERT_TRUE(platform::settingsDeleteApplication(settings::kApplication).ok());
}

// ── Disk images ─────────────────────────────────────────────────────────────

class ImageDrive : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_image = variable("SORVANE2_TEST_IMAGE");
        m_files = variable("SORVANE2_TEST_IMAGE_FILES");
        if (m_image.empty() || m_files.empty())
            GTEST_SKIP() << "SORVANE2_TEST_IMAGE(_FILES) not set (run tests/windows/run_platform_test.sh)";
        ASSERT_TRUE(platform::changeDrive('c').ok());
    }
    void TearDown() override
    {
        platform::detachImage();
        SetEnvironmentVariableW(L"SORVANE2_DRIVES", nullptr);
    }
    // The first letter no drive of the system uses.
    static char firstFreeLetter()
    {
        const DWORD used = GetLogicalDrives();
        for (int i = 0; i < 26; ++i)
            if (!(used & (1u << i)))
                return static_cast<char>('a' + i);
        return 0;
    }
    std::string m_image;
    std::string m_files;
};

TEST_F(ImageDrive, AttachedAtTheFirstFreeLetterAndReadAsMtoolsReadsIt)
{
    const std::uint64_t imageBefore = std::hash<std::string>{}(readFile(m_image));
    EXPECT_TRUE(platform::isDiskImage(m_image));
    EXPECT_EQ(platform::imagePartitionCount(m_image).valueOr(0), 1u);
    const platform::Result<char> letter = platform::attachImage(m_image);
    ASSERT_TRUE(letter.ok()) << letter.error().message;
    EXPECT_EQ(*letter, firstFreeLetter());
    // Asked for a letter a drive of the system has: the first free one all the same.
    platform::detachImage();
    EXPECT_EQ(platform::attachImage(m_image, 'c').valueOr(0), firstFreeLetter());
    EXPECT_TRUE(platform::dialect::sameName(platform::attachedImage(), m_image)) << platform::attachedImage();

    const std::optional<platform::Drive> drive = platform::findDrive(*letter);
    ASSERT_TRUE(drive.has_value());
    EXPECT_FALSE(drive->image.empty());
    EXPECT_EQ(drive->label, "SORVTEST");
    EXPECT_EQ(platform::driveEntryText(*drive), std::string{*letter} + ": [SORVTEST]");
    EXPECT_TRUE(platform::isDriveReady(*letter));

    // Every file mtools extracted is in the image drive with the same bytes,
    // and the drive holds nothing more.
    expectSameTree(root(*letter), m_files);

    // Paths on the image drive.
    const std::string drive0 = root(*letter);
    EXPECT_EQ(platform::toDialect(*platform::toNative(drive0 + "sub\\deeper")).valueOr(""), drive0 + "SUB\\DEEPER");
    EXPECT_EQ(platform::onDiskName(drive0 + "sub").valueOr(""), "SUB");
    EXPECT_TRUE(platform::isFolder(drive0 + "sub"));
    EXPECT_TRUE(platform::canOpenForReading(drive0 + "readme.txt"));
    EXPECT_EQ(platform::checkWritableVolume(drive0 + "x.lzh").error().code, EROFS);
    EXPECT_EQ(platform::makeFolder(drive0 + "NEW").error().code, EROFS);
    EXPECT_EQ(platform::deleteFile(drive0 + "readme.txt").error().code, EROFS);
    const platform::Result<platform::DiskFree> space = platform::diskFree(drive0);
    ASSERT_TRUE(space.ok());
    EXPECT_EQ(space->freeClusters, 0u);
    EXPECT_EQ(space->bytesPerSector, 512u);

    // Its current folder, kept while another drive is current.
    ASSERT_TRUE(platform::changeFolder(drive0 + "sub").ok());
    ASSERT_TRUE(platform::changeDrive(*letter).ok());
    EXPECT_EQ(platform::currentDrive(), *letter);
    EXPECT_EQ(platform::fullPath("deeper").valueOr(""), drive0 + "sub\\deeper"); // as given, as on every drive
    ASSERT_TRUE(platform::changeDrive('c').ok());
    EXPECT_EQ(platform::currentFolder(*letter), drive0 + "sub");

    platform::detachImage();
    platform::closeImages();
    EXPECT_FALSE(platform::findDrive(*letter).has_value());
    EXPECT_EQ(std::hash<std::string>{}(readFile(m_image)), imageBefore);
}

// The temporary files libdsk reads its copies of images from ("sv2*.tmp").
std::vector<std::string> libdskCopies()
{
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    std::vector<std::string> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((std::wstring(temp) + L"sv2*.tmp").c_str(), &found);
    if (search != INVALID_HANDLE_VALUE) {
        do
            names.push_back(narrow(found.cFileName));
        while (FindNextFileW(search, &found));
        FindClose(search);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// The same floppy in the other containers: the program's own readers and
// those through libdsk, whose private copy of the image is a temporary file
// on Windows.
TEST_F(ImageDrive, OtherContainersOfTheSameFloppyReadTheSame)
{
    const std::string raw = readFile(m_image);
    ASSERT_EQ(raw.size(), 1474560u);
    const testsupport::FloppyTracks tracks = testsupport::floppyTracks(raw, 512, 18, 2);
    struct Container {
        const char* name;
        std::string bytes;
        bool throughLibdsk;
    };
    const std::vector<Container> containers = {
        {"DISK.NFD", testsupport::nfdR0Of(tracks, 2), false},
        {"DISK.FDD", testsupport::fddOf(tracks), false},
        {"DISK.IMD", testsupport::imdOf(tracks, 2), true},
        {"DISK.TD0", testsupport::td0Of(tracks, 2, true), true},
        {"DISK.CQM", testsupport::cqmOf(raw, 512, 18, 2), true},
        {"DISK.DSK", testsupport::cpcDskOf(tracks, 2, true), true},
    };
    wchar_t temp[MAX_PATH + 1];
    GetTempPathW(MAX_PATH + 1, temp);
    const std::string folder = narrow(temp) + "sorvane2 containers 試験";
    removeTree(folder);
    makeFolder(folder);
    const std::vector<std::string> copiesBefore = libdskCopies();
    for (const Container& container : containers) {
        SCOPED_TRACE(container.name);
        const std::string path = folder + "\\" + container.name;
        writeFile(path, container.bytes);
        const platform::Result<char> letter = platform::attachImage(path);
        if (!letter && container.throughLibdsk
            && letter.error().message.find("without libdsk") != std::string::npos) {
            // A build without libdsk says so, naming the file.
            EXPECT_NE(letter.error().message.find(path), std::string::npos) << letter.error().message;
            continue;
        }
        ASSERT_TRUE(letter.ok()) << letter.error().message;
        expectSameTree(root(*letter), m_files);
        platform::detachImage();
        platform::closeImages();
        EXPECT_EQ(readFile(path), container.bytes);
    }
    removeTree(folder);
    // libdsk's copies are gone with the reads that made them.
    EXPECT_EQ(libdskCopies(), copiesBefore);
}

TEST_F(ImageDrive, GivenByTheEnvironment)
{
    const char free = firstFreeLetter();
    SetEnvironmentVariableW(L"SORVANE2_DRIVES", widen(std::string{free} + "=" + m_image + "|GIVEN").c_str());
    std::optional<platform::Drive> drive = platform::findDrive(free);
    ASSERT_TRUE(drive.has_value()) << platform::driveMapProblem();
    EXPECT_EQ(drive->label, "GIVEN");
    EXPECT_TRUE(platform::dialect::sameName(drive->image, m_image));
    EXPECT_TRUE(platform::isFolder(root(free) + "sub"));

    // A letter of the system's own drives, or a relative path, is refused.
    SetEnvironmentVariableW(L"SORVANE2_DRIVES", widen("c=" + m_image).c_str());
    EXPECT_NE(platform::driveMapProblem(), "");
    EXPECT_FALSE(platform::findDrive('c')->image.size());
    SetEnvironmentVariableW(L"SORVANE2_DRIVES", widen(std::string{free} + "=disk.img").c_str());
    EXPECT_NE(platform::driveMapProblem(), "");
    EXPECT_FALSE(platform::findDrive(free).has_value());
}

TEST_F(ImageDrive, AFileThatIsNoImageIsRefusedWithItsName)
{
    const std::string notImage = m_files + "\\README.TXT";
    const platform::Result<char> letter = platform::attachImage(notImage);
    ASSERT_FALSE(letter.ok());
    EXPECT_NE(letter.error().message.find(notImage), std::string::npos) << letter.error().message;
    EXPECT_FALSE(platform::attachImage("relative.img").ok());
    std::vector<std::string> problems;
    const std::vector<std::string> found = platform::imageFiles({m_image.substr(0, m_image.rfind('\\')), "C:\\none"}, problems);
    EXPECT_EQ(problems.size(), 1u);
    EXPECT_TRUE(std::any_of(found.begin(), found.end(), [&](const std::string& f) { return platform::dialect::sameName(f, m_image); }));
}

// ── Folder locks ────────────────────────────────────────────────────────────

TEST_F(OnTestDrive, FolderLockAndStaleTemps)
{
    {
        platform::FolderLock lock(m_folder);
        EXPECT_TRUE(lock.held());
        writeFile(m_folder + "\\.arc.tmp-abc", "stale");
        writeFile(m_folder + "\\.arc.tmp-def", "stale");
        writeFile(m_folder + "\\keep.arc.tmp-x", "keep");
        platform::removeStaleTemps(m_folder, ".arc.tmp-");
    }
    EXPECT_EQ(readFile(m_folder + "\\.arc.tmp-abc"), "<unreadable>");
    EXPECT_EQ(readFile(m_folder + "\\.arc.tmp-def"), "<unreadable>");
    EXPECT_EQ(readFile(m_folder + "\\keep.arc.tmp-x"), "keep");
    platform::FolderLock again(m_folder); // released with the first
    EXPECT_TRUE(again.held());
    platform::FolderLock none(m_folder + "\\missing");
    EXPECT_FALSE(none.held());
}

TEST(CaseFolding, WindowsTablesFoldLikeTheFileSystem)
{
    EXPECT_TRUE(platform::dialect::sameName("ＡＢＣ.txt", "ａｂｃ.TXT"));
    EXPECT_TRUE(platform::dialect::sameName("ΣΊΣΥΦΟΣ", "σίσυφος"));
    EXPECT_TRUE(platform::dialect::sameName("ÉCOLE", "école"));
    EXPECT_TRUE(platform::dialect::sameName("ПРИВЕТ", "привет"));
    EXPECT_TRUE(platform::dialect::sameName("Straße", "STRAßE"));
    EXPECT_FALSE(platform::dialect::sameName("日本", "日本語"));
}

} // namespace
