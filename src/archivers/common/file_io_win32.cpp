// File input and output of the archiver modules on Windows: sources opened
// sharing reading only, temporary files and archive locks held with
// LockFileEx, the commit by MoveFileExW. Native paths are UTF-8 here and
// UTF-16 at every call (the ...W functions only).
#include "file_io.h"

#include "file_io_system.h"
#include "source_walk.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>

#include <windows.h>

#include "platform/platform.h"
#include "platform/win32_text.h"

namespace archivers {

namespace {

// The most one ReadFile or WriteFile call is asked to move.
constexpr DWORD kMaxTransfer = 1u << 30;

HANDLE handleOf(NativeFile file)
{
    return reinterpret_cast<HANDLE>(file);
}

NativeFile fileOf(HANDLE handle)
{
    return reinterpret_cast<NativeFile>(handle);
}

// errnoOf: the errno value that stands for a Windows error, so that the
// result codes and the words of a failure are the same on every system.
int errnoOf(DWORD error)
{
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_NETWORK_ACCESS_DENIED:
        return EACCES;
    case ERROR_WRITE_PROTECT:
        return EROFS;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        return ENOSPC;
    case ERROR_FILE_TOO_LARGE:
        return EFBIG;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
        return EEXIST;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        return EBUSY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        return ENOMEM;
    case ERROR_FILENAME_EXCED_RANGE:
        return ENAMETOOLONG;
    case ERROR_DIRECTORY:
        return ENOTDIR;
    case ERROR_DIR_NOT_EMPTY:
        return ENOTEMPTY;
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_PARAMETER:
        return EINVAL;
    default:
        return EIO;
    }
}

int lastErrno()
{
    return errnoOf(::GetLastError());
}

// Seconds since 1970 of a FILETIME-like count of 100 ns since 1601, and back.
constexpr std::int64_t kEpochDifference = 116444736000000000ll;

std::int64_t unixTimeOf(std::int64_t fileTime)
{
    const std::int64_t since1970 = fileTime - kEpochDifference;
    return since1970 >= 0 ? since1970 / 10000000 : -((-since1970 + 9999999) / 10000000);
}

FILETIME fileTimeOf(std::int64_t unixTime)
{
    const auto count = static_cast<std::uint64_t>(unixTime * 10000000 + kEpochDifference);
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(count & 0xFFFFFFFFu);
    time.dwHighDateTime = static_cast<DWORD>(count >> 32);
    return time;
}

std::int64_t countOf(const FILETIME& time)
{
    return static_cast<std::int64_t>((static_cast<std::uint64_t>(time.dwHighDateTime) << 32) | time.dwLowDateTime);
}

// The turn of a temporary file or an archive lock is a lock on the last byte
// a file can have: far beyond its data, so that reading the file through
// another handle (the check of a new archive) is never refused.
bool lockTurn(HANDLE handle, bool wait)
{
    OVERLAPPED at{};
    at.Offset = 0xFFFFFFFEu;
    at.OffsetHigh = 0x7FFFFFFFu;
    const DWORD flags = LOCKFILE_EXCLUSIVE_LOCK | (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return ::LockFileEx(handle, flags, 0, 1, 0, &at) != 0;
}

// sameFile: the name `path` still refers to the open file `handle`, which is
// not on its way out (removed by another handle, gone once all are closed).
bool sameFile(HANDLE handle, const std::string& path)
{
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard) || standard.DeletePending)
        return false;
    const HANDLE named = ::CreateFileW(platform::widen(path).c_str(), FILE_READ_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
        nullptr);
    if (named == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION a{};
    BY_HANDLE_FILE_INFORMATION b{};
    const bool same = ::GetFileInformationByHandle(handle, &a) && ::GetFileInformationByHandle(named, &b)
        && a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh
        && a.nFileIndexLow == b.nFileIndexLow;
    ::CloseHandle(named);
    return same;
}

// removeOpen: the open file (opened with DELETE access) goes once it is closed.
bool removeOpen(HANDLE handle)
{
    FILE_DISPOSITION_INFO disposition{};
    disposition.DeleteFile = TRUE;
    return ::SetFileInformationByHandle(handle, FileDispositionInfo, &disposition, sizeof disposition) != 0;
}

// Six characters of [0-9a-z] for a temporary name.
std::string randomSuffix()
{
    static std::mutex lock;
    static std::mt19937_64 engine{std::random_device{}() ^ static_cast<std::uint64_t>(::GetCurrentProcessId())
        ^ static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::lock_guard guard(lock);
    std::string suffix;
    for (int i = 0; i < 6; ++i)
        suffix += kDigits[engine() % 36];
    return suffix;
}

bool isSeparator(char c)
{
    return c == '\\' || c == '/';
}

} // namespace

namespace system {

bool writeAll(NativeFile file, const unsigned char* data, size_t size, int* error)
{
    while (size > 0) {
        DWORD put = 0;
        if (!::WriteFile(handleOf(file), data, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)), &put, nullptr)) {
            *error = lastErrno();
            return false;
        }
        if (put == 0) {
            *error = ENOSPC;
            return false;
        }
        data += put;
        size -= put;
    }
    return true;
}

bool writeAllAt(NativeFile file, std::uint64_t offset, const unsigned char* data, size_t size, int* error)
{
    // A write at an offset moves the position of a synchronous handle: it
    // is put back, since the sink goes on at its end.
    LARGE_INTEGER zero{};
    LARGE_INTEGER position{};
    if (!::SetFilePointerEx(handleOf(file), zero, &position, FILE_CURRENT)) {
        *error = lastErrno();
        return false;
    }
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        DWORD put = 0;
        if (!::WriteFile(handleOf(file), data, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)), &put, &at)) {
            *error = lastErrno();
            return false;
        }
        if (put == 0) {
            *error = ENOSPC;
            return false;
        }
        data += put;
        offset += put;
        size -= put;
    }
    if (!::SetFilePointerEx(handleOf(file), position, nullptr, FILE_BEGIN)) {
        *error = lastErrno();
        return false;
    }
    return true;
}

bool truncateAt(NativeFile file, std::uint64_t size, int* error)
{
    LARGE_INTEGER at{};
    at.QuadPart = static_cast<LONGLONG>(size);
    if (!::SetFilePointerEx(handleOf(file), at, nullptr, FILE_BEGIN) || !::SetEndOfFile(handleOf(file))) {
        *error = lastErrno();
        return false;
    }
    return true;
}

} // namespace system

namespace {

// What a source's end is compared with: size, modification and change times.
struct Stamp {
    std::int64_t size = 0;
    std::int64_t written = 0;
    std::int64_t changed = 0;
    bool operator==(const Stamp&) const = default;
};

bool stampOf(HANDLE handle, Stamp& stamp)
{
    FILE_BASIC_INFO basic{};
    FILE_STANDARD_INFO standard{};
    if (!::GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof basic)
        || !::GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof standard))
        return false;
    stamp.size = standard.EndOfFile.QuadPart;
    stamp.written = basic.LastWriteTime.QuadPart;
    stamp.changed = basic.ChangeTime.QuadPart;
    return true;
}

// A regular file read from the start, opened sharing reading only (see
// openSource); or, with `failure`, a file that could not be had (no handle).
class FileSource final : public ByteSource {
public:
    FileSource(HANDLE handle, const Stamp& opened, int failure) : m_handle(handle), m_opened(opened), m_error(failure) {}
    ~FileSource() override
    {
        if (m_handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(m_handle);
    }
    long read(void* buffer, size_t size) override;
    int error() const override { return m_error; }

private:
    HANDLE m_handle;
    Stamp m_opened;
    int m_error = 0;
    bool m_ended = false;
};

long FileSource::read(void* buffer, size_t size)
{
    if (m_error)
        return -1;
    if (m_ended)
        return 0;
    DWORD got = 0;
    if (!::ReadFile(m_handle, buffer, static_cast<DWORD>(std::min<size_t>(size, kMaxTransfer)), &got, nullptr)) {
        m_error = lastErrno();
        return -1;
    }
    if (got == 0) {
        // The end: the file must be as it was when it was opened (a program
        // that had it mapped, or wrote it through another name, is seen here).
        m_ended = true;
        Stamp now;
        if (!stampOf(m_handle, now)) {
            m_error = lastErrno();
            return -1;
        }
        if (!(now == m_opened)) {
            m_error = kChangedWhileRead;
            return -1;
        }
    }
    return static_cast<long>(got);
}

// A file inside a drive image, read through the platform layer.
class ImageSource final : public ByteSource {
public:
    explicit ImageSource(std::unique_ptr<platform::FileStream> stream) : m_stream(std::move(stream)) {}
    long read(void* buffer, size_t size) override { return m_stream->read(buffer, size); }
    int error() const override { return m_stream->error(); }

private:
    std::unique_ptr<platform::FileStream> m_stream;
};

// openShared: `path` for reading with `share`; INVALID_HANDLE_VALUE with
// errno set when it cannot be opened, or is a folder (EISDIR) or no file on
// a disk (a device, a pipe: EINVAL).
HANDLE openShared(const std::string& path, DWORD share, DWORD flags, DWORD* error)
{
    const std::wstring wide = platform::widen(path);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY)) {
        *error = ERROR_DIRECTORY;
        errno = EISDIR;
        return INVALID_HANDLE_VALUE;
    }
    const HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, flags, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = ::GetLastError();
        errno = errnoOf(*error);
        return handle;
    }
    *error = 0;
    if (::GetFileType(handle) != FILE_TYPE_DISK) {
        ::CloseHandle(handle);
        *error = ERROR_INVALID_PARAMETER;
        errno = EINVAL;
        return INVALID_HANDLE_VALUE;
    }
    return handle;
}

} // namespace

std::unique_ptr<ByteSource> openSource(const std::string& nativePath)
{
    // Sharing reading only: while the file is open here, no other program
    // opens it for writing; one that holds it open for writing already makes
    // the open fail, and is waited for a while.
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriterWaitMs);
    DWORD error = 0;
    HANDLE handle;
    for (;;) {
        handle = openShared(nativePath, FILE_SHARE_READ, FILE_FLAG_SEQUENTIAL_SCAN, &error);
        if (handle != INVALID_HANDLE_VALUE || error != ERROR_SHARING_VIOLATION || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (handle == INVALID_HANDLE_VALUE && error == ERROR_SHARING_VIOLATION)
        return std::make_unique<FileSource>(INVALID_HANDLE_VALUE, Stamp{}, kHeldByWriter);
    if (handle == INVALID_HANDLE_VALUE && error == ERROR_PATH_NOT_FOUND) {
        // The path runs on below a file: a file inside a disk image mapped as a drive.
        const int code = errno;
        if (std::unique_ptr<platform::FileStream> inImage = platform::openImageFile(nativePath))
            return std::make_unique<ImageSource>(std::move(inImage));
        errno = code;
        return nullptr;
    }
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    Stamp opened;
    if (!stampOf(handle, opened)) {
        const int code = lastErrno();
        ::CloseHandle(handle);
        errno = code;
        return nullptr;
    }
    return std::make_unique<FileSource>(handle, opened, 0);
}

namespace {

class FileReader final : public RandomReader {
public:
    FileReader(HANDLE handle, std::uint64_t size) : m_handle(handle), m_size(size) {}
    ~FileReader() override { ::CloseHandle(m_handle); }
    long readAt(std::uint64_t offset, void* buffer, size_t size) override;
    // size: the size now (a file being written grows while it is read back).
    std::uint64_t size() const override
    {
        LARGE_INTEGER now{};
        return ::GetFileSizeEx(m_handle, &now) ? static_cast<std::uint64_t>(now.QuadPart) : m_size;
    }
    int error() const override { return m_error; }

private:
    HANDLE m_handle;
    std::uint64_t m_size;
    int m_error = 0;
};

long FileReader::readAt(std::uint64_t offset, void* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>((offset + done) & 0xFFFFFFFFu);
        at.OffsetHigh = static_cast<DWORD>((offset + done) >> 32);
        DWORD got = 0;
        if (!::ReadFile(m_handle, static_cast<char*>(buffer) + done, static_cast<DWORD>(std::min<size_t>(size - done, kMaxTransfer)),
                &got, &at)) {
            if (::GetLastError() == ERROR_HANDLE_EOF)
                break;
            m_error = lastErrno();
            return -1;
        }
        if (got == 0)
            break;
        done += got;
    }
    return static_cast<long>(done);
}

} // namespace

std::unique_ptr<RandomReader> openReader(const std::string& nativePath)
{
    DWORD error = 0;
    const HANDLE handle = openShared(nativePath, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
        FILE_ATTRIBUTE_NORMAL, &error);
    if (handle == INVALID_HANDLE_VALUE)
        return nullptr;
    LARGE_INTEGER size{};
    if (!::GetFileSizeEx(handle, &size)) {
        const int code = lastErrno();
        ::CloseHandle(handle);
        errno = code;
        return nullptr;
    }
    return std::make_unique<FileReader>(handle, static_cast<std::uint64_t>(size.QuadPart));
}

bool AtomicFile::create(const std::string& target, const std::string& tempPrefix, const CreateOptions& options)
{
    m_target = target;
    m_sync = options.sync;
    // The file's turn is locked for as long as this object owns it: a sweep
    // of leftovers takes only files whose turn it can get, those of dead
    // callers. A sweep may take the new file before it is locked; then try
    // again under another name. (The mode is a POSIX matter: a file made
    // here is writable, as a new file is.)
    const std::string folder = parentFolder(target);
    for (int attempt = 0; attempt < 64 && m_file == kNoFile; ++attempt) {
        const std::string path = joinPath(folder, tempPrefix + randomSuffix());
        const HANDLE handle = ::CreateFileW(platform::widen(path).c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS)
                continue;
            m_error = errnoOf(error);
            return false;
        }
        if (!lockTurn(handle, false) || !sameFile(handle, path)) {
            ::CloseHandle(handle);
            continue;
        }
        m_file = fileOf(handle);
        m_temp = path;
    }
    if (m_file == kNoFile) {
        m_error = EAGAIN;
        return false;
    }
    m_sink = std::make_unique<FileSink>(m_file);
    return true;
}

bool AtomicFile::commit()
{
    if (m_file == kNoFile)
        return false;
    if (!m_sink->flush()) {
        m_error = m_sink->error();
        return false;
    }
    // Flushed whether or not the caller syncs once at its end: only an
    // administrator can flush a whole volume here (see syncFolderTree).
    if (!::FlushFileBuffers(handleOf(m_file))) {
        m_error = lastErrno();
        return false;
    }
    // Renamed while still open and locked, so that no sweep takes it first
    // (the handle shares deleting, which a rename needs).
    if (!::MoveFileExW(platform::widen(m_temp).c_str(), platform::widen(m_target).c_str(),
            MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) {
        m_error = lastErrno();
        return false;
    }
    m_temp.clear();
    const bool closed = ::CloseHandle(handleOf(m_file)) != 0;
    m_file = kNoFile;
    if (!closed) {
        m_error = lastErrno();
        return false;
    }
    return true;
}

void AtomicFile::discard()
{
    // Removed through its own handle before it is closed: while it is locked
    // no sweep touches it, and no other file that took the name meanwhile
    // is hit.
    if (m_file != kNoFile) {
        if (!m_temp.empty() && !removeOpen(handleOf(m_file)))
            ::DeleteFileW(platform::widen(m_temp).c_str());
        ::CloseHandle(handleOf(m_file));
        m_file = kNoFile;
    }
    m_temp.clear();
}

void removeDeadTemporaries(const std::string& folder)
{
    WIN32_FIND_DATAW found;
    const HANDLE search = ::FindFirstFileW(platform::widen(joinPath(folder, "*")).c_str(), &found);
    if (search == INVALID_HANDLE_VALUE)
        return;
    std::vector<std::string> names;
    do {
        if (!(found.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
            const std::string name = platform::narrow(found.cFileName);
            if (isTemporaryName(name))
                names.push_back(name);
        }
    } while (::FindNextFileW(search, &found));
    ::FindClose(search);
    for (const std::string& name : names) {
        const HANDLE handle = ::CreateFileW(platform::widen(joinPath(folder, name)).c_str(), GENERIC_READ | DELETE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT,
            nullptr);
        if (handle == INVALID_HANDLE_VALUE)
            continue;
        // A turn held means a caller still writes it. The file removed is
        // the one whose turn was taken, through its handle.
        if (::GetFileType(handle) == FILE_TYPE_DISK && lockTurn(handle, false))
            removeOpen(handle);
        ::CloseHandle(handle);
    }
}

bool ArchiveLock::lock(const std::string& nativeArchive, const std::string& tempPrefix)
{
    release();
    m_error = 0;
    const size_t slash = nativeArchive.find_last_of("\\/");
    const std::string fileName = slash == std::string::npos ? nativeArchive : nativeArchive.substr(slash + 1);
    const std::string path = joinPath(parentFolder(nativeArchive), archiveLockName(fileName, tempPrefix));
    const std::wstring wide = platform::widen(path);
    // Each new try follows a holder that removed the file on release, or a
    // sweep that took it between the open and the lock. A file removed while
    // others still have it open cannot be opened until they close it
    // (access denied): that passes as soon as they see it gone.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        HANDLE handle = ::CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE | DELETE,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            const DWORD error = ::GetLastError();
            if (error == ERROR_ACCESS_DENIED && ::GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES
                && !(::GetFileAttributesW(wide.c_str()) & FILE_ATTRIBUTE_DIRECTORY)) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            m_error = errnoOf(error);
            return false;
        }
        if (::GetFileType(handle) != FILE_TYPE_DISK) {
            // Something that is not a file holds the name: never waited on.
            ::CloseHandle(handle);
            m_error = EEXIST;
            return false;
        }
        if (!lockTurn(handle, true)) {
            m_error = lastErrno();
            ::CloseHandle(handle);
            return false;
        }
        if (sameFile(handle, path)) {
            m_file = fileOf(handle);
            m_path = path;
            return true;
        }
        ::CloseHandle(handle);
    }
    m_error = EAGAIN;
    return false;
}

void ArchiveLock::release()
{
    if (m_file == kNoFile)
        return;
    // Removed while still locked: no other holder can exist, and a writer
    // waiting on this file finds it gone and makes a new one.
    if (sameFile(handleOf(m_file), m_path))
        removeOpen(handleOf(m_file));
    ::CloseHandle(handleOf(m_file));
    m_file = kNoFile;
    m_path.clear();
}

std::string parentFolder(const std::string& nativePath)
{
    const size_t slash = nativePath.find_last_of("\\/");
    if (slash == std::string::npos)
        return ".";
    // "C:\X" -> "C:\", "\X" -> "\": a root keeps its separator.
    if (slash == 0 || (slash == 2 && nativePath[1] == ':'))
        return nativePath.substr(0, slash + 1);
    return nativePath.substr(0, slash);
}

std::string joinPath(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && isSeparator(folder.back()))
        return folder + name;
    return folder + "\\" + name;
}

size_t pathDepth(const std::string& nativePath)
{
    return static_cast<size_t>(std::count_if(nativePath.begin(), nativePath.end(), isSeparator));
}

NodeStatus nodeStatus(const std::string& nativePath, bool followLink)
{
    NodeStatus status;
    const std::wstring wide = platform::widen(nativePath);
    WIN32_FILE_ATTRIBUTE_DATA data{};
    if (!::GetFileAttributesExW(wide.c_str(), GetFileExInfoStandard, &data)) {
        status.error = lastErrno();
        return status;
    }
    DWORD attributes = data.dwFileAttributes;
    std::uint64_t size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    std::int64_t written = countOf(data.ftLastWriteTime);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
        if (!followLink) {
            status.type = NodeType::Link;
            status.kind = "a link";
            return status;
        }
        // What the link leads to, through a handle that follows it.
        const HANDLE handle = ::CreateFileW(wide.c_str(), FILE_READ_ATTRIBUTES,
            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS,
            nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            status.error = lastErrno();
            return status;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        const bool read = ::GetFileInformationByHandle(handle, &info) != 0;
        const int error = lastErrno();
        ::CloseHandle(handle);
        if (!read) {
            status.error = error;
            return status;
        }
        attributes = info.dwFileAttributes;
        size = (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
        written = countOf(info.ftLastWriteTime);
    }
    status.mtime = unixTimeOf(written);
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        status.type = NodeType::Folder;
        status.mode = 0777;
        status.kind = "a folder";
        return status;
    }
    status.type = NodeType::File;
    status.size = size;
    status.mode = (attributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;
    return status;
}

bool canWrite(const std::string& nativePath)
{
    // The read-only attribute of a folder says nothing about its files: only
    // a file's counts; the rights of either are left to the write itself.
    const DWORD attributes = ::GetFileAttributesW(platform::widen(nativePath).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return false;
    return (attributes & FILE_ATTRIBUTE_DIRECTORY) || !(attributes & FILE_ATTRIBUTE_READONLY);
}

bool makeFolder(const std::string& nativePath)
{
    if (::CreateDirectoryW(platform::widen(nativePath).c_str(), nullptr))
        return true;
    errno = lastErrno();
    return false;
}

void setFileTime(const std::string& nativePath, std::int64_t mtime)
{
    const HANDLE handle = ::CreateFileW(platform::widen(nativePath).c_str(), FILE_WRITE_ATTRIBUTES,
        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return;
    const FILETIME time = fileTimeOf(mtime);
    ::SetFileTime(handle, nullptr, &time, &time);
    ::CloseHandle(handle);
}

void makeReadOnly(const std::string& nativePath)
{
    const std::wstring wide = platform::widen(nativePath);
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES)
        ::SetFileAttributesW(wide.c_str(), attributes | FILE_ATTRIBUTE_READONLY);
}

bool syncFolderTree(const std::string& /*nativeFolder*/)
{
    return true; // every file was flushed as it was committed
}

} // namespace archivers
