// UTF-8 <-> UTF-16 for Windows calls: every name this program holds is UTF-8,
// every Win32 call that takes a name is the ...W one and takes UTF-16.
#pragma once

#include <windows.h>

#include <string>
#include <string_view>

namespace platform {

// widen: UTF-8 to UTF-16 for a ...W call. Malformed UTF-8 becomes U+FFFD, so a
// name that was never valid UTF-8 names no file rather than a wrong one.
inline std::wstring widen(std::string_view text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int count = MultiByteToWideChar(CP_UTF8, 0, text.data(), size, nullptr, 0);
    if (count <= 0)
        return {};
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), size, wide.data(), count);
    return wide;
}

// narrow: UTF-16 from the system to UTF-8. A lone surrogate (a name Windows
// allows but Unicode does not) becomes U+FFFD.
inline std::string narrow(std::wstring_view text)
{
    if (text.empty())
        return {};
    const int size = static_cast<int>(text.size());
    const int count = WideCharToMultiByte(CP_UTF8, 0, text.data(), size, nullptr, 0,
                                          nullptr, nullptr);
    if (count <= 0)
        return {};
    std::string utf8(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), size, utf8.data(), count, nullptr, nullptr);
    return utf8;
}

} // namespace platform
