// Member headers: what we write reads back, and hostile headers fail cleanly.
#include "lzh_archive.h"
#include "lzh_header.h"

#include <random>

#include <gtest/gtest.h>

#include "common/result_codes.h"
#include "common/text_codec.h"
#include "crc16.h"

namespace {

using lzh::HeaderStatus;

lzh::NewMember sampleMember()
{
    lzh::NewMember member;
    member.folders = {"SUB", "日本語"};
    member.name = "表ソ.TXT";
    member.method = lzh::Method::Lh5;
    member.compressedSize = 1234;
    member.originalSize = 5678;
    member.mtime = 1262322001;
    member.attribute = lzh::kAttrArchive | lzh::kAttrHidden;
    member.crc = 0xBEEF;
    return member;
}

HeaderStatus readBack(const std::string& bytes, lzh::MemberHeader& header)
{
    std::string padded = bytes + std::string(20000, '\0');
    archivers::MemoryReader reader(padded.data(), padded.size());
    std::string why;
    return lzh::readHeader(reader, 0, header, why);
}

class HeaderLevels : public ::testing::TestWithParam<int> {};

TEST_P(HeaderLevels, WhatIsWrittenReadsBack)
{
    const int level = GetParam();
    const lzh::NewMember member = sampleMember();
    std::string bytes;
    ASSERT_EQ(lzh::buildHeader(member, level, bytes), lzh::BuildStatus::Ok);
    lzh::MemberHeader header;
    ASSERT_EQ(readBack(bytes, header), HeaderStatus::Ok);
    EXPECT_EQ(header.level, level);
    EXPECT_EQ(header.methodId, "-lh5-");
    EXPECT_EQ(header.compressedSize, 1234u);
    EXPECT_EQ(header.originalSize, 5678u);
    EXPECT_EQ(header.crc, 0xBEEF);
    EXPECT_EQ(header.path(), "SUB\\日本語\\表ソ.TXT");
    EXPECT_EQ(header.headerSize, bytes.size());
    EXPECT_EQ(header.attribute & 0xFF, level == 0 ? 0x22 : 0x22);
    // Level 2 keeps seconds; levels 0 and 1 keep DOS time (two-second steps).
    EXPECT_EQ(header.mtime, level == 2 ? 1262322001 : 1262322000);
}

INSTANTIATE_TEST_SUITE_P(Levels, HeaderLevels, ::testing::Values(0, 1, 2));

TEST(HeaderLevel2, FieldsOtherReadersInsistOn)
{
    std::string bytes;
    ASSERT_EQ(lzh::buildHeader(sampleMember(), 2, bytes), lzh::BuildStatus::Ok);
    EXPECT_EQ(static_cast<unsigned char>(bytes[19]), 0x20);  // reserved byte
    EXPECT_EQ(bytes[23], 'M');                               // OS id
    EXPECT_EQ(static_cast<size_t>(static_cast<unsigned char>(bytes[0]) | (static_cast<unsigned char>(bytes[1]) << 8)),
        bytes.size());
    // The folder header ends with 0xFF.
    const auto dir = bytes.find(std::string("SUB\xFF", 4));
    ASSERT_NE(dir, std::string::npos);
    EXPECT_NE(bytes.find('\xFF', dir + 4), std::string::npos);
}

TEST(HeaderLevel2, LengthNeverAMultipleOf256)
{
    for (size_t length = 1; length < 600; ++length) {
        lzh::NewMember member = sampleMember();
        member.folders.clear();
        member.name = std::string(length, 'N');
        std::string bytes;
        ASSERT_EQ(lzh::buildHeader(member, 2, bytes), lzh::BuildStatus::Ok);
        ASSERT_NE(bytes.size() % 256, 0u) << length;
        lzh::MemberHeader header;
        ASSERT_EQ(readBack(bytes, header), HeaderStatus::Ok) << length;
        ASSERT_EQ(header.name, member.name);
    }
}

TEST(HeaderNames, NamesOutsideCp932KeepAUnicodeCopy)
{
    lzh::NewMember member = sampleMember();
    member.folders = {"Ελληνικά", "ok"};
    member.name = "emoji😀é.txt";
    for (int level : {1, 2}) {
        std::string bytes;
        ASSERT_EQ(lzh::buildHeader(member, level, bytes), lzh::BuildStatus::Ok);
        lzh::MemberHeader header;
        ASSERT_EQ(readBack(bytes, header), HeaderStatus::Ok);
        EXPECT_EQ(header.name, member.name) << level;
        EXPECT_EQ(header.folders, member.folders) << level;
    }
    EXPECT_FALSE(lzh::isExactInCp932("😀"));
    EXPECT_TRUE(lzh::isExactInCp932("表ソ能ｱｲｳ"));
}

TEST(HeaderNames, TooLongForLowLevels)
{
    lzh::NewMember member = sampleMember();
    member.name = std::string(240, 'L');
    std::string bytes;
    EXPECT_EQ(lzh::buildHeader(member, 0, bytes), lzh::BuildStatus::NameTooLong);
    EXPECT_EQ(lzh::buildHeader(member, 1, bytes), lzh::BuildStatus::NameTooLong);
    EXPECT_EQ(lzh::buildHeader(member, 2, bytes), lzh::BuildStatus::Ok);
}

TEST(HeaderLevel2, LargeSizesTravelInTheirExtension)
{
    lzh::NewMember member = sampleMember();
    member.largeSizes = true;
    member.originalSize = 5ull << 30;
    member.compressedSize = (5ull << 30) + 7;
    std::string bytes;
    ASSERT_EQ(lzh::buildHeader(member, 2, bytes), lzh::BuildStatus::Ok);
    lzh::MemberHeader header;
    ASSERT_EQ(readBack(bytes, header), HeaderStatus::Ok);
    EXPECT_EQ(header.originalSize, 5ull << 30);
    EXPECT_EQ(header.compressedSize, (5ull << 30) + 7);
    EXPECT_EQ(lzh::buildHeader(member, 1, bytes), lzh::BuildStatus::SizeTooLarge);
}

// ── Hostile headers ─────────────────────────────────────────────────────────

std::string validArchive()
{
    std::string bytes;
    lzh::NewMember member = sampleMember();
    member.method = lzh::Method::Stored;
    member.compressedSize = member.originalSize = 5;
    member.crc = lzh::crc16Update(0, "hello", 5);
    EXPECT_EQ(lzh::buildHeader(member, 2, bytes), lzh::BuildStatus::Ok);
    return bytes + "hello" + std::string(1, '\0');
}

int listCode(const std::string& bytes)
{
    archivers::MemoryReader reader(bytes.data(), bytes.size());
    lzh::Listing listing;
    std::string why;
    return lzh::listArchive(reader, listing, why);
}

void fixLevel2Crc(std::string& bytes)
{
    // Recompute the header CRC after a deliberate change, so that only the change is tested.
    const size_t total = static_cast<unsigned char>(bytes[0]) | (static_cast<unsigned char>(bytes[1]) << 8);
    size_t at = 24;
    while (at + 2 <= total) {
        const size_t size = static_cast<unsigned char>(bytes[at]) | (static_cast<unsigned char>(bytes[at + 1]) << 8);
        if (size == 0 || at + 2 + size > total + 2)
            return;
        if (bytes[at + 2] == 0) {
            bytes[at + 3] = bytes[at + 4] = 0;
            const std::uint16_t crc = lzh::crc16Update(0, bytes.data(), total);
            bytes[at + 3] = static_cast<char>(crc & 0xFF);
            bytes[at + 4] = static_cast<char>(crc >> 8);
            return;
        }
        at += size;
    }
}

TEST(HostileHeaders, EachFailsWithItsCode)
{
    EXPECT_EQ(listCode(validArchive()), 0);
    EXPECT_EQ(listCode(""), archivers::kErrorFileStyle);
    EXPECT_EQ(listCode("not an archive at all, just text"), archivers::kErrorFileStyle);

    std::string truncated = validArchive();
    truncated.resize(truncated.size() - 4);
    EXPECT_EQ(listCode(truncated), archivers::kErrorEof);

    std::string lyingSize = validArchive();
    lyingSize[7] = '\xFF'; // compressed size far past the end
    lyingSize[10] = '\x7F';
    fixLevel2Crc(lyingSize);
    EXPECT_EQ(listCode(lyingSize), archivers::kErrorEof);

    std::string badCrc = validArchive();
    badCrc[15] ^= 1; // time stamp changed, CRC not
    EXPECT_EQ(listCode(badCrc), archivers::kErrorHeaderCrc);

    std::string level9 = validArchive();
    level9[20] = 9;
    EXPECT_EQ(listCode(level9), archivers::kErrorUnknownLevel);

    // Extended header sizes 0, 1 and 2 where one is expected.
    for (int size : {1, 2}) {
        std::string loop = validArchive();
        loop[24] = static_cast<char>(size);
        loop[25] = 0;
        EXPECT_NE(listCode(loop), 0) << size;
    }
    // Header size smaller than its own fields.
    std::string tiny = validArchive();
    tiny[0] = 10;
    tiny[1] = 0;
    EXPECT_NE(listCode(tiny), 0);
}

TEST(HostileHeaders, Level1ExtensionChainsCannotLoop)
{
    // A level-1 header whose extension chain points at itself by size.
    std::string bytes;
    lzh::NewMember member = sampleMember();
    member.method = lzh::Method::Stored;
    member.compressedSize = member.originalSize = 0;
    ASSERT_EQ(lzh::buildHeader(member, 1, bytes), lzh::BuildStatus::Ok);
    std::string archive = bytes + std::string(1, '\0');
    archive[7] = '\x10'; // skip size larger than the extensions: extra data
    EXPECT_NE(listCode(archive), 0);
}

TEST(HostileHeaders, RandomCorruptionNeverCrashes)
{
    const std::string good = validArchive();
    std::mt19937 random(99);
    for (int round = 0; round < 3000; ++round) {
        std::string bad = good;
        const int flips = 1 + static_cast<int>(random() % 4);
        for (int k = 0; k < flips; ++k)
            bad[random() % bad.size()] = static_cast<char>(random());
        if (random() % 4 == 0)
            bad.resize(random() % bad.size());
        archivers::MemoryReader reader(bad.data(), bad.size());
        lzh::Listing listing;
        std::string why;
        if (lzh::listArchive(reader, listing, why) != 0)
            continue;
        for (const auto& member : listing.members) {
            std::uint64_t produced = 0;
            lzh::decodeMember(reader, member,
                [&](const unsigned char*, size_t n) { produced += n; return produced <= (1u << 20); }, nullptr, why);
        }
    }
}

} // namespace

// Entry names are Microsoft's CP932, byte for byte what Windows makes of
// them (tests/windows/modules_test.cpp checks the same bytes there): the
// wave dash and the other characters Shift-JIS tables disagree on, and an
// IBM extension kanji in its IBM row.
TEST(EntryNames, AreMicrosoftsShiftJis)
{
    const std::string name = "データ～－∥￢①髙＼";
    const std::string bytes = "\x83\x66\x81\x5b\x83\x5e\x81\x60\x81\x7c\x81\x61\x81\xca\x87\x40\xfb\xfc\x81\x5f";
    EXPECT_EQ(archivers::utf8ToCp932(name), bytes);
    EXPECT_EQ(archivers::cp932ToUtf8(bytes), name);
    // A character CP932 lacks is never given a look-alike.
    EXPECT_FALSE(archivers::utf8ToCp932("é.TXT"));
    EXPECT_FALSE(archivers::utf8ToCp932("한.TXT"));
    EXPECT_EQ(archivers::utf8ToCp932Closest("한글.TXT"), "__.TXT");
    // Bytes that are not CP932 (a lead byte without its trail) are refused.
    EXPECT_FALSE(archivers::cp932ToUtf8("\x83"));
}
