// What the code page conversions share on every system.
#include "codepage.h"

#include <algorithm>

#include "codepage_system.h"
#include "dialect.h"

namespace platform::codepage {

// Length of the UTF-8 sequence that starts with `lead` (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead)
{
    if (lead >= 0xF0)
        return 4;
    if (lead >= 0xE0)
        return 3;
    if (lead >= 0xC0)
        return 2;
    return 1;
}

namespace {

// ASCII is the same in every code page taken here: no conversion needed.
bool isAscii(std::string_view text)
{
    for (unsigned char c : text)
        if (c >= 0x80 || c == 0)
            return false;
    return true;
}

} // namespace

std::optional<std::string> toUtf8(std::string_view bytes, unsigned codePage)
{
    if (isAscii(bytes) || (codePage == kUtf8 && dialect::isValidUtf8(bytes)))
        return std::string(bytes);
    if (codePage == kUtf8 || bytes.find('\0') != std::string_view::npos)
        return std::nullopt;
    return system::decode(bytes, codePage);
}

std::optional<std::string> fromUtf8(std::string_view utf8, unsigned codePage)
{
    if (isAscii(utf8))
        return std::string(utf8);
    if (!dialect::isValidUtf8(utf8))
        return std::nullopt;
    if (codePage == kUtf8)
        return std::string(utf8);
    return system::encode(utf8, codePage);
}

std::string fromUtf8Closest(std::string_view utf8, unsigned codePage, char standIn)
{
    if (auto whole = fromUtf8(utf8, codePage))
        return *whole;
    std::string out;
    for (std::size_t i = 0; i < utf8.size();) {
        const std::size_t length = std::min(sequenceLength(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
        const std::string_view one = utf8.substr(i, length);
        const auto converted = dialect::isValidUtf8(one) ? fromUtf8(one, codePage) : std::nullopt;
        if (converted)
            out += *converted;
        else
            out += standIn;
        i += length;
    }
    return out;
}

} // namespace platform::codepage
