// Disk images as drives on Windows: the image files, and the images among the drives.
#include <windows.h>

#include <algorithm>
#include <cstdlib>

#include "drives_win32.h"
#include "image_drive.h"
#include "image_drive_os.h"

namespace platform {

namespace {

// The image file, opened read only. Reads give their offset, so that threads
// sharing the file never move a common file position under each other.
class ImageFile final : public image::ByteFile {
public:
    ImageFile(HANDLE file, std::uint64_t size) : m_file(file), m_size(size) {}
    ~ImageFile() override { CloseHandle(m_file); }
    long readAt(std::uint64_t offset, void* buffer, std::size_t size) const override
    {
        std::size_t done = 0;
        while (done < size) {
            OVERLAPPED at{};
            at.Offset = static_cast<DWORD>(offset + done);
            at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(size - done, 1u << 24));
            DWORD got = 0;
            if (!ReadFile(m_file, static_cast<char*>(buffer) + done, chunk, &got, &at)) {
                if (GetLastError() == ERROR_HANDLE_EOF)
                    break;
                errno = EIO;
                return -1;
            }
            if (got == 0)
                break;
            done += got;
        }
        return static_cast<long>(done);
    }
    std::uint64_t size() const override { return m_size; }

private:
    HANDLE m_file;
    std::uint64_t m_size;
};

std::int64_t unixTime(const FILETIME& time, std::int64_t* nanos)
{
    // 100 ns steps since 1601.
    const std::int64_t ticks = static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime)
        - 116444736000000000ll;
    *nanos = (ticks % 10000000 + 10000000) % 10000000 * 100;
    return (ticks - *nanos / 100) / 10000000;
}

Result<images::os::FileStamp> stampOfHandle(HANDLE file, const std::string& shown)
{
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(file, &info))
        return win32::lastError(shown);
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
        return Error{EINVAL, shown + ": not a disk image file"};
    images::os::FileStamp stamp;
    stamp.device = info.dwVolumeSerialNumber;
    stamp.file = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    stamp.size = (std::uint64_t{info.nFileSizeHigh} << 32) | info.nFileSizeLow;
    stamp.modified = unixTime(info.ftLastWriteTime, &stamp.modifiedNanos);
    return stamp;
}

// Opens for reading, letting others read, write and delete it meanwhile (as
// a POSIX open would); `attributes` adds the right to freeze the access time.
HANDLE openShared(const std::string& file, DWORD access)
{
    win32::ErrorModeGuard quiet;
    return CreateFileW(win32::longPath(file).c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// The absolute native path of `native` (relative ones against the working
// folder), "." and ".." folded, "/" as "\\", no trailing separator but a root's.
Result<std::string> fullNative(const std::string& native)
{
    const std::wstring wide = widen(native);
    const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
    std::wstring full(size, L'\0');
    const DWORD length = size ? GetFullPathNameW(wide.c_str(), size, full.data(), nullptr) : 0;
    if (length == 0 || length >= size)
        return win32::lastError(native);
    full.resize(length);
    while (full.size() > 3 && full.back() == L'\\')
        full.pop_back();
    return narrow(full);
}

} // namespace

namespace images::os {

const char* separators()
{
    return "\\/";
}

Result<FileStamp> stampOf(const std::string& file, const std::string& shown)
{
    HANDLE handle = openShared(file, FILE_READ_ATTRIBUTES);
    if (handle == INVALID_HANDLE_VALUE) {
        // A folder opens only with backup semantics: tell it apart.
        const DWORD code = GetLastError();
        const DWORD attributes = GetFileAttributesW(win32::longPath(file).c_str());
        if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
            return Error{EINVAL, shown + ": not a disk image file"};
        return win32::lastError(shown, code);
    }
    Result<FileStamp> stamp = stampOfHandle(handle, shown);
    CloseHandle(handle);
    return stamp;
}

bool exists(const std::string& path)
{
    win32::ErrorModeGuard quiet;
    return GetFileAttributesW(win32::longPath(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

Result<OpenedFile> openReadOnly(const std::string& file, const std::string& shown)
{
    // With the right to its attributes the access time can be kept as it was;
    // a file that grants reading alone is read all the same.
    HANDLE handle = openShared(file, GENERIC_READ | FILE_WRITE_ATTRIBUTES);
    if (handle != INVALID_HANDLE_VALUE) {
        FILETIME keep{0xFFFFFFFF, 0xFFFFFFFF};
        SetFileTime(handle, nullptr, &keep, nullptr);
    } else {
        handle = openShared(file, GENERIC_READ);
    }
    if (handle == INVALID_HANDLE_VALUE)
        return win32::lastError(shown);
    Result<FileStamp> stamp = stampOfHandle(handle, shown);
    if (!stamp) {
        CloseHandle(handle);
        return stamp.error();
    }
    return OpenedFile{std::make_shared<ImageFile>(handle, stamp->size), *stamp};
}

std::vector<std::string> imageRoots()
{
    std::vector<std::string> roots;
    for (const win32::MappedDrive& mapped : win32::loadDriveMap().drives)
        if (!mapped.drive.image.empty())
            roots.push_back(mapped.drive.image);
    return roots;
}

std::vector<char> folderLetters()
{
    return win32::systemDriveLetters();
}

Result<std::string> absoluteImagePath(const std::string& native)
{
    if (!win32::isAbsoluteNative(native))
        return Error{EINVAL, native + ": the image must be given by an absolute path"};
    return fullNative(native);
}

std::string variable(const char* name)
{
    const std::wstring wide = widen(name);
    const DWORD size = GetEnvironmentVariableW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring value(size, L'\0');
    const DWORD length = GetEnvironmentVariableW(wide.c_str(), value.data(), size);
    if (length == 0 || length >= size)
        return {};
    value.resize(length);
    return narrow(value);
}

void setVariable(const char* name, const std::string& value)
{
    // The process's own block, in UTF-16: the C library's copy would carry
    // the text through the ANSI code page.
    SetEnvironmentVariableW(widen(name).c_str(), value.empty() ? nullptr : widen(value).c_str());
}

std::string processTag()
{
    return std::to_string(GetCurrentProcessId()) + ":";
}

bool inProgram(const void* address)
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            static_cast<LPCWSTR>(address), &module))
        return false;
    return module == GetModuleHandleW(nullptr);
}

} // namespace images::os

std::vector<std::string> imageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& problems)
{
    std::vector<std::string> files;
    for (const std::string& input : inputs) {
        Result<std::string> path = fullNative(input);
        if (!path) {
            problems.push_back(path.error().message);
            continue;
        }
        win32::ErrorModeGuard quiet;
        const DWORD attributes = GetFileAttributesW(win32::longPath(*path).c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES) {
            problems.push_back(win32::lastError(input).message);
            continue;
        }
        if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) {
            files.push_back(*path);
            continue;
        }
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileExW(win32::longPath(win32::joinNative(*path, "*")).c_str(), FindExInfoBasic,
                                         &found, FindExSearchNameMatch, nullptr, 0);
        if (search == INVALID_HANDLE_VALUE) {
            problems.push_back(win32::lastError(input + ": the folder cannot be read").message);
            continue;
        }
        std::vector<std::string> images;
        do {
            const std::string name = narrow(found.cFileName);
            if (name.empty() || name[0] == '.' || (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
                continue;
            const std::string child = win32::joinNative(*path, name);
            if (images::hasImageExtension(name) || isDiskImage(child))
                images.push_back(child);
        } while (FindNextFileW(search, &found));
        FindClose(search);
        std::sort(images.begin(), images.end());
        files.insert(files.end(), images.begin(), images.end());
    }
    return files;
}

} // namespace platform
