// The execution history as a log file.
#include "history_log.h"

#include "platform/codepage.h"

namespace engine {

namespace {

// The log is a text file of the system's ANSI code page (Shift-JIS on
// Japanese Windows, and here too): a character it cannot hold is written
// as "?".
std::string toAnsi(const std::string& utf8)
{
    return platform::codepage::fromUtf8Closest(utf8, platform::codepage::systemAnsi(), '?');
}

} // namespace

std::string encodeLog(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += toAnsi(line) + "\r\n";
    return out;
}

} // namespace engine
