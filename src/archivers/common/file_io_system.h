// The system's part of the archiver modules' file output (file_io_posix.cpp,
// file_io_win32.cpp), for what file_io.cpp builds on it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "file_io.h"

namespace archivers::system {

// writeAll: all `size` bytes at the file's position; false with *error set
// (an errno value; ENOSPC for a disk that took nothing).
bool writeAll(NativeFile file, const unsigned char* data, size_t size, int* error);

// writeAllAt: all `size` bytes at `offset`, the position left where it is.
bool writeAllAt(NativeFile file, std::uint64_t offset, const unsigned char* data, size_t size, int* error);

// truncateAt: the file cut to `size` bytes, its position there.
bool truncateAt(NativeFile file, std::uint64_t size, int* error);

} // namespace archivers::system
