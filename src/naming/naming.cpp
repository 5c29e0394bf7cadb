// Archive names without widgets.
#include "naming.h"

#include <cctype>
#include <cstdlib>
#include <string_view>

#include "engine/basvelt.h"
#include "platform/platform.h"

namespace naming {

namespace {

// Characters (not bytes) in a UTF-8 text.
size_t characters(const std::string& text)
{
    size_t count = 0;
    for (unsigned char c : text)
        if ((c & 0xC0) != 0x80)
            ++count;
    return count;
}

} // namespace

CountUp countUp(const std::string& name)
{
    CountUp result;
    result.name = name;
    size_t start = name.size();
    while (start > 0 && name[start - 1] >= '0' && name[start - 1] <= '9')
        --start;
    if (!name.empty() && start == name.size()) {
        result.messageId = 3102;
        return result;
    }
    const std::string run = name.substr(start);
    if (run.empty()) {
        result.messageId = 3103;
        return result;
    }
    // The value must fit a signed 32-bit integer; leading zeros are allowed.
    std::uint64_t value = 0;
    for (char c : run) {
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > 2147483647u) {
            result.messageId = 3103;
            return result;
        }
    }
    if (run.size() >= 10) {
        result.messageId = 3101;
        return result;
    }
    std::string sum = std::to_string(value + 1);
    if (sum.size() < run.size())
        sum.insert(0, run.size() - sum.size(), '0');
    const std::string next = name.substr(0, start) + sum;
    if (characters(next) != characters(name)) {
        result.messageId = 3100;
        return result;
    }
    result.counted = true;
    result.name = next;
    return result;
}

std::string driveLabel(char letter)
{
    if (!platform::isDriveReady(letter))
        return {};
    const auto drive = platform::findDrive(letter);
    if (!drive)
        return {};
    const std::string entry = platform::driveEntryText(*drive);
    std::string result;
    const size_t open = entry.find('[');
    const size_t close = entry.find(']');
    if (open != std::string::npos && close != std::string::npos && close > open + 1) {
        const std::string inside = entry.substr(open + 1, close - open - 1);
        result = inside.find('\\') != std::string::npos ? basVelt::LastPathElement(inside) : inside;
    }
    if (result.empty())
        result = platform::volumeLabel(letter).valueOr(std::string());
    return result;
}

std::string trimmed(const std::string& text)
{
    const std::string ideographic = "\u3000";
    size_t begin = 0;
    size_t end = text.size();
    for (;;) {
        if (begin < end && text[begin] == ' ')
            ++begin;
        else if (end - begin >= 3 && text.compare(begin, 3, ideographic) == 0)
            begin += 3;
        else
            break;
    }
    for (;;) {
        if (end > begin && text[end - 1] == ' ')
            --end;
        else if (end - begin >= 3 && text.compare(end - 3, 3, ideographic) == 0)
            end -= 3;
        else
            break;
    }
    return text.substr(begin, end - begin);
}

bool usableAsFileName(const std::string& name)
{
    if (name.empty() || name.back() == '.' || name.back() == ' ')
        return false;
    for (const char c : name)
        if (static_cast<unsigned char>(c) < 0x20 || std::string_view("\\/:*?\"<>|").find(c) != std::string_view::npos)
            return false;
    // Windows opens a device for these names, whatever extension follows.
    std::string upper;
    for (const char c : name.substr(0, name.find('.')))
        upper += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    while (!upper.empty() && upper.back() == ' ')
        upper.pop_back();
    static constexpr std::string_view kDevices[] = {"CON", "PRN", "AUX", "NUL", "CLOCK$"};
    for (const std::string_view device : kDevices)
        if (upper == device)
            return false;
    if (upper.size() == 4 && (upper.starts_with("COM") || upper.starts_with("LPT")) && upper[3] >= '1' && upper[3] <= '9')
        return false;
    return true;
}

} // namespace naming
