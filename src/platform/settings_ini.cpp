// The text form of a settings store file.
//
// Names and values are escaped so that every byte string survives a round trip:
// "\\" for a backslash, and "\xHH" for control bytes and for the characters
// that would change a line's meaning ("=" in keys, "]" in section names, "[",
// ";", "#" or a blank at the start of a key, a blank at either end of a value).
// Any other backslash reads as itself, for files edited by hand.
#include "settings_ini.h"

#include <cctype>

#include "dialect.h"

namespace platform::ini {

namespace {

bool sameAscii(std::string_view a, std::string_view b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i]))
            != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

void appendHex(std::string& out, unsigned char c)
{
    static const char digits[] = "0123456789ABCDEF";
    out += "\\x";
    out += digits[c >> 4];
    out += digits[c & 15];
}

enum class Field { Section, Key, Value };

std::string escape(std::string_view text, Field field)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        const bool atStart = i == 0;
        if (c == '\\')
            out += "\\\\";
        else if (c < 0x20 || c == 0x7F)
            appendHex(out, c);
        else if (field == Field::Key && (c == '=' || (atStart && (c == '[' || c == ';' || c == '#' || c == ' '))))
            appendHex(out, c);
        else if (field == Field::Section && c == ']')
            appendHex(out, c);
        else if (field == Field::Value && c == ' ' && (atStart || i + 1 == text.size()))
            appendHex(out, c); // editors and tools strip blanks at the ends of lines
        else
            out += static_cast<char>(c);
    }
    return out;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Whether the writer escapes `c` in some field; only such bytes are taken
// from "\xHH" when reading, so a hand-written "C:\x86" stays as it is.
bool escapedByWriter(unsigned char c)
{
    return c < 0x20 || c == 0x7F || c == '=' || c == '[' || c == ';' || c == '#' || c == ' ' || c == ']';
}

// The file is also edited by hand, where "D:\WORK\" means what it says: a
// backslash that starts none of the writer's escapes ("\\", "\xHH" of a byte
// the writer escapes) is a backslash. "\n", "\r" and "\t" were escapes of an
// earlier writer; they are not taken, so "C:\temp" and "C:\new" survive.
bool unescape(std::string_view text, std::string& out)
{
    out.clear();
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (i + 1 < text.size() && text[i + 1] == '\\') {
            out += '\\';
            ++i;
            continue;
        }
        if (i + 3 < text.size() && text[i + 1] == 'x') {
            const int high = hexValue(text[i + 2]);
            const int low = hexValue(text[i + 3]);
            if (high >= 0 && low >= 0 && escapedByWriter(static_cast<unsigned char>(high * 16 + low))) {
                out += static_cast<char>(high * 16 + low);
                i += 3;
                continue;
            }
        }
        out += '\\';
    }
    return true;
}

} // namespace

const std::string* Document::find(std::string_view section, std::string_view key) const
{
    for (const Section& candidate : sections) {
        if (!sameAscii(candidate.name, section))
            continue;
        for (const auto& [name, value] : candidate.values)
            if (sameAscii(name, key))
                return &value;
    }
    return nullptr;
}

void Document::set(std::string_view section, std::string_view key, std::string_view value)
{
    Section* target = nullptr;
    for (Section& candidate : sections)
        if (sameAscii(candidate.name, section)) {
            target = &candidate;
            break;
        }
    if (!target) {
        sections.push_back(Section{std::string(section), {}});
        target = &sections.back();
    }
    for (auto& [name, stored] : target->values)
        if (sameAscii(name, key)) {
            stored = value;
            return;
        }
    target->values.emplace_back(std::string(key), std::string(value));
}

bool Document::removeSection(std::string_view section)
{
    const auto before = sections.size();
    std::erase_if(sections, [&](const Section& s) { return sameAscii(s.name, section); });
    return sections.size() != before;
}

ParseResult parse(std::string_view text)
{
    ParseResult result;
    Section* current = nullptr;
    int lineNumber = 0;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos)
            end = text.size();
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        ++lineNumber;
        if (!line.empty() && line.back() == '\r')
            line.remove_suffix(1);
        if (line.empty() || line[0] == ';' || line[0] == '#')
            continue;
        std::string name, value;
        if (!dialect::isValidUtf8(line)) {
            result.badLines.push_back(lineNumber);
            continue;
        }
        if (line[0] == '[') {
            if (line.back() != ']' || !unescape(line.substr(1, line.size() - 2), name)) {
                result.badLines.push_back(lineNumber);
                current = nullptr;
                continue;
            }
            // A section written twice is merged into the first.
            current = nullptr;
            for (Section& s : result.document.sections)
                if (sameAscii(s.name, name))
                    current = &s;
            if (!current) {
                result.document.sections.push_back(Section{name, {}});
                current = &result.document.sections.back();
            }
            continue;
        }
        const size_t equals = line.find('=');
        if (!current || equals == std::string_view::npos || !unescape(line.substr(0, equals), name)
            || !unescape(line.substr(equals + 1), value)) {
            result.badLines.push_back(lineNumber);
            continue;
        }
        result.document.set(current->name, name, value);
        // set() may have grown the vector of sections; find the section again.
        for (Section& s : result.document.sections)
            if (sameAscii(s.name, current->name))
                current = &s;
    }
    return result;
}

std::string serialize(const Document& document)
{
    std::string out;
    for (const Section& section : document.sections) {
        if (!out.empty())
            out += '\n';
        out += '[' + escape(section.name, Field::Section) + "]\n";
        for (const auto& [key, value] : section.values)
            out += escape(key, Field::Key) + '=' + escape(value, Field::Value) + '\n';
    }
    return out;
}

} // namespace platform::ini
