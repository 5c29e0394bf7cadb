// Parsing and forming dialect paths ("A:\ARC\X.LZH"): pure text work, no system calls.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace platform::dialect {

enum class PathKind {
    Absolute,      // "a:\x\y"
    DriveRelative, // "a:x\y" (against drive a's current folder)
    RootRelative,  // "\x\y" (against the current drive's root)
    Relative,      // "x\y"
    Unc,           // "\\server\share\x"
    Invalid,       // empty, or a drive letter that is not a..z
};

struct ParsedPath {
    PathKind kind = PathKind::Invalid;
    char drive = 0;                 // lower case, for Absolute and DriveRelative
    std::string uncRoot;            // "\\server\share", for Unc
    std::vector<std::string> parts; // elements, "." and ".." not yet folded
    bool trailingSeparator = false;
};

// parse: split `path` into its kind and elements; "/" counts as "\", and empty
// elements (doubled separators) are dropped.
ParsedPath parse(std::string_view path);

// splitElements: the non-empty elements of `text` between any of `separators`.
std::vector<std::string> splitElements(std::string_view text, std::string_view separators = "\\/");

// fold: append `more` to `base`, applying "." and ".." (never above the root).
void fold(std::vector<std::string>& base, const std::vector<std::string>& more);

// join: "A:\" for no parts, else "A:\P1\P2" (drive letter upper case).
std::string join(char drive, const std::vector<std::string>& parts);

// caseFolded: the code points of UTF-8 `text` with case folded away (bytes
// that are not UTF-8 stay apart from every character).
std::u32string caseFolded(std::string_view text);

// foldedCase: one code point with its case folded away: up, then down, so
// that the forms that have no small letter of their own (final sigma, long
// s, Kelvin sign) meet their letter. From the system's Unicode tables (each
// system's dialect_case_*.cpp).
char32_t foldedCase(char32_t codePoint);

// sameName: file names equal without regard to case (Unicode case folding).
bool sameName(std::string_view a, std::string_view b);

// isValidUtf8: the bytes form well-formed UTF-8 without NUL.
bool isValidUtf8(std::string_view bytes);

// utf16ToUtf8: UTF-16 code units as UTF-8; nullopt for a surrogate without
// its partner.
std::optional<std::string> utf16ToUtf8(std::span<const std::uint16_t> units);

} // namespace platform::dialect
