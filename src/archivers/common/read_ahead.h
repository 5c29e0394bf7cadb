// Small files read and compressed ahead, by as many threads as there are
// cores, while the writer puts finished ones into the archive in order.
#pragma once

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "segments.h"

namespace archivers {

// The window bounds what waits in memory: at most kAheadFiles files, and no
// more than kAheadBytes of them past the one the writer waits for.
constexpr size_t kAheadFiles = 32;
constexpr std::uint64_t kAheadBytes = 16u << 20;

// Result: what a worker makes of one file (read errors included).
template <class Result>
class ReadAhead {
public:
    // Worker: makes the result of file `index`; each thread makes its own
    // (with its own compressor and buffers) from the factory, in that thread.
    using Worker = std::function<Result(size_t index)>;
    using WorkerFactory = std::function<Worker()>;

    // sizes[i]: the bytes of file i when it is to be prepared ahead, nullopt
    // when the writer deals with it itself (folders, large files, copies).
    ReadAhead(std::vector<std::optional<std::uint64_t>> sizes, WorkerFactory factory)
        : m_sizes(std::move(sizes)), m_results(m_sizes.size()), m_failures(m_sizes.size()),
          m_before(m_sizes.size() + 1, 0)
    {
        for (size_t i = 0; i < m_sizes.size(); ++i)
            m_before[i + 1] = m_before[i] + m_sizes[i].value_or(0);
        if (std::none_of(m_sizes.begin(), m_sizes.end(), [](const auto& size) { return size.has_value(); }))
            return;
        const unsigned threads = std::min(4u, usableCpus());
        for (unsigned t = 0; t < threads; ++t)
            m_threads.emplace_back([this, factory] { run(factory); });
    }

    ~ReadAhead()
    {
        {
            std::lock_guard guard(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        for (std::thread& thread : m_threads)
            thread.join();
    }

    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    bool handles(size_t index) const { return m_sizes[index].has_value(); }

    // reached: the writer is at `index`; the window moves with it (the files
    // it writes itself move it too).
    void reached(size_t index)
    {
        {
            std::lock_guard guard(m_lock);
            m_taken = std::max(m_taken, index);
        }
        m_wake.notify_all();
    }

    // take: the result for file `index`, waiting for it. What the worker
    // threw (out of memory) is thrown here, in the writer's thread, whose
    // caller turns it into a result code: in a worker it would end the program.
    Result take(size_t index)
    {
        std::unique_lock guard(m_lock);
        m_taken = std::max(m_taken, index);
        m_wake.notify_all();
        m_done.wait(guard, [&] { return m_results[index].has_value() || m_failures[index]; });
        if (m_failures[index])
            std::rethrow_exception(m_failures[index]);
        Result result = std::move(*m_results[index]);
        m_results[index].reset();
        m_taken = index + 1;
        guard.unlock();
        m_wake.notify_all();
        return result;
    }

private:
    // inWindow: whether file `index` may be prepared now (the file the writer
    // waits for always may).
    bool inWindow(size_t index) const
    {
        return index <= m_taken
            || (index < m_taken + kAheadFiles && m_before[index + 1] - m_before[m_taken] <= kAheadBytes);
    }

    void run(const WorkerFactory& factory)
    {
        Worker worker;
        std::exception_ptr broken;
        try {
            worker = factory();
        } catch (...) {
            broken = std::current_exception();
        }
        for (;;) {
            size_t index;
            {
                std::unique_lock guard(m_lock);
                while (m_next < m_sizes.size() && !m_sizes[m_next])
                    ++m_next;
                if (m_next >= m_sizes.size())
                    return;
                index = m_next++;
                m_wake.wait(guard, [&] { return m_stop || inWindow(index); });
                if (m_stop)
                    return;
            }
            std::optional<Result> result;
            std::exception_ptr failure = broken;
            if (!failure) {
                try {
                    result.emplace(worker(index));
                } catch (...) {
                    failure = std::current_exception();
                }
            }
            {
                std::lock_guard guard(m_lock);
                if (failure)
                    m_failures[index] = failure;
                else
                    m_results[index] = std::move(result);
            }
            m_done.notify_all();
        }
    }

    std::vector<std::optional<std::uint64_t>> m_sizes;
    std::vector<std::optional<Result>> m_results;
    std::vector<std::exception_ptr> m_failures;
    std::vector<std::uint64_t> m_before; // bytes prepared ahead before each index
    std::mutex m_lock;
    std::condition_variable m_wake; // workers: room in the window, or stop
    std::condition_variable m_done; // writer: a result arrived
    size_t m_next = 0;
    size_t m_taken = 0;
    bool m_stop = false;
    std::vector<std::thread> m_threads;
};

} // namespace archivers
