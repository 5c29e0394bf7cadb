// Huffman codes of the LZH stream.
#include "huffman.h"

#include <algorithm>

namespace lzh {

std::vector<std::uint8_t> buildCodeLengths(std::span<const std::uint32_t> frequencies, unsigned maxLength)
{
    const size_t count = frequencies.size();
    std::vector<std::uint8_t> lengths(count, 0);
    std::vector<std::uint32_t> used;
    for (size_t i = 0; i < count; ++i)
        if (frequencies[i])
            used.push_back(static_cast<std::uint32_t>(i));
    if (used.empty())
        return lengths;
    if (used.size() == 1) {
        lengths[used[0]] = 1;
        return lengths;
    }

    // Huffman tree by the two-queue method: leaves sorted by weight, and the
    // joined nodes, which come out in order of weight by themselves.
    // Ties go in symbol order: weight and symbol make one key.
    const size_t leaves = used.size();
    std::vector<std::uint64_t> keys(leaves);
    for (size_t k = 0; k < leaves; ++k)
        keys[k] = (std::uint64_t{frequencies[used[k]]} << 32) | used[k];
    std::sort(keys.begin(), keys.end());
    std::vector<std::uint32_t> sorted(leaves);
    std::vector<std::uint64_t> weight(2 * leaves);
    std::vector<std::int32_t> parent(2 * leaves, -1);
    for (size_t k = 0; k < leaves; ++k) {
        sorted[k] = static_cast<std::uint32_t>(keys[k]);
        weight[k] = keys[k] >> 32;
    }
    size_t nextLeaf = 0;
    size_t nextJoined = leaves;
    size_t made = leaves;
    auto takeLightest = [&]() {
        if (nextLeaf < leaves && (nextJoined >= made || weight[nextLeaf] <= weight[nextJoined]))
            return nextLeaf++;
        return nextJoined++;
    };
    while (made < 2 * leaves - 1) {
        const size_t a = takeLightest();
        const size_t b = takeLightest();
        weight[made] = weight[a] + weight[b];
        parent[a] = parent[b] = static_cast<std::int32_t>(made);
        ++made;
    }

    // Depth of every leaf, counted per length; deeper than the limit folds
    // into the limit, then the Kraft sum is brought back to exactly one.
    std::uint32_t perLength[64] = {};
    std::vector<std::uint8_t> depth(2 * leaves - 1, 0);
    for (size_t node = 2 * leaves - 2; node-- > 0;) // the root, last made, has depth 0
        depth[node] = static_cast<std::uint8_t>(std::min<unsigned>(depth[static_cast<size_t>(parent[node])] + 1u, 63u));
    for (size_t k = 0; k < leaves; ++k)
        perLength[std::min<unsigned>(depth[k], maxLength)]++;
    std::uint64_t kraft = 0;
    for (unsigned length = 1; length <= maxLength; ++length)
        kraft += static_cast<std::uint64_t>(perLength[length]) << (maxLength - length);
    const std::uint64_t full = std::uint64_t{1} << maxLength;
    while (kraft > full) {
        // Take a leaf from the longest length and split a shorter leaf into two.
        perLength[maxLength]--;
        for (unsigned length = maxLength - 1; length > 0; --length) {
            if (perLength[length]) {
                perLength[length]--;
                perLength[length + 1] += 2;
                break;
            }
        }
        --kraft;
    }

    // Most frequent symbols take the shortest codes: walk the sorted leaves
    // from the heaviest.
    size_t at = leaves;
    for (unsigned length = 1; length <= maxLength; ++length)
        for (std::uint32_t n = 0; n < perLength[length]; ++n)
            lengths[sorted[--at]] = static_cast<std::uint8_t>(length);
    return lengths;
}

std::vector<std::uint16_t> canonicalCodes(std::span<const std::uint8_t> lengths)
{
    std::uint32_t perLength[18] = {};
    for (std::uint8_t length : lengths)
        if (length <= 16)
            perLength[length]++;
    perLength[0] = 0;
    std::uint32_t nextCode[18] = {};
    std::uint32_t code = 0;
    for (unsigned length = 1; length <= 16; ++length) {
        code = (code + perLength[length - 1]) << 1;
        nextCode[length] = code;
    }
    std::vector<std::uint16_t> codes(lengths.size(), 0);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol)
        if (lengths[symbol] && lengths[symbol] <= 16)
            codes[symbol] = static_cast<std::uint16_t>(nextCode[lengths[symbol]]++);
    return codes;
}

bool DecodeTable::build(std::span<const std::uint8_t> lengths)
{
    m_single = false;
    std::uint64_t kraft = 0;
    for (std::uint8_t length : lengths) {
        if (length > 16)
            return false;
        if (length)
            kraft += std::uint64_t{1} << (16 - length);
    }
    if (kraft > (1u << 16))
        return false;
    unsigned longest = 1;
    for (std::uint8_t length : lengths)
        longest = std::max<unsigned>(longest, length);
    m_bits = longest;
    m_table.assign(1u << m_bits, Entry{0, 0xFF});
    const std::vector<std::uint16_t> codes = canonicalCodes(lengths);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        const unsigned length = lengths[symbol];
        if (!length)
            continue;
        const std::uint32_t first = static_cast<std::uint32_t>(codes[symbol]) << (m_bits - length);
        const std::uint32_t span = 1u << (m_bits - length);
        std::fill(m_table.begin() + first, m_table.begin() + first + span,
            Entry{static_cast<std::uint16_t>(symbol), static_cast<std::uint8_t>(length)});
    }
    return true;
}

void DecodeTable::single(std::uint16_t symbol)
{
    m_single = true;
    m_symbol = symbol;
}

} // namespace lzh
