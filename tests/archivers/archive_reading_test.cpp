// Reading what other writers make and what attackers make: ZIP data that ends
// on a buffer boundary, names of every encoding, LZH bombs of 0-bit codes,
// odd headers of real LHA tools; and random disk-like trees written by our
// modules and read back by other projects' readers.
#include <filesystem>
#include <random>
#include <regex>
#include <set>
#include <sstream>

#include <sys/stat.h>

#include <gtest/gtest.h>

#include "common/archive_target.h"
#include "crc16.h"
#include "lzh_archive.h"
#include "lzh_header.h"
#include "support/archive_support.h"
#include "support/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

class ArchiveReading : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirs(m_dir / "src");
        makeDirs(m_dir / "out");
        makeDirs(m_dir / "x");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/src;c=" + m_dir.path() + "/x;d=" + m_dir.path() + "/out");
        ASSERT_EQ(::chdir((m_dir / "src").c_str()), 0);
        ASSERT_TRUE(m_lzh.loaded() && m_zip.loaded() && m_unzip.loaded());
    }

    // The regular files below `root` by relative path, with content and time.
    static std::map<std::string, TreeFile> files(const std::string& root)
    {
        return filesOf(readTree(root));
    }

    static std::map<std::string, TreeFile> filesOf(const std::map<std::string, TreeFile>& tree)
    {
        std::map<std::string, TreeFile> out;
        for (const auto& [path, file] : tree)
            if (!file.folder)
                out[path] = file;
        return out;
    }

    static std::set<std::string> pathsOf(const std::map<std::string, TreeFile>& tree)
    {
        std::set<std::string> out;
        for (const auto& entry : tree)
            out.insert(entry.first);
        return out;
    }

    void expectSameFiles(const std::map<std::string, TreeFile>& want, const std::string& root, bool times,
                         const std::string& reader)
    {
        const auto got = files(root);
        EXPECT_EQ(got.size(), want.size()) << reader;
        for (const auto& [path, file] : want) {
            const auto found = got.find(path);
            if (found == got.end()) {
                ADD_FAILURE() << reader << ": " << path << " missing";
                continue;
            }
            EXPECT_TRUE(found->second.content == file.content) << reader << ": " << path;
            if (times) {
                EXPECT_EQ(found->second.mtime, file.mtime) << reader << ": " << path;
            }
        }
    }

    std::string fresh(const std::string& name)
    {
        const std::string folder = m_dir / name;
        fs::remove_all(folder);
        makeDirs(folder);
        return folder;
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_env;
    LoadedModule m_lzh{binaryDir() + "/UNLHA32.DLL", "Unlha"};
    LoadedModule m_zip{binaryDir() + "/ZIP32J.DLL", "Zip"};
    LoadedModule m_unzip{binaryDir() + "/UNZIP32.DLL", "UnZip"};
};

// ── ZIP: data that ends where the reading buffer does ──────────────────────

TEST_F(ArchiveReading, ZipEntriesEndingOnTheBufferBoundaryReadFromEveryWriter)
{
    std::string text;
    for (int i = 0; text.size() < (5u << 20); ++i)
        text += "row " + std::to_string(static_cast<std::uint64_t>(i) * 7919 % 100003) + "\n";
    std::map<std::string, std::string> made;
    for (std::uint64_t k : {1, 4})
        for (std::uint64_t extra : {1, 100, 200}) {
            const size_t size = static_cast<size_t>(k * 256 * 1024 + extra);
            made["Z" + std::to_string(size) + ".BIN"] = std::string(size, '\0');
            made["T" + std::to_string(size) + ".TXT"] = text.substr(0, size);
        }
    made["Z262244.BIN"] = std::string(262244, '\0');
    made["Z1048577.BIN"] = std::string(1048577, '\0');
    for (const auto& [name, content] : made)
        writeFile(m_dir / ("src/" + name), content);
    const auto want = files(m_dir / "src");

    // Ours, read by Info-ZIP and by ourselves.
    std::string report;
    for (const char* level : {"-9", "-6", "-1"}) {
        fs::remove(m_dir / "out/OURS.ZIP");
        ASSERT_EQ(m_zip.run(std::string(" -r -S  ") + level + " \"D:\\OURS.ZIP\" \"*.*\"", &report), 0)
            << level << "\n" << report;
        EXPECT_EQ(shell("unzip -tq " + quote(m_dir / "out/OURS.ZIP")).exitCode, 0) << level;
        EXPECT_EQ(m_unzip.run("-t \"D:\\OURS.ZIP\"", &report), 0) << level << "\n" << report;
    }

    // Theirs, read by our UnZip.
    const std::map<std::string, std::string> writers = {
        {"INFOZIP", "zip -q -r -9 %s ."},
        {"SEVENZIP", "7zz a -tzip -bd -bso0 %s ."},
        {"PYTHON", "python3 -c \"import zipfile,os,sys; z=zipfile.ZipFile(sys.argv[1],'w',zipfile.ZIP_DEFLATED); "
                   "[z.write(n) for n in sorted(os.listdir('.'))]; z.close()\" %s"},
    };
    for (const auto& [name, command] : writers) {
        const std::string archive = m_dir / ("out/" + name + ".ZIP");
        const CommandResult made = shell("cd " + quote(m_dir / "src") + " && "
            + std::regex_replace(command, std::regex("%s"), quote(archive)));
        ASSERT_EQ(made.exitCode, 0) << name << "\n" << made.output;
        const std::string into = fresh("x");
        ASSERT_EQ(m_unzip.run("-x \"D:\\" + name + ".ZIP\" \"C:\\\"", &report), 0) << name << "\n" << report;
        expectSameFiles(want, into, false, name);
    }
}

// ── ZIP: one name encoding per archive ─────────────────────────────────────

// A ZIP whose names are the given raw bytes, without the UTF-8 flag (Python
// writes placeholders of the same length; their bytes are then replaced).
// `system` is the "version made by" system (3 Unix, 0 MS-DOS, 10 NTFS).
void writeRawNamedZip(const std::string& path, const std::vector<std::pair<std::string, std::string>>& entries,
                      const std::string& folder, int system = 3)
{
    std::string script = "import zipfile, sys\nz = zipfile.ZipFile(sys.argv[1], 'w')\n";
    std::vector<std::pair<std::string, std::string>> swaps;
    int n = 0;
    for (const auto& [raw, content] : entries) {
        std::string placeholder = "P" + std::to_string(n++);
        placeholder += std::string(raw.size() - placeholder.size() - (raw.back() == '/' ? 1 : 0), '_');
        if (raw.back() == '/')
            placeholder += '/';
        script += "i = zipfile.ZipInfo('" + placeholder + "')\ni.create_system = " + std::to_string(system) + "\n";
        script += "z.writestr(i, " + (content.empty() ? std::string("b''") : "b'" + content + "'") + ")\n";
        swaps.emplace_back(placeholder, raw);
    }
    script += "z.close()\n";
    writeFile(folder + "/raw.py", script);
    ASSERT_EQ(shell("python3 " + quote(folder + "/raw.py") + " " + quote(path)).exitCode, 0);
    std::string bytes = readFile(path);
    for (const auto& [placeholder, raw] : swaps)
        for (size_t at = bytes.find(placeholder); at != std::string::npos; at = bytes.find(placeholder, at + 1))
            bytes.replace(at, raw.size(), raw);
    writeFile(path, bytes);
}

TEST_F(ArchiveReading, ZipNamesWithoutTheFlagAreDecodedOneWayPerArchive)
{
    // Info-ZIP on a UTF-8 system: raw UTF-8, no flag. "表示" and "表" are valid
    // CP932 byte strings too; "日本語" is not.
    writeRawNamedZip(m_dir / "out/UTF8.ZIP",
        {{"表示/", ""}, {"表示/表.txt", "one"}, {"表示/日本語.txt", "two"}}, m_dir.path());
    // A Japanese Windows writer: CP932 bytes, no flag ("表示/表ソ.txt").
    writeRawNamedZip(m_dir / "out/SJIS.ZIP",
        {{"\x95\x5C\x8E\xA6/", ""}, {"\x95\x5C\x8E\xA6/\x95\x5C\x83\x5C.txt", "three"}}, m_dir.path());
    std::string report;
    ASSERT_EQ(m_unzip.run("-x \"D:\\UTF8.ZIP\" \"C:\\\"", &report), 0) << report;
    ASSERT_EQ(m_unzip.run("-x \"D:\\SJIS.ZIP\" \"C:\\\"", &report), 0) << report;
    std::set<std::string> top;
    for (const auto& entry : fs::directory_iterator(m_dir / "x"))
        top.insert(entry.path().filename().string());
    EXPECT_EQ(top, std::set<std::string>{"表示"}) << "one folder, one spelling";
    EXPECT_EQ(readFile(m_dir / "x/表示/表.txt"), "one");
    EXPECT_EQ(readFile(m_dir / "x/表示/日本語.txt"), "two");
    EXPECT_EQ(readFile(m_dir / "x/表示/表ソ.txt"), "three");
}

// The names our UnZip lists for an archive, one a line.
std::set<std::string> listedNames(LoadedModule& unzip, const std::string& command)
{
    std::string report;
    EXPECT_EQ(unzip.run(command, &report), 0) << report;
    std::set<std::string> names;
    std::istringstream lines(report);
    for (std::string line; std::getline(lines, line);)
        if (const size_t tab = line.rfind('\t'); tab != std::string::npos)
            names.insert(line.substr(tab + 1));
    return names;
}

TEST_F(ArchiveReading, ZipNamesWithoutTheFlagAreReadAsTheirSystemWroteThem)
{
    // Info-ZIP on this machine: the UTF-8 bytes of "表示", which read as
    // CP932 too ("陦ｨ遉ｺ"), no flag, no Unicode path field, made on Unix.
    makeDirs(m_dir / "src/SUB");
    writeFile(m_dir / "src/SUB/表示.TXT", "shown");
    writeFile(m_dir / "src/README.TXT", "plain");
    const CommandResult zipped = shell("cd " + quote(m_dir / "src") + " && LC_ALL=C.UTF-8 zip -q -r "
        + quote(m_dir / "out/LINUX.ZIP") + " SUB README.TXT");
    ASSERT_EQ(zipped.exitCode, 0) << zipped.output;
    const CommandResult made = shell("python3 -c \"import sys, zipfile\n"
        "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
        "    print(i.create_system, i.flag_bits & 0x800, b'up' in i.extra, i.orig_filename.encode('cp437').decode())\" "
        + quote(m_dir / "out/LINUX.ZIP"));
    ASSERT_EQ(made.exitCode, 0) << made.output;
    EXPECT_NE(made.output.find("3 0 False SUB/表示.TXT\n"), std::string::npos) << made.output;
    const CommandResult unzipList = shell("LC_ALL=C.UTF-8 unzip -l " + quote(m_dir / "out/LINUX.ZIP"));
    EXPECT_NE(unzipList.output.find("SUB/表示.TXT"), std::string::npos) << unzipList.output;

    // The same bytes from MS-DOS and from Windows NTFS are CP932; and true
    // CP932 bytes ("表示", not UTF-8) from MS-DOS.
    const std::string utf8Bytes = "SUB/\xE8\xA1\xA8\xE7\xA4\xBA.TXT";
    writeRawNamedZip(m_dir / "out/DOS.ZIP", {{"SUB/", ""}, {utf8Bytes, "dos"}}, m_dir / "out", 0);
    writeRawNamedZip(m_dir / "out/NTFS.ZIP", {{"SUB/", ""}, {utf8Bytes, "ntfs"}}, m_dir / "out", 10);
    writeRawNamedZip(m_dir / "out/SJIS.ZIP", {{"SUB/", ""}, {"SUB/\x95\x5C\x8E\xA6.TXT", "sjis"}}, m_dir / "out", 0);
    const CommandResult python = shell("python3 -c \"import sys, zipfile\n"
        "print(zipfile.ZipFile(sys.argv[1]).infolist()[1].orig_filename.encode('cp437').decode('cp932'))\" "
        + quote(m_dir / "out/DOS.ZIP"));
    EXPECT_EQ(python.output, "SUB/陦ｨ遉ｺ.TXT\n");

    struct Row {
        const char* archive;
        const char* name;
        const char* content;
    };
    const Row rows[] = {
        {"LINUX.ZIP", "SUB/表示.TXT", "shown"},
        {"DOS.ZIP", "SUB/陦ｨ遉ｺ.TXT", "dos"},
        {"NTFS.ZIP", "SUB/陦ｨ遉ｺ.TXT", "ntfs"},
        {"SJIS.ZIP", "SUB/表示.TXT", "sjis"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.archive);
        const std::string archive = std::string("\"D:\\") + row.archive + "\"";
        const std::set<std::string> listed = listedNames(m_unzip, "-l " + archive);
        EXPECT_EQ(listed.count(row.name), 1u);
        const std::string into = fresh("x");
        writeFile(into + "/KEEP.TXT", "kept");
        const auto source = readTree(m_dir / "src");
        const auto archives = readTree(m_dir / "out");
        std::string report;
        ASSERT_EQ(m_unzip.run("-x " + archive + " \"C:\\\"", &report), 0) << report;
        EXPECT_EQ(readFile(into + "/" + row.name), row.content);
        std::set<std::string> made;
        for (const auto& [path, file] : readTree(into))
            made.insert(path);
        std::set<std::string> want{"KEEP.TXT", "SUB", row.name};
        if (std::string(row.archive) == "LINUX.ZIP")
            want.insert("README.TXT");
        EXPECT_EQ(made, want) << "one spelling, nothing else";
        EXPECT_EQ(readFile(into + "/KEEP.TXT"), "kept");
        EXPECT_EQ(readTree(m_dir / "src"), source);
        EXPECT_EQ(readTree(m_dir / "out"), archives);
    }
}

// ── LZH: bombs of 0-bit codes ──────────────────────────────────────────────

// An -lh5- stream of blocks of 65,535 codes from one-symbol tables: each code
// costs 0 bits and copies 256 bytes.
std::string zeroBitStream(std::uint64_t size)
{
    std::string out;
    std::uint64_t acc = 0;
    unsigned bits = 0;
    auto put = [&](unsigned count, std::uint32_t value) {
        acc = (acc << count) | value;
        bits += count;
        while (bits >= 8) {
            out += static_cast<char>((acc >> (bits - 8)) & 0xFF);
            bits -= 8;
        }
    };
    const std::uint64_t perBlock = 65535ull * 256;
    for (std::uint64_t done = 0; done < size; done += perBlock) {
        put(16, 65535);
        put(5, 0); put(5, 0);    // code-length table: one symbol
        put(9, 0); put(9, 509);  // literal/length table: one symbol, a 256-byte match
        put(4, 0); put(4, 0);    // position table: one symbol, distance 1
    }
    if (bits)
        put(8 - bits, 0);
    return out;
}

// A level-2 archive of one -lh5- member whose stated compressed size is the
// stream and `padding` bytes after it.
std::string lzhArchive(const std::string& name, std::uint64_t size, const std::string& stream,
                       size_t padding = 0, std::uint16_t crc = 0)
{
    lzh::NewMember member;
    member.name = name;
    member.method = lzh::Method::Lh5;
    member.originalSize = size;
    member.compressedSize = stream.size() + padding;
    member.largeSizes = size >= 0xF0000000ull;
    member.mtime = 1700000000;
    member.crc = crc;
    std::string header;
    EXPECT_EQ(lzh::buildHeader(member, 2, header), lzh::BuildStatus::Ok);
    return header + stream + std::string(padding, '\0') + std::string(1, '\0');
}

// 64 GiB from a 27 KB stream, padded to 80 KiB: its stated sizes make it
// 838,000:1, within the LZH limit; what it really takes makes it 2,500,000:1.
constexpr std::uint64_t kPaddedBombSize = 64ull << 30;
constexpr size_t kPaddedBombBytes = 80u << 10;

std::string paddedBomb()
{
    const std::string stream = zeroBitStream(kPaddedBombSize);
    EXPECT_LT(kPaddedBombSize / kPaddedBombBytes, 1000000u);
    return lzhArchive("BOMB.BIN", kPaddedBombSize, stream, kPaddedBombBytes - stream.size());
}

TEST_F(ArchiveReading, LzhBombsAreRefusedBeforeAnythingIsWritten)
{
    // 2 GB from under a kilobyte; 64 GiB through the 64-bit size header; and
    // 64 GiB whose stated compressed size is padded past the ratio.
    const std::vector<std::pair<std::string, std::string>> bombs = {
        {"2 GB", lzhArchive("BOMB.BIN", 2100000000ull, zeroBitStream(2100000000ull))},
        {"64 GiB", lzhArchive("BOMB.BIN", 64ull << 30, zeroBitStream(64ull << 30))},
        {"64 GiB padded", paddedBomb()},
    };
    writeFile(m_dir / "x/KEEP.TXT", "kept");
    writeFile(m_dir / "x/BOMB.BIN", "the file the bomb would replace");
    writeFile(m_dir / "src/SOURCE.TXT", "source");
    for (const auto& [what, bytes] : bombs) {
        SCOPED_TRACE(what);
        writeFile(m_dir / "out/BOMB.LZH", bytes);
        // Files by content and time, and every path (a folder's own time
        // moves with the temporary file made and removed in it).
        const auto before = readTree(m_dir.path());
        std::string report;
        EXPECT_EQ(m_lzh.run("t \"D:\\BOMB.LZH\"", &report), 0x804A) << report;
        EXPECT_NE(report.find("BOMB.BIN: expands"), std::string::npos) << report;
        EXPECT_NE(report.find("decompression bomb"), std::string::npos) << report;
        EXPECT_EQ(m_lzh.run("x \"D:\\BOMB.LZH\" \"C:\\\"", &report), 0x804A) << report;
        EXPECT_NE(report.find("BOMB.BIN: expands"), std::string::npos) << report;
        // Nothing of the member, no temporary file, nothing elsewhere.
        const auto after = readTree(m_dir.path());
        EXPECT_EQ(pathsOf(after), pathsOf(before));
        EXPECT_EQ(files(m_dir.path()), filesOf(before));
    }
}

// Counts what the decoder hands on of the padded bomb.
TEST_F(ArchiveReading, LzhPaddedBombStopsWithinItsFirstBlock)
{
    const std::string bytes = paddedBomb();
    archivers::MemoryReader reader(bytes.data(), bytes.size());
    lzh::Listing listing;
    std::string why;
    ASSERT_EQ(lzh::listArchive(reader, listing, why), 0) << why;
    ASSERT_EQ(listing.members.size(), 1u);
    EXPECT_EQ(listing.members[0].compressedSize, kPaddedBombBytes);
    std::uint64_t delivered = 0;
    archivers::Progress progress;
    const int code = lzh::decodeMember(reader, listing.members[0],
        [&](const unsigned char*, size_t size) {
            delivered += size;
            return true;
        },
        &progress, why);
    EXPECT_EQ(code, 0x804A) << why;
    EXPECT_EQ(why.find("BOMB.BIN: expands "), 0u) << why;
    // Its first block alone holds 16.7 MB from 7 bytes: the refusal comes
    // inside it, after the free first MiB and a few more.
    EXPECT_GT(delivered, archivers::kBombFreeOutput);
    EXPECT_LT(delivered, 65535u * 256);
}

// The same blocks stated as 32 MiB: a member that small is never refused,
// and lhasa reads the stream alike.
TEST_F(ArchiveReading, LzhSmallMembersOfZeroBitCodesAreNotRefused)
{
    const std::uint64_t size = 32u << 20;
    const std::string stream = zeroBitStream(size);
    const std::string content(size, ' '); // each code repeats the byte before: the window's spaces
    const std::uint16_t crc = lzh::crc16Update(0, content.data(), content.size());
    writeFile(m_dir / "out/SMALL.LZH", lzhArchive("SMALL.BIN", size, stream, 4096, crc));
    std::string report;
    EXPECT_EQ(m_lzh.run("x \"D:\\SMALL.LZH\" \"C:\\\"", &report), 0) << report;
    EXPECT_TRUE(readFile(m_dir / "x/SMALL.BIN") == content);
    const CommandResult lhasa = shell("lhasa t " + quote(m_dir / "out/SMALL.LZH"));
    EXPECT_EQ(lhasa.exitCode, 0) << lhasa.output;
}

TEST_F(ArchiveReading, LzhZeroFilledFilesOfRealSizeStillPackAndRead)
{
    // Real writers compress zeros about 150,000 times: not a bomb.
    writeFile(m_dir / "src/DISK.IMG", std::string(72u << 20, '\0'));
    std::string report;
    ASSERT_EQ(m_lzh.run("a \"D:\\IMG.LZH\" \"DISK.IMG\"", &report), 0) << report;
    EXPECT_EQ(m_lzh.run("t \"D:\\IMG.LZH\"", &report), 0) << report;
    const CommandResult lhasa = shell("lhasa t " + quote(m_dir / "out/IMG.LZH"));
    EXPECT_EQ(lhasa.exitCode, 0) << lhasa.output;
}

// ── LZH: headers of other tools ────────────────────────────────────────────

// Offsets of the first member's header fields, level 0 and 2.
std::string patchChecksum0(std::string bytes)
{
    const unsigned size = static_cast<unsigned char>(bytes[0]);
    unsigned sum = 0;
    for (unsigned i = 2; i < size + 2; ++i)
        sum += static_cast<unsigned char>(bytes[i]);
    bytes[1] = static_cast<char>(sum & 0xFF);
    return bytes;
}

TEST_F(ArchiveReading, LzhLevel0FolderAttributeWithDataIsAFile)
{
    const std::string content = "a file that an OS/2 tool marked as a folder\n";
    writeFile(m_dir / "src/EAS", content);
    std::string report;
    ASSERT_EQ(m_lzh.run("a -h0 -z1 \"D:\\L0.LZH\" \"EAS\"", &report), 0) << report;
    std::string bytes = readFile(m_dir / "out/L0.LZH");
    bytes[19] = 0x10; // the folder attribute
    bytes = patchChecksum0(bytes);
    writeFile(m_dir / "out/L0.LZH", bytes);
    EXPECT_EQ(m_lzh.run("x \"D:\\L0.LZH\" \"C:\\\"", &report), 0) << report;
    EXPECT_EQ(readFile(m_dir / "x/EAS"), content);
    const CommandResult lhasa = shell("lhasa t " + quote(m_dir / "out/L0.LZH"));
    EXPECT_EQ(lhasa.exitCode, 0) << lhasa.output;

    // Its data is checked: a damaged byte fails the test.
    const unsigned dataAt = static_cast<unsigned char>(bytes[0]) + 2u;
    bytes[dataAt + 3] ^= 0x20;
    writeFile(m_dir / "out/L0.LZH", bytes);
    EXPECT_EQ(m_lzh.run("t \"D:\\L0.LZH\"", &report), 0x800C) << report;
}

TEST_F(ArchiveReading, LzhLevel2HeadersOfOs9_68kAreRead)
{
    // LHa for OS-9/68k counts its level 2 headers two bytes short.
    const std::string content = "from an OS-9/68k machine\n";
    writeFile(m_dir / "src/OS9.TXT", content);
    std::string report;
    ASSERT_EQ(m_lzh.run("a -z1 \"D:\\OS9.LZH\" \"OS9.TXT\"", &report), 0) << report;
    std::string bytes = readFile(m_dir / "out/OS9.LZH");
    const unsigned total = static_cast<unsigned char>(bytes[0]) | (static_cast<unsigned char>(bytes[1]) << 8);
    bytes[23] = 'K';
    bytes[0] = static_cast<char>((total - 2) & 0xFF);
    bytes[1] = static_cast<char>((total - 2) >> 8);
    // The header CRC (extension 0x00) covers the whole header.
    size_t crcAt = 0;
    for (size_t p = 24; p + 2 <= total;) {
        const unsigned next = static_cast<unsigned char>(bytes[p]) | (static_cast<unsigned char>(bytes[p + 1]) << 8);
        if (next == 0)
            break;
        if (bytes[p + 2] == 0)
            crcAt = p + 3;
        p += next;
    }
    ASSERT_NE(crcAt, 0u);
    bytes[crcAt] = bytes[crcAt + 1] = 0;
    const std::uint16_t crc = lzh::crc16Update(0, bytes.data(), total);
    bytes[crcAt] = static_cast<char>(crc & 0xFF);
    bytes[crcAt + 1] = static_cast<char>(crc >> 8);
    writeFile(m_dir / "out/OS9.LZH", bytes);

    const CommandResult lhasa = shell("lhasa t " + quote(m_dir / "out/OS9.LZH"));
    EXPECT_EQ(lhasa.exitCode, 0) << lhasa.output;
    EXPECT_EQ(m_lzh.run("t \"D:\\OS9.LZH\"", &report), 0) << report;
    EXPECT_EQ(m_lzh.run("x \"D:\\OS9.LZH\" \"C:\\\"", &report), 0) << report;
    EXPECT_EQ(readFile(m_dir / "x/OS9.TXT"), content);
}

// ── Random disk-like trees, both formats, other readers ────────────────────

void makeRandomTree(const std::string& root, unsigned seed)
{
    std::mt19937 random(seed);
    const std::vector<std::string> names = {"README.TXT", "表ソ能.txt", "ソフト", "data.bin", "IMAGE.IMG",
        "日本語フォルダ", "予定表.doc", "x", "LONG NAME WITH SPACES.TXT", "Ünïcödé.txt"};
    const std::vector<std::uint64_t> sizes = {0, 1, 8 << 10, 32 << 10, 64 << 10, 256 << 10, 1 << 20};
    std::vector<std::string> folders = {root};
    for (int i = 0; i < 24; ++i) {
        const std::string parent = folders[random() % folders.size()];
        std::string name = names[random() % names.size()] + std::to_string(i);
        if (random() % 6 == 0)
            name = "." + name; // hidden
        if (random() % 4 == 0) {
            makeDirs(parent + "/" + name);
            folders.push_back(parent + "/" + name);
            continue;
        }
        const std::uint64_t base = sizes[random() % sizes.size()];
        const std::uint64_t size = base == 0 ? 0 : base + (random() % 3) - 1;
        std::string content(static_cast<size_t>(size), '\0');
        const int kind = static_cast<int>(random() % 3);
        for (size_t k = 0; k < content.size(); ++k)
            content[k] = kind == 0 ? '\0' : kind == 1 ? static_cast<char>("abc de\n"[random() % 7])
                                                       : static_cast<char>(random());
        writeFile(parent + "/" + name, content);
        // 1970 to 2106, in two-second steps.
        setMtime(parent + "/" + name, static_cast<std::int64_t>(random() % 2147483647u) * 2);
    }
    makeDirs(root + "/EMPTY");
}

TEST_F(ArchiveReading, RandomTreesRoundTripThroughOtherReaders)
{
    constexpr const char* kPython = R"(
import hashlib, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
for i in z.infolist():
    if not i.is_dir():
        name = i.filename if i.flag_bits & 0x800 else i.filename.encode('cp437').decode('cp932')
        print(name + '\t' + hashlib.sha1(z.read(i)).hexdigest())
)";
    writeFile(m_dir / "list.py", kPython);
    for (unsigned seed = 1; seed <= 4; ++seed) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        const std::string src = fresh("src");
        ASSERT_EQ(::chdir(src.c_str()), 0);
        makeRandomTree(src, seed);
        const auto want = files(src);
        std::string report;
        fs::remove(m_dir / "out/R.LZH");
        fs::remove(m_dir / "out/R.ZIP");
        ASSERT_EQ(m_lzh.run("u -+ -xra \"D:\\R.LZH\" \"*.*\"", &report), 0) << report;
        ASSERT_EQ(m_zip.run(" -r -S  -9 \"D:\\R.ZIP\" \"*.*\"", &report), 0) << report;
        for (const char* archive : {"R.LZH", "R.ZIP"}) {
            const std::string bsd = fresh("bsd");
            const CommandResult run = shell("bsdtar -xf " + quote(m_dir / ("out/" + std::string(archive))) + " -C " + quote(bsd));
            EXPECT_EQ(run.exitCode, 0) << archive << "\n" << run.output;
            expectSameFiles(want, bsd, true, std::string("bsdtar ") + archive);
        }
        // Python: every file's content under its name.
        const CommandResult python = shell("python3 " + quote(m_dir / "list.py") + " " + quote(m_dir / "out/R.ZIP"));
        ASSERT_EQ(python.exitCode, 0) << python.output;
        for (const auto& [path, file] : want) {
            const std::string digest = shell("sha1sum " + quote(src + "/" + path)).output.substr(0, 40);
            EXPECT_NE(python.output.find(path + "\t" + digest), std::string::npos) << path << "\n" << python.output;
        }
        // Our own readers, into folders of their own.
        ASSERT_EQ(m_lzh.run("x \"D:\\R.LZH\" \"C:\\\"", &report), 0) << report;
        expectSameFiles(want, m_dir / "x", true, "UNLHA32");
        fresh("x");
        ASSERT_EQ(m_unzip.run("-x \"D:\\R.ZIP\" \"C:\\\"", &report), 0) << report;
        expectSameFiles(want, m_dir / "x", true, "UNZIP32");
        fresh("x");
    }
}

} // namespace
