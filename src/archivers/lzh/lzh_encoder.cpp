// The -lh5-/-lh6-/-lh7- encoder: binary-tree match finding, a price-based
// parse of each chunk (the cheapest way through it by the code lengths of the
// chunk before, worked out again by its own), chunks joined into blocks where
// one set of tables costs less than two, then static Huffman blocks.
#include "lzh_codec.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <span>
#include <memory>
#include <mutex>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "common/segments.h"
#include "crc16.h"
#include "huffman.h"

namespace lzh {

namespace {

// ═════════════════════════════════════════════════════════════════════════════
// Tuning
// ═════════════════════════════════════════════════════════════════════════════

// -lh5- is the everyday method and must keep pace with a disk drive; -lh7- is
// the method chosen when size matters most. Measured on mixed disk contents:
// chunks of 8 KiB joined where that pays came out smaller than fixed blocks of
// 8, 16 or 32 KiB, and smaller chunks cost more time than they gain; deeper
// trees and a second parse of every chunk gain another 0.1 to 0.3 % at a
// fifth to a third more time, worth it for -lh7- only.
struct Tuning {
    unsigned maxDepth;   // tree nodes visited per position
    unsigned niceLength; // a match this long ends the search, and the positions it covers are not searched
    unsigned passes;     // parses of a chunk after the one by the chunk before's prices
    size_t chunk;        // source bytes parsed at a time
};

// A block whose codes are all one literal/length symbol takes no bits per
// code: a run of one byte value then costs 7 bytes of tables per block, and a
// block of 65,535 codes would expand 2,500,000 times, past what readers take
// for a bomb (see kLzhBombRatio). Such blocks are held to this many codes:
// 1 MiB per block, 160,000:1, as other writers reach on zeros.
constexpr size_t kMaxOneSymbolCodes = 4096;

Tuning tuningFor(Method method)
{
    switch (method) {
    case Method::Lh5: return {16, 64, 1, 8192};
    case Method::Lh6: return {48, 160, 2, 8192};
    default: return {64, 256, 2, 8192};
    }
}

// A code the chunk before did not use is priced as this many bits: it may
// well be needed again, but it would lengthen the tables.
constexpr std::uint32_t kUnseenSymbol = 12;
constexpr std::uint32_t kUnseenPosition = 6;

// Hash of three bytes into at most this many chain heads; small files use
// fewer, so that clearing the heads costs little next to the file.
constexpr unsigned kMaxHashBits = 15;
constexpr unsigned kMinHashBits = 10;

// A file whose first stretch does not shrink is stored instead (unless the
// caller asks otherwise): already compressed pictures and archives would only
// cost time.
constexpr std::uint64_t kIncompressibleProbe = 256 * 1024;

// Source bytes read per call.
constexpr size_t kReadChunk = 64 * 1024;

// The look-ahead buffer holds at least this much, even for small windows:
// sliding it costs a pass over the trees, so it should be rare.
constexpr size_t kMinBuffer = 256 * 1024;

// ═════════════════════════════════════════════════════════════════════════════
// Bit output, most significant bit first
// ═════════════════════════════════════════════════════════════════════════════

class BitWriter {
public:
    // `bytes`: room for kCapacity bytes, kept by the caller from stream to stream.
    BitWriter(archivers::ByteSink& sink, unsigned char* bytes) : m_sink(sink), m_bytes(bytes) {}

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
    // bitCount: every bit put so far.
    std::uint64_t bitCount() const { return (m_written + m_size) * 8 + m_bits; }

private:
    // A block of codes writes at most about 400 KB; the buffer is drained
    // after every block once it passes kFlushAt.
    static constexpr size_t kFlushAt = 64 * 1024;

public:
    static constexpr size_t kCapacity = kFlushAt + 512 * 1024;

private:
    bool drain()
    {
        if (m_size == 0)
            return true;
        if (!m_sink.write(m_bytes, m_size))
            return false;
        m_written += m_size;
        m_size = 0;
        return true;
    }

    archivers::ByteSink& m_sink;
    unsigned char* m_bytes;
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

// Bits of a length in the 3-bit form (see putLength).
unsigned lengthFieldBits(unsigned length)
{
    return length <= 6 ? 3 : length - 3;
}

// The C table as written (see writeBlock): its lengths as T codes, and the
// T table that codes them.
struct CTable {
    std::vector<LengthCode> codes;
    std::vector<std::uint8_t> tLengths;
    unsigned usedT = 0;
    unsigned lastT = 0;
    std::uint64_t bits = 0; // both tables with their count fields
};

CTable cTableFor(const std::vector<std::uint8_t>& lengths, unsigned lastLiteral)
{
    CTable table;
    table.codes = lengthCodes(lengths, lastLiteral + 1);
    std::vector<std::uint32_t> frequency(kLengthSymbols, 0);
    for (const LengthCode& code : table.codes)
        frequency[code.symbol]++;
    table.tLengths = buildCodeLengths(frequency, kMaxCodeLength);
    table.usedT = usedCount(table.tLengths, &table.lastT);
    std::uint64_t bits = kLengthBits + kLiteralBits;
    if (table.usedT == 1) {
        bits += kLengthBits;
    } else {
        for (unsigned i = 0; i <= table.lastT; ++i) {
            bits += lengthFieldBits(table.tLengths[i]);
            if (i == 2) {
                unsigned zeros = 0;
                while (zeros < 3 && i + 1 + zeros <= table.lastT && table.tLengths[i + 1 + zeros] == 0)
                    ++zeros;
                bits += 2;
                i += zeros;
            }
        }
    }
    for (const LengthCode& code : table.codes)
        bits += (table.usedT > 1 ? table.tLengths[code.symbol] : 0u) + code.extraBits;
    table.bits = bits;
    return table;
}

// The bits of the C table and of the codes it gives the block's symbols.
std::uint64_t literalPartBits(std::span<const std::uint32_t> frequency, const std::vector<std::uint8_t>& lengths,
                              unsigned lastLiteral)
{
    std::uint64_t bits = cTableFor(lengths, lastLiteral).bits;
    for (size_t i = 0; i < lengths.size(); ++i)
        bits += std::uint64_t{frequency[i]} * lengths[i];
    return bits;
}

// Code lengths for the literal and length symbols. Shorter limits than the
// format's 16 bits cost a little in the codes but give the C table fewer
// and more alike lengths, which often costs less as a whole: a small block's
// tables can take a tenth of it. The cheapest of the limits is taken.
std::vector<std::uint8_t> literalLengthsFor(std::span<const std::uint32_t> frequency)
{
    std::vector<std::uint8_t> best = buildCodeLengths(frequency, kMaxCodeLength);
    unsigned last = 0;
    if (usedCount(best, &last) <= 1)
        return best;
    std::uint64_t bestBits = literalPartBits(frequency, best, last);
    unsigned longest = 0;
    for (std::uint8_t length : best)
        longest = std::max<unsigned>(longest, length);
    // Limits at or above the longest code change nothing; below, the total
    // mostly falls and then rises: the search stops two limits past the best.
    unsigned worse = 0;
    for (unsigned limit = longest - 1; limit >= 9 && worse < 2; --limit) {
        std::vector<std::uint8_t> lengths = buildCodeLengths(frequency, limit);
        const std::uint64_t bits = literalPartBits(frequency, lengths, last);
        if (bits < bestBits) {
            bestBits = bits;
            best = std::move(lengths);
            worse = 0;
        } else {
            ++worse;
        }
    }
    return best;
}

// About the bits of a block of these counts (tables by their plain Huffman
// lengths; the positions' extra bits, the same however the codes are cut
// into blocks, left out): enough to tell whether two chunks do better as one.
std::uint64_t estimatedBlockBits(const BlockCounts& counts, unsigned positionSymbols)
{
    const std::span<const std::uint32_t> literals(counts.literals, kLiteralSymbols);
    const std::vector<std::uint8_t> literalLengths = buildCodeLengths(literals, kMaxCodeLength);
    unsigned last = 0;
    std::uint64_t bits = 16;
    if (usedCount(literalLengths, &last) > 1)
        bits += literalPartBits(literals, literalLengths, last);
    else
        bits += 2 * kLengthBits + 2 * kLiteralBits;
    const std::span<const std::uint32_t> positions(counts.positions, positionSymbols);
    const std::vector<std::uint8_t> positionLengths = buildCodeLengths(positions, kMaxCodeLength);
    unsigned lastPosition = 0;
    if (usedCount(positionLengths, &lastPosition) > 1) {
        bits += 5;
        for (unsigned i = 0; i <= lastPosition; ++i)
            bits += lengthFieldBits(positionLengths[i]) + std::uint64_t{positions[i]} * positionLengths[i];
    } else {
        bits += 10;
    }
    return bits;
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

// `last`: the stream's last block. libarchive refills its 64-bit cache before
// a table field and fails when the stream ends before the cache is full, so
// the last block's tables must end at least 64 bits before the stream does:
// its codes never take 0 bits each (the caller gives it 64 codes or more).
void writeBlock(BitWriter& out, const std::vector<Token>& tokens, const BlockCounts& counts,
                const StreamParameters& parameters, bool last)
{
    const std::span<const std::uint32_t> literalFrequency(counts.literals, kLiteralSymbols);
    const std::span<const std::uint32_t> positionFrequency(counts.positions, parameters.positionSymbols);

    out.put(static_cast<std::uint32_t>(tokens.size()), 16);

    std::vector<std::uint8_t> literalLengths = literalLengthsFor(literalFrequency);
    unsigned lastLiteral = 0;
    unsigned usedLiterals = usedCount(literalLengths, &lastLiteral);
    if (last && usedLiterals == 1) {
        // Two 1-bit codes, one of them unused: every code of the block takes a bit.
        literalLengths[lastLiteral] = 1;
        literalLengths[lastLiteral == 0 ? 1 : 0] = 1;
        usedLiterals = usedCount(literalLengths, &lastLiteral);
    }
    if (usedLiterals == 1) {
        // One symbol: both tables in their single-symbol form.
        out.put(0, kLengthBits);
        out.put(0, kLengthBits);
        out.put(0, kLiteralBits);
        out.put(lastLiteral, kLiteralBits);
    } else {
        const CTable table = cTableFor(literalLengths, lastLiteral);
        const std::vector<LengthCode>& codes = table.codes;
        const std::vector<std::uint8_t>& tLengths = table.tLengths;
        const unsigned lastT = table.lastT;
        const unsigned usedT = table.usedT;
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
// Match finding: binary trees
// ═════════════════════════════════════════════════════════════════════════════

// The positions whose first three bytes hash alike form one binary search
// tree, ordered by the bytes that follow them, the newest at the root.
// Putting a position in walks down from the root and passes, on the way, the
// longest match of each length; every new best is recorded, so a position
// gets its matches in order of growing length.

struct Match {
    std::uint16_t length;
    std::uint16_t distance; // distance - 1
};

// Buffers kept from one file to the next in a thread.
struct Workspace {
    std::vector<unsigned char> buffer;
    std::vector<std::int32_t> head;
    std::vector<std::int32_t> child;        // two per buffer position: the smaller, the larger subtree
    std::vector<std::uint32_t> firstMatch;  // per position of the chunk, where its matches start
    std::vector<Match> matches;
    std::vector<std::uint32_t> cost;        // bits from a position to the end of the chunk
    std::vector<Match> choice;              // cheapest step from a position: length 1 is a literal
    std::vector<Token> tokens;
    std::vector<Token> pending;             // the block written when the next chunk is known
    std::unique_ptr<unsigned char[]> bits;  // the bit writer's bytes
};

// Workspaces wait in one pool between encoders, so that a thread that
// encodes file after file maps its buffers once. (Not thread_local: with
// mingw's emulated TLS the storage of such an object can be freed before its
// destructor runs at thread exit.)
class WorkspaceLease {
public:
    WorkspaceLease()
    {
        std::lock_guard guard(lock());
        std::vector<std::unique_ptr<Workspace>>& idle = pool();
        if (idle.empty()) {
            m_space = std::make_unique<Workspace>();
        } else {
            m_space = std::move(idle.back());
            idle.pop_back();
        }
    }
    ~WorkspaceLease()
    {
        std::lock_guard guard(lock());
        pool().push_back(std::move(m_space));
    }
    WorkspaceLease(const WorkspaceLease&) = delete;
    WorkspaceLease& operator=(const WorkspaceLease&) = delete;

    Workspace& prepared(size_t bufferSize, unsigned hashBits, size_t chunk);

private:
    static std::mutex& lock()
    {
        static std::mutex mutex;
        return mutex;
    }
    static std::vector<std::unique_ptr<Workspace>>& pool()
    {
        static std::vector<std::unique_ptr<Workspace>> idle;
        return idle;
    }

    std::unique_ptr<Workspace> m_space;
};

Workspace& WorkspaceLease::prepared(size_t bufferSize, unsigned hashBits, size_t chunk)
{
    Workspace& space = *m_space;
    if (space.buffer.size() < bufferSize) {
        space.buffer.resize(bufferSize);
        space.child.resize(2 * bufferSize);
    }
    if (space.choice.size() < chunk) {
        space.firstMatch.resize(chunk + 1);
        space.cost.resize(chunk + 1);
        space.choice.resize(chunk);
    }
    if (!space.bits)
        space.bits.reset(new unsigned char[BitWriter::kCapacity]);
    space.head.assign(size_t{1} << hashBits, -1);
    space.matches.clear();
    space.tokens.clear();
    space.tokens.reserve(chunk);
    space.pending.clear();
    return space;
}

unsigned hashBitsFor(std::uint64_t sizeHint)
{
    unsigned bits = kMinHashBits;
    while (bits < kMaxHashBits && (std::uint64_t{1} << bits) < sizeHint)
        ++bits;
    return bits;
}

// How many of the bytes from `length` on agree, up to `limit`.
unsigned extend(const unsigned char* a, const unsigned char* b, unsigned length, unsigned limit)
{
    while (length + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y)
            return length + static_cast<unsigned>(__builtin_ctzll(x ^ y) / 8);
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

// ═════════════════════════════════════════════════════════════════════════════
// Prices
// ═════════════════════════════════════════════════════════════════════════════

// What a code costs in bits, by the Huffman lengths of the block before (or
// of the parse before, when a block is parsed again).
struct Prices {
    std::uint32_t symbol[kLiteralSymbols];  // literal or match length
    std::uint32_t position[24];              // position slot with its extra bits
};

unsigned extraBitsOf(unsigned slot)
{
    return slot > 1 ? slot - 1 : 0;
}

// Before any block: a literal 8 bits, longer matches a little more than short ones.
Prices firstPrices()
{
    Prices prices;
    for (unsigned s = 0; s < 256; ++s)
        prices.symbol[s] = 8;
    for (unsigned length = kMinMatch; length <= kMaxMatch; ++length)
        prices.symbol[256 + length - kMinMatch] = 5 + (length > 4) + (length > 8) + (length > 16) + (length > 32)
            + (length > 64);
    for (unsigned slot = 0; slot < 24; ++slot)
        prices.position[slot] = 4 + extraBitsOf(slot);
    return prices;
}

Prices pricesOf(const BlockCounts& counts, unsigned positionSymbols)
{
    const std::vector<std::uint8_t> symbols
        = buildCodeLengths(std::span<const std::uint32_t>(counts.literals, kLiteralSymbols), kMaxCodeLength);
    const std::vector<std::uint8_t> positions
        = buildCodeLengths(std::span<const std::uint32_t>(counts.positions, positionSymbols), kMaxCodeLength);
    Prices prices;
    for (unsigned s = 0; s < kLiteralSymbols; ++s)
        prices.symbol[s] = symbols[s] ? symbols[s] : kUnseenSymbol;
    for (unsigned slot = 0; slot < 24; ++slot)
        prices.position[slot] = (slot < positionSymbols && positions[slot] ? positions[slot] : kUnseenPosition)
            + extraBitsOf(slot);
    return prices;
}

// ═════════════════════════════════════════════════════════════════════════════
// The encoder
// ═════════════════════════════════════════════════════════════════════════════

// Where a stream coded in pieces (see codeSegmented) this piece stands: the
// first `prime` source bytes come before it and only fill the window; a piece
// that is not `final` ends without the stream's last-block rule; a piece that
// is `continued` follows others.
struct Piece {
    size_t prime = 0;
    bool final = true;
    bool continued = false;
};

// Every chunk of the source is one block. Its matches are found once; then
// the cheapest way through it is worked out backwards from its end by the
// prices of the block before, the codes are counted, and the way is worked
// out again by the prices of that count, as many passes as the method asks.
class Encoder {
public:
    Encoder(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
            archivers::Progress& progress, const std::string& entry, EncodeResult& result,
            const EncodeOptions& options, const Piece& piece = {})
        : m_parameters(streamParameters(method))
        , m_tuning(tuningFor(method))
        , m_window(1u << m_parameters.dictionaryBits)
        , m_bufferSize(std::max<size_t>(m_window + m_tuning.chunk, kMinBuffer) + 2 * kMaxMatch)
        , m_hashBits(hashBitsFor(options.sizeHint))
        , m_space(m_lease.prepared(m_bufferSize, m_hashBits, m_tuning.chunk))
        , m_buffer(m_space.buffer)
        , m_head(m_space.head)
        , m_child(m_space.child)
        , m_tokens(m_space.tokens)
        , m_pending(m_space.pending)
        , m_probed(!options.probe)
        , m_counted(options.counted)
        , m_source(source)
        , m_out(sink, m_space.bits.get())
        , m_progress(progress)
        , m_entry(entry)
        , m_result(result)
        , m_piece(piece)
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

    // Puts `pos` into its tree; with `record`, its matches go to the match list.
    // Returns the longest match length met.
    unsigned insert(std::int64_t pos, bool record)
    {
        const std::int64_t available = m_end - pos;
        if (available < static_cast<std::int64_t>(kMinMatch))
            return 0;
        // Without a record, bytes past the nice length cannot change the tree.
        const unsigned limit = static_cast<unsigned>(std::min<std::int64_t>(record ? kMaxMatch : m_tuning.niceLength, available));
        const unsigned nice = std::min(m_tuning.niceLength, limit);
        const std::uint32_t hash = hashAt(pos);
        std::int32_t node = m_head[hash];
        m_head[hash] = static_cast<std::int32_t>(pos);
        std::int32_t* smaller = &m_child[2 * static_cast<size_t>(pos)];
        std::int32_t* larger = smaller + 1;
        const unsigned char* here = &m_buffer[static_cast<size_t>(pos)];
        unsigned smallerLength = 0;
        unsigned largerLength = 0;
        unsigned length = 0;
        unsigned best = 0;
        for (unsigned depth = m_tuning.maxDepth;; --depth) {
            if (node < 0 || pos - node > static_cast<std::int64_t>(m_window) || depth == 0) {
                *smaller = *larger = -1;
                return best;
            }
            const unsigned char* there = &m_buffer[static_cast<size_t>(node)];
            std::int32_t* children = &m_child[2 * static_cast<size_t>(node)];
            if (there[length] == here[length]) {
                length = extend(there, here, length + 1, limit);
                if (length > best) {
                    best = length;
                    if (record && length >= kMinMatch)
                        m_space.matches.push_back(
                            {static_cast<std::uint16_t>(length), static_cast<std::uint16_t>(pos - node - 1)});
                }
                if (length >= nice) {
                    // The same bytes as far as we look: `pos` takes the node's place.
                    *smaller = children[0];
                    *larger = children[1];
                    return best;
                }
            }
            if (there[length] < here[length]) {
                *smaller = node;
                smaller = &children[1];
                node = *smaller;
                smallerLength = length;
            } else {
                *larger = node;
                larger = &children[0];
                node = *larger;
                largerLength = length;
            }
            length = std::min(smallerLength, largerLength);
        }
    }

    // The matches of the `count` positions from m_pos. After a match of nice
    // length the positions it covers go into the trees without a search of
    // their own: the parse would hardly use them.
    void findMatches(size_t count)
    {
        m_space.matches.clear();
        unsigned skip = 0;
        for (size_t i = 0; i < count; ++i) {
            m_space.firstMatch[i] = static_cast<std::uint32_t>(m_space.matches.size());
            const std::int64_t pos = m_pos + static_cast<std::int64_t>(i);
            if (skip) {
                --skip;
                insert(pos, false);
                continue;
            }
            const unsigned longest = insert(pos, true);
            if (longest >= m_tuning.niceLength)
                skip = longest - 1;
        }
        m_space.firstMatch[count] = static_cast<std::uint32_t>(m_space.matches.size());
    }

    // The cheapest way from each of the `count` positions to the chunk's end.
    // A step is weighed as one key, its bits above the complement of its
    // length: the smallest key is the cheapest step and, of equally cheap
    // ones, the longest, found without a branch per length.
    void parse(size_t count, const Prices& prices)
    {
        constexpr unsigned kLengthKeyBits = 9;
        constexpr std::uint32_t kLengthMask = (1u << kLengthKeyBits) - 1;
        std::uint32_t* cost = m_space.cost.data();
        Match* choice = m_space.choice.data();
        const Match* matches = m_space.matches.data();
        const std::uint32_t* first = m_space.firstMatch.data();
        const unsigned char* bytes = &m_buffer[static_cast<size_t>(m_pos)];
        std::uint32_t lengthKey[kMaxMatch + 1];
        for (unsigned length = kMinMatch; length <= kMaxMatch; ++length)
            lengthKey[length] = (prices.symbol[256 + length - kMinMatch] << kLengthKeyBits) | (kLengthMask - length);
        cost[count] = 0;
        for (size_t i = count; i-- > 0;) {
            std::uint32_t best = ((cost[i + 1] + prices.symbol[bytes[i]]) << kLengthKeyBits) | (kLengthMask - 1);
            std::uint16_t distance = 0;
            const std::uint32_t* ahead = cost + i;
            const unsigned room = static_cast<unsigned>(std::min<size_t>(kMaxMatch, count - i));
            unsigned length = kMinMatch;
            // Matches come in order of growing length: each adds the lengths past the one before.
            for (std::uint32_t k = first[i]; k < first[i + 1] && length <= room; ++k) {
                const Match match = matches[k];
                const unsigned top = std::min<unsigned>(match.length, room);
                std::uint32_t least = ~0u;
                for (; length <= top; ++length)
                    least = std::min(least, (ahead[length] << kLengthKeyBits) + lengthKey[length]);
                if (least == ~0u)
                    continue;
                const std::uint32_t key = least + (prices.position[positionSlot(match.distance)] << kLengthKeyBits);
                if (key < best) {
                    best = key;
                    distance = match.distance;
                }
            }
            cost[i] = best >> kLengthKeyBits;
            choice[i] = {static_cast<std::uint16_t>(kLengthMask - (best & kLengthMask)), distance};
        }
    }

    // Follows the cheapest way and counts its codes; with `keep`, as tokens.
    void follow(size_t count, BlockCounts& counts, bool keep)
    {
        counts = BlockCounts{};
        const unsigned char* bytes = &m_buffer[static_cast<size_t>(m_pos)];
        const Match* choice = m_space.choice.data();
        for (size_t i = 0; i < count;) {
            const Match step = choice[i];
            Token token;
            if (step.length == 1) {
                token = {bytes[i], 0};
            } else {
                token = {static_cast<std::uint16_t>(step.length - kMinMatch + 256), step.distance};
                counts.positions[positionSlot(step.distance)]++;
            }
            counts.literals[token.code]++;
            if (keep)
                m_tokens.push_back(token);
            i += step.length;
        }
    }

    // Reads more source so that `need` bytes follow m_pos, or to the end.
    CodecStatus refill(size_t need)
    {
        if (m_eof || m_end - m_pos >= static_cast<std::int64_t>(need))
            return CodecStatus::Ok;
        if (m_pos + static_cast<std::int64_t>(need) > static_cast<std::int64_t>(m_bufferSize))
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
            const std::uint64_t read = m_result.originalSize;
            const std::uint64_t fresh = read > m_counted ? std::min<std::uint64_t>(read - m_counted, got) : 0;
            if (!m_progress.advance(fresh, m_entry))
                return CodecStatus::Cancelled;
        }
        return CodecStatus::Ok;
    }

    // Drops all but the last window before m_pos.
    void slide()
    {
        const std::int64_t shift = m_pos - static_cast<std::int64_t>(m_window);
        if (shift <= 0)
            return;
        const size_t kept = static_cast<size_t>(m_end - shift);
        std::memmove(m_buffer.data(), m_buffer.data() + shift, kept);
        std::memmove(m_child.data(), m_child.data() + 2 * shift, 2 * kept * sizeof(std::int32_t));
        auto rebase = [shift](std::int32_t& value) {
            value = value >= shift ? static_cast<std::int32_t>(value - shift) : -1;
        };
        std::for_each(m_head.begin(), m_head.end(), rebase);
        std::for_each(m_child.begin(), m_child.begin() + static_cast<std::ptrdiff_t>(2 * kept), rebase);
        m_end -= shift;
        m_pos -= shift;
    }

    // writeChunk: the chunk's tokens join the pending block when one block
    // of both costs fewer bits than two, else the pending block is written
    // and the chunk's tokens become the pending block. The stream's last
    // block holds 64 codes or more (see writeBlock): a short last chunk always
    // joins the block before it.
    CodecStatus writeChunk(const BlockCounts& counts, size_t count, bool last)
    {
        constexpr size_t kLastBlockCodes = 64;
        constexpr size_t kMaxBlockCodes = 65535;
        const unsigned positionSymbols = m_parameters.positionSymbols;
        // Room is always left for a short last chunk to join.
        const size_t room = last ? kMaxBlockCodes : kMaxBlockCodes - kLastBlockCodes;
        if (m_pendingCount && m_pending.size() + m_tokens.size() <= room) {
            BlockCounts joined = m_pendingCounts;
            for (size_t i = 0; i < kLiteralSymbols; ++i)
                joined.literals[i] += counts.literals[i];
            for (size_t i = 0; i < std::size(counts.positions); ++i)
                joined.positions[i] += counts.positions[i];
            const std::uint64_t joinedBits = estimatedBlockBits(joined, positionSymbols);
            // The last block takes a bit per code whatever its symbols (see writeBlock).
            const bool tooFree = !last && m_pending.size() + m_tokens.size() > kMaxOneSymbolCodes
                && std::count_if(std::begin(joined.literals), std::end(joined.literals),
                                 [](std::uint32_t count) { return count != 0; }) == 1;
            if ((last && m_tokens.size() < kLastBlockCodes)
                || (!tooFree && joinedBits <= m_pendingBits + estimatedBlockBits(counts, positionSymbols))) {
                m_pending.insert(m_pending.end(), m_tokens.begin(), m_tokens.end());
                m_pendingCounts = joined;
                m_pendingBits = joinedBits;
                m_pendingCount += count;
                m_tokens.clear();
                return last ? writePending(true) : CodecStatus::Ok;
            }
        }
        if (const CodecStatus status = writePending(false); status != CodecStatus::Ok)
            return status;
        m_pending.assign(m_tokens.begin(), m_tokens.end());
        m_pendingCounts = counts;
        m_pendingBits = estimatedBlockBits(counts, positionSymbols);
        m_pendingCount = count;
        m_tokens.clear();
        return last ? writePending(true) : CodecStatus::Ok;
    }

    CodecStatus writePending(bool last)
    {
        if (!m_pendingCount)
            return CodecStatus::Ok;
        // A stream of one block is too short for the rule to matter.
        writeBlock(m_out, m_pending, m_pendingCounts, m_parameters, last && (m_coded > 0 || m_piece.continued));
        m_pending.clear();
        m_coded += m_pendingCount;
        m_pendingCount = 0;
        if (!m_out.flush())
            return CodecStatus::WriteError;
        if (!m_probed && m_coded >= kIncompressibleProbe) {
            m_probed = true;
            if (m_out.written() >= m_coded)
                return CodecStatus::Incompressible;
        }
        return CodecStatus::Ok;
    }

    StreamParameters m_parameters;
    Tuning m_tuning;
    unsigned m_window;
    size_t m_bufferSize;
    unsigned m_hashBits;
    WorkspaceLease m_lease;
    Workspace& m_space;
    std::vector<unsigned char>& m_buffer;
    std::vector<std::int32_t>& m_head;
    std::vector<std::int32_t>& m_child;
    std::vector<Token>& m_tokens;
    std::int64_t m_pos = 0;
    std::int64_t m_end = 0;
    bool m_eof = false;
    std::vector<Token>& m_pending; // the block written when the next chunk is known
    BlockCounts m_pendingCounts;
    std::uint64_t m_pendingBits = 0; // its estimated size
    size_t m_pendingCount = 0;     // its source bytes
    std::uint64_t m_coded = 0;
    bool m_probed;            // the first stretch was weighed (or need not be)
    std::uint64_t m_counted;  // source bytes an earlier pass counted
    archivers::ByteSource& m_source;
    BitWriter m_out;
    archivers::Progress& m_progress;
    const std::string& m_entry;
    EncodeResult& m_result;
    Piece m_piece;
};

#define CHECK(call)                                  \
    do {                                             \
        const CodecStatus status_ = (call);          \
        if (status_ != CodecStatus::Ok)              \
            return status_;                          \
    } while (false)

CodecStatus Encoder::run()
{
    Prices prices = firstPrices();
    bool first = true;
    BlockCounts counts;
    if (m_piece.prime) {
        // The bytes before the piece go into the trees and are not coded.
        CHECK(refill(m_piece.prime + m_tuning.chunk + 2 * kMaxMatch));
        const std::int64_t primed = std::min<std::int64_t>(static_cast<std::int64_t>(m_piece.prime), m_end);
        for (std::int64_t pos = 0; pos < primed; ++pos)
            insert(pos, false);
        m_pos = primed;
    }
    for (;;) {
        CHECK(refill(m_tuning.chunk + 2 * kMaxMatch));
        if (m_pos >= m_end)
            break;
        const size_t count = static_cast<size_t>(std::min<std::int64_t>(m_tuning.chunk, m_end - m_pos));
        findMatches(count);
        // The first block has no block before it to take prices from: one pass more.
        const unsigned passes = m_tuning.passes + (first ? 1 : 0);
        for (unsigned pass = 1; pass <= passes; ++pass) {
            parse(count, prices);
            follow(count, counts, pass == passes);
            prices = pricesOf(counts, m_parameters.positionSymbols);
        }
        first = false;
        const bool last = m_eof && m_pos + static_cast<std::int64_t>(count) >= m_end;
        CHECK(writeChunk(counts, count, last && m_piece.final));
        m_pos += static_cast<std::int64_t>(count);
    }
    if (!m_piece.final)
        CHECK(writePending(false));
    m_result.bits = m_out.bitCount();
    if (!m_out.finish())
        return CodecStatus::WriteError;
    m_result.compressedSize = m_out.written();
    return CodecStatus::Ok;
}

} // namespace

namespace {

// A member of more than a segment: its segments coded on every core, each
// primed with the dictionary's window before it.
CodecStatus encodeSegmented(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
                            archivers::Progress& progress, const std::string& entry, EncodeResult& result,
                            const EncodeOptions& options)
{
    const bool probe = options.probe;
    auto factory = [method, probe, &entry]() -> archivers::SegmentCoder {
        return [method, probe, &entry](const archivers::Segment& segment, archivers::SegmentSignals& signals) {
            archivers::SegmentSource from(segment, signals);
            archivers::CodedSegment coded;
            archivers::StringSink into(coded.data);
            archivers::Progress quiet;
            EncodeOptions pieceOptions;
            pieceOptions.sizeHint = segment.bytes.size();
            pieceOptions.probe = probe && segment.index == 0;
            EncodeResult pieceResult;
            const Piece piece{segment.prime, segment.last, segment.index > 0};
            Encoder encoder(method, from, into, quiet, entry, pieceResult, pieceOptions, piece);
            const CodecStatus status = encoder.run();
            coded.bits = pieceResult.bits;
            if (status != CodecStatus::Ok) {
                coded.failure = static_cast<int>(status) + 1;
                coded.error = pieceResult.error;
            }
            return coded;
        };
    };
    archivers::SegmentedOptions segmented;
    segmented.window = size_t{1} << streamParameters(method).dictionaryBits;
    segmented.counted = options.counted;
    segmented.onRead = [&result](const unsigned char* data, size_t size) {
        result.crc = crc16Update(result.crc, data, size);
    };
    const archivers::SegmentedResult coded
        = archivers::codeSegmented(source, sink, progress, entry, factory, segmented);
    using Status = archivers::SegmentedResult::Status;
    switch (coded.status) {
    case Status::Ok:
        result.originalSize = coded.size;
        result.compressedSize = coded.written;
        return CodecStatus::Ok;
    case Status::ReadError:
        result.error = coded.error;
        return CodecStatus::ReadError;
    case Status::WriteError:
        result.error = coded.error;
        return CodecStatus::WriteError;
    case Status::Cancelled:
        return CodecStatus::Cancelled;
    case Status::CoderFailed:
        break;
    }
    // What the progress heard of counts as gone over, for the pass after this one.
    result.originalSize = coded.counted;
    if (coded.failure == static_cast<int>(CodecStatus::Incompressible) + 1)
        return CodecStatus::Incompressible;
    result.error = coded.error ? coded.error : ENOMEM;
    return CodecStatus::WriteError;
}

} // namespace

CodecStatus encodeStream(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
                         archivers::Progress& progress, const std::string& entry, EncodeResult& result,
                         const EncodeOptions& options)
{
    result = EncodeResult{};
    if (options.sizeHint > archivers::kSegmentBytes && !options.oneStream)
        return encodeSegmented(method, source, sink, progress, entry, result, options);
    Encoder encoder(method, source, sink, progress, entry, result, options);
    const CodecStatus status = encoder.run();
    if (status == CodecStatus::WriteError)
        result.error = sink.error();
    return status;
}

} // namespace lzh
