// Writing and reading ZIP entries: local headers, deflate data, the central directory.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/module_state.h"
#include "zip_directory.h"
#include "zip_format.h"

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
    bool opened = true;
    int error = 0;             // errno when it could not be opened or read
    bool readFailed = false;
    std::uint64_t size = 0;
    std::uint32_t crc = 0;
    bool deflated = false;     // `data` holds the deflated bytes (smaller than the file)
    std::string data;
};

// prepareFile: read and deflate the whole file; safe to call from any thread.
Prepared prepareFile(const std::string& nativePath, int level);

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
