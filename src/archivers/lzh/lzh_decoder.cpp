// The -lh4-/-lh5-/-lh6-/-lh7- decoder. Whatever the data says, it reads no
// more than the member's compressed size and produces exactly its original size.
#include "lzh_codec.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "crc16.h"
#include "huffman.h"

namespace lzh {

namespace {

// Compressed bytes read per call.
constexpr size_t kReadChunk = 64 * 1024;

class BitReader {
public:
    BitReader(archivers::RandomReader& archive, std::uint64_t offset, std::uint64_t size)
        : m_archive(archive)
        , m_offset(offset)
        , m_left(size)
        , m_chunkSize(static_cast<size_t>(std::min<std::uint64_t>(size ? size : 1, kReadChunk)))
        , m_chunk(new unsigned char[m_chunkSize])
    {
    }

    // peek16: the next 16 bits (zero bits past the end of the stream).
    std::uint32_t peek16()
    {
        fill();
        return static_cast<std::uint32_t>((m_acc >> (m_bits - 16)) & 0xFFFF);
    }

    void skip(unsigned count)
    {
        fill();
        m_bits -= count;
        m_consumed += count;
    }

    std::uint32_t get(unsigned count)
    {
        if (count == 0)
            return 0;
        fill();
        const auto value = static_cast<std::uint32_t>((m_acc >> (m_bits - count)) & ((1u << count) - 1));
        m_bits -= count;
        m_consumed += count;
        return value;
    }

    // consumedBytes: the bytes of the stream the bits taken so far came from.
    std::uint64_t consumedBytes() const { return (m_consumed + 7) / 8; }

    // overrun: more bits were taken than the stream holds.
    bool overrun() const { return m_consumed > m_totalBits; }
    bool failed() const { return m_failed; }
    int error() const { return m_error; }

private:
    void fill()
    {
        while (m_bits <= 48) {
            if (m_at == m_have)
                load();
            const std::uint64_t byte = m_at < m_have ? m_chunk[m_at++] : 0;
            m_acc = (m_acc << 8) | byte;
            m_bits += 8;
        }
    }

    void load()
    {
        m_at = 0;
        m_have = 0;
        if (m_left == 0 || m_failed)
            return;
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(m_left, m_chunkSize));
        const long got = m_archive.readAt(m_offset, m_chunk.get(), want);
        if (got <= 0) {
            if (got < 0) {
                m_failed = true;
                m_error = m_archive.error();
            }
            m_left = 0;
            return;
        }
        m_have = static_cast<size_t>(got);
        m_offset += static_cast<std::uint64_t>(got);
        m_left -= static_cast<std::uint64_t>(got);
        m_totalBits += static_cast<std::uint64_t>(got) * 8;
    }

    archivers::RandomReader& m_archive;
    std::uint64_t m_offset;
    std::uint64_t m_left;
    size_t m_chunkSize;
    std::unique_ptr<unsigned char[]> m_chunk;
    size_t m_at = 0;
    size_t m_have = 0;
    std::uint64_t m_acc = 0;
    unsigned m_bits = 0;
    std::uint64_t m_consumed = 0;
    std::uint64_t m_totalBits = 0;
    bool m_failed = false;
    int m_error = 0;
};

// A length in the 3-bit form, 7 and more continued in unary.
bool readLength(BitReader& in, std::uint8_t& length)
{
    unsigned value = in.get(3);
    if (value == 7) {
        while (in.get(1)) {
            if (++value > kMaxCodeLength)
                return false;
        }
    }
    length = static_cast<std::uint8_t>(value);
    return true;
}

// The T or P table.
bool readLengthTable(BitReader& in, unsigned symbols, unsigned countBits, bool zeroField, DecodeTable& table)
{
    const unsigned count = in.get(countBits);
    if (count == 0) {
        const unsigned symbol = in.get(countBits);
        if (symbol >= symbols)
            return false;
        table.single(static_cast<std::uint16_t>(symbol));
        return true;
    }
    if (count > symbols)
        return false;
    std::vector<std::uint8_t> lengths(symbols, 0);
    unsigned i = 0;
    while (i < count) {
        if (!readLength(in, lengths[i++]))
            return false;
        if (zeroField && i == 3) {
            const unsigned zeros = in.get(2);
            if (i + zeros > count)
                return false;
            i += zeros;
        }
    }
    return table.build(lengths);
}

bool readLiteralTable(BitReader& in, const DecodeTable& lengthTable, DecodeTable& table)
{
    const unsigned count = in.get(kLiteralBits);
    if (count == 0) {
        const unsigned symbol = in.get(kLiteralBits);
        if (symbol >= kLiteralSymbols)
            return false;
        table.single(static_cast<std::uint16_t>(symbol));
        return true;
    }
    if (count > kLiteralSymbols)
        return false;
    std::vector<std::uint8_t> lengths(kLiteralSymbols, 0);
    unsigned i = 0;
    while (i < count) {
        const DecodeTable::Entry entry = lengthTable.lookup(in.peek16());
        if (entry.length == 0xFF)
            return false;
        in.skip(entry.length);
        unsigned zeros = 0;
        if (entry.symbol == 0)
            zeros = 1;
        else if (entry.symbol == 1)
            zeros = in.get(4) + 3;
        else if (entry.symbol == 2)
            zeros = in.get(9) + 20;
        else
            lengths[i++] = static_cast<std::uint8_t>(entry.symbol - 2);
        if (i + zeros > count)
            return false;
        i += zeros;
        if (in.overrun())
            return false;
    }
    return table.build(lengths);
}

} // namespace

CodecStatus decodeStream(Method method, archivers::RandomReader& archive, std::uint64_t offset,
                         std::uint64_t compressedSize, std::uint64_t originalSize,
                         const ByteConsumer& consume, archivers::Progress* progress,
                         const std::string& entry, std::uint16_t& crc, int& error,
                         const ExpansionCheck& allowed)
{
    crc = 0;
    error = 0;
    const StreamParameters parameters = streamParameters(method);
    const std::uint32_t window = 1u << parameters.dictionaryBits;
    // The ring holds the window and a whole chunk of output beyond it.
    constexpr std::uint32_t kOutChunk = 64 * 1024;
    // Only the window in front of the data must start as spaces.
    std::unique_ptr<unsigned char[]> ringBuffer(new unsigned char[window + kOutChunk + kMaxMatch]);
    unsigned char* ring = ringBuffer.get();
    std::memset(ring, 0x20, window);
    std::uint64_t produced = 0;
    std::uint32_t at = window; // ring[0, window) starts as spaces, as other readers do
    std::uint32_t flushedFrom = window;

    BitReader in(archive, offset, compressedSize);
    bool refused = false;
    auto flush = [&]() -> bool {
        const std::uint32_t count = at - flushedFrom;
        if (count == 0)
            return true;
        if (allowed && !allowed(produced, in.consumedBytes())) {
            refused = true;
            return false;
        }
        crc = crc16Update(crc, &ring[flushedFrom], count);
        if (!consume(&ring[flushedFrom], count))
            return false;
        if (progress && !progress->advance(count, entry))
            return false;
        // Keep the last window in front for later copies.
        std::memmove(ring, ring + (at - window), window);
        at = window;
        flushedFrom = window;
        return true;
    };

    auto stopped = [&]() {
        if (refused)
            return CodecStatus::Expands;
        return progress && progress->cancelled() ? CodecStatus::Cancelled : CodecStatus::WriteError;
    };
    DecodeTable lengthTable;
    DecodeTable literalTable;
    DecodeTable positionTable;
    unsigned blockLeft = 0;
    while (produced < originalSize) {
        if (blockLeft == 0) {
            blockLeft = in.get(16);
            if (in.failed()) {
                error = in.error();
                return CodecStatus::ReadError;
            }
            if (in.overrun())
                return CodecStatus::Truncated;
            if (blockLeft == 0)
                return CodecStatus::BadData;
            if (!readLengthTable(in, kLengthSymbols, kLengthBits, true, lengthTable)
                || !readLiteralTable(in, lengthTable, literalTable)
                || !readLengthTable(in, parameters.positionSymbols, parameters.positionBits, false, positionTable))
                return in.overrun() ? CodecStatus::Truncated : CodecStatus::BadTables;
        }
        const DecodeTable::Entry code = literalTable.lookup(in.peek16());
        if (code.length == 0xFF)
            return CodecStatus::BadData;
        in.skip(code.length);
        --blockLeft;
        if (code.symbol < 256) {
            ring[at++] = static_cast<unsigned char>(code.symbol);
            ++produced;
        } else {
            std::uint32_t length = code.symbol - 256 + kMinMatch;
            const DecodeTable::Entry slot = positionTable.lookup(in.peek16());
            if (slot.length == 0xFF)
                return CodecStatus::BadData;
            in.skip(slot.length);
            std::uint32_t distance = slot.symbol;
            if (slot.symbol > 1)
                distance = (1u << (slot.symbol - 1)) + in.get(slot.symbol - 1);
            if (distance >= window)
                return CodecStatus::BadData;
            length = static_cast<std::uint32_t>(std::min<std::uint64_t>(length, originalSize - produced));
            const std::uint32_t from = at - distance - 1;
            if (distance == 0) {
                std::memset(ring + at, ring[from], length); // a run of one byte
            } else if (distance + 1 >= length) {
                std::memcpy(ring + at, ring + from, length);
            } else {
                // The copy overlaps what it writes: repeat the period, doubling it.
                std::uint32_t done = distance + 1;
                std::memcpy(ring + at, ring + from, done);
                while (done < length) {
                    const std::uint32_t step = std::min(done, length - done);
                    std::memcpy(ring + at + done, ring + at, step);
                    done += step;
                }
            }
            at += length;
            produced += length;
        }
        if (in.overrun())
            return in.failed() ? CodecStatus::ReadError : CodecStatus::Truncated;
        if (at - window >= kOutChunk && !flush())
            return stopped();
    }
    if (!flush())
        return stopped();
    return CodecStatus::Ok;
}

} // namespace lzh
