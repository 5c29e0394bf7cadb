// Command lines of the archiver modules: tokens, the command word, switches, names.
#pragma once

#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace archivers {

// tokenize: split at blanks; a double-quoted stretch (anywhere in a token) keeps
// its blanks and loses its quotes: "-wC:\TEMP\" gives -wC:\TEMP\. A backslash
// is an ordinary character. An unclosed quote runs to the end of the line.
std::vector<std::string> tokenize(std::string_view line);

struct ParsedCommandLine {
    std::string command;               // lower case; empty when the line has none
    std::vector<std::string> switches; // without their leading "-", in order
    std::string archive;               // first name after the command
    std::string baseFolder;            // a folder right after the archive ("C:\TEMP\", "c:")
    std::vector<std::string> names;    // file names and patterns
};

// parseCommandLine: the first token is the command word when it is one of
// `commands` (case ignored); every token starting with "-" is a switch; the
// first other token is the archive; a token right after it that ends in "\"
// or "/", or is a bare drive ("c:"), is the base folder; the rest are names.
ParsedCommandLine parseCommandLine(std::string_view line, std::initializer_list<std::string_view> commands);

// wildcardMatch: DOS-style match of `name` against `pattern` ("*", "?"),
// ignoring case; "*.*" matches every name, with or without a dot.
bool wildcardMatch(std::string_view pattern, std::string_view name);

} // namespace archivers
