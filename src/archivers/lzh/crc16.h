// CRC-16 of LZH archives (reflected polynomial 0xA001, initial value 0).
#pragma once

#include <cstddef>
#include <cstdint>

namespace lzh {

// crc16Update: the CRC after `size` more bytes; start with 0.
std::uint16_t crc16Update(std::uint16_t crc, const void* data, size_t size);

} // namespace lzh
