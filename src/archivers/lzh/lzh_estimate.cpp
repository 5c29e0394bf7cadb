// The guess at a stored file's compressed size (see lzh_estimate.h).
#include "lzh_estimate.h"

#include <cmath>
#include <cstring>

namespace lzh {

namespace {

// Bytes looked at as one block: about what the encoder puts in a block.
constexpr size_t kBlock = 32 * 1024;

// Blocks held past the window before the buffer slides.
constexpr size_t kBlocksHeld = 8;

constexpr unsigned kHashBits = 14;

// A position no later one can reach.
constexpr std::int64_t kNowhere = -(std::int64_t{1} << 62);

// The literals' bytes are counted one in this many, by their place in the
// data: a fifth gives their entropy closely enough at a fifth of the cost,
// and five divides no common record size (2, 3, 4, 8 bytes), whose bytes
// differ from lane to lane.
constexpr size_t kSampleStride = 5;

// After this many misses in a row the search steps two bytes at a time,
// after twice as many three, and so on; a match brings it back to one.
constexpr unsigned kMissShift = 5;

// A match code is one symbol of the block's alphabet, priced by how often
// matches come; on top, which of the lengths and which position slot it
// is, about this many bits on disk contents, then the slot's extra bits.
constexpr double kMatchDetailBits = 6.0;

// A block's tables: a fixed part and about this many bits per symbol used.
constexpr double kTableBits = 120.0;
constexpr double kTableBitsPerSymbol = 2.0;

// Compressing is worth it when the guess is below the data by a sixty-fourth:
// on nearly random data the guess comes within half a percent of the
// encoder, mostly above it, and a smaller gain is not worth a slow pass.
constexpr unsigned kMarginShift = 6;

std::uint32_t hashOf(std::uint32_t four)
{
    return (four * 2654435761u) >> (32 - kHashBits);
}

std::uint32_t fourAt(const unsigned char* bytes)
{
    std::uint32_t four;
    std::memcpy(&four, bytes, 4);
    return four;
}

// How many bytes of `a` and `b` agree, up to `limit`.
size_t agreeing(const unsigned char* a, const unsigned char* b, size_t limit)
{
    size_t length = 0;
    while (length + 8 <= limit) {
        std::uint64_t x, y;
        std::memcpy(&x, a + length, 8);
        std::memcpy(&y, b + length, 8);
        if (x != y)
            return length + static_cast<size_t>(__builtin_ctzll(x ^ y) / 8);
        length += 8;
    }
    while (length < limit && a[length] == b[length])
        ++length;
    return length;
}

} // namespace

SizeEstimator::SizeEstimator(Method method)
    : m_window(1u << streamParameters(method).dictionaryBits)
    , m_buffer(m_window + kBlocksHeld * kBlock)
    , m_head(size_t{1} << kHashBits, kNowhere)
{
}

void SizeEstimator::add(const unsigned char* data, size_t size)
{
    m_added += size;
    while (size > 0) {
        const size_t room = std::min(size, kBlock - (m_fill - m_start));
        std::memcpy(&m_buffer[m_fill], data, room);
        m_fill += room;
        data += room;
        size -= room;
        if (m_fill - m_start < kBlock)
            continue;
        look(m_start, m_fill);
        m_start = m_fill;
        if (m_fill + kBlock > m_buffer.size()) {
            // Only the window before the next block can be matched.
            const size_t keep = m_window;
            std::memmove(m_buffer.data(), m_buffer.data() + m_fill - keep, keep);
            m_base += static_cast<std::int64_t>(m_fill - keep);
            m_fill = m_start = keep;
        }
    }
}

std::uint64_t SizeEstimator::estimate()
{
    if (m_start < m_fill) {
        look(m_start, m_fill);
        m_start = m_fill;
    }
    return static_cast<std::uint64_t>(std::ceil(m_bits / 8));
}

bool SizeEstimator::worthCompressing()
{
    return estimate() < m_added - (m_added >> kMarginShift);
}

void SizeEstimator::countLiterals(size_t begin, size_t end)
{
    if (begin >= end)
        return;
    m_literals += end - begin;
    const unsigned char* bytes = m_buffer.data();
    const auto phase = static_cast<size_t>(m_base + static_cast<std::int64_t>(begin)) % kSampleStride;
    for (size_t at = begin + (kSampleStride - phase) % kSampleStride; at < end; at += kSampleStride)
        ++m_sample[bytes[at]];
}

void SizeEstimator::look(size_t begin, size_t end)
{
    const unsigned char* bytes = m_buffer.data();
    size_t at = begin;
    size_t anchor = begin; // the first byte not yet counted as a literal or match
    unsigned misses = 0;
    while (at + 4 <= end) {
        const std::uint32_t four = fourAt(bytes + at);
        const std::uint32_t hash = hashOf(four);
        const std::int64_t here = m_base + static_cast<std::int64_t>(at);
        const std::int64_t there = m_head[hash];
        m_head[hash] = here;
        if (here - there <= m_window) {
            size_t from = static_cast<size_t>(there - m_base);
            if (fourAt(bytes + from) == four) {
                size_t length = 4 + agreeing(bytes + from + 4, bytes + at + 4, end - at - 4);
                while (at > anchor && from > 0 && bytes[at - 1] == bytes[from - 1]) {
                    --at;
                    --from;
                    ++length;
                }
                countLiterals(anchor, at);
                const auto distanceMinusOne = static_cast<std::uint32_t>(here - there - 1);
                const unsigned slot = distanceMinusOne ? 32u - static_cast<unsigned>(__builtin_clz(distanceMinusOne)) : 0u;
                const std::uint64_t codes = (length + kMaxMatch - 1) / kMaxMatch;
                m_matches += codes;
                m_extraBits += codes * (slot > 1 ? slot - 1 : 0);
                at += length;
                anchor = at;
                misses = 0;
                if (at + 2 <= end) // the bytes just before the next search, for a repeat of what follows
                    m_head[hashOf(fourAt(bytes + at - 2))] = m_base + static_cast<std::int64_t>(at - 2);
                continue;
            }
        }
        at += 1 + (misses++ >> kMissShift);
    }
    countLiterals(anchor, end);

    // The block's price: literals and matches each by their share of the
    // block's codes, then a literal by the entropy of the sampled ones (with
    // the usual correction for a sample's missing rare bytes).
    double bits = kTableBits + static_cast<double>(m_extraBits);
    const double total = static_cast<double>(m_literals + m_matches);
    unsigned used = 0;
    if (m_literals) {
        std::uint64_t sampled = 0;
        for (const std::uint32_t count : m_sample)
            sampled += count;
        double entropy = 8;
        if (sampled) {
            const double size = static_cast<double>(sampled);
            entropy = 0;
            for (const std::uint32_t count : m_sample) {
                if (!count)
                    continue;
                ++used;
                entropy += static_cast<double>(count) * std::log2(size / static_cast<double>(count));
            }
            entropy = std::min(8.0, (entropy + (used - 1) / (2 * std::log(2.0))) / size);
        } else {
            used = 1;
        }
        const double literals = static_cast<double>(m_literals);
        bits += literals * (std::log2(total / literals) + entropy);
    }
    if (m_matches) {
        const double matches = static_cast<double>(m_matches);
        bits += matches * (std::log2(total / matches) + kMatchDetailBits);
        ++used;
    }
    bits += kTableBitsPerSymbol * used;
    m_bits += bits;
    std::memset(m_sample, 0, sizeof m_sample);
    m_literals = 0;
    m_matches = 0;
    m_extraBits = 0;
}

} // namespace lzh
