// Constants and little-endian fields of the ZIP format.
#pragma once

#include <cstdint>
#include <string>

namespace zipfmt {

constexpr std::uint32_t kLocalSignature = 0x04034B50;
constexpr std::uint32_t kCentralSignature = 0x02014B50;
constexpr std::uint32_t kEndSignature = 0x06054B50;
constexpr std::uint32_t kZip64EndSignature = 0x06064B50;
constexpr std::uint32_t kZip64LocatorSignature = 0x07064B50;
constexpr std::uint32_t kDescriptorSignature = 0x08074B50;

constexpr std::uint16_t kMethodStored = 0;
constexpr std::uint16_t kMethodDeflated = 8;

constexpr std::uint16_t kFlagDescriptor = 0x0008; // sizes and CRC follow the data
constexpr std::uint16_t kFlagUtf8 = 0x0800;       // name and comment are UTF-8

constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraTimestamp = 0x5455;   // "UT": modification time, UTC
constexpr std::uint16_t kExtraUnicodePath = 0x7075; // "up": UTF-8 name beside a CP932 one

constexpr std::uint16_t kVersionMadeBy = 0x003F;   // MS-DOS attributes, format version 6.3
constexpr std::uint16_t kVersionNeeded = 20;
constexpr std::uint16_t kVersionNeededZip64 = 45;

constexpr std::uint32_t kDosDirectory = 0x10;
constexpr std::uint32_t kDosHidden = 0x02;
constexpr std::uint32_t kDosSystem = 0x04;
constexpr std::uint32_t kDosReadOnly = 0x01;
constexpr std::uint32_t kDosArchive = 0x20;

inline std::uint64_t getLe(const unsigned char* p, unsigned width)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value |= static_cast<std::uint64_t>(p[i]) << (8 * i);
    return value;
}

inline void putLe(std::string& out, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        out += static_cast<char>((value >> (8 * i)) & 0xFF);
}

inline void setLe(std::string& out, size_t at, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        out[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

} // namespace zipfmt
