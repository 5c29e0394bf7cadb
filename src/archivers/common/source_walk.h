// What the writers take from a folder walk: regular files and folders only.
#pragma once

#include <cstdint>
#include <string>

#include "platform/platform.h"

namespace archivers {

// A walked entry as a writer sees it.
struct SourceCheck {
    bool storable = false;   // a regular file (also through a link) or a folder
    std::uint64_t size = 0;  // of the file, or of the link's target
    std::int64_t mtime = 0;
    std::string skipped;     // why it is left out, for the report ("a FIFO, not stored")
};

// checkSource: a regular file or a folder is storable; a FIFO, socket or
// device node, or a link to one of those or to nothing, is named and left
// out. Never opens the entry (opening a FIFO waits for a writer).
SourceCheck checkSource(const platform::WalkEntry& entry);

// Prefixes of the temporary files of the archiver modules ("*-XXXXXX").
constexpr const char* kLzhTempPrefix = ".~lzh-";
constexpr const char* kZipTempPrefix = ".~zip-";

// isTemporaryName: a name one of the modules gives its temporary files.
bool isTemporaryName(const std::string& name);

} // namespace archivers
