// Archives made by many LHA tools: our reader lists them as lhasa does and
// checks their data; the damaged ones fail cleanly.
#include <filesystem>
#include <fstream>
#include <sstream>

#include <gtest/gtest.h>

#include <QString>

#include "lzh_archive.h"

namespace {

namespace fs = std::filesystem;

struct Expected {
    std::string path;
    std::string method;
    std::uint64_t compressed = 0;
    std::uint64_t length = 0;
    std::string crc;
};

// The "-hdr.txt" files hold one block per member: "key: value" lines, "--" between.
std::vector<Expected> readExpected(const fs::path& file)
{
    std::vector<Expected> members;
    std::ifstream in(file);
    std::string line;
    Expected current;
    std::string folder, name;
    bool any = false;
    auto finish = [&]() {
        if (!any)
            return;
        current.path = folder + name;
        members.push_back(current);
        current = Expected{};
        folder.clear();
        name.clear();
        any = false;
    };
    while (std::getline(in, line)) {
        if (line == "--") {
            finish();
            continue;
        }
        const size_t colon = line.find(": ");
        if (colon == std::string::npos)
            continue;
        const std::string key = line.substr(0, colon);
        const std::string value = line.substr(colon + 2);
        any = true;
        if (key == "path")
            folder = value;
        else if (key == "filename")
            name = value;
        else if (key == "compress_method")
            current.method = value;
        else if (key == "compressed_length")
            current.compressed = std::stoull(value);
        else if (key == "length")
            current.length = std::stoull(value);
        else if (key == "crc")
            current.crc = value;
    }
    finish();
    return members;
}

fs::path samples()
{
    return SORVANE2_SAMPLES_DIR;
}

bool decodable(const std::string& method)
{
    return method == "-lh0-" || method == "-lh4-" || method == "-lh5-" || method == "-lh6-" || method == "-lh7-"
        || method == "-lhd-";
}

TEST(LzhSamples, ListedAndTestedLikeLhasa)
{
    if (!fs::exists(samples() / "archives"))
        GTEST_SKIP() << "sample archives not present at " << samples();
    int archives = 0;
    int membersChecked = 0;
    for (const auto& entry : fs::recursive_directory_iterator(samples() / "archives")) {
        if (entry.path().extension() != ".lzh")
            continue;
        const std::string producer = entry.path().parent_path().filename().string();
        const fs::path hdr = samples() / "expected" / producer / (entry.path().filename().string() + "-hdr.txt");
        if (!fs::exists(hdr) || producer == "regression")
            continue;
        SCOPED_TRACE(producer + "/" + entry.path().filename().string());
        const std::vector<Expected> expected = readExpected(hdr);
        std::unique_ptr<archivers::RandomReader> reader = archivers::openReader(entry.path());
        ASSERT_TRUE(reader);
        lzh::Listing listing;
        std::string why;
        const int code = lzh::listArchive(*reader, listing, why);
        // Some producers wrote broken sizes (OS-9 level 2); those must fail, not crash.
        if (code != 0) {
            EXPECT_TRUE(producer == "lha_os9_211c" || producer == "lha_unix114i") << why;
            continue;
        }
        ++archives;
        ASSERT_EQ(listing.members.size(), expected.size()) << why;
        for (size_t i = 0; i < expected.size(); ++i) {
            const lzh::MemberHeader& member = listing.members[i];
            if (expected[i].method != "-lk7-") {
                EXPECT_EQ(member.methodId, expected[i].method) << i;
            }
            EXPECT_EQ(member.originalSize, expected[i].length) << i;
            if (expected[i].method != "-lhd-") {
                EXPECT_EQ(member.compressedSize, expected[i].compressed) << i;
            }
            char crc[8];
            std::snprintf(crc, sizeof crc, "%04x", member.crc);
            EXPECT_EQ(crc, expected[i].crc) << i;
            // lhasa shows "/" between elements and ends folders with "/".
            std::string path = member.path();
            std::replace(path.begin(), path.end(), '\\', '/');
            std::string want = expected[i].path;
            while (!want.empty() && want[0] == '/')
                want.erase(0, 1);
            if (!want.empty() && want.back() == '/' && member.isDirectory)
                want.pop_back();
            if (!member.isSymlink && std::all_of(want.begin(), want.end(), [](char c) { return !(c & 0x80); })) {
                EXPECT_EQ(QString::fromStdString(path).toLower(), QString::fromStdString(want).toLower()) << i;
            }
            // LHARK's "-lh7-" is a stream of its own (lhasa calls it -lk7-): it must fail, not crash.
            if (expected[i].method == "-lk7-") {
                EXPECT_NE(lzh::decodeMember(*reader, member, [](const unsigned char*, size_t) { return true; },
                              nullptr, why), 0);
                continue;
            }
            // Members of gigabytes are checked by their headers only.
            if (decodable(member.methodId) && !member.isSymlink && member.originalSize < (64u << 20)) {
                const int decoded = lzh::decodeMember(*reader, member,
                    [](const unsigned char*, size_t) { return true; }, nullptr, why);
                EXPECT_EQ(decoded, 0) << i << " " << why;
                ++membersChecked;
            }
        }
    }
    EXPECT_GT(archives, 80);
    EXPECT_GT(membersChecked, 100);
}

TEST(LzhSamples, DamagedOnesFailCleanly)
{
    const fs::path truncated = samples() / "archives/regression/truncated.lzh";
    if (!fs::exists(truncated))
        GTEST_SKIP();
    std::unique_ptr<archivers::RandomReader> reader = archivers::openReader(truncated);
    lzh::Listing listing;
    std::string why;
    int code = lzh::listArchive(*reader, listing, why);
    if (code == 0) {
        for (const auto& member : listing.members)
            code = code ? code : lzh::decodeMember(*reader, member, [](const unsigned char*, size_t) { return true; },
                                  nullptr, why);
    }
    EXPECT_NE(code, 0);
    // Every regression archive reads or fails without crashing.
    for (const auto& entry : fs::directory_iterator(samples() / "archives/regression")) {
        std::unique_ptr<archivers::RandomReader> each = archivers::openReader(entry.path());
        ASSERT_TRUE(each);
        if (lzh::listArchive(*each, listing, why) != 0)
            continue;
        for (const auto& member : listing.members)
            lzh::decodeMember(*each, member, [](const unsigned char*, size_t) { return true; }, nullptr, why);
    }
}

} // namespace
