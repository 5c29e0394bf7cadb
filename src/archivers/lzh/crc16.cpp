// CRC-16 of LZH archives: eight bytes a step with eight tables ("slicing by
// eight"), the same value as the classic one-table loop.
#include "crc16.h"

#include <array>
#include <cstring>

namespace lzh {

namespace {

using Tables = std::array<std::array<std::uint16_t, 256>, 8>;

constexpr Tables makeTables()
{
    Tables tables{};
    for (unsigned i = 0; i < 256; ++i) {
        std::uint16_t value = static_cast<std::uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            value = (value & 1) ? static_cast<std::uint16_t>((value >> 1) ^ 0xA001) : static_cast<std::uint16_t>(value >> 1);
        tables[0][i] = value;
    }
    // tables[k][b]: the CRC of byte b followed by k zero bytes.
    for (unsigned k = 1; k < 8; ++k)
        for (unsigned i = 0; i < 256; ++i)
            tables[k][i] = static_cast<std::uint16_t>((tables[k - 1][i] >> 8) ^ tables[0][tables[k - 1][i] & 0xFF]);
    return tables;
}

constexpr Tables kTables = makeTables();

} // namespace

std::uint16_t crc16Update(std::uint16_t crc, const void* data, size_t size)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size >= 8) {
        std::uint32_t low;
        std::uint32_t high;
        std::memcpy(&low, bytes, 4);
        std::memcpy(&high, bytes + 4, 4);
        low ^= crc;
        crc = static_cast<std::uint16_t>(kTables[7][low & 0xFF] ^ kTables[6][(low >> 8) & 0xFF]
            ^ kTables[5][(low >> 16) & 0xFF] ^ kTables[4][low >> 24] ^ kTables[3][high & 0xFF]
            ^ kTables[2][(high >> 8) & 0xFF] ^ kTables[1][(high >> 16) & 0xFF] ^ kTables[0][high >> 24]);
        bytes += 8;
        size -= 8;
    }
    while (size--)
        crc = static_cast<std::uint16_t>(kTables[0][(crc ^ *bytes++) & 0xFF] ^ (crc >> 8));
    return crc;
}

} // namespace lzh
