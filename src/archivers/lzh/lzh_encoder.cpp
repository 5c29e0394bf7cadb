// The -lh5-/-lh6-/-lh7- encoder: hash-chain LZSS with one-step lazy matching,
// then static Huffman blocks.
#include "lzh_codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "crc16.h"
#include "huffman.h"

namespace lzh {

namespace {

// ═════════════════════════════════════════════════════════════════════════════
// Tuning
// ═════════════════════════════════════════════════════════════════════════════

// How hard the match finder looks. Longer chains find longer and nearer
// matches at the cost of speed; -lh5- has a small window, so its chains are
// short anyway, and -lh7- is the method chosen when size matters most.
struct Tuning {
    unsigned maxChain;   // candidates examined per position
    unsigned niceLength; // a match this long ends the search
    unsigned maxLazy;    // look for a better match at the next byte only below this length
};

Tuning tuningFor(Method method)
{
    switch (method) {
    case Method::Lh5: return {128, 128, 32};
    case Method::Lh6: return {512, 256, 128};
    default: return {1024, 256, 256};
    }
}

// Codes per block. A block carries its own tables (a few dozen bytes), so
// long blocks cost less; shorter ones follow changes in the data. This is the
// middle that measured best on mixed disk contents.
constexpr size_t kBlockCodes = 32768;

// Hash of three bytes into this many chain heads.
constexpr unsigned kHashBits = 15;

// Source bytes read per call.
constexpr size_t kReadChunk = 64 * 1024;

// ═════════════════════════════════════════════════════════════════════════════
// Bit output, most significant bit first
// ═════════════════════════════════════════════════════════════════════════════

class BitWriter {
public:
    explicit BitWriter(archivers::ByteSink& sink) : m_sink(sink) { m_bytes.reserve(kFlushAt + 16); }

    void put(std::uint32_t value, unsigned count)
    {
        if (count == 0)
            return;
        m_acc = (m_acc << count) | (value & ((std::uint64_t{1} << count) - 1));
        m_bits += count;
        while (m_bits >= 8) {
            m_bits -= 8;
            m_bytes.push_back(static_cast<unsigned char>(m_acc >> m_bits));
        }
        m_acc &= (std::uint64_t{1} << m_bits) - 1;
    }

    bool flush()
    {
        if (m_bytes.size() < kFlushAt)
            return true;
        return drain();
    }

    // finish: pad the last byte with zero bits and write everything.
    bool finish()
    {
        if (m_bits)
            put(0, 8 - m_bits);
        return drain();
    }

    std::uint64_t written() const { return m_written + m_bytes.size(); }

private:
    static constexpr size_t kFlushAt = 64 * 1024;

    bool drain()
    {
        if (m_bytes.empty())
            return true;
        if (!m_sink.write(m_bytes.data(), m_bytes.size()))
            return false;
        m_written += m_bytes.size();
        m_bytes.clear();
        return true;
    }

    archivers::ByteSink& m_sink;
    std::vector<unsigned char> m_bytes;
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

unsigned positionSlot(unsigned distanceMinusOne)
{
    unsigned slot = 0;
    while (distanceMinusOne) {
        ++slot;
        distanceMinusOne >>= 1;
    }
    return slot;
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

void writeBlock(BitWriter& out, const std::vector<Token>& tokens, const StreamParameters& parameters)
{
    std::vector<std::uint32_t> literalFrequency(kLiteralSymbols, 0);
    std::vector<std::uint32_t> positionFrequency(parameters.positionSymbols, 0);
    for (const Token& token : tokens) {
        literalFrequency[token.code]++;
        if (token.code >= 256)
            positionFrequency[positionSlot(token.distance)]++;
    }

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

    const std::vector<std::uint16_t> literalCodes = canonicalCodes(literalLengths);
    const std::vector<std::uint16_t> positionCodes = canonicalCodes(positionLengths);
    for (const Token& token : tokens) {
        if (usedLiterals > 1)
            out.put(literalCodes[token.code], literalLengths[token.code]);
        if (token.code < 256)
            continue;
        const unsigned slot = positionSlot(token.distance);
        if (usedPositions > 1)
            out.put(positionCodes[slot], positionLengths[slot]);
        if (slot > 1)
            out.put(token.distance - (1u << (slot - 1)), slot - 1);
    }
}

// ═════════════════════════════════════════════════════════════════════════════
// Match finding
// ═════════════════════════════════════════════════════════════════════════════

class Encoder {
public:
    Encoder(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
            archivers::Progress& progress, const std::string& entry, EncodeResult& result)
        : m_parameters(streamParameters(method))
        , m_tuning(tuningFor(method))
        , m_window(1u << m_parameters.dictionaryBits)
        , m_bufferSize(2 * m_window + 2 * kMaxMatch)
        , m_buffer(m_bufferSize)
        , m_head(1u << kHashBits, -1)
        , m_prev(m_bufferSize, -1)
        , m_source(source)
        , m_out(sink)
        , m_progress(progress)
        , m_entry(entry)
        , m_result(result)
    {
        m_tokens.reserve(kBlockCodes);
    }

    CodecStatus run();

private:
    std::uint32_t hashAt(std::int64_t pos) const
    {
        const unsigned char* p = &m_buffer[static_cast<size_t>(pos)];
        return ((static_cast<std::uint32_t>(p[0]) << 10) ^ (static_cast<std::uint32_t>(p[1]) << 5) ^ p[2])
            & ((1u << kHashBits) - 1);
    }

    void insert(std::int64_t pos)
    {
        if (pos + 2 >= m_end)
            return;
        const std::uint32_t hash = hashAt(pos);
        m_prev[static_cast<size_t>(pos)] = m_head[hash];
        m_head[hash] = static_cast<std::int32_t>(pos);
    }

    // Longest match for `pos` among earlier positions in the window.
    unsigned findMatch(std::int64_t pos, unsigned* distance) const
    {
        const unsigned limit = static_cast<unsigned>(std::min<std::int64_t>(kMaxMatch, m_end - pos));
        if (limit < kMinMatch)
            return 0;
        unsigned best = kMinMatch - 1;
        unsigned chain = m_tuning.maxChain;
        const unsigned char* here = &m_buffer[static_cast<size_t>(pos)];
        for (std::int32_t candidate = m_head[hashAt(pos)]; candidate >= 0 && chain-- > 0;
             candidate = m_prev[static_cast<size_t>(candidate)]) {
            const std::int64_t gap = pos - candidate;
            if (gap > static_cast<std::int64_t>(m_window) || gap <= 0)
                break;
            const unsigned char* there = &m_buffer[static_cast<size_t>(candidate)];
            if (there[best] != here[best] || there[0] != here[0] || there[1] != here[1])
                continue;
            unsigned length = 2;
            while (length < limit && there[length] == here[length])
                ++length;
            if (length > best) {
                best = length;
                *distance = static_cast<unsigned>(gap);
                if (length >= m_tuning.niceLength || length == limit)
                    break;
            }
        }
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

    CodecStatus emit(std::uint16_t code, std::uint16_t distance)
    {
        m_tokens.push_back({code, distance});
        if (m_tokens.size() < kBlockCodes)
            return CodecStatus::Ok;
        return flushBlock();
    }

    CodecStatus flushBlock()
    {
        if (m_tokens.empty())
            return CodecStatus::Ok;
        writeBlock(m_out, m_tokens, m_parameters);
        m_tokens.clear();
        if (!m_out.flush())
            return CodecStatus::WriteError;
        return CodecStatus::Ok;
    }

    CodecStatus literal(std::int64_t at) { return emit(m_buffer[static_cast<size_t>(at)], 0); }
    CodecStatus match(unsigned length, unsigned distance)
    {
        return emit(static_cast<std::uint16_t>(length - kMinMatch + 256), static_cast<std::uint16_t>(distance - 1));
    }

    StreamParameters m_parameters;
    Tuning m_tuning;
    unsigned m_window;
    size_t m_bufferSize;
    std::vector<unsigned char> m_buffer;
    std::vector<std::int32_t> m_head;
    std::vector<std::int32_t> m_prev;
    std::int64_t m_pos = 0;
    std::int64_t m_end = 0;
    bool m_eof = false;
    std::vector<Token> m_tokens;
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
        if (!pending || pendingLength < m_tuning.maxLazy)
            length = findMatch(m_pos, &distance);
        insert(m_pos);
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
                         archivers::Progress& progress, const std::string& entry, EncodeResult& result)
{
    result = EncodeResult{};
    Encoder encoder(method, source, sink, progress, entry, result);
    const CodecStatus status = encoder.run();
    if (status == CodecStatus::WriteError)
        result.error = sink.error();
    return status;
}

} // namespace lzh
