// What every archive writer and extractor does around its format: the target
// folder, its lock and leftovers, the temporary output, folders made while
// extracting, and MS-DOS time stamps.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "file_io.h"
#include "module_state.h"

namespace archivers {

// lockTarget: checks that the archive's folder exists, takes its lock and
// removes what killed writers left there. Returns 0 or kErrorArcFileOpen
// (reported under `shown`).
int lockTarget(const std::string& nativeArchive, const std::string& shown, const std::string& tempPrefix,
               std::unique_ptr<FolderLock>& lock, Report& report);

// createOutput: the temporary file of a new archive. Returns 0 or the code of
// the failure (no space, read-only, could not make it).
int createOutput(AtomicFile& output, const std::string& nativeArchive, const std::string& shown,
                 const std::string& tempPrefix, Report& report);

// flushOutput / commitOutput: write out, or rename into place. 0 or the code.
int flushOutput(AtomicFile& output, const std::string& shown, Report& report);
int commitOutput(AtomicFile& output, const std::string& shown, Report& report);

// makeFoldersBelow: makes (or enters) the first `count` of `elements` below
// `root`, never through a symbolic link. The native folder, or empty.
std::string makeFoldersBelow(const std::string& root, const std::vector<std::string>& elements, size_t count);

// MS-DOS date and time (local time, two-second steps) of a Unix time, and back.
std::uint32_t dosTimeOf(std::int64_t unixTime);
std::int64_t unixTimeOfDos(std::uint32_t dosTime);

} // namespace archivers
