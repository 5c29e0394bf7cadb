// The archiver modules on Windows, run under wine (LANG=ja_JP.UTF-8, the ANSI
// code page 932): UNLHA32.DLL, ZIP32J.DLL, UNZIP32.DLL and IZIP32J.DLL are
// loaded through the engine's loader from the executable's folder, pack a
// tree with Japanese names (one empty file, one of 3 MB) as LZH, ZIP and
// stored ZIP, and fail without touching an existing archive: a target in a
// folder that does not exist, a read-only archive, a run cancelled from the
// progress callback.
//
// When SORVANE2_WINDOWS_OUT names a folder, the archives are copied there
// with the source tree (source/) and a manifest, for
// tests/windows/check_archives.sh to read back with independent readers.
#include <gtest/gtest.h>

#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/archiver_library.h"
#include "platform/codepage.h"
#include "platform/platform.h"
#include "platform/win32_text.h"

namespace {

using platform::narrow;
using platform::widen;

constexpr int kReadOnly = 0x8006;
constexpr int kArchiveCannotOpen = 0x8018;
constexpr int kCannotRead = 0x801A;
constexpr int kCancelled = 0x8020;
constexpr int kNameNotPassable = 0x8041;

std::string variable(const char* name)
{
    wchar_t buffer[32768];
    const DWORD length = ::GetEnvironmentVariableW(widen(name).c_str(), buffer, 32768);
    return length && length < 32768 ? narrow(std::wstring_view(buffer, length)) : std::string();
}

std::string exeFolder()
{
    wchar_t buffer[32768];
    const DWORD length = ::GetModuleFileNameW(nullptr, buffer, 32768);
    std::string path = narrow(std::wstring_view(buffer, length));
    return path.substr(0, path.find_last_of('\\'));
}

void writeFile(const std::string& path, const std::string& bytes)
{
    const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << path;
    DWORD written = 0;
    ASSERT_TRUE(bytes.empty() || ::WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
    ::CloseHandle(file);
}

std::string readFile(const std::string& path)
{
    const HANDLE file = ::CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string bytes;
    char buffer[65536];
    DWORD got = 0;
    while (::ReadFile(file, buffer, sizeof buffer, &got, nullptr) && got > 0)
        bytes.append(buffer, got);
    ::CloseHandle(file);
    return bytes;
}

bool exists(const std::string& path)
{
    return ::GetFileAttributesW(widen(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

// names: the names in `folder` (not "." or "..").
std::vector<std::string> names(const std::string& folder)
{
    std::vector<std::string> found;
    WIN32_FIND_DATAW data;
    const HANDLE search = ::FindFirstFileW(widen(folder + "\\*").c_str(), &data);
    if (search == INVALID_HANDLE_VALUE)
        return found;
    do {
        const std::string name = narrow(data.cFileName);
        if (name != "." && name != "..")
            found.push_back(name);
    } while (::FindNextFileW(search, &data));
    ::FindClose(search);
    std::sort(found.begin(), found.end());
    return found;
}

// leftovers: the temporary files and archive locks of the modules in `folder`.
std::vector<std::string> leftovers(const std::string& folder)
{
    std::vector<std::string> found;
    for (const std::string& name : names(folder))
        if (name.rfind(".~lzh-", 0) == 0 || name.rfind(".~zip-", 0) == 0)
            found.push_back(name);
    return found;
}

void removeTree(const std::string& path)
{
    const DWORD attributes = ::GetFileAttributesW(widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return;
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        for (const std::string& name : names(path))
            removeTree(path + "\\" + name);
        ::RemoveDirectoryW(widen(path).c_str());
    } else {
        ::SetFileAttributesW(widen(path).c_str(), FILE_ATTRIBUTE_NORMAL);
        ::DeleteFileW(widen(path).c_str());
    }
}

// The tree packed: relative names (UTF-8, "\" between folders) and bytes.
struct SourceFile {
    std::string name;
    std::string bytes;
};

std::vector<SourceFile> sourceTree()
{
    // 3 MB that deflate and LH5 shrink, but not to nothing: lines of text
    // with a counter, and a stretch of bytes from a small generator.
    std::string big;
    std::uint32_t state = 12345;
    for (int line = 0; big.size() < 2u * 1024 * 1024; ++line)
        big += "line " + std::to_string(line) + ": データの行、日本語のテキスト\r\n";
    while (big.size() < 3u * 1024 * 1024) {
        state = state * 1103515245u + 12345u;
        big += static_cast<char>(state >> 24);
    }
    return {
        {"README.TXT", "Sorvane2 modules test\r\n"},
        {"データ\\日本語.TXT", "日本語の名前のファイル\r\n"},
        {"データ\\空.TXT", ""},
        {"データ\\表示\\ソース.DAT", std::string(1000, 'x') + "終わり"},
        {"BIG.BIN", big},
    };
}

struct Progress {
    bool cancel = false;
    int calls = 0;
    std::vector<std::string> entries; // each name once, in the order first seen
};

bool onProgress(void* context, unsigned long long /*done*/, unsigned long long /*total*/, const char* entry)
{
    auto* progress = static_cast<Progress*>(context);
    ++progress->calls;
    const std::string name = entry ? entry : "";
    if (std::find(progress->entries.begin(), progress->entries.end(), name) == progress->entries.end())
        progress->entries.push_back(name);
    return progress->cancel;
}

class ModulesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        wchar_t temp[MAX_PATH + 1];
        const DWORD length = ::GetTempPathW(MAX_PATH + 1, temp);
        ASSERT_GT(length, 0u);
        m_root = narrow(std::wstring_view(temp, length)) + "sorvane2-modules-"
            + std::to_string(::GetCurrentProcessId()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name();
        removeTree(m_root);
        ASSERT_TRUE(::CreateDirectoryW(widen(m_root).c_str(), nullptr)) << m_root;
        m_source = m_root + "\\ソース";
        m_out = m_root + "\\出力";
        ASSERT_TRUE(::CreateDirectoryW(widen(m_source).c_str(), nullptr));
        ASSERT_TRUE(::CreateDirectoryW(widen(m_out).c_str(), nullptr));
        for (const SourceFile& file : sourceTree()) {
            const size_t slash = file.name.find_last_of('\\');
            if (slash != std::string::npos) {
                std::string folder = m_source;
                for (const std::string& part : split(file.name.substr(0, slash))) {
                    folder += "\\" + part;
                    ::CreateDirectoryW(widen(folder).c_str(), nullptr);
                }
            }
            writeFile(m_source + "\\" + file.name, file.bytes);
        }
        m_libraries = engine::loadLibraries(exeFolder(), onProgress, &m_progress);
        ASSERT_TRUE(m_libraries.availability.lzh) << exeFolder();
        ASSERT_TRUE(m_libraries.availability.zip);
        ASSERT_TRUE(m_libraries.availability.unzip);
        // Relative names of a command line resolve against the current folder.
        ASSERT_TRUE(platform::changeDrive(static_cast<char>(std::tolower(m_source[0]))).ok());
        ASSERT_TRUE(platform::changeFolder(m_source).ok()) << m_source;
    }

    void TearDown() override
    {
        m_libraries = {};
        EXPECT_TRUE(platform::changeFolder(exeFolder()).ok());
        removeTree(m_root);
    }

    static std::vector<std::string> split(const std::string& path)
    {
        std::vector<std::string> parts;
        size_t start = 0;
        for (size_t at; (at = path.find('\\', start)) != std::string::npos; start = at + 1)
            parts.push_back(path.substr(start, at - start));
        parts.push_back(path.substr(start));
        return parts;
    }

    int lzh(const std::string& line) { return m_libraries.lzh->command(line); }
    int zip(const std::string& line) { return m_libraries.zip->command(line); }
    int unzip(const std::string& line) { return m_libraries.unzip->command(line); }

    // keep: the archive written into SORVANE2_WINDOWS_OUT, with the source
    // tree and the manifest, when the variable is set.
    void keep(const std::string& archive)
    {
        const std::string out = variable("SORVANE2_WINDOWS_OUT");
        if (out.empty())
            return;
        const std::string name = archive.substr(archive.find_last_of('\\') + 1);
        ASSERT_TRUE(::CopyFileW(widen(archive).c_str(), widen(out + "\\" + name).c_str(), FALSE)) << out;
        std::string manifest;
        for (const SourceFile& file : sourceTree()) {
            std::string folder = out + "\\source";
            ::CreateDirectoryW(widen(folder).c_str(), nullptr);
            const std::vector<std::string> parts = split(file.name);
            for (size_t i = 0; i + 1 < parts.size(); ++i) {
                folder += "\\" + parts[i];
                ::CreateDirectoryW(widen(folder).c_str(), nullptr);
            }
            writeFile(out + "\\source\\" + file.name, file.bytes);
            std::string slashed = file.name;
            std::replace(slashed.begin(), slashed.end(), '\\', '/');
            manifest += name + "\t" + slashed + "\t" + std::to_string(file.bytes.size()) + "\n";
        }
        // The lines of other archives stay; this one's are replaced.
        std::string kept;
        const std::string previous = readFile(out + "\\manifest.txt");
        if (previous != "<missing>") {
            size_t start = 0;
            for (size_t end; (end = previous.find('\n', start)) != std::string::npos; start = end + 1)
                if (previous.compare(start, name.size() + 1, name + "\t") != 0)
                    kept += previous.substr(start, end - start + 1);
        }
        writeFile(out + "\\manifest.txt", kept + manifest);
    }

    std::string m_root;
    std::string m_source;
    std::string m_out;
    Progress m_progress;
    engine::LibrarySet m_libraries;
};

TEST_F(ModulesTest, TheModulesRunInTheAnsiCodePage)
{
    // The names below must pass through code page 932.
    EXPECT_EQ(::GetACP(), 932u) << "run under LANG=ja_JP.UTF-8";
    EXPECT_GE(m_libraries.availability.lzhVersion, 104);
    EXPECT_GT(m_libraries.availability.zipVersion, 0);
    EXPECT_GT(m_libraries.availability.unzipVersion, 0);
}

TEST_F(ModulesTest, LzhPacksTheTreeWithItsJapaneseNames)
{
    const std::string archive = m_out + "\\データ.LZH";
    ASSERT_EQ(lzh("a -xr \"" + archive + "\" \"*.*\""), 0) << m_libraries.lzh->report();
    EXPECT_GT(m_progress.calls, 0);
    // The entry names given to the progress callback came back from ANSI.
    EXPECT_TRUE(std::any_of(m_progress.entries.begin(), m_progress.entries.end(),
        [](const std::string& entry) { return entry.find("日本語.TXT") != std::string::npos; }))
        << ::testing::PrintToString(m_progress.entries);
    EXPECT_TRUE(leftovers(m_out).empty());
    // The module's own listing names every file, in the engine's UTF-8.
    ASSERT_EQ(lzh("l \"" + archive + "\""), 0);
    const std::string listing = m_libraries.lzh->report();
    for (const SourceFile& file : sourceTree())
        EXPECT_NE(listing.find(file.name.substr(file.name.find_last_of('\\') + 1)), std::string::npos)
            << file.name << " in\n" << listing;
    // Extracted again by the module, byte for byte.
    const std::string back = m_root + "\\戻り";
    ASSERT_TRUE(::CreateDirectoryW(widen(back).c_str(), nullptr));
    ASSERT_EQ(lzh("x \"" + archive + "\" \"" + back + "\\\" \"*.*\""), 0) << m_libraries.lzh->report();
    for (const SourceFile& file : sourceTree())
        EXPECT_EQ(readFile(back + "\\" + file.name), file.bytes) << file.name;
    keep(archive);
}

TEST_F(ModulesTest, LzhStoresTheTree)
{
    const std::string archive = m_out + "\\STORE.LZH";
    ASSERT_EQ(lzh("a -xr -z1 \"" + archive + "\" \"*.*\""), 0) << m_libraries.lzh->report();
    EXPECT_TRUE(leftovers(m_out).empty());
    keep(archive);
}

TEST_F(ModulesTest, ZipPacksAndStoresTheTree)
{
    const std::string packed = m_out + "\\データ.ZIP";
    const std::string stored = m_out + "\\STORE.ZIP";
    ASSERT_EQ(zip(" -r -9 \"" + packed + "\" \"*.*\""), 0) << m_libraries.zip->report();
    ASSERT_EQ(zip(" -r -0 \"" + stored + "\" \"*.*\""), 0) << m_libraries.zip->report();
    EXPECT_TRUE(leftovers(m_out).empty());
    EXPECT_LT(readFile(packed).size(), readFile(stored).size());
    // UNZIP32.DLL tests and extracts what ZIP32J.DLL wrote.
    ASSERT_EQ(unzip("-t \"" + packed + "\""), 0) << m_libraries.unzip->report();
    const std::string back = m_root + "\\戻り";
    ASSERT_TRUE(::CreateDirectoryW(widen(back).c_str(), nullptr));
    ASSERT_EQ(unzip("-x \"" + stored + "\" \"" + back + "\\\" \"*.*\""), 0) << m_libraries.unzip->report();
    for (const SourceFile& file : sourceTree())
        EXPECT_EQ(readFile(back + "\\" + file.name), file.bytes) << file.name;
    keep(packed);
    keep(stored);
}

TEST_F(ModulesTest, ATargetInAMissingFolderFailsAndLeavesNothing)
{
    const std::string missing = m_out + "\\無い";
    EXPECT_EQ(lzh("a -xr \"" + missing + "\\X.LZH\" \"*.*\""), kArchiveCannotOpen) << m_libraries.lzh->report();
    EXPECT_NE(m_libraries.lzh->report().find("無い\\X.LZH"), std::string::npos) << m_libraries.lzh->report();
    EXPECT_EQ(zip(" -r -9 \"" + missing + "\\X.ZIP\" \"*.*\""), kArchiveCannotOpen) << m_libraries.zip->report();
    EXPECT_FALSE(exists(missing));
    EXPECT_TRUE(names(m_out).empty());
}

TEST_F(ModulesTest, AReadOnlyArchiveStaysAsItWas)
{
    const std::string lzhArchive = m_out + "\\古い.LZH";
    const std::string zipArchive = m_out + "\\古い.ZIP";
    ASSERT_EQ(lzh("a -xr \"" + lzhArchive + "\" \"*.*\""), 0) << m_libraries.lzh->report();
    ASSERT_EQ(zip(" -r -9 \"" + zipArchive + "\" \"*.*\""), 0) << m_libraries.zip->report();
    const std::string lzhBefore = readFile(lzhArchive);
    const std::string zipBefore = readFile(zipArchive);
    ASSERT_TRUE(::SetFileAttributesW(widen(lzhArchive).c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(::SetFileAttributesW(widen(zipArchive).c_str(), FILE_ATTRIBUTE_READONLY));
    writeFile(m_source + "\\新しい.TXT", "新しいファイル");

    EXPECT_EQ(lzh("u -xr \"" + lzhArchive + "\" \"*.*\""), kReadOnly) << m_libraries.lzh->report();
    EXPECT_EQ(zip(" -r -9 \"" + zipArchive + "\" \"*.*\""), kReadOnly) << m_libraries.zip->report();
    EXPECT_EQ(readFile(lzhArchive), lzhBefore);
    EXPECT_EQ(readFile(zipArchive), zipBefore);
    EXPECT_TRUE(leftovers(m_out).empty());
    EXPECT_NE(m_libraries.lzh->report().find("古い.LZH"), std::string::npos) << m_libraries.lzh->report();
}

TEST_F(ModulesTest, ACancelledRunLeavesTheArchiveAsItWas)
{
    const std::string lzhArchive = m_out + "\\取消.LZH";
    const std::string zipArchive = m_out + "\\取消.ZIP";
    ASSERT_EQ(lzh("a -xr \"" + lzhArchive + "\" \"README.TXT\""), 0) << m_libraries.lzh->report();
    ASSERT_EQ(zip(" -r -9 \"" + zipArchive + "\" \"README.TXT\""), 0) << m_libraries.zip->report();
    const std::string lzhBefore = readFile(lzhArchive);
    const std::string zipBefore = readFile(zipArchive);

    m_progress.cancel = true;
    EXPECT_EQ(lzh("u -xr \"" + lzhArchive + "\" \"*.*\""), kCancelled) << m_libraries.lzh->report();
    EXPECT_EQ(zip(" -r -9 \"" + zipArchive + "\" \"*.*\""), kCancelled) << m_libraries.zip->report();
    EXPECT_EQ(readFile(lzhArchive), lzhBefore);
    EXPECT_EQ(readFile(zipArchive), zipBefore);
    EXPECT_TRUE(leftovers(m_out).empty());
    // The entries named to the callback reached the engine as UTF-8.
    for (const std::string& entry : m_progress.entries)
        EXPECT_TRUE(platform::codepage::fromUtf8(entry, platform::codepage::kUtf8)) << entry;
}

TEST_F(ModulesTest, ASourceHeldOpenForWritingIsNamedAndTheArchiveStays)
{
    const std::string lzhArchive = m_out + "\\書込.LZH";
    const std::string zipArchive = m_out + "\\書込.ZIP";
    ASSERT_EQ(lzh("a -xr \"" + lzhArchive + "\" \"README.TXT\""), 0) << m_libraries.lzh->report();
    ASSERT_EQ(zip(" -r -9 \"" + zipArchive + "\" \"README.TXT\""), 0) << m_libraries.zip->report();
    const std::string lzhBefore = readFile(lzhArchive);
    const std::string zipBefore = readFile(zipArchive);

    // Another program has a source open for writing the whole time: the
    // module, which shares reading only, waits for it a while and then names
    // it instead of storing what it may be halfway through writing.
    const std::string live = m_source + "\\データ\\日本語.TXT";
    const HANDLE writer = ::CreateFileW(widen(live).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
        FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    const int lzhCode = lzh("u -xr \"" + lzhArchive + "\" \"*.*\"");
    const std::string lzhReport = m_libraries.lzh->report();
    const int zipCode = zip(" -r -9 \"" + zipArchive + "\" \"*.*\"");
    const std::string zipReport = m_libraries.zip->report();
    ::CloseHandle(writer);

    EXPECT_EQ(lzhCode, kCannotRead) << lzhReport;
    EXPECT_NE(lzhReport.find("日本語.TXT: cannot be read: another program is writing it"), std::string::npos) << lzhReport;
    EXPECT_EQ(zipCode, kCannotRead) << zipReport;
    EXPECT_NE(zipReport.find("日本語.TXT: cannot be read: another program is writing it"), std::string::npos) << zipReport;
    EXPECT_EQ(readFile(lzhArchive), lzhBefore);
    EXPECT_EQ(readFile(zipArchive), zipBefore);
    EXPECT_TRUE(leftovers(m_out).empty());
}

TEST_F(ModulesTest, ANameTheAnsiCodePageCannotHoldIsRefusedByTheLoader)
{
    // "한" has no CP932 form: the command line cannot be given to the module.
    const std::string archive = m_out + "\\한.LZH";
    EXPECT_EQ(lzh("a -xr \"" + archive + "\" \"*.*\""), kNameNotPassable);
    EXPECT_NE(m_libraries.lzh->report().find("한"), std::string::npos) << m_libraries.lzh->report();
    EXPECT_TRUE(names(m_out).empty());
}

// Entry names are the same CP932 bytes as on Linux (lzh_header_test checks
// them there): the characters Shift-JIS tables disagree on, an IBM kanji.
TEST(CodePage, ShiftJisIsTheSameAsOnLinux)
{
    using namespace platform::codepage;
    const std::string name = "データ～－∥￢①髙＼";
    const std::string bytes = "\x83\x66\x81\x5b\x83\x5e\x81\x60\x81\x7c\x81\x61\x81\xca\x87\x40\xfb\xfc\x81\x5f";
    EXPECT_EQ(fromUtf8(name, kShiftJis), bytes);
    EXPECT_EQ(toUtf8(bytes, kShiftJis), name);
    // No best fit: "é" is not "e", "한" is not "?".
    EXPECT_FALSE(fromUtf8("é.TXT", kShiftJis));
    EXPECT_FALSE(fromUtf8("한.TXT", kShiftJis));
    EXPECT_EQ(fromUtf8Closest("한글.TXT", kShiftJis, '_'), "__.TXT");
    EXPECT_FALSE(toUtf8("\x83", kShiftJis));
    EXPECT_EQ(platform::codepage::narrow(), systemAnsi());
}

} // namespace
