// The system's part of the code page conversions (codepage_posix.cpp,
// codepage_win32.cpp): text that is not plain ASCII, between UTF-8 and a code
// page other than UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform::codepage::system {

// decode: `bytes` (no NUL) in `codePage` as UTF-8; nullopt when not valid there.
std::optional<std::string> decode(std::string_view bytes, unsigned codePage);

// encode: valid UTF-8 (no NUL) in `codePage`; nullopt when a character has
// no form there.
std::optional<std::string> encode(std::string_view utf8, unsigned codePage);

} // namespace platform::codepage::system
