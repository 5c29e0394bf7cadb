// What every archiver module keeps between calls: the busy flag, the progress
// callback; and the report text and progress of one call.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "archiver_api.h"

namespace archivers {

class ModuleState {
public:
    // tryEnter: take the busy flag; false when a call is already in progress.
    bool tryEnter() { return !m_running.exchange(true); }
    void leave() { m_running.store(false); }
    bool running() const { return m_running.load(); }

    void setProgress(ARCHIVER_PROGRESS callback, void* context)
    {
        std::lock_guard guard(m_lock);
        m_callback = callback;
        m_context = context;
    }
    void progress(ARCHIVER_PROGRESS* callback, void** context) const
    {
        std::lock_guard guard(m_lock);
        *callback = m_callback;
        *context = m_context;
    }

private:
    std::atomic<bool> m_running{false};
    mutable std::mutex m_lock;
    ARCHIVER_PROGRESS m_callback = nullptr;
    void* m_context = nullptr;
};

// Holds the busy flag for one call.
class RunGuard {
public:
    explicit RunGuard(ModuleState& state) : m_state(state), m_entered(state.tryEnter()) {}
    ~RunGuard()
    {
        if (m_entered)
            m_state.leave();
    }
    RunGuard(const RunGuard&) = delete;
    RunGuard& operator=(const RunGuard&) = delete;
    bool entered() const { return m_entered; }

private:
    ModuleState& m_state;
    bool m_entered;
};

// Progress of one call: bytes done of a known total, and cancellation.
class Progress {
public:
    Progress() = default;
    Progress(ARCHIVER_PROGRESS callback, void* context) : m_callback(callback), m_context(context) {}

    void setTotal(std::uint64_t total) { m_total = total; }
    std::uint64_t done() const { return m_done; }
    // advance: count `bytes` more for `entry`; false once the callback asked to cancel.
    // With 0 bytes (a pass over bytes counted before) it only asks whether to go on.
    bool advance(std::uint64_t bytes, const std::string& entry);
    bool cancelled() const { return m_cancelled; }

private:
    ARCHIVER_PROGRESS m_callback = nullptr;
    void* m_context = nullptr;
    std::uint64_t m_total = 0;
    std::uint64_t m_done = 0;
    bool m_cancelled = false;
};

// The report of one call, written into the caller's buffer line by line in
// the caller's narrow code page (see fromCaller), cut to fit at a character.
class Report {
public:
    Report(char* buffer, unsigned long size);
    Report(const Report&) = delete;
    Report& operator=(const Report&) = delete;
    void line(const std::string& text);
    // text: the whole report, UTF-8.
    const std::string& text() const { return m_text; }

private:
    void put(std::string_view utf8);
    char* m_buffer;
    unsigned long m_size;
    unsigned long m_used = 0;
    bool m_full = false;
    std::string m_text;
};

// The text that crosses the C interface (command lines, reports, the entry
// names given to progress callbacks) is in the platform's narrow code page:
// UTF-8 on POSIX systems, the ANSI code page on Windows. Inside, it is UTF-8.

// fromCaller: the caller's command line as UTF-8; nullopt when it is not
// valid in the narrow code page.
std::optional<std::string> fromCaller(const char* text);

// toCaller: UTF-8 text in the narrow code page; a character it cannot hold
// becomes "?".
std::string toCaller(std::string_view utf8);

} // namespace archivers
