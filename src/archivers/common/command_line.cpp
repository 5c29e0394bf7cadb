// Command lines of the archiver modules.
#include "command_line.h"

#include <algorithm>
#include <cctype>

#include "platform/dialect.h"

namespace archivers {

std::vector<std::string> tokenize(std::string_view line)
{
    std::vector<std::string> tokens;
    std::string current;
    bool inToken = false;
    bool quoted = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            inToken = true;
            continue;
        }
        if (!quoted && (c == ' ' || c == '\t' || c == '\r' || c == '\n')) {
            if (inToken)
                tokens.push_back(std::move(current));
            current.clear();
            inToken = false;
            continue;
        }
        current += c;
        inToken = true;
    }
    if (inToken)
        tokens.push_back(std::move(current));
    return tokens;
}

namespace {

std::string lower(std::string_view text)
{
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return out;
}

bool looksLikeFolder(std::string_view token)
{
    if (token.empty())
        return false;
    if (token.back() == '\\' || token.back() == '/')
        return true;
    return token.size() == 2 && token[1] == ':' && std::isalpha(static_cast<unsigned char>(token[0]));
}

} // namespace

ParsedCommandLine parseCommandLine(std::string_view line, std::initializer_list<std::string_view> commands)
{
    ParsedCommandLine parsed;
    const std::vector<std::string> tokens = tokenize(line);
    bool first = true;
    bool afterArchive = false;
    for (const std::string& token : tokens) {
        const bool wasFirst = first;
        first = false;
        if (token.size() > 1 && token[0] == '-') {
            parsed.switches.push_back(token.substr(1));
            continue;
        }
        if (wasFirst && std::find(commands.begin(), commands.end(), lower(token)) != commands.end()) {
            parsed.command = lower(token);
            continue;
        }
        if (parsed.archive.empty()) {
            parsed.archive = token;
            afterArchive = true;
            continue;
        }
        if (afterArchive && parsed.baseFolder.empty() && parsed.names.empty() && looksLikeFolder(token)) {
            parsed.baseFolder = token;
            continue;
        }
        afterArchive = false;
        parsed.names.push_back(token);
    }
    return parsed;
}

namespace {

bool matchFrom(const std::u32string& p, size_t pi, const std::u32string& n, size_t ni)
{
    while (pi < p.size()) {
        if (p[pi] == U'*') {
            while (pi < p.size() && p[pi] == U'*')
                ++pi;
            if (pi == p.size())
                return true;
            for (size_t k = ni; k <= n.size(); ++k)
                if (matchFrom(p, pi, n, k))
                    return true;
            return false;
        }
        if (ni >= n.size())
            return false;
        if (p[pi] != U'?' && p[pi] != n[ni])
            return false;
        ++pi;
        ++ni;
    }
    return ni == n.size();
}

std::u32string folded(std::string_view text)
{
    return platform::dialect::caseFolded(text);
}

} // namespace

bool wildcardMatch(std::string_view pattern, std::string_view name)
{
    if (pattern == "*.*" || pattern == "*")
        return true;
    std::u32string p = folded(pattern);
    // "NAME.*" also matches "NAME" without an extension, as on DOS.
    if (p.size() >= 2 && p.substr(p.size() - 2) == U".*" && matchFrom(p.substr(0, p.size() - 2), 0, folded(name), 0))
        return true;
    return matchFrom(p, 0, folded(name), 0);
}

} // namespace archivers
