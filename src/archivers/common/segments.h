// A large member compressed on every core: its bytes are cut into segments,
// each compressed by a worker thread with the window of bytes before it, and
// the workers' bit streams are joined, in order, into the member's one
// stream. Where the cuts fall depends on the data alone, never on the number
// of threads, so an archive is the same on every machine.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "file_io.h"
#include "module_state.h"

namespace archivers {

// Source bytes of a segment; a last stretch shorter than kSegmentTail joins
// the segment before it (a stream's last block should not be tiny).
constexpr size_t kSegmentBytes = 4u << 20;
constexpr size_t kSegmentTail = 64u << 10;

// One segment for a worker: `prime` bytes that precede it in the member (the
// window its matches may reach back into), then its own bytes.
struct Segment {
    size_t index = 0;
    std::vector<unsigned char> bytes;
    size_t prime = 0;
    bool last = false;
    const unsigned char* own() const { return bytes.data() + prime; }
    size_t ownSize() const { return bytes.size() - prime; }
};

// What a worker made of a segment: the first `bits` bits of `data`, the
// first bit of a byte its most significant one (pieces of whole bytes may
// be of either order). `failure` non-zero: the worker's own reason (see its
// coder), and the member is not written.
struct CodedSegment {
    std::string data;
    std::uint64_t bits = 0;
    int failure = 0;
    int error = 0; // an errno value, when there is one
};

// Shared by the driver and its workers while one member is coded.
struct SegmentSignals {
    std::atomic<bool> stop{false};          // give up: cancelled, or another segment failed
    std::atomic<std::uint64_t> coded{0};    // source bytes the workers have coded so far
};

// A coder belongs to one worker thread (with its own tables); the factory
// makes one in that thread.
using SegmentCoder = std::function<CodedSegment(const Segment& segment, SegmentSignals& signals)>;
using SegmentCoderFactory = std::function<SegmentCoder()>;

struct SegmentedOptions {
    size_t window = 0;                      // bytes of prime each segment gets
    // Sees every source byte once, in order, as it is read (the CRC).
    std::function<void(const unsigned char* data, size_t size)> onRead;
    // Source bytes an earlier pass over the same data has counted already.
    std::uint64_t counted = 0;
};

struct SegmentedResult {
    enum class Status { Ok, ReadError, WriteError, Cancelled, CoderFailed } status = Status::Ok;
    std::uint64_t size = 0;     // source bytes read
    std::uint64_t counted = 0;  // source bytes the progress has been told of
    std::uint64_t written = 0;  // bytes put into the sink
    int error = 0;              // errno of a read or write failure
    int failure = 0;            // the failing segment's own reason (CoderFailed)
};

// codeSegmented: reads `source` to its end, has every segment coded by one
// thread per CPU this process may run on, and writes the joined stream (its
// last byte padded with zero bits) into `sink`.
// Memory: about two segments in and out per thread, whatever the size.
SegmentedResult codeSegmented(ByteSource& source, ByteSink& sink, Progress& progress, const std::string& entry,
                              const SegmentCoderFactory& factory, const SegmentedOptions& options);

// The CPUs this process may run on (its affinity), at least 1.
unsigned usableCpus();

// A segment's bytes as a source for a coder that reads: the prime first, then
// the segment; it counts the segment's bytes into the signals as they are
// read, and fails (ECANCELED) once the signals say stop.
class SegmentSource final : public ByteSource {
public:
    SegmentSource(const Segment& segment, SegmentSignals& signals) : m_segment(segment), m_signals(signals) {}
    long read(void* buffer, size_t size) override;
    int error() const override { return m_error; }

private:
    const Segment& m_segment;
    SegmentSignals& m_signals;
    size_t m_at = 0;
    int m_error = 0;
};

} // namespace archivers
