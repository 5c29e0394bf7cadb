// Parsing and forming dialect paths.
#include "dialect.h"


namespace platform::dialect {

namespace {

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

std::vector<std::string> splitElements(std::string_view text, std::string_view separators)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (separators.find(c) != std::string_view::npos) {
            if (!current.empty())
                parts.push_back(std::move(current));
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        parts.push_back(std::move(current));
    return parts;
}

ParsedPath parse(std::string_view path)
{
    ParsedPath parsed;
    if (path.empty())
        return parsed;
    parsed.trailingSeparator = isSeparator(path.back());

    if (path.size() >= 2 && isSeparator(path[0]) && isSeparator(path[1])) {
        std::vector<std::string> parts = splitElements(path.substr(2));
        if (parts.size() < 2)
            return parsed;
        parsed.kind = PathKind::Unc;
        parsed.uncRoot = "\\\\" + parts[0] + "\\" + parts[1];
        parsed.parts.assign(parts.begin() + 2, parts.end());
        return parsed;
    }
    if (path.size() >= 2 && path[1] == ':') {
        char letter = path[0];
        if (letter >= 'A' && letter <= 'Z')
            letter = static_cast<char>(letter - 'A' + 'a');
        if (letter < 'a' || letter > 'z')
            return parsed;
        parsed.drive = letter;
        std::string_view rest = path.substr(2);
        parsed.kind = (!rest.empty() && isSeparator(rest[0])) ? PathKind::Absolute
                                                               : PathKind::DriveRelative;
        parsed.parts = splitElements(rest);
        return parsed;
    }
    parsed.kind = isSeparator(path[0]) ? PathKind::RootRelative : PathKind::Relative;
    parsed.parts = splitElements(path);
    return parsed;
}

void fold(std::vector<std::string>& base, const std::vector<std::string>& more)
{
    for (const std::string& part : more) {
        if (part == ".")
            continue;
        if (part == "..") {
            if (!base.empty())
                base.pop_back();
            continue;
        }
        base.push_back(part);
    }
}

std::string join(char drive, const std::vector<std::string>& parts)
{
    std::string out;
    out += static_cast<char>(drive >= 'a' && drive <= 'z' ? drive - 'a' + 'A' : drive);
    out += ":\\";
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i)
            out += '\\';
        out += parts[i];
    }
    return out;
}

namespace {

// nextCodePoint: the code point at bytes[i], i moved past it; nullopt (i moved
// one byte) for a byte that starts no well-formed sequence.
std::optional<char32_t> nextCodePoint(std::string_view bytes, size_t& i)
{
    const auto c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
        ++i;
        return c;
    }
    int extra;
    char32_t cp;
    if ((c & 0xE0) == 0xC0) {
        extra = 1;
        cp = c & 0x1F;
    } else if ((c & 0xF0) == 0xE0) {
        extra = 2;
        cp = c & 0x0F;
    } else if ((c & 0xF8) == 0xF0) {
        extra = 3;
        cp = c & 0x07;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + static_cast<size_t>(extra) >= bytes.size()) {
        ++i;
        return std::nullopt;
    }
    for (int k = 1; k <= extra; ++k) {
        const auto t = static_cast<unsigned char>(bytes[i + static_cast<size_t>(k)]);
        if ((t & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        cp = (cp << 6) | (t & 0x3F);
    }
    const char32_t minimum = extra == 1 ? 0x80 : extra == 2 ? 0x800 : 0x10000;
    if (cp < minimum || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return std::nullopt;
    }
    i += static_cast<size_t>(extra) + 1;
    return cp;
}

} // namespace

std::u32string caseFolded(std::string_view text)
{
    std::u32string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[i]);
        if (const std::optional<char32_t> cp = nextCodePoint(text, i)) {
            out += foldedCase(*cp);
        } else {
            out += static_cast<char32_t>(0xDC00 | lead); // never equal to a real character
        }
    }
    return out;
}

bool sameName(std::string_view a, std::string_view b)
{
    return a == b || caseFolded(a) == caseFolded(b);
}

bool isValidUtf8(std::string_view bytes)
{
    for (size_t i = 0; i < bytes.size();)
        if (bytes[i] == 0 || !nextCodePoint(bytes, i))
            return false;
    return true;
}

std::optional<std::string> utf16ToUtf8(std::span<const std::uint16_t> units)
{
    std::string out;
    for (std::size_t i = 0; i < units.size(); ++i) {
        std::uint32_t code = units[i];
        if (code >= 0xD800 && code < 0xDC00) {
            if (i + 1 >= units.size() || units[i + 1] < 0xDC00 || units[i + 1] >= 0xE000)
                return std::nullopt;
            code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
        } else if (code >= 0xDC00 && code < 0xE000) {
            return std::nullopt;
        }
        if (code < 0x80) {
            out += static_cast<char>(code);
        } else if (code < 0x800) {
            out += static_cast<char>(0xC0 | (code >> 6));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else if (code < 0x10000) {
            out += static_cast<char>(0xE0 | (code >> 12));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (code >> 18));
            out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (code & 0x3F));
        }
    }
    return out;
}

} // namespace platform::dialect
