// Checks members of a new archive in a second thread.
#include "background_check.h"

#include <cstring>
#include <new>

#include "result_codes.h"

namespace archivers {

BackgroundCheck::BackgroundCheck(std::string path, Check check)
    : m_path(std::move(path))
    , m_check(std::move(check))
    , m_thread([this] { run(); })
{
}

BackgroundCheck::~BackgroundCheck()
{
    {
        std::lock_guard guard(m_lock);
        m_closing = true;
        m_abandon = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
}

void BackgroundCheck::submit(std::uint64_t key)
{
    {
        std::lock_guard guard(m_lock);
        m_queue.push_back(key);
    }
    m_wake.notify_one();
}

int BackgroundCheck::finish(std::string& why)
{
    {
        std::lock_guard guard(m_lock);
        m_closing = true;
    }
    m_wake.notify_one();
    if (m_thread.joinable())
        m_thread.join();
    why = m_why;
    return m_result;
}

void BackgroundCheck::run()
{
    std::unique_ptr<RandomReader> reader;
    for (;;) {
        std::uint64_t key;
        {
            std::unique_lock guard(m_lock);
            m_wake.wait(guard, [&] { return m_abandon || !m_queue.empty() || m_closing; });
            if (m_abandon || (m_queue.empty() && m_closing))
                return;
            key = m_queue.front();
            m_queue.pop_front();
        }
        if (m_result != kOk)
            continue; // the first failure is the answer
        try {
            if (!reader)
                reader = openReader(m_path);
            if (!reader) {
                m_why = "reading back the new archive: " + std::string(std::strerror(errno));
                m_result = kErrorCannotRead;
                continue;
            }
            m_result = m_check(*reader, key, m_why);
        } catch (const std::bad_alloc&) {
            // Thrown here it would end the program: the check fails instead.
            m_why = "reading back the new archive: out of memory";
            m_result = 0x801D; // ERROR_MORE_HEAP_MEMORY
        } catch (...) {
            m_why = "reading back the new archive: unexpected failure";
            m_result = kErrorCannotRead;
        }
    }
}

} // namespace archivers
