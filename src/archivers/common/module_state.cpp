// Progress and report text of one archiver call.
#include "module_state.h"

#include <cstring>

namespace archivers {

bool Progress::advance(std::uint64_t bytes, const std::string& entry)
{
    m_done += bytes;
    if (m_done > m_total)
        m_total = m_done; // a file that grew while it was read
    if (m_callback && !m_cancelled && m_callback(m_context, m_done, m_total, entry.c_str()) != 0)
        m_cancelled = true;
    return !m_cancelled;
}

void Report::line(const std::string& text)
{
    m_text += text;
    m_text += '\n';
    flush();
}

void Report::flush()
{
    if (!m_buffer || m_size == 0)
        return;
    const size_t count = std::min<size_t>(m_text.size(), m_size - 1);
    std::memcpy(m_buffer, m_text.data(), count);
    m_buffer[count] = '\0';
}

} // namespace archivers
