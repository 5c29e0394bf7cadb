// Case folding of code points on Windows: the system's case mapping of the
// invariant locale, with linguistic casing (without it the final sigma keeps
// apart from its capital), so that names compare as they do on POSIX systems.
#include "dialect.h"

#include <windows.h>

namespace platform::dialect {

namespace {

// One mapping of the UTF-16 form of a code point; the code point itself when
// the mapping does not give one code point back.
char32_t mapped(char32_t codePoint, DWORD flags)
{
    wchar_t in[2];
    int length = 1;
    if (codePoint >= 0x10000) {
        in[0] = static_cast<wchar_t>(0xD800 + ((codePoint - 0x10000) >> 10));
        in[1] = static_cast<wchar_t>(0xDC00 + ((codePoint - 0x10000) & 0x3FF));
        length = 2;
    } else {
        in[0] = static_cast<wchar_t>(codePoint);
    }
    wchar_t out[4];
    const int got = LCMapStringEx(LOCALE_NAME_INVARIANT, flags, in, length, out, 4, nullptr, nullptr, 0);
    if (got == 1 && (out[0] < 0xD800 || out[0] >= 0xE000))
        return out[0];
    if (got == 2 && out[0] >= 0xD800 && out[0] < 0xDC00 && out[1] >= 0xDC00 && out[1] < 0xE000)
        return 0x10000 + ((static_cast<char32_t>(out[0]) - 0xD800) << 10) + (out[1] - 0xDC00);
    return codePoint;
}

} // namespace

char32_t foldedCase(char32_t codePoint)
{
    if (codePoint < 0x80) // the common case, without a call
        return codePoint >= 'A' && codePoint <= 'Z' ? codePoint + ('a' - 'A') : codePoint;
    return mapped(mapped(codePoint, LCMAP_UPPERCASE | LCMAP_LINGUISTIC_CASING), LCMAP_LOWERCASE | LCMAP_LINGUISTIC_CASING);
}

} // namespace platform::dialect
