// The text form of a settings store file: sections of key=value lines (UTF-8).
#pragma once

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace platform::ini {

struct Section {
    std::string name;
    std::vector<std::pair<std::string, std::string>> values; // in file order
};

struct Document {
    std::vector<Section> sections;

    // find: the value of section/key (ASCII case ignored in both), or null.
    const std::string* find(std::string_view section, std::string_view key) const;
    void set(std::string_view section, std::string_view key, std::string_view value);
    // removeSection: true when the section was there.
    bool removeSection(std::string_view section);
};

struct ParseResult {
    Document document;
    // Lines that were neither blank, comment, [section] nor key=value, or
    // bytes that are not UTF-8: the file was damaged or is not ours.
    std::vector<int> badLines;
};

// parse: read the text form. Damaged lines are skipped and reported.
ParseResult parse(std::string_view text);

// serialize: the text form; parse(serialize(d)) gives d back exactly, for any
// bytes in names and values (line breaks, "=", "[", leading blanks, "\").
std::string serialize(const Document& document);

} // namespace platform::ini
