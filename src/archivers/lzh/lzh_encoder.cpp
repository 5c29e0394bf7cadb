// The -lh5-/-lh6-/-lh7- encoder: hash-chain LZSS with one-step lazy matching,
// then static Huffman blocks.
#include "lzh_codec.h"

#include <algorithm>
#include <cstring>
#include <span>
#include <memory>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "crc16.h"
#include "huffman.h"

namespace lzh {

namespace {

// ═════════════════════════════════════════════════════════════════════════════
// Tuning
// ═════════════════════════════════════════════════════════════════════════════

// How hard the match finder looks. Longer chains find longer and nearer
// matches at the cost of speed. -lh5- is the everyday method and must keep
// pace with a disk drive: 32 candidates cost 0.1 % in size against 64 and
// 0.2 % against 128, and save a fifth of the time. -lh7- is the method chosen
// when size matters most.
struct Tuning {
    unsigned maxChain;   // candidates examined per position
    unsigned niceLength; // a match this long ends the search
    unsigned maxLazy;    // look for a better match at the next byte only below this length
    unsigned goodLength; // with a pending match this long, a quarter of the chain is enough
};

Tuning tuningFor(Method method)
{
    switch (method) {
    case Method::Lh5: return {32, 128, 24, 12};
    case Method::Lh6: return {512, 256, 128, 32};
    default: return {1024, 256, 256, 64};
    }
}

// Codes per block. A block carries its own tables (a few dozen bytes), so
// long blocks cost less; shorter ones follow changes in the data. On mixed
// disk contents 8192 measured 0.3 % smaller than 32768 and 0.5 % smaller
// than 65535, and 4096 no better.
constexpr size_t kBlockCodes = 8192;

// Hash of three bytes into at most this many chain heads; small files use
// fewer, so that clearing the heads costs little next to the file.
constexpr unsigned kMaxHashBits = 15;
constexpr unsigned kMinHashBits = 10;

// A file whose first stretch does not shrink is stored instead: already
// compressed pictures and archives would only cost time.
constexpr std::uint64_t kIncompressibleProbe = 256 * 1024;

// A match of the shortest length at a greater distance than this is coded
// as literals: its position needs more extra bits than three literals take.
constexpr unsigned kFarForShortest = 4096;

// Source bytes read per call.
constexpr size_t kReadChunk = 64 * 1024;

// The look-ahead buffer holds at least this much, even for small windows:
// sliding it costs a pass over the hash chains, so it should be rare.
constexpr size_t kMinBuffer = 256 * 1024;

// ═════════════════════════════════════════════════════════════════════════════
// Bit output, most significant bit first
// ═════════════════════════════════════════════════════════════════════════════

class BitWriter {
public:
    explicit BitWriter(archivers::ByteSink& sink) : m_sink(sink), m_bytes(new unsigned char[kCapacity]) {}

    // put: the low `count` bits of `value` (count <= 32).
    void put(std::uint32_t value, unsigned count)
    {
        m_acc = (m_acc << count) | (value & ((std::uint64_t{1} << count) - 1));
        m_bits += count;
        if (m_bits >= 32) {
            m_bits -= 32;
            const auto word = static_cast<std::uint32_t>(m_acc >> m_bits);
            m_bytes[m_size] = static_cast<unsigned char>(word >> 24);
            m_bytes[m_size + 1] = static_cast<unsigned char>(word >> 16);
            m_bytes[m_size + 2] = static_cast<unsigned char>(word >> 8);
            m_bytes[m_size + 3] = static_cast<unsigned char>(word);
            m_size += 4;
            m_acc &= (std::uint64_t{1} << m_bits) - 1;
        }
    }

    bool flush()
    {
        if (m_size < kFlushAt)
            return true;
        return drain();
    }

    // finish: pad the last byte with zero bits and write everything.
    bool finish()
    {
        while (m_bits >= 8) {
            m_bits -= 8;
            m_bytes[m_size++] = static_cast<unsigned char>(m_acc >> m_bits);
        }
        if (m_bits)
            m_bytes[m_size++] = static_cast<unsigned char>(m_acc << (8 - m_bits));
        m_bits = 0;
        m_acc = 0;
        return drain();
    }

    // written: whole bytes so far (the partial byte not counted).
    std::uint64_t written() const { return m_written + m_size + m_bits / 8; }

private:
    // A block of codes writes at most about 200 KB; the buffer is drained
    // after every block once it passes kFlushAt.
    static constexpr size_t kFlushAt = 64 * 1024;
    static constexpr size_t kCapacity = kFlushAt + 512 * 1024;

    bool drain()
    {
        if (m_size == 0)
            return true;
        if (!m_sink.write(m_bytes.get(), m_size))
            return false;
        m_written += m_size;
        m_size = 0;
        return true;
    }

    archivers::ByteSink& m_sink;
    std::unique_ptr<unsigned char[]> m_bytes;
    size_t m_size = 0;
    std::uint64_t m_acc = 0;
    unsigned m_bits = 0;
    std::uint64_t m_written = 0;
};

// ═════════════════════════════════════════════════════════════════════════════
// Blocks
// ═════════════════════════════════════════════════════════════════════════════

struct Token {
    std::uint16_t code;     // 0..255 literal, 256..509 match length - 3 + 256
    std::uint16_t distance; // distance - 1, for matches
};

// Symbol counts of the block being gathered, kept as tokens arrive.
struct BlockCounts {
    std::uint32_t literals[kLiteralSymbols] = {};
    std::uint32_t positions[24] = {};
};

// The position slot of a distance: its bit length (0 for distance 1).
unsigned positionSlot(unsigned distanceMinusOne)
{
    return distanceMinusOne ? 32u - static_cast<unsigned>(__builtin_clz(distanceMinusOne)) : 0u;
}

unsigned usedCount(const std::vector<std::uint8_t>& lengths, unsigned* last)
{
    unsigned used = 0;
    for (unsigned i = 0; i < lengths.size(); ++i)
        if (lengths[i]) {
            ++used;
            *last = i;
        }
    return used;
}

// One code length in the 3-bit form, lengths 7 and more as 7 + a unary count.
void putLength(BitWriter& out, unsigned length)
{
    if (length <= 6)
        out.put(length, 3);
    else
        out.put((1u << (length - 3)) - 2, length - 3);
}

// The T or P table: count, then lengths; after the third length of the T
// table, a 2-bit count of following zero lengths.
void putLengthTable(BitWriter& out, const std::vector<std::uint8_t>& lengths, unsigned countBits, bool zeroField)
{
    unsigned count = static_cast<unsigned>(lengths.size());
    while (count > 0 && lengths[count - 1] == 0)
        --count;
    out.put(count, countBits);
    unsigned i = 0;
    while (i < count) {
        putLength(out, lengths[i++]);
        if (zeroField && i == 3) {
            unsigned zeros = 0;
            while (zeros < 3 && i + zeros < count && lengths[i + zeros] == 0)
                ++zeros;
            out.put(zeros, 2);
            i += zeros;
        }
    }
}

struct LengthCode {
    std::uint8_t symbol;
    std::uint16_t extra;
    std::uint8_t extraBits;
};

// The C table's lengths as T symbols: 0 one zero, 1 a run of 3..18 zeros,
// 2 a run of 20..531 zeros, 3.. a length of symbol - 2.
std::vector<LengthCode> lengthCodes(const std::vector<std::uint8_t>& lengths, unsigned count)
{
    std::vector<LengthCode> codes;
    unsigned i = 0;
    while (i < count) {
        const unsigned length = lengths[i++];
        if (length) {
            codes.push_back({static_cast<std::uint8_t>(length + 2), 0, 0});
            continue;
        }
        unsigned run = 1;
        while (i < count && lengths[i] == 0) {
            ++run;
            ++i;
        }
        if (run <= 2) {
            for (unsigned k = 0; k < run; ++k)
                codes.push_back({0, 0, 0});
        } else if (run <= 18) {
            codes.push_back({1, static_cast<std::uint16_t>(run - 3), 4});
        } else if (run == 19) {
            codes.push_back({0, 0, 0});
            codes.push_back({1, 15, 4});
        } else {
            codes.push_back({2, static_cast<std::uint16_t>(run - 20), 9});
        }
    }
    return codes;
}

// A symbol's code and length in one word: code << 8 | length.
std::vector<std::uint32_t> packedCodes(const std::vector<std::uint8_t>& lengths, bool single)
{
    const std::vector<std::uint16_t> codes = canonicalCodes(lengths);
    std::vector<std::uint32_t> packed(lengths.size(), 0);
    if (!single)
        for (size_t i = 0; i < lengths.size(); ++i)
            packed[i] = (static_cast<std::uint32_t>(codes[i]) << 8) | lengths[i];
    return packed;
}

void writeBlock(BitWriter& out, const std::vector<Token>& tokens, const BlockCounts& counts,
                const StreamParameters& parameters)
{
    const std::span<const std::uint32_t> literalFrequency(counts.literals, kLiteralSymbols);
    const std::span<const std::uint32_t> positionFrequency(counts.positions, parameters.positionSymbols);

    out.put(static_cast<std::uint32_t>(tokens.size()), 16);

    const std::vector<std::uint8_t> literalLengths = buildCodeLengths(literalFrequency, kMaxCodeLength);
    unsigned lastLiteral = 0;
    const unsigned usedLiterals = usedCount(literalLengths, &lastLiteral);
    if (usedLiterals == 1) {
        // One symbol: both tables in their single-symbol form.
        out.put(0, kLengthBits);
        out.put(0, kLengthBits);
        out.put(0, kLiteralBits);
        out.put(lastLiteral, kLiteralBits);
    } else {
        const std::vector<LengthCode> codes = lengthCodes(literalLengths, lastLiteral + 1);
        std::vector<std::uint32_t> lengthFrequency(kLengthSymbols, 0);
        for (const LengthCode& code : codes)
            lengthFrequency[code.symbol]++;
        const std::vector<std::uint8_t> tLengths = buildCodeLengths(lengthFrequency, kMaxCodeLength);
        unsigned lastT = 0;
        const unsigned usedT = usedCount(tLengths, &lastT);
        if (usedT == 1) {
            out.put(0, kLengthBits);
            out.put(lastT, kLengthBits);
        } else {
            putLengthTable(out, tLengths, kLengthBits, true);
        }
        const std::vector<std::uint16_t> tCodes = canonicalCodes(tLengths);
        out.put(lastLiteral + 1, kLiteralBits);
        for (const LengthCode& code : codes) {
            if (usedT > 1)
                out.put(tCodes[code.symbol], tLengths[code.symbol]);
            out.put(code.extra, code.extraBits);
        }
    }

    const std::vector<std::uint8_t> positionLengths = buildCodeLengths(positionFrequency, kMaxCodeLength);
    unsigned lastPosition = 0;
    const unsigned usedPositions = usedCount(positionLengths, &lastPosition);
    if (usedPositions <= 1) {
        out.put(0, parameters.positionBits);
        out.put(usedPositions ? lastPosition : 0, parameters.positionBits);
    } else {
        putLengthTable(out, positionLengths, parameters.positionBits, false);
    }

    // Single-symbol tables take no bits per code: their packed entries are 0.
    const std::vector<std::uint32_t> literalCodes = packedCodes(literalLengths, usedLiterals == 1);
    const std::vector<std::uint32_t> positionCodes = packedCodes(positionLengths, usedPositions <= 1);
    for (const Token& token : tokens) {
        const std::uint32_t literal = literalCodes[token.code];
        if (token.code < 256) {
            out.put(literal >> 8, literal & 0xFF);
            continue;
        }
        const unsigned slot = positionSlot(token.distance);
        const std::uint32_t position = positionCodes[slot];
        const unsigned extraBits = slot > 1 ? slot - 1 : 0;
        // Position code and extra bits together: at most 16 + 15 bits.
        const std::uint32_t extra = extraBits ? token.distance - (1u << extraBits) : 0;
        out.put(literal >> 8, literal & 0xFF);
        out.put(((position >> 8) << extraBits) | extra, (position & 0xFF) + extraBits);
    }
}

// ═════════════════════════════════════════════════════════════════════════════
// Match finding
// ═════════════════════════════════════════════════════════════════════════════

// Buffers kept from one file to the next in a thread.
struct Workspace {
    std::vector<unsigned char> buffer;
    std::vector<std::int32_t> head;
    std::vector<std::int32_t> prev;
    std::vector<Token> tokens;
};

Workspace& workspace(size_t bufferSize, unsigned hashBits)
{
    thread_local Workspace space;
    if (space.buffer.size() < bufferSize) {
        space.buffer.resize(bufferSize);
        space.prev.resize(bufferSize);
    }
    space.head.assign(size_t{1} << hashBits, -1);
    space.tokens.clear();
    space.tokens.reserve(kBlockCodes);
    return space;
}

unsigned hashBitsFor(std::uint64_t sizeHint)
{
    unsigned bits = kMinHashBits;
    while (bits < kMaxHashBits && (std::uint64_t{1} << bits) < sizeHint)
        ++bits;
    return bits;
}

class Encoder {
public:
    Encoder(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
            archivers::Progress& progress, const std::string& entry, EncodeResult& result, std::uint64_t sizeHint)
        : m_parameters(streamParameters(method))
        , m_tuning(tuningFor(method))
        , m_window(1u << m_parameters.dictionaryBits)
        , m_bufferSize(std::max<size_t>(2 * m_window, kMinBuffer) + 2 * kMaxMatch)
        , m_hashBits(hashBitsFor(sizeHint))
        , m_space(workspace(m_bufferSize, m_hashBits))
        , m_buffer(m_space.buffer)
        , m_head(m_space.head)
        , m_prev(m_space.prev)
        , m_tokens(m_space.tokens)
        , m_source(source)
        , m_out(sink)
        , m_progress(progress)
        , m_entry(entry)
        , m_result(result)
    {
    }

    CodecStatus run();

private:
    std::uint32_t hashAt(std::int64_t pos) const
    {
        const unsigned char* p = &m_buffer[static_cast<size_t>(pos)];
        const std::uint32_t three = static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8)
            | (static_cast<std::uint32_t>(p[2]) << 16);
        return (three * 2654435761u) >> (32 - m_hashBits);
    }

    void insert(std::int64_t pos)
    {
        if (pos + 2 >= m_end)
            return;
        insertHashed(pos, hashAt(pos));
    }

    void insertHashed(std::int64_t pos, std::uint32_t hash)
    {
        m_prev[static_cast<size_t>(pos)] = m_head[hash];
        m_head[hash] = static_cast<std::int32_t>(pos);
    }

    // Longest match for `pos` (whose hash is `hash`) among earlier positions
    // in the window.
    unsigned findMatch(std::int64_t pos, std::uint32_t hash, unsigned pendingLength, unsigned* distance) const
    {
        const unsigned limit = static_cast<unsigned>(std::min<std::int64_t>(kMaxMatch, m_end - pos));
        if (limit < kMinMatch)
            return 0;
        unsigned best = kMinMatch - 1;
        unsigned chain = pendingLength >= m_tuning.goodLength ? m_tuning.maxChain / 4 : m_tuning.maxChain;
        const unsigned char* here = &m_buffer[static_cast<size_t>(pos)];
        for (std::int32_t candidate = m_head[hash]; candidate >= 0 && chain-- > 0;
             candidate = m_prev[static_cast<size_t>(candidate)]) {
            const std::int64_t gap = pos - candidate;
            if (gap > static_cast<std::int64_t>(m_window) || gap <= 0)
                break;
            const unsigned char* there = &m_buffer[static_cast<size_t>(candidate)];
            if (there[best] != here[best] || there[0] != here[0] || there[1] != here[1])
                continue;
            unsigned length = 2;
            // Eight bytes at a time, then the rest one by one.
            while (length + 8 <= limit) {
                std::uint64_t a, b;
                std::memcpy(&a, there + length, 8);
                std::memcpy(&b, here + length, 8);
                if (a != b) {
                    length += static_cast<unsigned>(__builtin_ctzll(a ^ b) / 8);
                    goto measured;
                }
                length += 8;
            }
            while (length < limit && there[length] == here[length])
                ++length;
        measured:
            if (length > best) {
                best = length;
                *distance = static_cast<unsigned>(gap);
                if (length >= m_tuning.niceLength || length == limit)
                    break;
            }
        }
        // A shortest match far back costs more bits than its three literals.
        if (best == kMinMatch && *distance > kFarForShortest)
            return 0;
        return best >= kMinMatch ? best : 0;
    }

    // Reads more source so that a whole match fits after `m_pos`.
    CodecStatus refill()
    {
        if (m_eof || m_end - m_pos >= static_cast<std::int64_t>(kMaxMatch + kMinMatch))
            return CodecStatus::Ok;
        if (m_end == static_cast<std::int64_t>(m_bufferSize))
            slide();
        while (!m_eof && m_end < static_cast<std::int64_t>(m_bufferSize)) {
            const size_t room = std::min(kReadChunk, m_bufferSize - static_cast<size_t>(m_end));
            const long got = m_source.read(&m_buffer[static_cast<size_t>(m_end)], room);
            if (got < 0) {
                m_result.error = m_source.error();
                return CodecStatus::ReadError;
            }
            if (got == 0) {
                m_eof = true;
                break;
            }
            m_result.crc = crc16Update(m_result.crc, &m_buffer[static_cast<size_t>(m_end)], static_cast<size_t>(got));
            m_result.originalSize += static_cast<std::uint64_t>(got);
            m_end += got;
            if (!m_progress.advance(static_cast<std::uint64_t>(got), m_entry))
                return CodecStatus::Cancelled;
        }
        return CodecStatus::Ok;
    }

    // Drops all but the last window before `m_pos`.
    void slide()
    {
        const std::int64_t shift = m_pos - static_cast<std::int64_t>(m_window);
        if (shift <= 0)
            return;
        std::memmove(m_buffer.data(), m_buffer.data() + shift, static_cast<size_t>(m_end - shift));
        std::memmove(m_prev.data(), m_prev.data() + shift, static_cast<size_t>(m_end - shift) * sizeof(std::int32_t));
        auto rebase = [shift](std::int32_t& value) {
            value = value >= shift ? static_cast<std::int32_t>(value - shift) : -1;
        };
        std::for_each(m_head.begin(), m_head.end(), rebase);
        std::for_each(m_prev.begin(), m_prev.begin() + (m_end - shift), rebase);
        m_end -= shift;
        m_pos -= shift;
    }

    CodecStatus emit(std::uint16_t code, std::uint16_t distance, unsigned covered)
    {
        m_tokens.push_back({code, distance});
        m_counts.literals[code]++;
        if (code >= 256)
            m_counts.positions[positionSlot(distance)]++;
        m_coded += covered;
        if (m_tokens.size() < kBlockCodes)
            return CodecStatus::Ok;
        return flushBlock();
    }

    CodecStatus flushBlock()
    {
        if (m_tokens.empty())
            return CodecStatus::Ok;
        writeBlock(m_out, m_tokens, m_counts, m_parameters);
        m_tokens.clear();
        m_counts = BlockCounts{};
        if (!m_out.flush())
            return CodecStatus::WriteError;
        if (!m_probed && m_coded >= kIncompressibleProbe) {
            m_probed = true;
            if (m_out.written() >= m_coded)
                return CodecStatus::Incompressible;
        }
        return CodecStatus::Ok;
    }

    CodecStatus literal(std::int64_t at) { return emit(m_buffer[static_cast<size_t>(at)], 0, 1); }
    CodecStatus match(unsigned length, unsigned distance)
    {
        return emit(static_cast<std::uint16_t>(length - kMinMatch + 256), static_cast<std::uint16_t>(distance - 1),
            length);
    }

    StreamParameters m_parameters;
    Tuning m_tuning;
    unsigned m_window;
    size_t m_bufferSize;
    unsigned m_hashBits;
    Workspace& m_space;
    std::vector<unsigned char>& m_buffer;
    std::vector<std::int32_t>& m_head;
    std::vector<std::int32_t>& m_prev;
    std::vector<Token>& m_tokens;
    std::int64_t m_pos = 0;
    std::int64_t m_end = 0;
    bool m_eof = false;
    std::uint64_t m_coded = 0;
    bool m_probed = false;
    BlockCounts m_counts;
    archivers::ByteSource& m_source;
    BitWriter m_out;
    archivers::Progress& m_progress;
    const std::string& m_entry;
    EncodeResult& m_result;
};

#define CHECK(call)                                  \
    do {                                             \
        const CodecStatus status_ = (call);          \
        if (status_ != CodecStatus::Ok)              \
            return status_;                          \
    } while (false)

CodecStatus Encoder::run()
{
    bool pending = false; // a match or literal found at m_pos - 1 waits for a better one
    unsigned pendingLength = 0;
    unsigned pendingDistance = 0;
    for (;;) {
        CHECK(refill());
        if (m_pos >= m_end)
            break;
        unsigned distance = 0;
        unsigned length = 0;
        if (m_pos + 2 < m_end) {
            const std::uint32_t hash = hashAt(m_pos);
            if (!pending || pendingLength < m_tuning.maxLazy)
                length = findMatch(m_pos, hash, pending ? pendingLength : 0, &distance);
            insertHashed(m_pos, hash);
        }
        if (pending && pendingLength >= kMinMatch && length <= pendingLength) {
            CHECK(match(pendingLength, pendingDistance));
            const std::int64_t last = m_pos - 1 + pendingLength;
            for (std::int64_t at = m_pos + 1; at < last; ++at)
                insert(at);
            m_pos = last;
            pending = false;
            continue;
        }
        if (pending)
            CHECK(literal(m_pos - 1));
        pending = true;
        pendingLength = length;
        pendingDistance = distance;
        ++m_pos;
    }
    if (pending) {
        if (pendingLength >= kMinMatch)
            CHECK(match(pendingLength, pendingDistance));
        else
            CHECK(literal(m_pos - 1));
    }
    CHECK(flushBlock());
    if (!m_out.finish())
        return CodecStatus::WriteError;
    m_result.compressedSize = m_out.written();
    return CodecStatus::Ok;
}

} // namespace

CodecStatus encodeStream(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
                         archivers::Progress& progress, const std::string& entry, EncodeResult& result,
                         std::uint64_t sizeHint)
{
    result = EncodeResult{};
    Encoder encoder(method, source, sink, progress, entry, result, sizeHint);
    const CodecStatus status = encoder.run();
    if (status == CodecStatus::WriteError)
        result.error = sink.error();
    return status;
}

} // namespace lzh
