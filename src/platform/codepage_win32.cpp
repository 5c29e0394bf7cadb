// Code page conversions through the Windows API, by way of UTF-16.
#include "codepage.h"

#include <windows.h>

#include "codepage_system.h"

namespace platform::codepage {

namespace {

std::optional<std::wstring> wide(std::string_view bytes, unsigned codePage)
{
    if (bytes.empty())
        return std::wstring();
    const int size = static_cast<int>(bytes.size());
    // MB_ERR_INVALID_CHARS: a byte sequence the code page does not define
    // fails the call instead of becoming U+FFFD or a look-alike.
    const int length = ::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, nullptr, 0);
    if (length <= 0)
        return std::nullopt;
    std::wstring out(static_cast<size_t>(length), L'\0');
    if (::MultiByteToWideChar(codePage, MB_ERR_INVALID_CHARS, bytes.data(), size, out.data(), length) != length)
        return std::nullopt;
    return out;
}

std::optional<std::string> narrowed(const std::wstring& text, unsigned codePage)
{
    if (text.empty())
        return std::string();
    const int size = static_cast<int>(text.size());
    // UTF-8 takes neither flag nor default character; every other code page
    // is asked for no best fit ("é" is not "e") and tells whether it needed
    // its default character for one it lacks, which is then a failure.
    const bool utf8 = codePage == CP_UTF8;
    const DWORD flags = utf8 ? 0 : WC_NO_BEST_FIT_CHARS;
    BOOL usedDefault = FALSE;
    BOOL* used = utf8 ? nullptr : &usedDefault;
    const int length = ::WideCharToMultiByte(codePage, flags, text.data(), size, nullptr, 0, nullptr, used);
    if (length <= 0 || usedDefault)
        return std::nullopt;
    std::string out(static_cast<size_t>(length), '\0');
    if (::WideCharToMultiByte(codePage, flags, text.data(), size, out.data(), length, nullptr, used) != length
        || usedDefault)
        return std::nullopt;
    return out;
}

} // namespace

unsigned systemAnsi()
{
    return ::GetACP();
}

unsigned narrow()
{
    return ::GetACP();
}

namespace system {

std::optional<std::string> decode(std::string_view bytes, unsigned codePage)
{
    const auto text = wide(bytes, codePage);
    if (!text)
        return std::nullopt;
    return narrowed(*text, CP_UTF8);
}

std::optional<std::string> encode(std::string_view utf8, unsigned codePage)
{
    const auto text = wide(utf8, CP_UTF8);
    if (!text)
        return std::nullopt;
    return narrowed(*text, codePage);
}

} // namespace system

} // namespace platform::codepage
