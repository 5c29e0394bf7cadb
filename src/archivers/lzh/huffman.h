// Huffman codes of the LZH stream: length-limited construction, canonical
// codes, and a 16-bit lookup table for decoding.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace lzh {

// buildCodeLengths: code lengths (0 = unused) for the symbols' frequencies,
// at most `maxLength` bits, forming a complete prefix code whenever two or
// more symbols are used. With one used symbol it gets length 1 (callers write
// such a table in its single-symbol form instead).
std::vector<std::uint8_t> buildCodeLengths(std::span<const std::uint32_t> frequencies, unsigned maxLength);

// canonicalCodes: the code of each symbol: shorter lengths take numerically
// smaller codes, equal lengths go in symbol order.
std::vector<std::uint16_t> canonicalCodes(std::span<const std::uint8_t> lengths);

// A decoding table for the next bits of the stream.
class DecodeTable {
public:
    // build: false when the lengths over-subscribe the code space (an
    // incomplete code is accepted; its unused codes fail at decode time).
    bool build(std::span<const std::uint8_t> lengths);
    // single: a table whose one symbol takes no bits.
    void single(std::uint16_t symbol);
    // lookup: symbol and length for the next 16 bits; length 0xFF = no code.
    struct Entry {
        std::uint16_t symbol;
        std::uint8_t length;
    };
    Entry lookup(std::uint32_t next16) const
    {
        return m_single ? Entry{m_symbol, 0} : m_table[next16 >> (16 - m_bits)];
    }

private:
    // Indexed by as many leading bits as the longest code has, so that small
    // tables cost little to build.
    std::vector<Entry> m_table;
    unsigned m_bits = 16;
    bool m_single = false;
    std::uint16_t m_symbol = 0;
};

} // namespace lzh
