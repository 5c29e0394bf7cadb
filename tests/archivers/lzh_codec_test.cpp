// The -lh5-/-lh6-/-lh7- codec: CRC, Huffman tables, known streams, round trips.
#include "lzh_codec.h"

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "crc16.h"
#include "huffman.h"

namespace {

using lzh::Method;

class MemorySource : public archivers::ByteSource {
public:
    explicit MemorySource(std::string data, size_t chunk = 1 << 20) : m_data(std::move(data)), m_chunk(chunk) {}
    long read(void* buffer, size_t size) override
    {
        const size_t count = std::min({size, m_chunk, m_data.size() - m_at});
        std::memcpy(buffer, m_data.data() + m_at, count);
        m_at += count;
        return static_cast<long>(count);
    }
    int error() const override { return 0; }

private:
    std::string m_data;
    size_t m_chunk;
    size_t m_at = 0;
};

class MemorySink : public archivers::ByteSink {
public:
    bool write(const void* data, size_t size) override
    {
        bytes.append(static_cast<const char*>(data), size);
        return true;
    }
    bool writeAt(std::uint64_t offset, const void* data, size_t size) override
    {
        bytes.replace(offset, size, static_cast<const char*>(data), size);
        return true;
    }
    bool truncate(std::uint64_t size) override
    {
        bytes.resize(size);
        return true;
    }
    bool flush() override { return true; }
    std::uint64_t position() const override { return bytes.size(); }
    int error() const override { return 0; }
    std::string bytes;
};

std::string encode(Method method, const std::string& data, size_t chunk = 1 << 20)
{
    MemorySource source(data, chunk);
    MemorySink sink;
    archivers::Progress progress;
    lzh::EncodeResult result;
    EXPECT_EQ(lzh::encodeStream(method, source, sink, progress, "x", result), lzh::CodecStatus::Ok);
    EXPECT_EQ(result.originalSize, data.size());
    EXPECT_EQ(result.compressedSize, sink.bytes.size());
    EXPECT_EQ(result.crc, lzh::crc16Update(0, data.data(), data.size()));
    return sink.bytes;
}

lzh::CodecStatus decode(Method method, const std::string& stream, std::uint64_t size, std::string& out)
{
    archivers::MemoryReader reader(stream.data(), stream.size());
    std::uint16_t crc = 0;
    int error = 0;
    out.clear();
    return lzh::decodeStream(method, reader, 0, stream.size(), size,
        [&](const unsigned char* data, size_t count) {
            out.append(reinterpret_cast<const char*>(data), count);
            return true;
        },
        nullptr, "x", crc, error);
}

TEST(Crc16, KnownValues)
{
    EXPECT_EQ(lzh::crc16Update(0, "123456789", 9), 0xBB3D);
    EXPECT_EQ(lzh::crc16Update(0, "", 0), 0x0000);
    EXPECT_EQ(lzh::crc16Update(0, "A", 1), 0x30C0);
    // Piecewise equals whole.
    EXPECT_EQ(lzh::crc16Update(lzh::crc16Update(0, "1234", 4), "56789", 5), 0xBB3D);
}

TEST(Huffman, LengthsFormCompleteCodesWithinTheLimit)
{
    std::mt19937 random(1);
    for (int round = 0; round < 200; ++round) {
        const size_t symbols = 2 + random() % 509;
        std::vector<std::uint32_t> frequencies(symbols);
        for (auto& f : frequencies) {
            // Skewed, often zero, sometimes Fibonacci-like to force deep trees.
            f = random() % 3 == 0 ? 0 : (1u << (random() % 24)) + random() % 7;
        }
        frequencies[0] = 1;
        frequencies[1] = 1;
        const auto lengths = lzh::buildCodeLengths(frequencies, 16);
        std::uint64_t kraft = 0;
        for (size_t i = 0; i < symbols; ++i) {
            ASSERT_LE(lengths[i], 16);
            ASSERT_EQ(lengths[i] == 0, frequencies[i] == 0) << i;
            if (lengths[i])
                kraft += std::uint64_t{1} << (16 - lengths[i]);
        }
        ASSERT_EQ(kraft, 1u << 16) << "incomplete or over-full code in round " << round;
    }
}

TEST(Huffman, CanonicalCodesOrderByLengthThenSymbol)
{
    const std::vector<std::uint8_t> lengths{2, 1, 3, 3};
    const auto codes = lzh::canonicalCodes(lengths);
    EXPECT_EQ(codes[1], 0b0);
    EXPECT_EQ(codes[0], 0b10);
    EXPECT_EQ(codes[2], 0b110);
    EXPECT_EQ(codes[3], 0b111);
}

TEST(Huffman, OverFullLengthsAreRefused)
{
    lzh::DecodeTable table;
    EXPECT_FALSE(table.build(std::vector<std::uint8_t>{1, 1, 1}));
    EXPECT_FALSE(table.build(std::vector<std::uint8_t>{17, 1}));
    EXPECT_TRUE(table.build(std::vector<std::uint8_t>{1, 0, 0})); // incomplete: allowed, fails on use
}

TEST(Lh5Stream, SingleSymbolTablesUseTheirShortForm)
{
    // One byte: one block, T and C and P tables in their single-symbol form.
    EXPECT_EQ(encode(Method::Lh5, "A"), std::string("\x00\x01\x00\x00\x04\x10\x00", 7));
    std::string out;
    EXPECT_EQ(decode(Method::Lh5, std::string("\x00\x01\x00\x00\x04\x10\x00", 7), 1, out), lzh::CodecStatus::Ok);
    EXPECT_EQ(out, "A");
    // A stream made by another encoder for "AB".
    EXPECT_EQ(decode(Method::Lh5, std::string("\x00\x02\x20\x04\x24\x30\xB7\x00\x40", 9), 2, out), lzh::CodecStatus::Ok);
    EXPECT_EQ(out, "AB");
}

struct RoundTrip {
    const char* name;
    std::string data;
};

std::vector<RoundTrip> roundTripData()
{
    std::mt19937 random(42);
    auto randomBytes = [&](size_t size) {
        std::string s(size, '\0');
        for (auto& c : s)
            c = static_cast<char>(random());
        return s;
    };
    std::string text;
    while (text.size() < 300000)
        text += "The quick brown fox " + std::to_string(random() % 1000) + " jumps over the lazy dog.\n";
    std::string far;
    // A repeat exactly one window back for each method, and one just beyond.
    const std::string head = randomBytes(300);
    far = head + randomBytes(65536 - 300) + head + randomBytes(100);
    return {
        {"empty", ""},
        {"one", "x"},
        {"two", "xy"},
        {"three", "xyz"},
        {"run", std::string(1000, 'a')},
        {"maxmatch", std::string(256 + 3, 'b') + "c" + std::string(257, 'b')},
        {"zeros70000", std::string(70000, '\0')},
        {"random5000", randomBytes(5000)},
        {"random200k", randomBytes(200000)},
        {"text", text},
        {"window8k", randomBytes(8192) + randomBytes(0) + std::string(8192, 'q')},
        {"farrepeat", far},
    };
}

std::string roundTripName(Method method, int row)
{
    const std::string prefix = method == Method::Lh5 ? "lh5_" : method == Method::Lh6 ? "lh6_" : "lh7_";
    return prefix + roundTripData()[static_cast<size_t>(row)].name;
}

class CodecRoundTrip : public ::testing::TestWithParam<std::tuple<Method, int>> {};

TEST_P(CodecRoundTrip, DecodesToTheSameBytes)
{
    const Method method = std::get<0>(GetParam());
    const RoundTrip row = roundTripData()[static_cast<size_t>(std::get<1>(GetParam()))];
    for (size_t chunk : {size_t{1} << 20, size_t{4097}}) {
        const std::string stream = encode(method, row.data, chunk);
        std::string out;
        ASSERT_EQ(decode(method, stream, row.data.size(), out), lzh::CodecStatus::Ok) << row.name;
        ASSERT_EQ(out, row.data) << row.name;
    }
}

INSTANTIATE_TEST_SUITE_P(All, CodecRoundTrip,
    ::testing::Combine(::testing::Values(Method::Lh5, Method::Lh6, Method::Lh7), ::testing::Range(0, 12)),
    [](const auto& info) { return roundTripName(std::get<0>(info.param), std::get<1>(info.param)); });

TEST(LhStream, CompressesRedundantData)
{
    const std::string stream = encode(Method::Lh7, std::string(1 << 20, 'z'));
    EXPECT_LT(stream.size(), 2000u);
}

// A run of one byte takes no bits per code once its tables have one symbol;
// past the stream's first block, ours keep to 1 MiB per block of 52 bits, so
// that a zero-filled file of any size stays far within the bomb limit
// (1,000,000:1) at every point of its decoding, as a reader checks it.
TEST(LhStream, RunsOfOneByteStayFarWithinTheBombRatio)
{
    const std::uint64_t size = 24u << 20;
    const std::string zeros(size, '\0');
    const std::string stream = encode(Method::Lh5, zeros);
    archivers::MemoryReader reader(stream.data(), stream.size());
    std::uint16_t crc = 0;
    int error = 0;
    std::uint64_t delivered = 0;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> checks; // produced, consumed
    const auto status = lzh::decodeStream(Method::Lh5, reader, 0, stream.size(), size,
        [&](const unsigned char*, size_t count) {
            delivered += count;
            return true;
        },
        nullptr, "x", crc, error,
        [&](std::uint64_t produced, std::uint64_t consumed) {
            checks.emplace_back(produced, consumed);
            return true;
        });
    ASSERT_EQ(status, lzh::CodecStatus::Ok);
    EXPECT_EQ(delivered, size);
    EXPECT_EQ(crc, lzh::crc16Update(0, zeros.data(), zeros.size()));
    ASSERT_FALSE(checks.empty());
    EXPECT_EQ(checks.back().first, size);
    EXPECT_LE(checks.back().second, stream.size());
    // From the end of the first block (at most 65,535 codes of 256 bytes) on.
    const auto from = std::find_if(checks.begin(), checks.end(),
        [](const auto& check) { return check.first > 65535u * 256; });
    ASSERT_NE(from, checks.end());
    for (auto at = from; at != checks.end(); ++at) {
        const std::uint64_t produced = at->first - from->first;
        const std::uint64_t consumed = at->second - from->second;
        // 1 MiB per 6.5 bytes of tables: 161,000:1, and the block under way.
        EXPECT_LE(produced, 200000 * consumed + (2u << 20)) << produced << " from " << consumed;
    }
}

TEST(LhStream, DamagedStreamsFailCleanly)
{
    std::string text;
    for (int i = 0; i < 20000; ++i)
        text += std::to_string(i * i) + ",";
    const std::string stream = encode(Method::Lh5, text);
    std::string out;
    // Cut short.
    EXPECT_NE(decode(Method::Lh5, stream.substr(0, stream.size() / 2), text.size(), out), lzh::CodecStatus::Ok);
    // A larger size than the stream holds.
    EXPECT_NE(decode(Method::Lh5, stream, text.size() + 100000, out), lzh::CodecStatus::Ok);
    // A zero block count.
    EXPECT_EQ(decode(Method::Lh5, std::string(16, '\0'), 10, out), lzh::CodecStatus::BadData);
    // Every single-byte corruption either fails or decodes to exactly the stated size.
    std::mt19937 random(3);
    for (int round = 0; round < 300; ++round) {
        std::string bad = stream;
        bad[random() % bad.size()] ^= static_cast<char>(1 + random() % 255);
        const auto status = decode(Method::Lh5, bad, text.size(), out);
        if (status == lzh::CodecStatus::Ok) {
            ASSERT_EQ(out.size(), text.size());
        }
    }
}

} // namespace
