// Constants of the LZH format: methods, stream parameters, header fields.
#pragma once

#include <cstdint>
#include <string_view>

namespace lzh {

// Compression methods, by their five-character ids.
enum class Method : std::uint8_t {
    Stored,    // "-lh0-"
    Lh4,       // "-lh4-" (read only)
    Lh5,       // "-lh5-"
    Lh6,       // "-lh6-"
    Lh7,       // "-lh7-"
    Directory, // "-lhd-"
    Other,     // anything else: listed, not extracted
};

std::string_view methodId(Method method);
Method methodFromId(std::string_view id);

// Parameters of the LZSS + static Huffman stream of -lh4- to -lh7-.
struct StreamParameters {
    unsigned dictionaryBits; // window of 2^bits bytes
    unsigned positionSymbols; // NP: position-slot alphabet
    unsigned positionBits;    // PBIT: bits of the P table's count field
};

// streamParameters: for Lh4..Lh7; the window must never be referenced before
// the start of the data.
StreamParameters streamParameters(Method method);

constexpr unsigned kMinMatch = 3;          // shortest match the format codes
constexpr unsigned kMaxMatch = 256;        // longest match
constexpr unsigned kLiteralSymbols = 510;  // NC: 256 literals + 254 match lengths
constexpr unsigned kLiteralBits = 9;       // CBIT: bits of the C table's count field
constexpr unsigned kLengthSymbols = 19;    // NT: alphabet of the code-length code
constexpr unsigned kLengthBits = 5;        // TBIT: bits of the T table's count field
constexpr unsigned kMaxCodeLength = 16;    // no Huffman code is longer
constexpr unsigned kMaxBlockCodes = 0xFFFF; // codes in one block (16-bit count)

// Header fields.
constexpr std::uint8_t kOsMsdos = 'M';
constexpr std::uint8_t kOsOs9_68k = 'K';
constexpr std::uint8_t kReservedByte = 0x20; // byte 19 of level 1 and 2 headers
constexpr std::uint8_t kDirectorySeparator = 0xFF;

// MS-DOS attributes.
constexpr std::uint16_t kAttrReadOnly = 0x01;
constexpr std::uint16_t kAttrHidden = 0x02;
constexpr std::uint16_t kAttrSystem = 0x04;
constexpr std::uint16_t kAttrDirectory = 0x10;
constexpr std::uint16_t kAttrArchive = 0x20;

// Extended header types.
constexpr std::uint8_t kExtCommon = 0x00;       // header CRC
constexpr std::uint8_t kExtFileName = 0x01;
constexpr std::uint8_t kExtDirectory = 0x02;    // 0xFF-separated, trailing 0xFF
constexpr std::uint8_t kExtAttribute = 0x40;    // MS-DOS attribute, 2 bytes
constexpr std::uint8_t kExtWindowsTime = 0x41;  // 3 FILETIMEs: create, modify, access
constexpr std::uint8_t kExtLargeSizes = 0x42;   // 64-bit compressed and original sizes
constexpr std::uint8_t kExtUnicodeName = 0x44;  // UTF-16LE file name
constexpr std::uint8_t kExtUnicodeDir = 0x45;   // UTF-16LE folder, 0xFFFF-separated
constexpr std::uint8_t kExtCodePage = 0x46;     // code page of the 0x01/0x02 names
constexpr std::uint8_t kExtUnixPermission = 0x50;
constexpr std::uint8_t kExtUnixTime = 0x54;

constexpr std::uint32_t kCodePageShiftJis = 932;
constexpr std::uint32_t kCodePageUtf8 = 65001;

} // namespace lzh
