// Text in the code pages of other programs and files (Shift-JIS names in
// archives, the ANSI text of log files and module command lines), to and
// from the UTF-8 the program works in. Code pages are named by their Windows
// numbers on every system.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace platform::codepage {

constexpr unsigned kShiftJis = 932; // CP932, Microsoft's Shift-JIS
constexpr unsigned kUtf8 = 65001;

// systemAnsi: the code page of the system's "ANSI" text files (the history
// log): the ANSI code page on Windows, Shift-JIS elsewhere.
unsigned systemAnsi();

// narrow: the code page of the narrow strings the program and its archiver
// modules pass each other (command lines, reports, entry names in progress):
// the ANSI code page on Windows, UTF-8 elsewhere.
unsigned narrow();

// toUtf8: the UTF-8 text of `bytes` in `codePage`; nullopt when they are not
// valid in it, or the code page is not known here.
std::optional<std::string> toUtf8(std::string_view bytes, unsigned codePage);

// fromUtf8: the bytes of the UTF-8 text in `codePage`; nullopt when the text
// is not UTF-8 or a character has no form there (never a look-alike or "?"
// in its place).
std::optional<std::string> fromUtf8(std::string_view utf8, unsigned codePage);

// fromUtf8Closest: fromUtf8, but each character without a form in
// `codePage` (and each byte that is not UTF-8) becomes `standIn`.
std::string fromUtf8Closest(std::string_view utf8, unsigned codePage, char standIn);

// sequenceLength: the length of the UTF-8 sequence that starts with `lead`
// (1 for a stray byte).
std::size_t sequenceLength(unsigned char lead);

} // namespace platform::codepage
