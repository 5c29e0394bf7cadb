// ZIP32J.DLL and UNZIP32.DLL driven with the command lines the program sends,
// their archives checked by Info-ZIP unzip, 7-Zip, libarchive and Python.
#include <filesystem>
#include <random>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

// Python's zipfile: every entry's name (CP932 unless flagged UTF-8), size and
// content digest, one per line.
constexpr const char* kPythonListing = R"(
import hashlib, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
assert z.testzip() is None
for i in z.infolist():
    name = i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode('cp932')
    print(name, i.file_size, hashlib.md5(z.read(i)).hexdigest() if not i.is_dir() else '-')
)";

class ZipModules : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSampleTree(m_dir / "src");
        makeDirs(m_dir / "out");
        makeDirs(m_dir / "tmp");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/src;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/out");
        ASSERT_EQ(::chdir((m_dir / "src").c_str()), 0);
        ASSERT_TRUE(m_zip.loaded() && m_unzip.loaded());
        writeFile(m_dir / "listing.py", kPythonListing);
    }

    std::map<std::string, TreeFile> expected(bool recurse, bool hidden) const
    {
        std::map<std::string, TreeFile> tree;
        for (auto& [path, file] : readTree(m_dir / "src")) {
            const bool isHidden = path[0] == '.' || path.find("/.") != std::string::npos;
            if ((!hidden && isHidden) || (!recurse && (path.find('/') != std::string::npos || file.folder)))
                continue;
            tree[path] = file;
        }
        return tree;
    }

    void expectReadersAgree(const std::string& archive, const std::map<std::string, TreeFile>& want, bool folders)
    {
        const CommandResult unzip = shell("unzip -t " + quote(archive));
        EXPECT_EQ(unzip.exitCode, 0) << unzip.output;
        EXPECT_NE(shell("7zz t " + quote(archive)).output.find("Everything is Ok"), std::string::npos);

        const std::string bsd = m_dir / ("bsd" + std::to_string(++m_runs));
        makeDirs(bsd);
        ASSERT_EQ(shell("bsdtar -xf " + quote(archive) + " -C " + quote(bsd)).exitCode, 0);
        const auto got = readTree(bsd);
        size_t wanted = 0;
        for (const auto& [path, file] : want) {
            if (file.folder && !folders)
                continue;
            ++wanted;
            const auto found = got.find(path);
            ASSERT_NE(found, got.end()) << path;
            if (!file.folder) {
                EXPECT_EQ(found->second.content, file.content) << path;
                EXPECT_EQ(found->second.mtime, file.mtime) << path;
            }
        }
        // Without folder entries, bsdtar still makes the folders files need.
        if (folders) {
            EXPECT_EQ(got.size(), wanted);
        }

        // Info-ZIP reads the Unicode path field: the Japanese names come out right.
        const std::string info = m_dir / ("unzip" + std::to_string(++m_runs));
        ASSERT_EQ(shell("unzip -qq " + quote(archive) + " -d " + quote(info)).exitCode, 0);
        for (const auto& [path, file] : want) {
            if (!file.folder) {
                EXPECT_EQ(readFile(info + "/" + path), file.content) << path;
            }
        }

        // Python reads the CP932 names.
        const CommandResult python = shell("python3 " + quote(m_dir / "listing.py") + " " + quote(archive));
        ASSERT_EQ(python.exitCode, 0) << python.output;
        for (const auto& [path, file] : want) {
            if (!file.folder) {
                EXPECT_NE(python.output.find(path + " " + std::to_string(file.content.size()) + " "), std::string::npos)
                    << path << "\n" << python.output;
            }
        }
        EXPECT_EQ(python.output.find("/ 0 -") != std::string::npos, folders) << python.output;
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_env;
    LoadedModule m_zip{binaryDir() + "/ZIP32J.DLL", "Zip"};
    LoadedModule m_unzip{binaryDir() + "/UNZIP32.DLL", "UnZip"};
    int m_runs = 0;
};

struct ZipRow {
    const char* line;
    bool recurse;
    bool hidden;
    bool folders;
};

void PrintTo(const ZipRow& row, std::ostream* out)
{
    *out << '"' << row.line << '"';
}

class ZipLines : public ZipModules, public ::testing::WithParamInterface<ZipRow> {};

TEST_P(ZipLines, EveryReaderGetsEveryFile)
{
    const ZipRow row = GetParam();
    std::string report;
    ASSERT_EQ(m_zip.run(std::string(row.line) + " \"D:\\DISK01.ZIP\" \"*.*\"", &report), 0) << report;
    expectReadersAgree(m_dir / "out/DISK01.ZIP", expected(row.recurse, row.hidden), row.folders);
}

INSTANTIATE_TEST_SUITE_P(EngineLines, ZipLines, ::testing::Values(
    ZipRow{" -r -S  -9", true, true, true}, ZipRow{" -r  -9", true, false, true},
    ZipRow{" -D -S  -9", false, true, false}, ZipRow{" -D  -9", false, false, false},
    ZipRow{" -r -S  -0", true, true, true}),
    [](const auto& info) { return std::to_string(info.index); });

TEST_F(ZipModules, StoreKeepsEveryFileUncompressed)
{
    ASSERT_EQ(m_zip.run(" -r -S  -0 \"D:\\S.ZIP\" \"*.*\""), 0);
    const CommandResult listing = shell("unzip -v " + quote(m_dir / "out/S.ZIP"));
    EXPECT_EQ(listing.output.find("Defl"), std::string::npos) << listing.output;
}

TEST_F(ZipModules, DoubleArchiveSecondStageAndExtraction)
{
    ASSERT_EQ(m_zip.run(" -r -S  -0 \"C:\\DISK01.ZIP\" \"*.*\""), 0);
    ASSERT_EQ(::chdir((m_dir / "tmp").c_str()), 0);
    std::string report;
    ASSERT_EQ(m_zip.run("-r -9 \"D:\\DISK01.ZIP.ZIP\" \"DISK01.ZIP\"", &report), 0) << report;
    const std::string inner = readFile(m_dir / "tmp/DISK01.ZIP");
    fs::remove(m_dir / "tmp/DISK01.ZIP");
    ASSERT_EQ(m_unzip.run("-x \"D:\\DISK01.ZIP.ZIP\" \"C:\\\" \"DISK01.ZIP\"", &report), 0) << report;
    EXPECT_EQ(readFile(m_dir / "tmp/DISK01.ZIP"), inner);
    EXPECT_EQ(shell("unzip -tq " + quote(m_dir / "tmp/DISK01.ZIP")).exitCode, 0);
}

TEST_F(ZipModules, UpdateReplacesNamedFilesWhateverTheirDates)
{
    ASSERT_EQ(m_zip.run(" -r -S  -9 \"D:\\U.ZIP\" \"*.*\""), 0);
    writeFile(m_dir / "src/README.TXT", "older, but named again");
    setMtime(m_dir / "src/README.TXT", 1000000000);
    writeFile(m_dir / "src/SUB/NEW.TXT", "new");
    ASSERT_EQ(m_zip.run(" -r -S  -9 \"D:\\U.ZIP\" \"*.*\""), 0);
    const std::string out = m_dir / "x";
    makeDirs(out);
    ASSERT_EQ(shell("unzip -qq " + quote(m_dir / "out/U.ZIP") + " -d " + quote(out)).exitCode, 0);
    EXPECT_EQ(readFile(out + "/README.TXT"), "older, but named again");
    EXPECT_EQ(readFile(out + "/SUB/NEW.TXT"), "new");
    EXPECT_EQ(readFile(out + "/SUB/TEXT.LOG"), readFile(m_dir / "src/SUB/TEXT.LOG"));
    // Entries not named this time stay.
    ASSERT_EQ(m_zip.run("-D \"D:\\U.ZIP\" \"ONE.BIN\""), 0);
    const CommandResult listing = shell("unzip -l " + quote(m_dir / "out/U.ZIP"));
    EXPECT_NE(listing.output.find("SUB/DEEP/BIG.DAT"), std::string::npos);
    EXPECT_EQ(shell("unzip -tq " + quote(m_dir / "out/U.ZIP")).exitCode, 0);
}

TEST_F(ZipModules, VersionsBusyAndBadLines)
{
    auto zipVersion = reinterpret_cast<unsigned short (*)()>(m_zip.symbol("ZipGetVersion"));
    auto unzipRunning = reinterpret_cast<int (*)()>(m_unzip.symbol("UnZipGetRunning"));
    ASSERT_TRUE(zipVersion && unzipRunning);
    EXPECT_GT(zipVersion(), 0);
    EXPECT_EQ(unzipRunning(), 0);
    EXPECT_EQ(m_zip.run(" -r -Q \"D:\\X.ZIP\" \"*.*\""), 0x804C);
    EXPECT_EQ(m_zip.run(" -r"), 0x8019);
    EXPECT_EQ(m_unzip.run("-x \"D:\\MISSING.ZIP\" \"C:\\\""), 0x8029);
    writeFile(m_dir / "out/NOTZIP.ZIP", "plain text, not an archive");
    EXPECT_EQ(m_unzip.run("-x \"D:\\NOTZIP.ZIP\" \"C:\\\""), 0x801B);
    EXPECT_EQ(m_zip.run(" -r -9 \"D:\\NOTZIP.ZIP\" \"*.*\""), 0x801B); // never overwritten
    EXPECT_EQ(readFile(m_dir / "out/NOTZIP.ZIP"), "plain text, not an archive");
}

// ── Hostile archives, made with Python ─────────────────────────────────────

std::string makeHostile(const std::string& dir, const std::string& script)
{
    writeFile(dir + "/make.py", "import zipfile, sys\nz = zipfile.ZipFile(sys.argv[1], 'w')\n" + script + "z.close()\n");
    const CommandResult made = shell("python3 " + quote(dir + "/make.py") + " " + quote(dir + "/HOSTILE.ZIP"));
    EXPECT_EQ(made.exitCode, 0) << made.output;
    return readFile(dir + "/HOSTILE.ZIP");
}

TEST_F(ZipModules, HostileNamesAndLinksStayInside)
{
    makeHostile(m_dir / "out",
        "z.writestr('../EVIL1.TXT', 'x')\n"
        "z.writestr('/tmp/EVIL2.TXT', 'x')\n"
        "z.writestr('SUB/../../EVIL3.TXT', 'x')\n"
        "i = zipfile.ZipInfo('LINK')\ni.create_system = 3\ni.external_attr = 0o120777 << 16\n"
        "z.writestr(i, '/etc/passwd')\n"
        "z.writestr('GOOD.TXT', 'fine')\n");
    makeDirs(m_dir / "tmp/inner");
    std::string report;
    const int code = m_unzip.run("-x \"D:\\HOSTILE.ZIP\" \"C:\\inner\\\"", &report);
    EXPECT_NE(code, 0) << report;
    EXPECT_EQ(readFile(m_dir / "tmp/inner/GOOD.TXT"), "fine");
    EXPECT_FALSE(exists(m_dir / "tmp/EVIL1.TXT"));
    EXPECT_FALSE(exists(m_dir / "EVIL3.TXT"));
    EXPECT_FALSE(exists(m_dir / "tmp/inner/LINK"));
    // An absolute name lands inside the folder, never at the root.
    EXPECT_FALSE(exists("/tmp/EVIL2.TXT") && readFile("/tmp/EVIL2.TXT") == "x");
}

TEST_F(ZipModules, LyingSizesAndBombsAreRefused)
{
    // One MiB of zeros, deflated to about a kilobyte.
    std::string archive = makeHostile(m_dir / "out",
        "z.writestr(zipfile.ZipInfo('ZEROS.BIN'), bytes(1 << 20), compress_type=zipfile.ZIP_DEFLATED)\n");
    auto patchSize = [&](std::uint32_t size) {
        std::string bytes = archive;
        const size_t central = bytes.find("PK\x01\x02");
        for (int i = 0; i < 4; ++i) {
            bytes[central + 24 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
            bytes[22 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
        }
        writeFile(m_dir / "out/HOSTILE.ZIP", bytes);
    };
    std::string report;
    patchSize(10); // says ten bytes, holds a mebibyte
    EXPECT_EQ(m_unzip.run("-x \"D:\\HOSTILE.ZIP\" \"C:\\\"", &report), 0x8048) << report;
    EXPECT_FALSE(exists(m_dir / "tmp/ZEROS.BIN"));
    patchSize(3u << 30); // says three gigabytes: a bomb's ratio
    EXPECT_EQ(m_unzip.run("-x \"D:\\HOSTILE.ZIP\" \"C:\\\"", &report), 0x804A) << report;
    EXPECT_FALSE(exists(m_dir / "tmp/ZEROS.BIN"));
    // Two entries that share their data.
    std::string overlapped = archive;
    const size_t central = overlapped.find("PK\x01\x02");
    const size_t end = overlapped.find("PK\x05\x06");
    std::string record = overlapped.substr(central, end - central);
    overlapped.insert(end, record);
    overlapped[end + record.size() + 8] = 2; // entries on this disk
    overlapped[end + record.size() + 10] = 2; // entries
    const std::uint32_t size = static_cast<std::uint32_t>(2 * record.size());
    for (int i = 0; i < 4; ++i)
        overlapped[end + record.size() + 12 + i] = static_cast<char>((size >> (8 * i)) & 0xFF);
    writeFile(m_dir / "out/HOSTILE.ZIP", overlapped);
    EXPECT_EQ(m_unzip.run("-x \"D:\\HOSTILE.ZIP\" \"C:\\\"", &report), 0x8017) << report;
}

// One deflated entry of SIZE zeros that says it is STATED bytes, its
// compressed data followed by PADDING bytes (counted in its compressed size).
constexpr const char* kPaddedEntry = R"(
import struct, sys, zlib
out, size, stated, padding = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
name = b'ZEROS.BIN'
c = zlib.compressobj(9, zlib.DEFLATED, -15)
data = c.compress(bytes(size)) + c.flush()
crc = zlib.crc32(bytes(size))
packed = len(data) + padding
local = struct.pack('<IHHHIIIIHH', 0x04034b50, 20, 0, 8, 0x00210000, crc, packed, stated, len(name), 0) + name
body = local + data + bytes(padding)
central = struct.pack('<IHHHHIIIIHHHHHII', 0x02014b50, 20, 20, 0, 8, 0x00210000, crc, packed, stated,
                      len(name), 0, 0, 0, 0, 0, 0) + name
end = struct.pack('<IHHHHIIH', 0x06054b50, 0, 0, 1, 1, len(central), len(body), 0)
open(out, 'wb').write(body + central + end)
print(len(data))
)";

// Deflate cannot expand more than 1032 times, under the ZIP limit: bytes
// padded after a stream lower its stated ratio but never let it give more
// than it holds.
TEST_F(ZipModules, PaddingAfterTheStreamNeitherHidesNorMakesABomb)
{
    writeFile(m_dir / "pad.py", kPaddedEntry);
    writeFile(m_dir / "tmp/KEEP.TXT", "kept");
    writeFile(m_dir / "tmp/ZEROS.BIN", "the file an entry would replace");
    auto make = [&](std::uint64_t size, std::uint64_t stated, std::uint64_t padding) {
        const CommandResult made = shell("python3 " + quote(m_dir / "pad.py") + " " + quote(m_dir / "out/PAD.ZIP")
            + " " + std::to_string(size) + " " + std::to_string(stated) + " " + std::to_string(padding));
        EXPECT_EQ(made.exitCode, 0) << made.output;
        return std::stoull(made.output);
    };
    std::string report;

    // 1 MiB of zeros said to be 3 GiB, padded to a stated ratio of 1,500:1.
    const std::uint64_t stream = make(1u << 20, 3ull << 30, 2u << 20);
    EXPECT_LT(stream, 1100u);
    // Files by content and time, and every path (a folder's own time moves
    // with the temporary file made and removed in it).
    auto filesAndPaths = [&] {
        auto tree = readTree(m_dir.path());
        for (auto& entry : tree)
            if (entry.second.folder)
                entry.second.mtime = 0;
        return tree;
    };
    const auto before = filesAndPaths();
    EXPECT_EQ(m_unzip.run("-t \"D:\\PAD.ZIP\"", &report), 0x8048) << report;
    EXPECT_EQ(m_unzip.run("-x \"D:\\PAD.ZIP\" \"C:\\\"", &report), 0x8048) << report;
    EXPECT_NE(report.find("ZEROS.BIN: the data does not match its stated size"), std::string::npos) << report;
    EXPECT_EQ(filesAndPaths(), before);
    const CommandResult held = shell("python3 -c \"import sys, zipfile; print(len(zipfile.ZipFile(sys.argv[1]).read('ZEROS.BIN')))\" "
        + quote(m_dir / "out/PAD.ZIP"));
    EXPECT_EQ(held.output, "1048576\n") << "what the stream really holds";

    // 100 MiB of zeros at deflate's own ratio, padded: not a bomb.
    make(100u << 20, 100u << 20, 1u << 20);
    EXPECT_EQ(m_unzip.run("-x \"D:\\PAD.ZIP\" \"C:\\\"", &report), 0) << report;
    EXPECT_TRUE(readFile(m_dir / "tmp/ZEROS.BIN") == std::string(100u << 20, '\0'));
    EXPECT_EQ(readFile(m_dir / "tmp/KEEP.TXT"), "kept");
    const CommandResult unzip = shell("unzip -t " + quote(m_dir / "out/PAD.ZIP"));
    EXPECT_EQ(unzip.exitCode, 0) << unzip.output;
}

TEST_F(ZipModules, NamesOutsideCp932GoAsUtf8)
{
    writeFile(m_dir / "src/Ελληνικά😀.txt", "greek");
    ASSERT_EQ(m_zip.run("-D \"D:\\U8.ZIP\" \"*.txt\""), 0);
    const CommandResult python = shell("python3 " + quote(m_dir / "listing.py") + " " + quote(m_dir / "out/U8.ZIP"));
    EXPECT_NE(python.output.find("Ελληνικά😀.txt 5"), std::string::npos) << python.output;
}

TEST_F(ZipModules, ManySmallFilesBetweenLargeOnesKeepTheirOrder)
{
    // Small files are compressed ahead by other threads; large ones in between
    // must not stall them, and the archive lists everything in walk order.
    makeDirs(m_dir / "src/MANY");
    for (int i = 0; i < 150; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "MANY/F%03d.TXT", i);
        writeFile(m_dir / ("src/" + std::string(name)),
            i % 50 == 25 ? std::string(3u << 20, static_cast<char>('a' + i % 26)) : std::string(100 + i, 'x'));
    }
    std::string report;
    ASSERT_EQ(m_zip.run(" -r -S  -9 \"D:\\MANY.ZIP\" \"MANY\\*.*\"", &report), 0) << report;
    const CommandResult listing = shell("unzip -Z1 " + quote(m_dir / "out/MANY.ZIP"));
    long last = -1;
    for (int i = 0; i < 150; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "MANY/F%03d.TXT", i);
        const size_t at = listing.output.find(name);
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_GT(static_cast<long>(at), last);
        last = static_cast<long>(at);
    }
    EXPECT_EQ(shell("unzip -tq " + quote(m_dir / "out/MANY.ZIP")).exitCode, 0);
}

// Contents that take each way through the writer: whole-buffer deflate up to
// its bound, the zlib stream one byte past it, the quick look that stores
// noise, and files too short to shrink.
std::map<std::string, std::string> deflaterEdgeFiles()
{
    std::mt19937 random(15);
    auto noise = [&](size_t size) {
        std::string s(size, '\0');
        for (auto& c : s)
            c = static_cast<char>(random());
        return s;
    };
    std::string text;
    while (text.size() < (4u << 20) + 1)
        text += "entry " + std::to_string(random() % 5000) + " of the disk catalogue\n";
    return {
        {"EDGES/AT4MIB.TXT", text.substr(0, 4u << 20)},
        {"EDGES/OVER4MIB.TXT", text.substr(0, (4u << 20) + 1)},
        {"EDGES/NOISE.BIN", noise(600000)},
        {"EDGES/TEXTNOISE.BIN", text.substr(0, 300000) + noise(300000)},
        {"EDGES/ONE.TXT", "a"},
        {"EDGES/TWO.TXT", "ab"},
    };
}

TEST_F(ZipModules, EveryLevelThroughEveryDeflaterIsReadByEveryReader)
{
    for (const auto& [path, content] : deflaterEdgeFiles()) {
        makeDirs(fs::path(m_dir / ("src/" + path)).parent_path());
        writeFile(m_dir / ("src/" + path), content);
    }
    std::map<std::string, TreeFile> want;
    for (auto& [path, file] : readTree(m_dir / "src"))
        if (path.rfind("EDGES", 0) == 0)
            want[path] = file;
    const auto before = readTree(m_dir / "src");
    for (int level : {1, 5, 6, 7, 8, 9}) {
        const std::string name = "L" + std::to_string(level) + ".ZIP";
        std::string report;
        ASSERT_EQ(m_zip.run(" -r -S  -" + std::to_string(level) + " \"D:\\" + name + "\" \"EDGES\\*.*\"", &report), 0)
            << report;
        expectReadersAgree(m_dir / ("out/" + name), want, false);
        // Text shrinks at every level; noise is stored.
        const CommandResult listing = shell("unzip -v " + quote(m_dir / ("out/" + name)));
        EXPECT_NE(listing.output.find("Defl:"), std::string::npos) << listing.output;
        EXPECT_NE(listing.output.find("Stored"), std::string::npos) << listing.output;
    }
    const auto after = readTree(m_dir / "src");
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, file] : before) {
        ASSERT_TRUE(after.count(path)) << path;
        EXPECT_EQ(after.at(path).content, file.content) << path;
        EXPECT_EQ(after.at(path).mtime, file.mtime) << path;
    }
}

TEST_F(ZipModules, CancelKeepsTheOldArchiveAndANestedCallIsBusy)
{
    ASSERT_EQ(m_zip.run(" -r -S  -9 \"D:\\C.ZIP\" \"README.TXT\""), 0);
    const std::string before = readFile(m_dir / "out/C.ZIP");
    using SetProgress = int (*)(int (*)(void*, unsigned long long, unsigned long long, const char*), void*);
    auto setProgress = reinterpret_cast<SetProgress>(m_zip.symbol("ZipSetProgress"));
    struct Seen {
        LoadedModule* zip;
        int nested = -1;
    } seen{&m_zip};
    setProgress(
        [](void* context, unsigned long long done, unsigned long long, const char*) {
            auto* s = static_cast<Seen*>(context);
            if (s->nested < 0)
                s->nested = s->zip->run(" -r \"D:\\OTHER.ZIP\" \"*.*\"");
            return done > 200000 ? 1 : 0;
        },
        &seen);
    EXPECT_EQ(m_zip.run(" -r -S  -9 \"D:\\C.ZIP\" \"*.*\""), 0x8020);
    setProgress(nullptr, nullptr);
    EXPECT_EQ(seen.nested, 0x801F);
    EXPECT_EQ(readFile(m_dir / "out/C.ZIP"), before);
    EXPECT_FALSE(exists(m_dir / "out/OTHER.ZIP"));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "out"), fs::directory_iterator()), 1);
}

} // namespace
