// Progress and report text of one archiver call.
#include "module_state.h"

#include <algorithm>
#include <cstring>

#include "platform/codepage.h"

namespace archivers {

namespace {

using platform::codepage::kUtf8;
using platform::codepage::sequenceLength;


} // namespace

std::optional<std::string> fromCaller(const char* text)
{
    const std::string_view bytes = text ? text : "";
    const unsigned page = platform::codepage::narrow();
    if (page == kUtf8)
        return std::string(bytes); // taken as it comes; its names are checked where they are used
    return platform::codepage::toUtf8(bytes, page);
}

std::string toCaller(std::string_view utf8)
{
    const unsigned page = platform::codepage::narrow();
    if (page == kUtf8)
        return std::string(utf8);
    return platform::codepage::fromUtf8Closest(utf8, page, '?');
}

bool Progress::advance(std::uint64_t bytes, const std::string& entry)
{
    m_done += bytes;
    if (m_done > m_total)
        m_total = m_done; // a file that grew while it was read
    if (m_callback && !m_cancelled && m_callback(m_context, m_done, m_total, toCaller(entry).c_str()) != 0)
        m_cancelled = true;
    return !m_cancelled;
}

Report::Report(char* buffer, unsigned long size)
    : m_buffer(buffer)
    , m_size(size)
{
    if (m_buffer && m_size > 0)
        m_buffer[0] = '\0';
}

void Report::line(const std::string& text)
{
    m_text += text;
    m_text += '\n';
    put(text + '\n');
}

void Report::put(std::string_view utf8)
{
    if (!m_buffer || m_size == 0 || m_full)
        return;
    const size_t room = m_size - 1 - m_used;
    std::string bytes = toCaller(utf8);
    if (bytes.size() > room) {
        // What fits, character by character: never half of one.
        bytes.clear();
        for (size_t i = 0; i < utf8.size();) {
            const size_t length = std::min(sequenceLength(static_cast<unsigned char>(utf8[i])), utf8.size() - i);
            const std::string one = toCaller(utf8.substr(i, length));
            if (bytes.size() + one.size() > room)
                break;
            bytes += one;
            i += length;
        }
        m_full = true;
    }
    std::memcpy(m_buffer + m_used, bytes.data(), bytes.size());
    m_used += static_cast<unsigned long>(bytes.size());
    m_buffer[m_used] = '\0';
}

} // namespace archivers
