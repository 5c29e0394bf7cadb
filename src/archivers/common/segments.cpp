// A large member compressed on every core.
#include "segments.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

namespace archivers {

long SegmentSource::read(void* buffer, size_t size)
{
    if (m_signals.stop.load(std::memory_order_relaxed)) {
        m_error = ECANCELED;
        return -1;
    }
    const size_t count = std::min(size, m_segment.bytes.size() - m_at);
    std::memcpy(buffer, m_segment.bytes.data() + m_at, count);
    // Only the segment's own bytes are work done; the prime is read first.
    const size_t before = std::max(m_at, m_segment.prime);
    m_at += count;
    if (m_at > before)
        m_signals.coded.fetch_add(m_at - before, std::memory_order_relaxed);
    return static_cast<long>(count);
}

namespace {

// Bit strings put one after the other, without gaps, into a sink; the
// first bit of a byte is its most significant one (a stream whose pieces
// are whole bytes joins as bytes, in either order).
class BitJoiner {
public:
    explicit BitJoiner(ByteSink& sink) : m_sink(sink) {}

    bool append(const std::string& text, std::uint64_t bits)
    {
        const auto* data = reinterpret_cast<const unsigned char*>(text.data());
        const size_t whole = static_cast<size_t>(bits / 8);
        const unsigned rest = static_cast<unsigned>(bits % 8);
        if (m_fill == 0) {
            m_buffer.insert(m_buffer.end(), data, data + whole);
        } else {
            const size_t at = m_buffer.size();
            m_buffer.resize(at + whole);
            unsigned char* out = m_buffer.data() + at;
            for (size_t i = 0; i < whole; ++i) {
                out[i] = static_cast<unsigned char>(m_partial | (data[i] >> m_fill));
                m_partial = (data[i] << (8 - m_fill)) & 0xFF;
            }
        }
        if (rest) {
            // The first `rest` bits of the last byte.
            const unsigned value = data[whole] & (0xFF00u >> rest) & 0xFF;
            const unsigned joined = m_partial | (value >> m_fill);
            if (m_fill + rest >= 8) {
                m_buffer.push_back(static_cast<unsigned char>(joined));
                m_partial = (value << (8 - m_fill)) & 0xFF;
            } else {
                m_partial = joined;
            }
            m_fill = (m_fill + rest) % 8;
        }
        return m_buffer.size() < kFlushAt || drain();
    }

    // finish: the last byte, padded with zero bits, and everything written.
    bool finish()
    {
        if (m_fill) {
            m_buffer.push_back(static_cast<unsigned char>(m_partial));
            m_fill = 0;
            m_partial = 0;
        }
        return drain();
    }

    std::uint64_t written() const { return m_written; }

private:
    static constexpr size_t kFlushAt = 1u << 20;

    bool drain()
    {
        if (m_buffer.empty())
            return true;
        if (!m_sink.write(m_buffer.data(), m_buffer.size()))
            return false;
        m_written += m_buffer.size();
        m_buffer.clear();
        return true;
    }

    ByteSink& m_sink;
    std::vector<unsigned char> m_buffer;
    unsigned m_partial = 0; // the bits of the unfinished byte, from the top
    unsigned m_fill = 0;    // how many (0..7)
    std::uint64_t m_written = 0;
};

// The workers and what they share with the driver.
class Crew {
public:
    Crew(unsigned threads, const SegmentCoderFactory& factory)
    {
        try {
            for (unsigned t = 0; t < threads; ++t)
                m_threads.emplace_back([this, &factory] { work(factory); });
        } catch (...) {
            // No thread to be had: those started end before the caller hears.
            close();
            throw;
        }
    }

    ~Crew() { close(); }

    Crew(const Crew&) = delete;
    Crew& operator=(const Crew&) = delete;

    void close()
    {
        {
            std::lock_guard guard(m_lock);
            m_closing = true;
        }
        signals.stop = true;
        m_wake.notify_all();
        for (std::thread& thread : m_threads)
            if (thread.joinable())
                thread.join();
    }

    void give(Segment segment)
    {
        {
            std::lock_guard guard(m_lock);
            m_queue.push_back(std::move(segment));
        }
        m_wake.notify_one();
    }

    // take: segment `index` once coded; nothing when the wait ends first.
    std::optional<CodedSegment> take(size_t index, std::chrono::milliseconds wait)
    {
        std::unique_lock guard(m_lock);
        m_done.wait_for(guard, wait, [&] { return m_results.count(index) != 0; });
        const auto found = m_results.find(index);
        if (found == m_results.end())
            return std::nullopt;
        CodedSegment coded = std::move(found->second);
        m_results.erase(found);
        return coded;
    }

    SegmentSignals signals;

private:
    void work(const SegmentCoderFactory& factory)
    {
        SegmentCoder coder;
        bool broken = false;
        try {
            coder = factory();
        } catch (...) {
            broken = true;
        }
        for (;;) {
            Segment segment;
            {
                std::unique_lock guard(m_lock);
                m_wake.wait(guard, [&] { return m_closing || !m_queue.empty(); });
                if (m_closing)
                    return;
                segment = std::move(m_queue.front());
                m_queue.pop_front();
            }
            CodedSegment coded;
            if (broken) {
                coded.failure = -1;
                coded.error = ENOMEM;
            } else {
                try {
                    coded = coder(segment, signals);
                } catch (...) {
                    coded = CodedSegment{};
                    coded.failure = -1;
                    coded.error = ENOMEM;
                }
            }
            // The segment's memory goes before the driver is told.
            segment.bytes = {};
            {
                std::lock_guard guard(m_lock);
                m_results.emplace(segment.index, std::move(coded));
            }
            m_done.notify_all();
        }
    }

    std::mutex m_lock;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    std::deque<Segment> m_queue;
    std::map<size_t, CodedSegment> m_results;
    bool m_closing = false;
    std::vector<std::thread> m_threads;
};

} // namespace

SegmentedResult codeSegmented(ByteSource& source, ByteSink& sink, Progress& progress, const std::string& entry,
                              const SegmentCoderFactory& factory, const SegmentedOptions& options)
{
    SegmentedResult result;
    const unsigned threads = usableCpus();
    // Segments given out and not yet written: one more than the workers, so
    // that none waits while the driver writes.
    const size_t inFlight = threads + 1;
    Crew crew(threads, factory);
    BitJoiner joiner(sink);

    // tell: the progress hears of the work done since it last heard; false to stop.
    std::uint64_t coded = 0;
    auto tell = [&](std::uint64_t upTo) {
        upTo = std::min(upTo, result.size);
        const std::uint64_t from = std::max(coded, options.counted);
        coded = std::max(coded, upTo);
        const std::uint64_t fresh = upTo > from ? upTo - from : 0;
        result.counted = std::max(result.counted, upTo);
        return progress.advance(fresh, entry);
    };

    // readInto: up to `want` more source bytes at the end of `bytes`; false on failure.
    bool ended = false;
    auto readInto = [&](std::vector<unsigned char>& bytes, size_t want) {
        const size_t start = bytes.size();
        bytes.resize(start + want);
        size_t got = 0;
        while (got < want && !ended) {
            const long n = source.read(bytes.data() + start + got, want - got);
            if (n < 0) {
                result.error = source.error();
                bytes.resize(start + got);
                return false;
            }
            if (n == 0)
                ended = true;
            got += static_cast<size_t>(n);
        }
        bytes.resize(start + got);
        if (options.onRead && got)
            options.onRead(bytes.data() + start, got);
        result.size += got;
        return true;
    };

    auto fail = [&](SegmentedResult::Status status) {
        crew.signals.stop = true;
        result.status = status;
        return result;
    };

    // Progress is asked after every read too: a cancel is heard while the
    // source is read ahead.
    Segment pending; // read, but not yet known to be the last
    if (!readInto(pending.bytes, kSegmentBytes))
        return fail(SegmentedResult::Status::ReadError);
    if (!tell(crew.signals.coded.load(std::memory_order_relaxed)))
        return fail(SegmentedResult::Status::Cancelled);
    size_t given = 0;
    size_t written = 0;
    bool allGiven = false;
    for (;;) {
        // Read on while the workers have room: a segment is given out once
        // the read after it shows whether it is the last.
        while (!allGiven && given - written < inFlight) {
            Segment next;
            next.index = given + 1;
            const size_t primed = std::min(options.window, pending.ownSize());
            next.bytes.assign(pending.bytes.end() - static_cast<std::ptrdiff_t>(primed), pending.bytes.end());
            next.prime = primed;
            if (!ended && !readInto(next.bytes, kSegmentBytes))
                return fail(SegmentedResult::Status::ReadError);
            if (!tell(crew.signals.coded.load(std::memory_order_relaxed)))
                return fail(SegmentedResult::Status::Cancelled);
            if (ended && next.ownSize() < kSegmentTail) {
                pending.bytes.insert(pending.bytes.end(), next.own(), next.own() + next.ownSize());
                pending.last = true;
                pending.index = given;
                crew.give(std::move(pending));
                ++given;
                allGiven = true;
                break;
            }
            pending.index = given;
            crew.give(std::move(pending));
            ++given;
            pending = std::move(next);
        }
        if (written == given)
            break;
        std::optional<CodedSegment> done = crew.take(written, std::chrono::milliseconds(100));
        if (!tell(crew.signals.coded.load(std::memory_order_relaxed)))
            return fail(SegmentedResult::Status::Cancelled);
        if (!done)
            continue;
        if (done->failure) {
            result.failure = done->failure;
            result.error = done->error;
            return fail(SegmentedResult::Status::CoderFailed);
        }
        if (!joiner.append(done->data, done->bits)) {
            result.error = sink.error();
            return fail(SegmentedResult::Status::WriteError);
        }
        ++written;
    }
    if (!joiner.finish()) {
        result.error = sink.error();
        return fail(SegmentedResult::Status::WriteError);
    }
    if (!tell(result.size))
        return fail(SegmentedResult::Status::Cancelled);
    result.written = joiner.written();
    return result;
}

} // namespace archivers
