// What the image drive layer (image_drive.cpp) asks of the system; each
// system's image_drive_*.cpp answers.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "disk_image.h"
#include "result.h"

namespace platform::images::os {

// What tells one state of an image file from another: the same file (device
// and file number), its size and modification time.
struct FileStamp {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    std::uint64_t size = 0;
    std::int64_t modified = 0;
    std::int64_t modifiedNanos = 0;
    bool operator==(const FileStamp&) const = default;
};

struct OpenedFile {
    std::shared_ptr<image::ByteFile> bytes;
    FileStamp stamp;
};

// separators: the characters that part native path elements ("/" on POSIX);
// the first is the one written.
const char* separators();

// stampOf: the stamp of the regular file `file`; an error naming `shown`
// when it is missing or not a regular file.
Result<FileStamp> stampOf(const std::string& file, const std::string& shown);

// exists: something (file or folder) is at `path`.
bool exists(const std::string& path);

// openReadOnly: the file's bytes, opened read only (without touching its
// access time where the system allows); errors name `shown`.
Result<OpenedFile> openReadOnly(const std::string& file, const std::string& shown);

// imageRoots: the image roots of the drives mapped now.
std::vector<std::string> imageRoots();

// folderLetters: the letters that drives other than images use now.
std::vector<char> folderLetters();

// absoluteImagePath: `native` as an absolute, normalised native path; an
// error when it is not absolute.
Result<std::string> absoluteImagePath(const std::string& native);

// variable: an environment variable of the process (UTF-8), empty when unset.
std::string variable(const char* name);

// setVariable: set an environment variable of the process (the empty text
// unsets it, or leaves it present but empty).
void setVariable(const char* name, const std::string& value);

// processTag: a text naming this process ("<pid>:").
std::string processTag();

// inProgram: `address` lies in the program itself, not in a module it loaded.
bool inProgram(const void* address);

} // namespace platform::images::os
