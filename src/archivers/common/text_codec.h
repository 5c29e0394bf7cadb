// Name encodings inside archives: CP932 (Shift-JIS), UTF-8 and UTF-16LE.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace archivers {

// utf8ToCp932: the CP932 bytes of a UTF-8 text, or nullopt when a character
// has no CP932 form (or the input is not UTF-8).
std::optional<std::string> utf8ToCp932(std::string_view utf8);

// utf8ToCp932Closest: like utf8ToCp932, but a character without a CP932 form
// becomes "_".
std::string utf8ToCp932Closest(std::string_view utf8);

// cp932ToUtf8: the UTF-8 text of CP932 bytes, or nullopt when they are not
// valid CP932.
std::optional<std::string> cp932ToUtf8(std::string_view cp932);

// latin1ToUtf8: every byte as the character of the same number.
std::string latin1ToUtf8(std::string_view bytes);

// utf8ToUtf16le / utf16leToUtf8: UTF-16 little-endian bytes; nullopt on
// malformed input.
std::optional<std::string> utf8ToUtf16le(std::string_view utf8);
std::optional<std::string> utf16leToUtf8(std::string_view utf16);

// isUtf8: well-formed UTF-8 without NUL.
bool isUtf8(std::string_view bytes);

} // namespace archivers
