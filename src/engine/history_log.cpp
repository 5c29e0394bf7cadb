// The execution history as a log file.
#include "history_log.h"

#include <cerrno>

#include <iconv.h>

namespace engine {

namespace {

std::string toCp932(const std::string& utf8)
{
    iconv_t cd = ::iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1))
        return utf8;
    std::string out;
    char* in = const_cast<char*>(utf8.data());
    size_t inLeft = utf8.size();
    char buffer[256];
    while (inLeft > 0) {
        char* o = buffer;
        size_t oLeft = sizeof buffer;
        const size_t done = ::iconv(cd, &in, &inLeft, &o, &oLeft);
        out.append(buffer, sizeof buffer - oLeft);
        if (done == static_cast<size_t>(-1) && errno != E2BIG) {
            // A character CP932 cannot hold: "?" for it, then on.
            out += '?';
            do {
                ++in;
                --inLeft;
            } while (inLeft > 0 && (static_cast<unsigned char>(*in) & 0xC0) == 0x80);
        }
    }
    ::iconv_close(cd);
    return out;
}

} // namespace

std::string encodeLog(const std::vector<std::string>& lines)
{
    std::string out;
    for (const std::string& line : lines)
        out += toCp932(line) + "\r\n";
    return out;
}

} // namespace engine
