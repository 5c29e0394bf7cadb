// Huffman codes of the LZH stream.
#include "huffman.h"

#include <algorithm>
#include <queue>

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

    // Plain Huffman tree: nodes 0..n-1 are leaves, parents follow.
    struct Node {
        std::uint64_t weight;
        std::uint32_t id;
    };
    auto heavier = [](const Node& a, const Node& b) {
        return a.weight != b.weight ? a.weight > b.weight : a.id > b.id;
    };
    std::priority_queue<Node, std::vector<Node>, decltype(heavier)> queue(heavier);
    std::vector<std::int32_t> parent(used.size() * 2, -1);
    for (std::uint32_t k = 0; k < used.size(); ++k)
        queue.push({frequencies[used[k]], k});
    std::uint32_t next = static_cast<std::uint32_t>(used.size());
    while (queue.size() > 1) {
        const Node a = queue.top();
        queue.pop();
        const Node b = queue.top();
        queue.pop();
        parent[a.id] = static_cast<std::int32_t>(next);
        parent[b.id] = static_cast<std::int32_t>(next);
        queue.push({a.weight + b.weight, next++});
    }

    // Depth of every leaf, counted per length; deeper than the limit folds
    // into the limit, then the Kraft sum is brought back to exactly one.
    std::vector<std::uint32_t> perLength(64, 0);
    for (std::uint32_t k = 0; k < used.size(); ++k) {
        unsigned depth = 0;
        for (std::int32_t node = static_cast<std::int32_t>(k); parent[static_cast<size_t>(node)] >= 0;
             node = parent[static_cast<size_t>(node)])
            ++depth;
        perLength[std::min(depth, maxLength)]++;
    }
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

    // Most frequent symbols take the shortest codes.
    std::vector<std::uint32_t> order = used;
    std::stable_sort(order.begin(), order.end(), [&](std::uint32_t a, std::uint32_t b) {
        return frequencies[a] > frequencies[b];
    });
    size_t at = 0;
    for (unsigned length = 1; length <= maxLength; ++length)
        for (std::uint32_t n = 0; n < perLength[length]; ++n)
            lengths[order[at++]] = static_cast<std::uint8_t>(length);
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
    m_table.assign(1u << 16, Entry{0, 0xFF});
    const std::vector<std::uint16_t> codes = canonicalCodes(lengths);
    for (size_t symbol = 0; symbol < lengths.size(); ++symbol) {
        const unsigned length = lengths[symbol];
        if (!length)
            continue;
        const std::uint32_t first = static_cast<std::uint32_t>(codes[symbol]) << (16 - length);
        const std::uint32_t span = 1u << (16 - length);
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
