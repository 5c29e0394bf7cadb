// basVelt: the drive, folder and file-name procedures shared by the engine,
// the panels and the dialogs. Dialect paths in and out; none keeps state,
// none fails towards its caller (an error gives the empty text or false).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace basVelt {

// GetTempFolder: the system's temporary folder as the platform reports it,
// with its trailing "\" ("Z:\TMP\"); the empty text when it is longer than
// 254 characters.
std::string GetTempFolder();

// GetSystemFolder: the folder that holds the archiver library modules,
// without a trailing "\"; the empty text when it is longer than 254 characters.
std::string GetSystemFolder();

// FreeSpaceText: " (1.4M Free)" for the drive of `path` (its first two
// characters), or the empty text when the drive is not ready or has no space.
std::string FreeSpaceText(std::string_view path);

// FormatFreeSpace: the text FreeSpaceText shows for `freeBytes` (" (1,228.8M Free)"),
// the empty text for 0.
std::string FormatFreeSpace(std::uint64_t freeBytes);

// ShortenPath: C:\A\B\C\D becomes C:\A\...\C\D; four elements or fewer stay.
std::string ShortenPath(std::string_view path);

// LastPathElement: the text after the last "\" (empty when there is none or
// it ends the text): \\SERVER\SHARE gives SHARE.
std::string LastPathElement(std::string_view path);

// LongPathName: the path as the file system spells it ("c:\program files\foo"
// gives "C:\Program Files\foo"), without a trailing "\" except for a root;
// the empty text when an element does not exist or the path has no drive.
std::string LongPathName(std::string_view path);

// UpperCaseName: letters upper-cased, except full-width small Latin letters,
// small Greek letters and small Cyrillic letters, which stay as they are.
std::string UpperCaseName(std::string_view text);

// FileExists: true when `path` is a file that opens for reading now (a folder
// or a file in exclusive use gives false).
bool FileExists(std::string_view path);

} // namespace basVelt
