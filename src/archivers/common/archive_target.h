// What every archive writer and extractor does around its format: the target
// archive's lock, the folder's leftovers, the temporary output, folders made while
// extracting, and MS-DOS time stamps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "module_state.h"

namespace archivers {

// One update of an archive file, the same for every format: the archive is
// locked (ArchiveLock) for the whole update and its folder swept of what
// killed callers left; the old archive, if there is one, is open for reading;
// the new one is written to a temporary file beside it, with the old one's
// mode, and renamed over it only by commit(). Failures are reported under the
// archive's shown name and returned as result codes.
class ArchiveUpdate {
public:
    ArchiveUpdate(std::string nativeArchive, std::string shown, std::string tempPrefix, Report& report);

    // begin: lock, sweep, open the old archive. 0 or kErrorArcFileOpen.
    int begin();
    // old: the archive as it is now; null for a new archive.
    RandomReader* old() const { return m_old.get(); }
    // readFailure: `code` for a failure while reading the old archive, made
    // kErrorCannotRead when the file itself could not be read.
    int readFailure(int code, const std::string& why);

    // start: the temporary file. 0 or the code (a read-only archive: kErrorReadOnly).
    int start();
    ByteSink& sink() { return m_output.sink(); }
    const std::string& tempPath() const { return m_output.tempPath(); }
    // flush / commit: write out, or rename into place. 0 or the code.
    int flush();
    int commit();

private:
    std::string m_native;
    std::string m_shown;
    std::string m_tempPrefix;
    Report& m_report;
    ArchiveLock m_lock;
    std::unique_ptr<RandomReader> m_old;
    std::uint32_t m_oldMode = 0;
    AtomicFile m_output;
};

// commitOutput: rename a finished file into place. 0 or the code.
int commitOutput(AtomicFile& output, const std::string& shown, Report& report);

// Extraction into a folder: its leftovers swept once, the files synced once.
class ExtractionTarget {
public:
    explicit ExtractionTarget(std::string root) : m_root(std::move(root)) {}
    ~ExtractionTarget();
    const std::string& root() const { return m_root; }
    // folderFor: makes (or enters) the first `count` of `elements` below the
    // root, never through a link, and sweeps each folder the first time. The
    // native folder, or empty.
    std::string folderFor(const std::vector<std::string>& elements, size_t count);
    // setFolderTime: the time a folder gets once everything is in it.
    void setFolderTime(const std::string& native, std::int64_t mtime);
    // finish: restore the folder times (innermost first) and sync the files
    // once. False when the sync failed.
    bool finish();

private:
    std::string m_root;
    std::vector<std::string> m_swept;
    std::vector<std::pair<std::string, std::int64_t>> m_folderTimes;
    bool m_finished = false;
};

// makeFoldersBelow: makes (or enters) the first `count` of `elements` below
// `root`, never through a symbolic link. The native folder, or empty.
std::string makeFoldersBelow(const std::string& root, const std::vector<std::string>& elements, size_t count);

// Decompression bombs: a member that says it expands to more than kBombFloor
// bytes at more than a format's ratio is refused before it is decoded.
// Deflate cannot pass 1032:1. LZH codes of 0 bits (one-symbol tables) can:
// real writers reach about 200,000:1 on zero-filled files (their blocks end
// when their buffers fill; ours hold such blocks to 1 MiB, 160,000:1),
// crafted blocks of 65,535 such codes 2,500,000:1.
constexpr std::uint64_t kBombFloor = 64u << 20;
constexpr std::uint64_t kZipBombRatio = 2000;
constexpr std::uint64_t kLzhBombRatio = 1000000;

// The stated compressed size can be padded after the end of the stream, so
// the ratio is also kept while decoding, against the compressed bytes the
// decoder has really taken. The first stretch of output is free: the start
// of a stream (its first tables) says little about the whole.
constexpr std::uint64_t kBombFreeOutput = 1u << 20;

// bombRatio: the ratio when the member is a bomb by that rule, else 0.
std::uint64_t bombRatio(std::uint64_t size, std::uint64_t compressedSize, std::uint64_t limit);

// expansionRatio: the same rule while decoding a member that says it is
// `size` bytes: once `produced` passes kBombFreeOutput, it must stay within
// `limit` times the `consumed` compressed bytes (the decoder's position in
// the stream, not what it has read ahead). The ratio when broken, else 0.
std::uint64_t expansionRatio(std::uint64_t size, std::uint64_t produced, std::uint64_t consumed,
                             std::uint64_t limit);

// timeIn32Bits: a Unix time held to what an unsigned 32-bit field can hold
// (1970 to 2106); the time a header of that kind stores, and compares.
std::int64_t timeIn32Bits(std::int64_t unixTime);

// MS-DOS date and time (local time, two-second steps) of a Unix time, and back.
std::uint32_t dosTimeOf(std::int64_t unixTime);
std::int64_t unixTimeOfDos(std::uint32_t dosTime);

} // namespace archivers
