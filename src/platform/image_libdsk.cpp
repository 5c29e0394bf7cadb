// The containers read through libdsk: what they share beside libdsk itself,
// and TeleDisk's advanced compression, which the TeleDisk container unpacks
// itself so that libdsk only ever reads an image this program has walked through.
#include "image_libdsk.h"

#include <cerrno>
#include <cstddef>
#include <cstring>

namespace platform::image::libdsk {

bool opensWith(const ByteFile& file, std::string_view magic)
{
    std::string head(magic.size(), '\0');
    return file.size() >= magic.size() && file.readAt(0, head.data(), head.size()) == static_cast<long>(head.size())
        && head == magic;
}

Result<std::string> wholeFile(const ByteFile& file, const std::string& damaged, std::size_t headerSize)
{
    if (file.size() > kMaxImage)
        return Error{EFBIG, damaged + ": " + std::to_string(file.size()) + " bytes, more than a floppy image holds"};
    std::string bytes(static_cast<std::size_t>(file.size()), '\0');
    const long got = file.readAt(0, bytes.data(), bytes.size());
    if (got < 0)
        return Error{errno ? errno : EIO, std::string("the image cannot be read: ") + std::strerror(errno)};
    bytes.resize(static_cast<std::size_t>(got));
    if (bytes.size() < headerSize)
        return Error{EINVAL, damaged + ": it ends inside its header"};
    return bytes;
}

std::uint16_t teleDiskCrc(const unsigned char* data, std::size_t size, std::uint16_t crc)
{
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= static_cast<std::uint16_t>(data[i] << 8);
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>(crc & 0x8000 ? (crc << 1) ^ 0xA097 : crc << 1);
    }
    return crc;
}

// ── TeleDisk advanced compression ──────────────────────────────────────────
//
// LZSS over a 4096-byte window preset to spaces, matches of 3 to 60 bytes,
// literals and match lengths coded together (314 symbols) by an adaptive
// Huffman code, match positions by a fixed code for their upper six bits and
// six plain bits, all read most significant bit first. The data simply ends:
// no length is stored.

namespace {

constexpr int kWindow = 4096;
constexpr int kLookahead = 60;
constexpr int kThreshold = 2;
constexpr int kSymbols = 256 - kThreshold + kLookahead; // 314
constexpr int kTable = kSymbols * 2 - 1;                 // 627
constexpr int kRoot = kTable - 1;
constexpr unsigned kMaxFreq = 0x8000;

class Unpacker {
public:
    Unpacker(const unsigned char* data, std::size_t size) : m_data(data), m_size(size)
    {
        for (int i = 0; i < kSymbols; ++i) {
            m_freq[i] = 1;
            m_son[i] = i + kTable;
            m_parent[i + kTable] = i;
        }
        int i = 0;
        for (int j = kSymbols; j <= kRoot; ++j) {
            m_freq[j] = m_freq[i] + m_freq[i + 1];
            m_son[j] = i;
            m_parent[i] = m_parent[i + 1] = j;
            i += 2;
        }
        m_freq[kTable] = 0xFFFF;
        m_parent[kRoot] = 0;
        // The position code: how many codes of each length, per upper six bits.
        static constexpr int kGroups[][2] = {{1, 32}, {3, 16}, {8, 8}, {12, 4}, {24, 2}, {16, 1}};
        int at = 0, value = 0, length = 3;
        for (const auto& [values, width] : kGroups) {
            for (int v = 0; v < values; ++v, ++value)
                for (int k = 0; k < width; ++k, ++at) {
                    m_dCode[at] = static_cast<std::uint8_t>(value);
                    m_dLen[at] = static_cast<std::uint8_t>(length);
                }
            ++length;
        }
    }

    std::optional<std::string> run(std::size_t limit)
    {
        std::string out;
        unsigned char window[kWindow];
        std::memset(window, ' ', sizeof window);
        int r = kWindow - kLookahead;
        while (!ended()) {
            const int c = decodeChar();
            if (m_past)
                break;
            if (c < 256) {
                out += static_cast<char>(c);
                window[r++] = static_cast<unsigned char>(c);
                r &= kWindow - 1;
            } else {
                const int position = decodePosition();
                if (m_past)
                    break;
                const int from = (r - position - 1) & (kWindow - 1);
                const int length = c - 255 + kThreshold;
                for (int k = 0; k < length; ++k) {
                    const unsigned char b = window[(from + k) & (kWindow - 1)];
                    out += static_cast<char>(b);
                    window[r++] = b;
                    r &= kWindow - 1;
                }
            }
            if (out.size() > limit)
                return std::nullopt;
        }
        return out;
    }

private:
    // All input bits read, or only the padding of the last byte left.
    bool ended() const { return m_next >= m_size && m_bits == 0; }

    int bit()
    {
        if (m_bits == 0) {
            if (m_next >= m_size) {
                m_past = true;
                return 0;
            }
            m_buffer = m_data[m_next++];
            m_bits = 8;
        }
        --m_bits;
        return (m_buffer >> m_bits) & 1;
    }

    int byte()
    {
        int value = 0;
        for (int k = 0; k < 8; ++k)
            value = (value << 1) | bit();
        return value;
    }

    int decodeChar()
    {
        int c = m_son[kRoot];
        while (c < kTable) {
            c += bit();
            c = m_son[c];
        }
        c -= kTable;
        update(c);
        return c;
    }

    int decodePosition()
    {
        int i = byte();
        const int upper = m_dCode[i] << 6;
        for (int j = m_dLen[i] - 2; j > 0; --j)
            i = (i << 1) | bit();
        return upper | (i & 0x3F);
    }

    void reconstruct()
    {
        int j = 0;
        for (int i = 0; i < kTable; ++i)
            if (m_son[i] >= kTable) {
                m_freq[j] = (m_freq[i] + 1) / 2;
                m_son[j] = m_son[i];
                ++j;
            }
        for (int i = 0, k = kSymbols; k < kTable; i += 2, ++k) {
            unsigned f = m_freq[k] = m_freq[i] + m_freq[i + 1];
            int l = k - 1;
            while (f < m_freq[l])
                --l;
            ++l;
            std::memmove(&m_freq[l + 1], &m_freq[l], (k - l) * sizeof m_freq[0]);
            m_freq[l] = f;
            std::memmove(&m_son[l + 1], &m_son[l], (k - l) * sizeof m_son[0]);
            m_son[l] = i;
        }
        for (int i = 0; i < kTable; ++i) {
            const int k = m_son[i];
            m_parent[k] = i;
            if (k < kTable)
                m_parent[k + 1] = i;
        }
    }

    void update(int c)
    {
        if (m_freq[kRoot] == kMaxFreq)
            reconstruct();
        c = m_parent[c + kTable];
        do {
            unsigned k = ++m_freq[c];
            int l = c + 1;
            if (k > m_freq[l]) {
                while (k > m_freq[++l]) {
                }
                --l;
                m_freq[c] = m_freq[l];
                m_freq[l] = k;
                int i = m_son[c];
                m_parent[i] = l;
                if (i < kTable)
                    m_parent[i + 1] = l;
                int j = m_son[l];
                m_son[l] = i;
                m_parent[j] = c;
                if (j < kTable)
                    m_parent[j + 1] = c;
                m_son[c] = j;
                c = l;
            }
        } while ((c = m_parent[c]) != 0);
    }

    const unsigned char* m_data;
    std::size_t m_size;
    std::size_t m_next = 0;
    unsigned m_buffer = 0;
    int m_bits = 0;
    bool m_past = false;
    unsigned m_freq[kTable + 1];
    int m_parent[kTable + kSymbols];
    int m_son[kTable];
    std::uint8_t m_dCode[256];
    std::uint8_t m_dLen[256];
};

} // namespace

std::optional<std::string> unpackTeleDisk(const unsigned char* data, std::size_t size, std::size_t limit)
{
    return Unpacker(data, size).run(limit);
}

} // namespace platform::image::libdsk
