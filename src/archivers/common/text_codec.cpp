// Name encodings inside archives; CP932 through the platform's code pages.
#include "text_codec.h"

#include <cstdint>
#include <vector>

#include "platform/codepage.h"
#include "platform/dialect.h"

namespace archivers {

namespace {

using platform::codepage::kShiftJis;
using platform::codepage::sequenceLength;


} // namespace

bool isUtf8(std::string_view bytes)
{
    return utf8ToUtf16le(bytes).has_value();
}

std::optional<std::string> utf8ToCp932(std::string_view utf8)
{
    return platform::codepage::fromUtf8(utf8, kShiftJis);
}

std::string utf8ToCp932Closest(std::string_view utf8)
{
    return platform::codepage::fromUtf8Closest(utf8, kShiftJis, '_');
}

std::optional<std::string> cp932ToUtf8(std::string_view cp932)
{
    return platform::codepage::toUtf8(cp932, kShiftJis);
}

std::string latin1ToUtf8(std::string_view bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c ? c : '_');
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::optional<std::string> utf8ToUtf16le(std::string_view utf8)
{
    std::string out;
    for (size_t i = 0; i < utf8.size();) {
        const auto lead = static_cast<unsigned char>(utf8[i]);
        const size_t length = sequenceLength(lead);
        if (lead == 0 || (lead >= 0x80 && lead < 0xC0) || lead > 0xF4 || i + length > utf8.size())
            return std::nullopt;
        char32_t c = length == 1 ? lead : length == 2 ? (lead & 0x1F) : length == 3 ? (lead & 0x0F) : (lead & 0x07);
        for (size_t k = 1; k < length; ++k) {
            const auto t = static_cast<unsigned char>(utf8[i + k]);
            if ((t & 0xC0) != 0x80)
                return std::nullopt;
            c = (c << 6) | (t & 0x3F);
        }
        const char32_t minimum = length == 1 ? 0 : length == 2 ? 0x80 : length == 3 ? 0x800 : 0x10000;
        if (c < minimum || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF))
            return std::nullopt;
        i += length;
        auto put = [&](char32_t unit) {
            out += static_cast<char>(unit & 0xFF);
            out += static_cast<char>(unit >> 8);
        };
        if (c >= 0x10000) {
            put(0xD800 + ((c - 0x10000) >> 10));
            put(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            put(c);
        }
    }
    return out;
}

std::optional<std::string> utf16leToUtf8(std::string_view utf16)
{
    if (utf16.size() % 2)
        return std::nullopt;
    std::vector<std::uint16_t> units(utf16.size() / 2);
    for (size_t i = 0; i < units.size(); ++i) {
        units[i] = static_cast<std::uint16_t>(static_cast<unsigned char>(utf16[2 * i])
            | (static_cast<unsigned char>(utf16[2 * i + 1]) << 8));
        if (units[i] == 0)
            return std::nullopt;
    }
    return platform::dialect::utf16ToUtf8(units);
}

} // namespace archivers
