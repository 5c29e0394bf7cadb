// Writing and reading ZIP entries: local headers, deflate data, the central directory.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/module_state.h"
#include "zip_directory.h"
#include "zip_format.h"

struct libdeflate_compressor;

namespace zipfmt {

// What a writer knows of a new entry.
struct NewEntry {
    std::string name;               // UTF-8, "/" between elements; folders end with "/"
    bool folder = false;
    std::int64_t mtime = 0;         // seconds since 1970, UTC
    std::uint32_t dosAttributes = kDosArchive;
    int level = 9;                  // 0 stores, 1..9 deflates
};

// A small file read and compressed ahead of time, in memory, by another thread.
struct Prepared {
    archivers::WholeFile file;
    std::uint32_t crc = 0;
    bool deflated = false;     // `data` holds the deflated bytes (smaller than the file)
    std::string data;
};

// Deflates whole buffers with the near-optimal parser of libdeflate; one per
// thread (it holds a few megabytes of work tables).
class BufferDeflater {
public:
    // level: the command line's 1..9.
    explicit BufferDeflater(int level);
    ~BufferDeflater();
    BufferDeflater(const BufferDeflater&) = delete;
    BufferDeflater& operator=(const BufferDeflater&) = delete;

    // deflate: the raw deflate stream of `size` bytes into `out`; false (and
    // `out` empty) when it would not be smaller than the data, or when a
    // first stretch of a larger file does not shrink at all.
    bool deflate(const unsigned char* data, size_t size, std::string& out);

    // input: room for `size` bytes of source, kept for the next file.
    unsigned char* input(size_t size) { return m_input.reserve(size); }

private:
    ::libdeflate_compressor* m_compressor = nullptr;
    ::libdeflate_compressor* m_probe = nullptr;
    archivers::Room m_input;
    archivers::Room m_output;
};

// The libdeflate level for the command line's 1..9: -9 takes the strongest parse.
int bufferLevelFor(int level);

// Files up to this size are read whole and deflated by a BufferDeflater;
// larger ones are deflated as a stream by zlib.
constexpr std::uint64_t kBufferedFileSize = 4u << 20;

// prepareFile: read and deflate the whole file (at most kBufferedFileSize
// bytes and one more, so that a grown file shows); safe to call from any
// thread with its own deflater.
Prepared prepareFile(const std::string& nativePath, BufferDeflater& deflater);

class ZipWriter {
public:
    explicit ZipWriter(archivers::ByteSink& sink) : m_sink(sink) {}

    // copyEntry: an entry of another archive, local record byte for byte.
    int copyEntry(archivers::RandomReader& from, const Entry& entry, std::string& why);
    int addFolder(const NewEntry& entry, std::string& why);
    // addFile: the file at `nativePath`, deflated (stored when that is not
    // smaller); fails when it cannot be read or reads other than `expectedSize`.
    int addFile(const std::string& nativePath, std::uint64_t expectedSize, const NewEntry& entry,
                archivers::Progress& progress, const std::string& displayName, std::string& why);
    // addPrepared: like addFile, from a file prepared by prepareFile (a file
    // that did not shrink is read again and stored).
    int addPrepared(const std::string& nativePath, std::uint64_t expectedSize, const NewEntry& entry,
                    const Prepared& prepared, archivers::Progress& progress, const std::string& displayName,
                    std::string& why);
    // finish: the central directory and the end records.
    int finish(std::string& why);

    // Central records of the entries written by addFile/addFolder.
    const std::vector<Entry>& entries() const { return m_entries; }
    const std::vector<size_t>& newEntries() const { return m_new; }

private:
    int writeError(std::string& why);

    archivers::ByteSink& m_sink;
    std::vector<Entry> m_entries;
    std::vector<size_t> m_new;
};

using DataConsumer = std::function<bool(const unsigned char* data, size_t size)>;

// readEntryData: the entry's data, inflated, for `consume`; checks the local
// header, the size and the CRC, and never produces more than the stated size.
int readEntryData(archivers::RandomReader& archive, const Entry& entry, const DataConsumer& consume,
                  archivers::Progress* progress, std::string& why);

// dosTimeOf: the MS-DOS date and time (local) of a Unix time.
std::uint32_t dosTimeOf(std::int64_t unixTime);
std::int64_t unixTimeOfDos(std::uint32_t dosTime);

} // namespace zipfmt
