// File input and output of the archiver modules on POSIX systems: read
// leases and inotify for sources, mkostemp and flock for temporary files and
// archive locks.
#include "file_io.h"

#include "file_io_system.h"
#include "source_walk.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

#include "platform/platform.h"

namespace archivers {

namespace {

int fdOf(NativeFile file)
{
    return static_cast<int>(file);
}

} // namespace

namespace system {

bool writeAll(NativeFile file, const unsigned char* data, size_t size, int* error)
{
    const int fd = fdOf(file);
    while (size > 0) {
        const ssize_t put = ::write(fd, data, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *error = put < 0 ? errno : ENOSPC;
            return false;
        }
        data += put;
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool writeAllAt(NativeFile file, std::uint64_t offset, const unsigned char* bytes, size_t size, int* error)
{
    while (size > 0) {
        const ssize_t put = ::pwrite(fdOf(file), bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            *error = put < 0 ? errno : ENOSPC;
            return false;
        }
        bytes += put;
        offset += static_cast<std::uint64_t>(put);
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool truncateAt(NativeFile file, std::uint64_t size, int* error)
{
    if (::ftruncate(fdOf(file), static_cast<off_t>(size)) != 0
        || ::lseek(fdOf(file), static_cast<off_t>(size), SEEK_SET) < 0) {
        *error = errno;
        return false;
    }
    return true;
}

} // namespace system

namespace {

enum class Lease { Taken, Busy, Unavailable };

// networkFileSystem: the file lies on a file system shared with other
// machines. Their clients answer a lease with EAGAIN whenever the server has
// not handed them the file (not only while a program writes it), and writes
// made elsewhere would not break it anyway: no lease is asked for there.
bool networkFileSystem(int fd)
{
    struct statfs info;
    if (::fstatfs(fd, &info) != 0)
        return false;
    switch (static_cast<std::uint32_t>(info.f_type)) {
    case 0x6969u:     // NFS
    case 0x517Bu:     // SMB
    case 0xFF534D42u: // CIFS
    case 0xFE534D42u: // SMB2
    case 0x00C36400u: // Ceph
    case 0x01021997u: // 9P
    case 0x5346414Fu: // AFS
    case 0x6B414653u: // kAFS
    case 0x65735546u: // FUSE (sshfs and the like)
        return true;
    default:
        return false;
    }
}

// takeLease: a read lease on `fd`. Its break (another program opening the
// file for writing) is announced by a signal to the lease's owner: SIGIO,
// which ends a process, unless another is named. SIGURG, ignored unless a
// program asks for it, is named first, and the owner is cleared once the
// lease is held, so that no signal is sent at all; the break is seen by
// asking for the lease's state instead.
Lease takeLease(int fd)
{
    if (::fcntl(fd, F_SETSIG, SIGURG) != 0)
        return Lease::Unavailable;
    if (::fcntl(fd, F_SETLEASE, F_RDLCK) != 0)
        return errno == EAGAIN ? Lease::Busy : Lease::Unavailable;
    ::fcntl(fd, F_SETOWN, 0);
    return Lease::Taken;
}

// watchFile: an inotify descriptor watching the open file `fd` (not the name,
// which may have been replaced) for `events`; -1 when none can be had.
int watchFile(int fd, std::uint32_t events)
{
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watch < 0)
        return -1;
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    if (::inotify_add_watch(watch, self.c_str(), events) < 0) {
        ::close(watch);
        return -1;
    }
    return watch;
}

// drained: true when no event was waiting on the watch (the rest are read).
bool drained(int watch)
{
    alignas(inotify_event) char events[4096];
    bool quiet = true;
    for (;;) {
        const ssize_t got = ::read(watch, events, sizeof events);
        if (got < 0 && errno == EINTR)
            continue;
        if (got <= 0)
            return quiet;
        quiet = false;
    }
}

// waitForWriters: tries the lease again until no other program has the file
// open for writing, for at most kWriterWaitMs; wakes when a writer closes it.
Lease waitForWriters(int fd)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(kWriterWaitMs);
    const int closes = watchFile(fd, IN_CLOSE_WRITE);
    Lease lease = Lease::Busy;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            break;
        // A writer that closed before the watch was set sends nothing: try
        // again now and then without a word.
        pollfd ready{closes, POLLIN, 0};
        ::poll(&ready, closes >= 0 ? 1 : 0, static_cast<int>(std::min<long long>(left, 50)));
        if (closes >= 0)
            drained(closes);
        lease = takeLease(fd);
        if (lease != Lease::Busy)
            break;
    }
    if (closes >= 0)
        ::close(closes);
    return lease;
}

// A regular file read from the start with its guard (see openSource).
class FileSource final : public ByteSource {
public:
    enum class Guard { None, Lease, Watch };
    // `watch`: the inotify descriptor of a Watch guard (owned), else -1;
    // `failure`: an error every read returns (the file was busy), else 0.
    FileSource(int fd, const struct stat& opened, Guard guard, int watch, int failure);
    ~FileSource() override;
    long read(void* buffer, size_t size) override;
    int error() const override { return m_error; }

private:
    // undisturbed: no writer touched or tried to open the file so far.
    bool undisturbed();
    void release();

    int m_fd;
    std::int64_t m_size;
    std::int64_t m_mtime[2];
    std::int64_t m_ctime[2];
    Guard m_guard;
    int m_watch;
    int m_error = 0;
    bool m_ended = false;
};

} // namespace

FileSource::FileSource(int fd, const struct stat& opened, Guard guard, int watch, int failure)
    : m_fd(fd)
    , m_size(static_cast<std::int64_t>(opened.st_size))
    , m_mtime{opened.st_mtim.tv_sec, opened.st_mtim.tv_nsec}
    , m_ctime{opened.st_ctim.tv_sec, opened.st_ctim.tv_nsec}
    , m_guard(guard)
    , m_watch(watch)
    , m_error(failure)
{
}

FileSource::~FileSource()
{
    release();
    ::close(m_fd);
}

bool FileSource::undisturbed()
{
    switch (m_guard) {
    case Guard::Lease: return ::fcntl(m_fd, F_GETLEASE) == F_RDLCK;
    case Guard::Watch: return drained(m_watch);
    default: return true;
    }
}

void FileSource::release()
{
    // A writer waiting for the lease goes on at once.
    if (m_guard == Guard::Lease)
        ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    if (m_watch >= 0)
        ::close(m_watch);
    m_watch = -1;
    m_guard = Guard::None;
}

long FileSource::read(void* buffer, size_t size)
{
    if (m_error)
        return -1;
    if (m_ended)
        return 0;
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            m_error = errno;
            release();
            return -1;
        }
        // What was read counts only if no writer had the file meanwhile.
        if (!undisturbed()) {
            m_error = kWrittenByAnother;
            release();
            return -1;
        }
        if (got == 0) {
            // The end: the file must be as it was when it was opened, or the
            // bytes read may be half old and half new content.
            m_ended = true;
            release();
            struct stat now;
            if (::fstat(m_fd, &now) != 0) {
                m_error = errno;
                return -1;
            }
            if (static_cast<std::int64_t>(now.st_size) != m_size || now.st_mtim.tv_sec != m_mtime[0]
                || now.st_mtim.tv_nsec != m_mtime[1] || now.st_ctim.tv_sec != m_ctime[0]
                || now.st_ctim.tv_nsec != m_ctime[1]) {
                m_error = kChangedWhileRead;
                return -1;
            }
        }
        return static_cast<long>(got);
    }
}

namespace {

// A file inside a drive image, read through the platform layer.
class ImageSource final : public ByteSource {
public:
    explicit ImageSource(std::unique_ptr<platform::FileStream> stream) : m_stream(std::move(stream)) {}
    long read(void* buffer, size_t size) override { return m_stream->read(buffer, size); }
    int error() const override { return m_stream->error(); }

private:
    std::unique_ptr<platform::FileStream> m_stream;
};

} // namespace

std::unique_ptr<ByteSource> openSource(const std::string& nativePath)
{
    // O_NONBLOCK: opening a FIFO must not wait for a writer. A regular file
    // ignores the flag.
    const int fd = ::open(nativePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 && errno == ENOTDIR) {
        // The path runs on below a file: a file inside a disk image mapped as a drive.
        if (std::unique_ptr<platform::FileStream> inImage = platform::openImageFile(nativePath))
            return std::make_unique<ImageSource>(std::move(inImage));
        return nullptr;
    }
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : EINVAL;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    Lease lease = networkFileSystem(fd) ? Lease::Unavailable : takeLease(fd);
    if (lease == Lease::Busy)
        lease = waitForWriters(fd);
    if (lease == Lease::Busy)
        return std::make_unique<FileSource>(fd, info, FileSource::Guard::None, -1, kHeldByWriter);
    if (lease == Lease::Taken) {
        // The times as they are now that no writer can come in unseen.
        ::fstat(fd, &info);
        return std::make_unique<FileSource>(fd, info, FileSource::Guard::Lease, -1, 0);
    }
    // No lease (a file of another user, a file system without leases):
    // a watch sees the writes during the read at least.
    const int watch = watchFile(fd, IN_MODIFY | IN_CLOSE_WRITE);
    return std::make_unique<FileSource>(
        fd, info, watch >= 0 ? FileSource::Guard::Watch : FileSource::Guard::None, watch, 0);
}

namespace {

class FileReader final : public RandomReader {
public:
    FileReader(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~FileReader() override;
    long readAt(std::uint64_t offset, void* buffer, size_t size) override;
    // size: the size now (a file being written grows while it is read back).
    std::uint64_t size() const override;
    int error() const override { return m_error; }

private:
    int m_fd;
    std::uint64_t m_size;
    int m_error = 0;
};

} // namespace

FileReader::~FileReader()
{
    ::close(m_fd);
}

std::uint64_t FileReader::size() const
{
    struct stat info;
    return ::fstat(m_fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : m_size;
}

long FileReader::readAt(std::uint64_t offset, void* buffer, size_t size)
{
    size_t done = 0;
    while (done < size) {
        const ssize_t got = ::pread(m_fd, static_cast<char*>(buffer) + done, size - done,
            static_cast<off_t>(offset + done));
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            m_error = errno;
            return -1;
        }
        if (got == 0)
            break;
        done += static_cast<size_t>(got);
    }
    return static_cast<long>(done);
}

std::unique_ptr<RandomReader> openReader(const std::string& nativePath)
{
    const int fd = ::open(nativePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat info;
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        const int error = S_ISDIR(info.st_mode) ? EISDIR : errno;
        ::close(fd);
        errno = error;
        return nullptr;
    }
    return std::make_unique<FileReader>(fd, static_cast<std::uint64_t>(info.st_size));
}

bool AtomicFile::create(const std::string& target, const std::string& tempPrefix, const CreateOptions& options)
{
    m_target = target;
    m_sync = options.sync;
    // The file is locked for as long as this object owns it: a sweep of
    // leftovers takes only files whose lock it can get, those of dead callers.
    // A sweep may take the new file before it is locked; then try again.
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::string pattern = parentFolder(target) + "/" + tempPrefix + "XXXXXX";
        const int fd = ::mkostemp(pattern.data(), O_CLOEXEC);
        if (fd < 0) {
            m_error = errno;
            return false;
        }
        struct stat opened;
        struct stat named;
        if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::fstat(fd, &opened) != 0
            || ::lstat(pattern.c_str(), &named) != 0 || opened.st_ino != named.st_ino
            || opened.st_dev != named.st_dev) {
            ::close(fd);
            continue;
        }
        m_file = fd;
        m_temp = pattern;
        break;
    }
    if (m_file == kNoFile) {
        m_error = EAGAIN;
        return false;
    }
    // mkostemp makes the file private; give it the mode asked for, or the
    // one a new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(fdOf(m_file), options.mode ? static_cast<mode_t>(*options.mode) : (0666 & ~mask));
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
    if (m_sync && ::fsync(fdOf(m_file)) != 0) {
        m_error = errno;
        return false;
    }
    // Renamed while still open and locked, so that no sweep takes it first.
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        m_error = errno;
        return false;
    }
    m_temp.clear();
    const int closed = ::close(fdOf(m_file));
    m_file = kNoFile;
    if (closed != 0) {
        m_error = errno;
        return false;
    }
    if (!m_sync)
        return true;
    const std::string folder = parentFolder(m_target);
    if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void AtomicFile::discard()
{
    // Removed before it is closed: while it is locked no sweep touches it.
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
    }
    if (m_file != kNoFile) {
        ::close(fdOf(m_file));
        m_file = kNoFile;
    }
}

void removeDeadTemporaries(const std::string& folder)
{
    const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd < 0)
        return;
    DIR* dir = ::fdopendir(dirFd);
    if (!dir) {
        ::close(dirFd);
        return;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir))
        if (isTemporaryName(entry->d_name))
            names.emplace_back(entry->d_name);
    for (const std::string& name : names) {
        const int fd = ::openat(::dirfd(dir), name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY);
        if (fd < 0)
            continue;
        struct stat info;
        struct stat named;
        // A lock held means a caller still writes it. Between the open and
        // the lock, its owner may have finished and a new file taken the
        // name: only the file locked is removed.
        if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0
            && ::fstatat(::dirfd(dir), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0
            && named.st_ino == info.st_ino && named.st_dev == info.st_dev)
            ::unlinkat(::dirfd(dir), name.c_str(), 0);
        ::close(fd);
    }
    ::closedir(dir);
}

bool ArchiveLock::lock(const std::string& nativeArchive, const std::string& tempPrefix)
{
    release();
    m_error = 0;
    const size_t slash = nativeArchive.rfind('/');
    const std::string fileName = slash == std::string::npos ? nativeArchive : nativeArchive.substr(slash + 1);
    const std::string path = parentFolder(nativeArchive) + "/" + archiveLockName(fileName, tempPrefix);
    // Each new try follows a holder that removed the file on release, or a
    // sweep that took it between the open and the lock: both are rare, so
    // the bound is only against a folder that something keeps changing.
    for (int attempt = 0; attempt < 1000; ++attempt) {
        // Open for writing where it can be: an exclusive lock over NFS needs it.
        constexpr int kFlags = O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK;
        int fd = ::open(path.c_str(), O_RDWR | kFlags, 0644);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.c_str(), O_RDONLY | kFlags, 0644);
        if (fd < 0) {
            if (errno == EINTR)
                continue;
            m_error = errno;
            return false;
        }
        struct stat opened;
        const bool stated = ::fstat(fd, &opened) == 0;
        if (!stated || !S_ISREG(opened.st_mode)) {
            // Something that is not a file holds the name: never waited on.
            m_error = stated ? EEXIST : errno;
            ::close(fd);
            return false;
        }
        int locked;
        while ((locked = ::flock(fd, LOCK_EX)) != 0 && errno == EINTR) {
        }
        if (locked != 0) {
            m_error = errno;
            ::close(fd);
            return false;
        }
        struct stat named;
        if (::lstat(path.c_str(), &named) == 0 && named.st_ino == opened.st_ino && named.st_dev == opened.st_dev) {
            m_file = fd;
            m_path = path;
            return true;
        }
        ::close(fd);
    }
    m_error = EAGAIN;
    return false;
}

void ArchiveLock::release()
{
    if (m_file == kNoFile)
        return;
    // Removed while still locked: no other holder can exist, and a writer
    // waiting on this file finds its name gone and makes a new one.
    struct stat opened;
    struct stat named;
    if (::fstat(fdOf(m_file), &opened) == 0 && ::lstat(m_path.c_str(), &named) == 0 && named.st_ino == opened.st_ino
        && named.st_dev == opened.st_dev)
        ::unlink(m_path.c_str());
    ::close(fdOf(m_file));
    m_file = kNoFile;
    m_path.clear();
}

std::string parentFolder(const std::string& nativePath)
{
    const size_t slash = nativePath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : nativePath.substr(0, slash);
}


std::string joinPath(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

size_t pathDepth(const std::string& nativePath)
{
    return static_cast<size_t>(std::count(nativePath.begin(), nativePath.end(), '/'));
}

namespace {

const char* kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "not a regular file";
}

} // namespace

NodeStatus nodeStatus(const std::string& nativePath, bool followLink)
{
    NodeStatus status;
    struct stat info;
    if ((followLink ? ::stat(nativePath.c_str(), &info) : ::lstat(nativePath.c_str(), &info)) != 0) {
        status.error = errno;
        return status;
    }
    status.mode = static_cast<std::uint32_t>(info.st_mode & 07777);
    status.mtime = info.st_mtim.tv_sec;
    status.kind = kindOf(info.st_mode);
    if (S_ISREG(info.st_mode)) {
        status.type = NodeType::File;
        status.size = static_cast<std::uint64_t>(info.st_size);
    } else if (S_ISDIR(info.st_mode)) {
        status.type = NodeType::Folder;
    } else if (S_ISLNK(info.st_mode)) {
        status.type = NodeType::Link;
    } else {
        status.type = NodeType::Other;
    }
    return status;
}

bool canWrite(const std::string& nativePath)
{
    return ::access(nativePath.c_str(), W_OK) == 0;
}

bool makeFolder(const std::string& nativePath)
{
    return ::mkdir(nativePath.c_str(), 0777) == 0;
}

void setFileTime(const std::string& nativePath, std::int64_t mtime)
{
    const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    ::utimensat(AT_FDCWD, nativePath.c_str(), times, AT_SYMLINK_NOFOLLOW);
}

void makeReadOnly(const std::string& nativePath)
{
    ::chmod(nativePath.c_str(), 0444);
}

bool syncFolderTree(const std::string& nativeFolder)
{
    const int fd = ::open(nativeFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::syncfs(fd) == 0;
    const int error = errno;
    ::close(fd);
    errno = error;
    return synced;
}

} // namespace archivers
