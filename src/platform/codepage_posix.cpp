// Code page conversions through iconv.
#include "codepage.h"

#include <iconv.h>

#include "codepage_system.h"

namespace platform::codepage {

namespace {

// iconv's name of a code page.
std::string iconvName(unsigned codePage)
{
    return codePage == kUtf8 ? "UTF-8" : "CP" + std::to_string(codePage);
}

// Converts all of `input`; nullopt when iconv stops on a character.
std::optional<std::string> convert(const std::string& to, const std::string& from, std::string_view input)
{
    iconv_t cd = ::iconv_open(to.c_str(), from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1))
        return std::nullopt;
    std::string output(input.size() * 4 + 16, '\0');
    char* in = const_cast<char*>(input.data());
    size_t inLeft = input.size();
    char* out = output.data();
    size_t outLeft = output.size();
    const size_t done = ::iconv(cd, &in, &inLeft, &out, &outLeft);
    const bool flushed = ::iconv(cd, nullptr, nullptr, &out, &outLeft) != static_cast<size_t>(-1);
    ::iconv_close(cd);
    if (done == static_cast<size_t>(-1) || inLeft != 0 || !flushed)
        return std::nullopt;
    output.resize(output.size() - outLeft);
    return output;
}

} // namespace

unsigned systemAnsi()
{
    // The log files are read by Japanese tools on Windows: Shift-JIS, as there.
    return kShiftJis;
}

unsigned narrow()
{
    return kUtf8;
}

namespace system {

std::optional<std::string> decode(std::string_view bytes, unsigned codePage)
{
    return convert("UTF-8", iconvName(codePage), bytes);
}

std::optional<std::string> encode(std::string_view utf8, unsigned codePage)
{
    return convert(iconvName(codePage), "UTF-8", utf8);
}

} // namespace system

} // namespace platform::codepage
