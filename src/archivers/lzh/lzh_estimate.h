// A quick guess at what compressing would make of data that is being stored.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "lzh_constants.h"

namespace lzh {

// Takes the bytes of a file in any pieces and looks at each 32 KiB once: a
// greedy match search by hashes of four bytes within the method's window,
// whose steps widen while nothing matches (so that noise costs little), then
// the block's literals and match codes priced by their entropy as one
// alphabet, as a block of the stream codes them; the literals' entropy from a
// sample of their bytes. Far cheaper than the encoder, and it sees fewer
// matches: its guess is on the large side.
class SizeEstimator {
public:
    explicit SizeEstimator(Method method);

    void add(const unsigned char* data, size_t size);

    // estimate: about the bytes of the compressed stream of everything added.
    std::uint64_t estimate();
    std::uint64_t added() const { return m_added; }

    // worthCompressing: the guess is smaller than the data by a clear margin.
    bool worthCompressing();

private:
    void look(size_t begin, size_t end);
    void countLiterals(size_t begin, size_t end);

    std::uint32_t m_window;
    std::vector<unsigned char> m_buffer;  // the window before the block, then the block
    std::vector<std::int64_t> m_head;     // newest position of each hash of four bytes
    std::int64_t m_base = 0;              // the position of m_buffer[0] in the data
    size_t m_fill = 0;                    // bytes in m_buffer
    size_t m_start = 0;                   // where the bytes not looked at yet begin
    std::uint64_t m_added = 0;
    double m_bits = 0;                    // the guess for the blocks looked at
    // The block's literals, a sample of their bytes, its match codes and
    // their extra bits.
    std::uint64_t m_literals = 0;
    std::uint32_t m_sample[256] = {};
    std::uint64_t m_matches = 0;
    std::uint64_t m_extraBits = 0;
};

} // namespace lzh
