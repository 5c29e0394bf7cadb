// The UNLHA32.DLL module driven with the command lines the program sends,
// its archives checked by lhasa, 7-Zip and libarchive.
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "support/archive_support.h"
#include "support/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

constexpr const char* kExclusions = "-jx386SPART.PAR -jxWIN386.SWP -jxPAGEFILE.SYS";

// a: the disk, d: the storage folder, c: the temporary folder.
class UnlhaModule : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeSampleTree(m_dir / "src");
        makeDirs(m_dir / "out");
        makeDirs(m_dir / "tmp");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/src;c=" + m_dir.path() + "/tmp;d=" + m_dir.path() + "/out");
        ASSERT_EQ(::chdir((m_dir / "src").c_str()), 0);
        ASSERT_TRUE(m_module.loaded());
    }

    std::string lineFor(const std::string& switches, bool store, const std::string& archive) const
    {
        return std::string("u -+") + switches + (store ? " -z1  " : " ") + "\"-wC:\\\"  " + kExclusions + " \""
            + archive + "\" \"*.*\"";
    }

    // The tree the archive should hold, by the switches.
    std::map<std::string, TreeFile> expected(bool recurse, bool hidden) const
    {
        std::map<std::string, TreeFile> tree;
        for (auto& [path, file] : readTree(m_dir / "src")) {
            const bool isHidden = path.find("/.") != std::string::npos || path[0] == '.';
            if ((!hidden && isHidden) || (!recurse && path.find('/') != std::string::npos))
                continue;
            if (!recurse && file.folder)
                continue;
            tree[path] = file;
        }
        return tree;
    }

    void expectIndependentReadersAgree(const std::string& archive, const std::map<std::string, TreeFile>& want)
    {
        const CommandResult lhasa = shell("lhasa t " + quote(archive));
        EXPECT_EQ(lhasa.exitCode, 0) << lhasa.output;
        EXPECT_EQ(lhasa.output.find("CRC error"), std::string::npos) << lhasa.output;
        const CommandResult sevenZip = shell("7zz t " + quote(archive));
        EXPECT_NE(sevenZip.output.find("Everything is Ok"), std::string::npos) << sevenZip.output;

        // libarchive reads the code page and so the Japanese names too.
        const std::string bsd = m_dir / ("bsd" + std::to_string(++m_extractions));
        makeDirs(bsd);
        const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(bsd));
        ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
        const auto got = readTree(bsd);
        ASSERT_EQ(got.size(), want.size());
        for (const auto& [path, file] : want) {
            const auto found = got.find(path);
            ASSERT_NE(found, got.end()) << path;
            EXPECT_EQ(found->second.folder, file.folder) << path;
            if (!file.folder) {
                EXPECT_EQ(found->second.content, file.content) << path;
                EXPECT_EQ(found->second.mtime, file.mtime) << path;
            }
        }

        // lhasa's extraction byte for byte (it keeps names as raw CP932 bytes and
        // writes an MS-DOS name without small letters in small letters).
        const std::string lhasaDir = m_dir / ("lha" + std::to_string(++m_extractions));
        makeDirs(lhasaDir);
        ASSERT_EQ(shell("cd " + quote(lhasaDir) + " && lhasa xq " + quote(archive)).exitCode, 0);
        for (const auto& [path, file] : want) {
            if (file.folder || std::any_of(path.begin(), path.end(), [](char c) { return c & 0x80; }))
                continue;
            EXPECT_EQ(readFile(lhasaDir + "/" + lhasaSpelling(path)), file.content) << path;
        }

        // 7-Zip's extraction byte for byte (names outside ASCII aside: it shows raw bytes here).
        const std::string seven = m_dir / ("7z" + std::to_string(++m_extractions));
        ASSERT_EQ(shell("7zz x -y -o" + quote(seven) + " " + quote(archive)).exitCode, 0);
        for (const auto& [path, file] : want) {
            if (file.folder || std::any_of(path.begin(), path.end(), [](char c) { return c & 0x80; }))
                continue;
            EXPECT_EQ(readFile(seven + "/" + path), file.content) << path;
        }
    }

    // Packs the current folder with every compressing method into D:\STEM<n>.LZH
    // and has bsdtar (the strictest reader of the stream's end) and lhasa
    // extract each file of `want` byte for byte; `check` looks at each archive too.
    void packWithEveryMethodAndExtract(const std::string& stem, const std::map<std::string, TreeFile>& want,
                                       const std::function<void(const std::string& archive)>& check = {})
    {
        packAndExtract(stem, {"-jm2", "-jm3", "-jm4"}, want, check);
    }

    // The same with the methods given ("-jm2" -lh5-, "-jm3" -lh6-, "-jm4" -lh7-).
    void packAndExtract(const std::string& stem, const std::vector<const char*>& methods,
                        const std::map<std::string, TreeFile>& want,
                        const std::function<void(const std::string& archive)>& check = {})
    {
        for (const char* method : methods) {
            const std::string name = stem + method[3] + ".LZH";
            const std::string archive = m_dir / ("out/" + name);
            std::string report;
            ASSERT_EQ(m_module.run(std::string("u -+ -x ") + method + " \"D:\\" + name + "\" \"*.*\"", &report), 0)
                << report;
            if (check)
                check(archive);
            const std::string bsd = m_dir / (stem + "-bsd" + method[3]);
            const std::string lhasaDir = m_dir / (stem + "-lhasa" + method[3]);
            makeDirs(bsd);
            makeDirs(lhasaDir);
            const CommandResult extracted = shell("bsdtar -xf " + quote(archive) + " -C " + quote(bsd));
            ASSERT_EQ(extracted.exitCode, 0) << method << "\n" << extracted.output;
            ASSERT_EQ(shell("cd " + quote(lhasaDir) + " && lhasa xq " + quote(archive)).exitCode, 0) << method;
            for (const auto& [path, file] : want) {
                EXPECT_TRUE(readFile(bsd + "/" + path) == file.content) << method << " bsdtar " << path;
                EXPECT_TRUE(readFile(lhasaDir + "/" + lhasaSpelling(path)) == file.content) << method << " lhasa " << path;
            }
        }
    }

    // Each member's method and packed size as lhasa lists them, by lhasa's
    // spelling of the name.
    struct Listed {
        std::string method;
        std::uint64_t packed = 0;
    };
    std::map<std::string, Listed> lhasaListing(const std::string& archive)
    {
        std::map<std::string, Listed> members;
        const CommandResult listing = shell("lhasa v " + quote(archive));
        EXPECT_EQ(listing.exitCode, 0) << listing.output;
        static const std::regex row(R"(^\S+\s+(\d+)\s+\d+\s+\S+\s+(-lh.-)\s+[0-9a-f]{4}\s+.{12}\s(.+)$)");
        std::istringstream lines(listing.output);
        for (std::string line; std::getline(lines, line);) {
            std::smatch match;
            if (std::regex_match(line, match, row))
                members[match[3]] = {match[2], std::stoull(match[1])};
        }
        return members;
    }

    std::string methodsOf(const std::string& archive)
    {
        std::string report;
        EXPECT_EQ(m_module.run("l \"" + archive + "\"", &report), 0);
        return report;
    }

    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_env;
    LoadedModule m_module{binaryDir() + "/UNLHA32.DLL", "Unlha"};
    int m_extractions = 0;
};

TEST_F(UnlhaModule, VersionAndIdleState)
{
    auto version = reinterpret_cast<unsigned short (*)()>(m_module.symbol("UnlhaGetVersion"));
    auto running = reinterpret_cast<int (*)()>(m_module.symbol("UnlhaGetRunning"));
    ASSERT_TRUE(version && running && m_module.symbol("UnlhaSetProgress"));
    EXPECT_GE(version(), 104);
    EXPECT_EQ(running(), 0);
}

struct SwitchRow {
    const char* switches;
    bool recurse;
    bool hidden;
};

void PrintTo(const SwitchRow& row, std::ostream* out)
{
    *out << '"' << row.switches << '"';
}

class UnlhaSwitches : public UnlhaModule, public ::testing::WithParamInterface<SwitchRow> {};

TEST_P(UnlhaSwitches, NormalRunIsReadByEveryReader)
{
    const SwitchRow row = GetParam();
    std::string report;
    ASSERT_EQ(m_module.run(lineFor(row.switches, false, "D:\\DISK01.LZH"), &report), 0) << report;
    const std::string archive = m_dir / "out/DISK01.LZH";
    expectIndependentReadersAgree(archive, expected(row.recurse, row.hidden));
    if (row.recurse) { // the top folder's files are too small to shrink
        EXPECT_NE(methodsOf("D:\\DISK01.LZH").find("-lh5-"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, UnlhaSwitches, ::testing::Values(
    SwitchRow{" -xra ", true, true}, SwitchRow{" -xr ", true, false},
    SwitchRow{" -xa ", false, true}, SwitchRow{" -x ", false, false}),
    [](const auto& info) { return std::string(info.param.recurse ? "Sub" : "Top") + (info.param.hidden ? "Hidden" : "Plain"); });

TEST_F(UnlhaModule, StoreRunKeepsEveryFileUncompressed)
{
    std::string report;
    ASSERT_EQ(m_module.run(lineFor(" -xra ", true, "D:\\DISK01.LZH"), &report), 0) << report;
    const std::string listing = methodsOf("D:\\DISK01.LZH");
    EXPECT_EQ(listing.find("-lh5-"), std::string::npos) << listing;
    EXPECT_NE(listing.find("-lh0-"), std::string::npos);
    expectIndependentReadersAgree(m_dir / "out/DISK01.LZH", expected(true, true));
}

TEST_F(UnlhaModule, MethodsAndHeaderLevelsCanBeChosen)
{
    for (const char* choice : {"-jm4 -h2", "-jm3 -h1", "-jm2 -h0"}) {
        const std::string archive = std::string("D:\\M") + choice[3] + ".LZH";
        std::string report;
        // Level 0 cannot hold the Japanese folder's 0x5C trail bytes safely
        // for every reader, so that row packs the top folder only.
        const std::string switches = choice[7] == '0' ? " -x " : " -xra ";
        ASSERT_EQ(m_module.run(std::string("u -+ ") + choice + switches + "\"" + archive + "\" \"*.*\"", &report), 0)
            << report;
        const std::string native = m_dir / ("out/M" + std::string(1, choice[3]) + ".LZH");
        const CommandResult lhasa = shell("lhasa t " + quote(native));
        EXPECT_EQ(lhasa.exitCode, 0) << choice << lhasa.output;
        EXPECT_NE(shell("7zz t " + quote(native)).output.find("Everything is Ok"), std::string::npos) << choice;
        const std::string bsd = m_dir / ("m" + std::string(1, choice[3]));
        makeDirs(bsd);
        EXPECT_EQ(shell("bsdtar -xf " + quote(native) + " -C " + quote(bsd)).exitCode, 0) << choice;
        EXPECT_EQ(readFile(bsd + "/README.TXT"), "A small text file.\r\n") << choice;
    }
    EXPECT_NE(methodsOf("D:\\M4.LZH").find("-lh7-"), std::string::npos);
    EXPECT_NE(methodsOf("D:\\M3.LZH").find("-lh6-"), std::string::npos);
}

// Files of many blocks whose contents change from block to block: the parse
// prices each block by the one before, so text after noise, long runs, and
// repeats at the window's far edge (across the buffer's slides) all meet
// codes the block before did not use.
TEST_F(UnlhaModule, ChangingContentsInEveryMethodAreReadByEveryReader)
{
    std::mt19937 random(15);
    auto noise = [&](size_t size) {
        std::string s(size, '\0');
        for (auto& c : s)
            c = static_cast<char>(random());
        return s;
    };
    std::string text;
    while (text.size() < 200000)
        text += "record " + std::to_string(random() % 3000) + ": " + std::string(random() % 40, 'a' + random() % 26) + "\n";
    std::string mixed = text.substr(0, 70000) + noise(40000) + std::string(50000, '\0') + text.substr(70000);
    for (const unsigned window : {8192u, 32768u, 65536u}) {
        const std::string head = noise(window);
        for (int i = 0; i < 12; ++i) // the same window-long stretch, one window apart, past several slides
            mixed += head.substr(0, 300) + noise(window - 300);
    }
    const std::string folder = m_dir / "mix";
    makeDirs(folder);
    writeFile(folder + "/mixed.dat", mixed);
    writeFile(folder + "/short.txt", text.substr(0, 3000));
    writeFile(folder + "/runs.bin", std::string(300000, 'z') + "y" + std::string(70000, 'z'));
    // Whole blocks of one match code, and a last block of one byte.
    writeFile(folder + "/zeros.bin", std::string(262144, '\0'));
    writeFile(folder + "/tail.txt", text.substr(0, 65537));
    ASSERT_EQ(::chdir(folder.c_str()), 0);
    const auto before = readTree(folder);
    for (const char* method : {"-jm2", "-jm3", "-jm4"}) {
        const std::string name = std::string("MIX") + method[3] + ".LZH";
        std::string report;
        ASSERT_EQ(m_module.run(std::string("u -+ ") + method + " -x \"D:\\" + name + "\" \"*.*\"", &report), 0)
            << report;
        expectIndependentReadersAgree(m_dir / ("out/" + name), before);
    }
    const auto after = readTree(folder);
    ASSERT_EQ(after.size(), before.size());
    for (const auto& [path, file] : before) {
        ASSERT_TRUE(after.count(path)) << path;
        EXPECT_EQ(after.at(path).content, file.content) << path;
        EXPECT_EQ(after.at(path).mtime, file.mtime) << path;
    }
}

TEST_F(UnlhaModule, DoubleCompressionStagesAndUpdateExtraction)
{
    std::string report;
    // First stage into the temporary folder, second stage from there.
    ASSERT_EQ(m_module.run(std::string("u -+ -xra  -z1 \"-wC:\\\"  ") + kExclusions + " \"C:\\DISK01.LZH\" \"*.*\"",
                  &report), 0) << report;
    ASSERT_EQ(::chdir((m_dir / "tmp").c_str()), 0);
    ASSERT_EQ(m_module.run("u -+ \"-wC:\\\" \"D:\\DISK01.LZH.LZH\" \"DISK01.LZH\"", &report), 0) << report;
    const std::string inner = readFile(m_dir / "tmp/DISK01.LZH");
    expectIndependentReadersAgree(m_dir / "out/DISK01.LZH.LZH", readTree(m_dir / "tmp"));

    // The update extraction brings the inner archive back, byte for byte.
    fs::remove(m_dir / "tmp/DISK01.LZH");
    ASSERT_EQ(m_module.run("x -+ \"D:\\DISK01.LZH.LZH\" \"C:\\\" \"DISK01.LZH\"", &report), 0) << report;
    EXPECT_EQ(readFile(m_dir / "tmp/DISK01.LZH"), inner);
}

// Runs of one byte end the stream with blocks whose codes can take no bits;
// libarchive needs the last block's tables well before the end of the stream.
// Sizes on and around the writer's block boundaries, every method, read back
// by bsdtar and lhasa byte for byte.
TEST_F(UnlhaModule, RunsOfOneByteEndingOnBlockBoundariesAreReadByEveryReader)
{
    const std::string runs = m_dir / "runs";
    makeDirs(runs);
    std::map<std::string, TreeFile> want;
    int n = 0;
    // Whole multiples of the 8 KiB the encoder parses at a time, and of 16 KiB.
    std::vector<size_t> bases;
    for (unsigned chunks : {1u, 7u, 8u, 9u})
        bases.push_back(chunks * 8192u);
    for (unsigned blocks : {2u, 5u, 20u, 32u, 33u, 64u})
        bases.push_back(blocks * 16384u);
    for (size_t base : bases) {
        for (unsigned tail : {0u, 1u, 3u, 255u, 256u, 257u, 4000u}) {
            const size_t size = base + tail;
            const char fill = (n % 3 == 0) ? '\0' : (n % 3 == 1 ? 'a' : '\xFF');
            std::string content(size, fill);
            if (n % 5 == 4)
                content.back() = 'x'; // a last literal of its own
            const std::string name = "R" + std::to_string(n++) + ".BIN";
            writeFile(runs + "/" + name, content);
            want[name] = TreeFile{content, 0, false};
        }
    }
    ASSERT_EQ(::chdir(runs.c_str()), 0);
    packWithEveryMethodAndExtract("RUNS", want);
}

// Text of `size` bytes drawn from an alphabet of `letters` letters: with few
// letters it compresses well, with many it is nearly all literals.
std::string letterNoise(size_t size, unsigned letters, unsigned seed)
{
    std::mt19937 random(seed);
    std::string text(size, '\0');
    for (char& c : text)
        c = static_cast<char>(' ' + random() % letters);
    return text;
}

// Sections of unlike content make the writer weigh one block against two at
// every chunk; nearly-all-literal files fill blocks to their 65535 codes.
TEST_F(UnlhaModule, BlocksJoinedOrSplitByTheirContentAreReadByEveryReader)
{
    const std::string dir = m_dir / "joins";
    makeDirs(dir);
    std::map<std::string, TreeFile> want;
    int n = 0;
    for (size_t size : {8192u * 7 + 10, 8192u * 8 - 1, 8192u * 8 + 63, 8192u * 8 + 64, 8192u * 16 + 40, 8192u * 40}) {
        const std::string content = letterNoise(size, 90, static_cast<unsigned>(size));
        const std::string name = "LIT" + std::to_string(n++) + ".TXT";
        writeFile(dir + "/" + name, content);
        want[name] = TreeFile{content, 0, false};
    }
    std::mt19937 random(7);
    for (int file = 0; file < 6; ++file) {
        std::string content;
        while (content.size() < 150000u + 40000u * static_cast<unsigned>(file)) {
            const size_t length = 500 + random() % 20000;
            switch (random() % 4) {
            case 0: content += letterNoise(length, 4, static_cast<unsigned>(random())); break;
            case 1: content += letterNoise(length, 90, static_cast<unsigned>(random())); break;
            case 2: content += std::string(length, static_cast<char>(random() % 256)); break;
            default:
                for (size_t i = 0; i < length; ++i)
                    content += "the quick brown fox jumps over the lazy dog "[(i * 7 + random() % 3) % 44];
            }
        }
        const std::string name = "MIX" + std::to_string(file) + ".DAT";
        writeFile(dir + "/" + name, content);
        want[name] = TreeFile{content, 0, false};
    }
    const auto before = readTree(dir);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    packWithEveryMethodAndExtract("JOINS", want, [&](const std::string& archive) {
        EXPECT_EQ(methodsOf(archive).find("-lh0-"), std::string::npos) << archive << " stored something";
    });
    EXPECT_TRUE(readTree(dir) == before);
}

// One stretch of noise repeated: no byte is likelier than another, yet every
// repeat within the method's window is a match.
std::string repeatedNoise(size_t size, size_t period, unsigned seed)
{
    const std::string stretch = noise(period, seed);
    std::string bytes;
    while (bytes.size() < size)
        bytes += stretch;
    bytes.resize(size);
    return bytes;
}

// A member is stored (-lh0-) only when compressing it would not make it
// smaller: noise at its start or inside it decides nothing. Each file here is
// larger than the read-ahead takes, so it streams through the writer, which
// reads it again when the noise at its start made it store the file first.
TEST_F(UnlhaModule, NoiseInsideAStreamedFileStoresItOnlyWhenNothingShrinks)
{
    const std::string dir = m_dir / "streamed";
    makeDirs(dir + "/MIDDLE");
    const size_t kib = 1024;
    writeFile(dir + "/HEADNOIS.DAT", noise(512 * kib, 1) + paragraphText(8192 * kib, 2));
    writeFile(dir + "/REPEATS.DAT", noise(512 * kib, 6) + repeatedNoise(4096 * kib, 4096, 7));
    writeFile(dir + "/NOISE.DAT", noise(5 * 1024 * kib, 8));
    writeFile(dir + "/MIDDLE/MIDNOISE.DAT", paragraphText(4096 * kib, 3) + noise(512 * kib, 4) + paragraphText(4096 * kib, 5));
    const auto before = readTree(dir);
    auto files = [&](const std::string& folder) { // the folder's own files
        std::map<std::string, TreeFile> in;
        for (const auto& [path, file] : readTree(folder))
            if (!file.folder && path.find('/') == std::string::npos)
                in[path] = file;
        return in;
    };

    // Stored, the noisy text files would take 8.9 MB each.
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    packAndExtract("STREAMED", {"-jm2", "-jm4"}, files(dir), [&](const std::string& archive) {
        const auto listed = lhasaListing(archive);
        ASSERT_EQ(listed.size(), 3u) << archive;
        const std::string method = archive.find("STREAMED2") != std::string::npos ? "-lh5-" : "-lh7-";
        EXPECT_EQ(listed.at("headnois.dat").method, method) << archive;
        EXPECT_LT(listed.at("headnois.dat").packed, 1'000'000u) << archive;
        EXPECT_EQ(listed.at("repeats.dat").method, method) << archive;
        EXPECT_LT(listed.at("repeats.dat").packed, 1'000'000u) << archive;
        EXPECT_EQ(listed.at("noise.dat").method, "-lh0-") << archive;
    });
    ASSERT_EQ(::chdir((dir + "/MIDDLE").c_str()), 0);
    packAndExtract("MIDDLE", {"-jm2"}, files(dir + "/MIDDLE"), [&](const std::string& archive) {
        const auto listed = lhasaListing(archive);
        ASSERT_EQ(listed.size(), 1u) << archive;
        EXPECT_EQ(listed.at("midnoise.dat").method, "-lh5-") << archive;
        EXPECT_LT(listed.at("midnoise.dat").packed, 1'000'000u) << archive;
    });
    EXPECT_TRUE(readTree(dir) == before);
}

// The same for files the read-ahead compresses in memory: no second read.
// Noise repeated farther apart than -lh5-'s 8 KiB window cannot shrink with
// it, but does with -lh7-'s 64 KiB.
TEST_F(UnlhaModule, NoiseInsideAFileReadAheadStoresItOnlyWhenNothingShrinks)
{
    const std::string dir = m_dir / "ahead";
    makeDirs(dir);
    const size_t kib = 1024;
    writeFile(dir + "/HEADNOIS.DAT", noise(320 * kib, 11) + paragraphText(3072 * kib, 12));
    writeFile(dir + "/REPEATS.DAT", noise(512 * kib, 13) + repeatedNoise(2560 * kib, 4096, 14));
    writeFile(dir + "/FAR.DAT", noise(512 * kib, 15) + repeatedNoise(2560 * kib, 20 * kib, 16));
    writeFile(dir + "/NOISE.DAT", noise(1024 * kib, 17));
    const auto before = readTree(dir);
    ASSERT_EQ(::chdir(dir.c_str()), 0);
    packAndExtract("AHEAD", {"-jm2", "-jm4"}, before, [&](const std::string& archive) {
        const auto listed = lhasaListing(archive);
        ASSERT_EQ(listed.size(), 4u) << archive;
        const bool lh5 = archive.find("AHEAD2") != std::string::npos;
        const std::string method = lh5 ? "-lh5-" : "-lh7-";
        EXPECT_EQ(listed.at("headnois.dat").method, method) << archive;
        EXPECT_LT(listed.at("headnois.dat").packed, 900'000u) << archive;
        EXPECT_EQ(listed.at("repeats.dat").method, method) << archive;
        EXPECT_LT(listed.at("repeats.dat").packed, 700'000u) << archive;
        EXPECT_EQ(listed.at("far.dat").method, lh5 ? "-lh0-" : "-lh7-") << archive;
        if (!lh5) {
            EXPECT_LT(listed.at("far.dat").packed, 700'000u) << archive;
        }
        EXPECT_EQ(listed.at("noise.dat").method, "-lh0-") << archive;
    });
    EXPECT_TRUE(readTree(dir) == before);
}

// A streamed file whose start is noise is read up to three times: its start,
// then all of it stored and weighed, then all of it compressed after all.
// Progress counts each byte once, a cancel is heard in the last pass too, and
// a file that changes before it fails the call by name.
TEST_F(UnlhaModule, AFileReadAgainToCompressItAfterAllIsCountedOnceAndCanBeStopped)
{
    const std::string dir = m_dir / "again";
    makeDirs(dir);
    const size_t kib = 1024;
    const std::string content = noise(512 * kib, 21) + paragraphText(4096 * kib, 22);
    writeFile(dir + "/AGAIN.DAT", content);
    const auto before = readTree(dir);
    ASSERT_EQ(::chdir(dir.c_str()), 0);

    using Callback = int (*)(void*, unsigned long long, unsigned long long, const char*);
    auto setProgress = reinterpret_cast<int (*)(Callback, void*)>(m_module.symbol("UnlhaSetProgress"));
    ASSERT_TRUE(setProgress);
    struct Seen {
        unsigned long long last = 0;
        unsigned long long total = 0;
        bool ordered = true;
        int atEnd = 0;         // calls with every byte counted
        int stopAt = 0;        // cancel at this call with every byte counted
        std::string rewriteAt; // or have another process rewrite this file then, at the same size
        pid_t writer = -1;
    } seen;
    setProgress(
        [](void* context, unsigned long long done, unsigned long long total, const char*) {
            auto* s = static_cast<Seen*>(context);
            s->ordered = s->ordered && done >= s->last && done <= total;
            s->last = done;
            s->total = total;
            if (done == total && ++s->atEnd == 2 && !s->rewriteAt.empty()) {
                // The writer waits at its open while the module holds the
                // file's lease; go on once it does (or once it is done).
                const std::string content = readFile(s->rewriteAt);
                const char flipped = static_cast<char>(content[content.size() / 2] ^ 1);
                const auto middle = static_cast<off_t>(content.size() / 2);
                struct stat info;
                ::stat(s->rewriteAt.c_str(), &info);
                s->writer = ::fork();
                if (s->writer == 0) {
                    const int fd = ::open(s->rewriteAt.c_str(), O_WRONLY);
                    ::_exit(fd >= 0 && ::pwrite(fd, &flipped, 1, middle) == 1 && ::close(fd) == 0 ? 0 : 1);
                }
                while (::waitpid(s->writer, nullptr, WNOHANG) == 0 && !leaseBreaking(info.st_ino))
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            return s->stopAt && s->atEnd >= s->stopAt ? 1 : 0;
        },
        &seen);
    struct Reset {
        int (*set)(Callback, void*);
        ~Reset() { set(nullptr, nullptr); }
    } reset{setProgress};

    std::string report;
    ASSERT_EQ(m_module.run("u -+ -jm2 -x \"D:\\AGAIN.LZH\" \"*.*\"", &report), 0) << report;
    EXPECT_TRUE(seen.ordered);
    EXPECT_EQ(seen.total, content.size());
    EXPECT_EQ(seen.last, content.size());
    EXPECT_GT(seen.atEnd, 1) << "the last pass never asked whether to go on";
    const std::string archive = m_dir / "out/AGAIN.LZH";
    EXPECT_EQ(lhasaListing(archive)["again.dat"].method, "-lh5-");
    const std::string bsd = m_dir / "again-bsd";
    makeDirs(bsd);
    ASSERT_EQ(shell("bsdtar -xf " + quote(archive) + " -C " + quote(bsd)).exitCode, 0);
    EXPECT_TRUE(readFile(bsd + "/AGAIN.DAT") == content);
    EXPECT_TRUE(readTree(dir) == before);
    const std::string packed = readFile(archive);

    // Stopped while it compresses: the archive stays as it was, no temporary file.
    writeFile(dir + "/AGAIN.DAT", content + "x");
    setMtime(dir + "/AGAIN.DAT", 1900000000);
    const auto newer = readTree(dir);
    seen = Seen{};
    seen.stopAt = 2;
    EXPECT_EQ(m_module.run("u -+ -jm2 -x \"D:\\AGAIN.LZH\" \"*.*\"", &report), 0x8020) << report;
    EXPECT_EQ(seen.atEnd, 2);
    EXPECT_TRUE(readFile(archive) == packed);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "out"), fs::directory_iterator()), 1);
    EXPECT_TRUE(readTree(dir) == newer);

    // Rewritten after it was stored, while it is compressed.
    seen = Seen{};
    seen.rewriteAt = dir + "/AGAIN.DAT";
    EXPECT_EQ(m_module.run("u -+ -jm2 -x \"D:\\AGAIN.LZH\" \"*.*\"", &report), 0x801A) << report;
    ::waitpid(seen.writer, nullptr, 0);
    EXPECT_NE(report.find("AGAIN.DAT: cannot be read: another program is writing it"), std::string::npos) << report;
    EXPECT_TRUE(readFile(archive) == packed);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "out"), fs::directory_iterator()), 1);
}

// Small files are compressed ahead by other threads, large ones as a stream
// by the writer: the archive holds them in the order of the walk all the same.
TEST_F(UnlhaModule, FilesReadAheadOrStreamedKeepTheOrderOfTheWalk)
{
    const std::string dir = m_dir / "order";
    makeDirs(dir + "/SUB/DEEP");
    std::map<std::string, TreeFile> want;
    auto add = [&](const std::string& name, const std::string& content) {
        writeFile(dir + "/" + name, content);
        want[name] = TreeFile{content, 0, false};
    };
    const size_t buffered = size_t{4} << 20; // the largest file compressed ahead
    add("AT.TXT", letterNoise(buffered, 6, 1));
    add("PAST.TXT", letterNoise(buffered + 1, 6, 2));
    add("EMPTY.TXT", "");
    std::string noise(300000, '\0');
    std::mt19937 random(3);
    for (char& c : noise)
        c = static_cast<char>(random());
    add("NOISE.BIN", noise); // stored: it does not shrink
    for (int i = 0; i < 40; ++i)
        add((i % 3 == 0 ? "SUB/DEEP/F" : i % 3 == 1 ? "SUB/F" : "F") + std::to_string(i) + ".TXT",
            letterNoise(100 + static_cast<size_t>(i) * 997, 20, static_cast<unsigned>(i)));
    add("SUB/BIG.TXT", letterNoise(5u << 20, 30, 4));
    const auto before = readTree(dir);
    want = before; // with the times and the folders
    ASSERT_EQ(::chdir(dir.c_str()), 0);

    // Storing reads every file in turn: its order is the walk's.
    auto order = [&](const std::string& archive) {
        std::vector<std::string> names;
        std::istringstream lines(methodsOf(archive));
        for (std::string line; std::getline(lines, line);)
            if (line.find('\t') != std::string::npos)
                names.push_back(line.substr(line.rfind('\t') + 1));
        return names;
    };
    ASSERT_EQ(m_module.run("u -+ -x -r -z1 \"D:\\STORED.LZH\" \"*.*\""), 0);
    const std::vector<std::string> walk = order(m_dir / "out/STORED.LZH");
    ASSERT_GT(walk.size(), 44u);
    for (const char* method : {"-jm2", "-jm4"}) {
        const std::string name = std::string("PACKED") + method[3] + ".LZH";
        std::string report;
        ASSERT_EQ(m_module.run(std::string("u -+ -x -r ") + method + " \"D:\\" + name + "\" \"*.*\"", &report), 0)
            << report;
        EXPECT_EQ(order(m_dir / ("out/" + name)), walk) << method;
        expectIndependentReadersAgree(m_dir / ("out/" + name), want);
        const std::string listing = methodsOf(m_dir / ("out/" + name));
        EXPECT_TRUE(std::regex_search(listing, std::regex("-lh0-\t[0-9A-F]{4}\t[0-9]+\tNOISE\\.BIN"))) << listing;
    }
    EXPECT_TRUE(readTree(dir) == before);
}

TEST_F(UnlhaModule, UpdateReplacesExactlyTheNewerFiles)
{
    const std::string line = lineFor(" -xra ", false, "D:\\DISK01.LZH");
    ASSERT_EQ(m_module.run(line), 0);
    writeFile(m_dir / "src/README.TXT", "newer content\n");
    setMtime(m_dir / "src/README.TXT", 1800000000);
    writeFile(m_dir / "src/ONE.BIN", "changed but older");
    setMtime(m_dir / "src/ONE.BIN", 1500000000);
    writeFile(m_dir / "src/SUB/NEW.TXT", "a new file");
    setMtime(m_dir / "src/SUB/NEW.TXT", 1700000000);
    std::string report;
    ASSERT_EQ(m_module.run(line, &report), 0) << report;

    const std::string out = m_dir / "x";
    makeDirs(out);
    ASSERT_EQ(shell("bsdtar -xf " + quote(m_dir / "out/DISK01.LZH") + " -C " + quote(out)).exitCode, 0);
    EXPECT_EQ(readFile(out + "/README.TXT"), "newer content\n");
    EXPECT_EQ(readFile(out + "/ONE.BIN"), "x"); // not newer: kept
    EXPECT_EQ(readFile(out + "/SUB/NEW.TXT"), "a new file");
    EXPECT_EQ(readFile(out + "/SUB/TEXT.LOG"), readFile(m_dir / "src/SUB/TEXT.LOG"));
    EXPECT_EQ(shell("lhasa t " + quote(m_dir / "out/DISK01.LZH")).exitCode, 0);
}

TEST_F(UnlhaModule, UpdateWithoutChangesLeavesTheArchiveUntouched)
{
    const std::string line = lineFor(" -xra ", false, "D:\\DISK01.LZH");
    ASSERT_EQ(m_module.run(line), 0);
    const std::string before = readFile(m_dir / "out/DISK01.LZH");
    struct stat first;
    ::stat((m_dir / "out/DISK01.LZH").c_str(), &first);
    ASSERT_EQ(m_module.run(line), 0);
    struct stat second;
    ::stat((m_dir / "out/DISK01.LZH").c_str(), &second);
    EXPECT_EQ(readFile(m_dir / "out/DISK01.LZH"), before);
    EXPECT_EQ(first.st_ino, second.st_ino) << "the archive was rewritten";
}

TEST_F(UnlhaModule, AddReplacesWhateverTheDates)
{
    ASSERT_EQ(m_module.run("a -x \"D:\\A.LZH\" \"README.TXT\""), 0);
    writeFile(m_dir / "src/README.TXT", "older but named");
    setMtime(m_dir / "src/README.TXT", 1000000000);
    ASSERT_EQ(m_module.run("a -x \"D:\\A.LZH\" \"README.TXT\""), 0);
    const std::string out = m_dir / "a";
    makeDirs(out);
    ASSERT_EQ(shell("bsdtar -xf " + quote(m_dir / "out/A.LZH") + " -C " + quote(out)).exitCode, 0);
    EXPECT_EQ(readFile(out + "/README.TXT"), "older but named");
}

TEST_F(UnlhaModule, NamesDifferingInCaseAreBothKept)
{
    writeFile(m_dir / "src/readme.txt", "same name, other case");
    std::string report;
    ASSERT_EQ(m_module.run(lineFor(" -xra ", false, "D:\\DISK01.LZH"), &report), 0) << report;
    const CommandResult listing = shell("bsdtar -tf " + quote(m_dir / "out/DISK01.LZH"));
    EXPECT_NE(listing.output.find("readme.txt"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("README.TXT"), std::string::npos) << listing.output;
}

TEST_F(UnlhaModule, TwoSourcesForOneStoredNameAreRefusedByName)
{
    // Without paths, two files of one name in different folders would meet.
    writeFile(m_dir / "src/SUB/README.TXT", "another readme");
    std::string report;
    EXPECT_EQ(m_module.run("u -r \"D:\\FLAT.LZH\" \"*.*\"", &report), 0x8028);
    EXPECT_NE(report.find("README.TXT"), std::string::npos) << report;
    EXPECT_FALSE(exists(m_dir / "out/FLAT.LZH"));
}

TEST_F(UnlhaModule, BadCommandLinesHaveTheirOwnCodes)
{
    std::string report;
    EXPECT_EQ(m_module.run("u -q \"D:\\X.LZH\" \"*.*\"", &report), 0x804C);
    EXPECT_NE(report.find("-q"), std::string::npos);
    EXPECT_EQ(m_module.run("u -xrq \"D:\\X.LZH\" \"*.*\""), 0x804C);
    EXPECT_EQ(m_module.run("u -jm9 \"D:\\X.LZH\" \"*.*\""), 0x804C);
    EXPECT_EQ(m_module.run("q \"D:\\X.LZH\""), 0x801C);
    EXPECT_EQ(m_module.run("u -+"), 0x8019);
    EXPECT_EQ(m_module.run("x \"D:\\MISSING.LZH\" \"C:\\\""), 0x8029);
    EXPECT_EQ(m_module.run("t \"D:\\MISSING.LZH\""), 0x8029);
    EXPECT_FALSE(exists(m_dir / "out/X.LZH"));
}

TEST_F(UnlhaModule, ANameWithoutExtensionGetsLzh)
{
    ASSERT_EQ(m_module.run("u -x \"D:\\PLAIN\" \"README.TXT\""), 0);
    EXPECT_TRUE(exists(m_dir / "out/PLAIN.LZH"));
}

TEST_F(UnlhaModule, ExtractionNeverLeavesItsFolder)
{
    // A level-0 archive whose one member climbs out: "..\EVIL.TXT".
    std::string name = "..\\EVIL.TXT";
    std::string header;
    header += static_cast<char>(22 + name.size());
    header += '\0';
    header += "-lh0-";
    header += std::string("\x04\x00\x00\x00\x04\x00\x00\x00", 8);
    header += std::string("\x00\x00\x21\x50", 4);
    header += '\x20';
    header += '\0';
    header += static_cast<char>(name.size());
    header += name;
    header += std::string("\x00\x00", 2);
    unsigned sum = 0;
    for (size_t i = 2; i < header.size(); ++i)
        sum += static_cast<unsigned char>(header[i]);
    header[1] = static_cast<char>(sum);
    writeFile(m_dir / "out/EVIL.LZH", header + "evil" + std::string(1, '\0'));
    makeDirs(m_dir / "tmp/inner");
    std::string report;
    EXPECT_EQ(m_module.run("x \"D:\\EVIL.LZH\" \"C:\\inner\\\"", &report), 0x8049) << report;
    EXPECT_FALSE(exists(m_dir / "tmp/EVIL.TXT"));
    EXPECT_FALSE(exists(m_dir / "tmp/inner/EVIL.TXT"));
}

TEST_F(UnlhaModule, ACallFromInsideACallIsBusy)
{
    using SetProgress = int (*)(int (*)(void*, unsigned long long, unsigned long long, const char*), void*);
    auto setProgress = reinterpret_cast<SetProgress>(m_module.symbol("UnlhaSetProgress"));
    struct Seen {
        LoadedModule* module;
        int nested = -1;
        int running = 0;
        unsigned long long lastDone = 0;
        unsigned long long total = 0;
        bool monotonic = true;
        bool totalSteady = true;
    } seen{&m_module};
    setProgress(
        [](void* context, unsigned long long done, unsigned long long total, const char*) {
            auto* s = static_cast<Seen*>(context);
            if (s->nested < 0) {
                s->nested = s->module->run("l \"D:\\ANY.LZH\"");
                s->running = reinterpret_cast<int (*)()>(s->module->symbol("UnlhaGetRunning"))();
                s->total = total;
            }
            s->monotonic = s->monotonic && done > s->lastDone && done <= total;
            s->totalSteady = s->totalSteady && total == s->total;
            s->lastDone = done;
            return 0;
        },
        &seen);
    EXPECT_EQ(m_module.run(lineFor(" -xra ", false, "D:\\DISK01.LZH")), 0);
    setProgress(nullptr, nullptr);
    EXPECT_EQ(seen.nested, 0x801F);
    EXPECT_EQ(seen.running, 1);
    EXPECT_TRUE(seen.monotonic);
    EXPECT_TRUE(seen.totalSteady);
    EXPECT_EQ(seen.lastDone, seen.total);
}

TEST_F(UnlhaModule, CancelLeavesTheOldArchiveAndNoTemporaryFile)
{
    const std::string line = lineFor(" -xra ", false, "D:\\DISK01.LZH");
    ASSERT_EQ(m_module.run(line), 0);
    const std::string before = readFile(m_dir / "out/DISK01.LZH");
    writeFile(m_dir / "src/SUB/NEW.TXT", std::string(500000, 'n'));
    setMtime(m_dir / "src/SUB/NEW.TXT", 1900000000);
    using SetProgress = int (*)(int (*)(void*, unsigned long long, unsigned long long, const char*), void*);
    auto setProgress = reinterpret_cast<SetProgress>(m_module.symbol("UnlhaSetProgress"));
    setProgress([](void*, unsigned long long done, unsigned long long, const char*) { return done > 100000 ? 1 : 0; },
        nullptr);
    EXPECT_EQ(m_module.run(line), 0x8020);
    setProgress(nullptr, nullptr);
    EXPECT_EQ(readFile(m_dir / "out/DISK01.LZH"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir / "out"), fs::directory_iterator()), 1);
}

TEST_F(UnlhaModule, TestAndListReportEveryMember)
{
    ASSERT_EQ(m_module.run(lineFor(" -xra ", false, "D:\\DISK01.LZH")), 0);
    std::string report;
    EXPECT_EQ(m_module.run("t \"D:\\DISK01.LZH\"", &report), 0);
    EXPECT_NE(report.find("SUB\\DEEP\\BIG.DAT - Tested"), std::string::npos) << report;
    // A flipped byte in the data is found.
    std::string bytes = readFile(m_dir / "out/DISK01.LZH");
    const size_t at = bytes.find("A small text");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'a';
    writeFile(m_dir / "out/DISK01.LZH", bytes);
    EXPECT_EQ(m_module.run("t \"D:\\DISK01.LZH\"", &report), 0x800C);
    EXPECT_NE(report.find("README.TXT"), std::string::npos);
}

} // namespace
