// File input and output of the archiver modules, behind small interfaces so
// that tests can make the Nth call fail.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/folder_lock.h"

namespace archivers {

// An open file of the system: a file descriptor on POSIX systems, a HANDLE
// on Windows; kNoFile for none.
using NativeFile = std::intptr_t;
constexpr NativeFile kNoFile = -1;

// A stream of bytes read from the start (a source file).
class ByteSource {
public:
    virtual ~ByteSource() = default;
    // read: up to `size` bytes; 0 at the end; -1 on failure (error() tells why).
    virtual long read(void* buffer, size_t size) = 0;
    virtual int error() const = 0;
};

// Bytes read at any offset (an archive being read).
class RandomReader {
public:
    virtual ~RandomReader() = default;
    // readAt: up to `size` bytes at `offset`; fewer only at the end; -1 on failure.
    virtual long readAt(std::uint64_t offset, void* buffer, size_t size) = 0;
    virtual std::uint64_t size() const = 0;
    virtual int error() const = 0;
};

// An output file written front to back, with headers patched in place later.
class ByteSink {
public:
    virtual ~ByteSink() = default;
    virtual bool write(const void* data, size_t size) = 0;
    virtual bool writeAt(std::uint64_t offset, const void* data, size_t size) = 0;
    // truncate: cut the file to `size` bytes; later writes continue there.
    virtual bool truncate(std::uint64_t size) = 0;
    // flush: everything written so far is in the file.
    virtual bool flush() = 0;
    virtual std::uint64_t position() const = 0;
    virtual int error() const = 0;
};

// ── Plain files ─────────────────────────────────────────────────────────────

// The error of a source whose size, modification or change time moved
// while it was read: what was read may mix old and new content.
constexpr int kChangedWhileRead = 0x10000;
// The error of a source that another program opened for writing, or wrote,
// while it was read.
constexpr int kWrittenByAnother = 0x10001;
// The error of a source that another program held open for writing from
// before it was opened until the module's wait for it ran out.
constexpr int kHeldByWriter = 0x10002;

// readErrorText: the words for a read error (an errno value,
// kChangedWhileRead, kWrittenByAnother, kHeldByWriter, or 0 for an
// unexpected end).
std::string readErrorText(int error);

// openSource: a regular source file for reading (follows a symbolic link),
// kept from changing unseen while it is read; null with errno set when it
// cannot be opened. A FIFO, socket or device found under the name is refused
// (EINVAL) without blocking. A file that another program holds open for
// writing is waited for, at most kWriterWaitMs; if it is still open for
// writing then, the source is returned and its first read fails with
// kHeldByWriter.
//
// On POSIX systems the file is guarded
// - with a read lease where the file system and the caller's rights allow
//   one: no other program has the file open for writing while the lease is
//   held, and one that opens it for writing waits until the lease is given
//   back; its attempt is seen at the next read, which fails with
//   kWrittenByAnother and gives the lease back at once;
// - else with an inotify watch, which sees every write and every close of
//   a writer during the read (not a writer that holds the file open and
//   writes nothing while it is read).
// On Windows it is opened sharing reading only: no other program opens it
// for writing while it is read.
// And always, at the end: the same size, modification and change times as
// when it was opened, or the read fails with kChangedWhileRead.
constexpr int kWriterWaitMs = 2000;
std::unique_ptr<ByteSource> openSource(const std::string& nativePath);

// openNamedSource: openSource, and when it fails, `why` says so naming the
// file as `displayName` (the caller's result is kErrorFileOpen).
std::unique_ptr<ByteSource> openNamedSource(const std::string& nativePath, const std::string& displayName,
                                            std::string& why);

// A whole small file read into memory (by a read-ahead thread).
struct WholeFile {
    bool opened = true;     // false: it could not be opened (error holds errno)
    bool readFailed = false; // reading failed or the file changed meanwhile (error tells)
    int error = 0;
    size_t size = 0;
};

// readWhole: the file into `bytes`, at most `room` bytes (give one more than
// the largest size expected, so that a grown file shows). A read spoilt by
// another program's writing is read again once that program is done (at
// most twice more), so that one whole version is kept.
WholeFile readWhole(const std::string& nativePath, unsigned char* bytes, size_t room);

// wholeFileFailure: the result code and `why` (named `name`) of a file that
// could not be opened or read, 0 when it was read.
int wholeFileFailure(const WholeFile& file, const std::string& name, std::string& why);

// Room for a file's bytes that a thread keeps from file to file, so that its
// pages are mapped once rather than once per file; never cleared, since it is
// always written before it is read.
class Room {
public:
    unsigned char* reserve(size_t size)
    {
        if (m_size < size) {
            m_bytes.reset(new unsigned char[size]);
            m_size = size;
        }
        return m_bytes.get();
    }

private:
    std::unique_ptr<unsigned char[]> m_bytes;
    size_t m_size = 0;
};

class MemorySource final : public ByteSource {
public:
    MemorySource(const unsigned char* data, size_t size) : m_data(data), m_size(size) {}
    long read(void* buffer, size_t size) override;
    int error() const override { return 0; }

private:
    const unsigned char* m_data;
    size_t m_size;
    size_t m_at = 0;
};

// Output into a string (a member compressed in memory).
class StringSink final : public ByteSink {
public:
    explicit StringSink(std::string& out) : m_out(out) {}
    bool write(const void* data, size_t size) override;
    bool writeAt(std::uint64_t offset, const void* data, size_t size) override;
    bool truncate(std::uint64_t size) override;
    bool flush() override { return true; }
    std::uint64_t position() const override { return m_out.size(); }
    int error() const override { return 0; }

private:
    std::string& m_out;
};

// openReader: an archive for reading; null with errno set on failure. Other
// programs may go on reading, writing, renaming or removing it meanwhile
// (the archive's own writers take turns through ArchiveLock).
std::unique_ptr<RandomReader> openReader(const std::string& nativePath);

class MemoryReader final : public RandomReader {
public:
    MemoryReader(const void* data, size_t size) : m_data(static_cast<const unsigned char*>(data)), m_size(size) {}
    long readAt(std::uint64_t offset, void* buffer, size_t size) override;
    std::uint64_t size() const override { return m_size; }
    int error() const override { return 0; }

private:
    const unsigned char* m_data;
    size_t m_size;
};

// Buffered output to an open file (not owned).
class FileSink final : public ByteSink {
public:
    explicit FileSink(NativeFile file);
    bool write(const void* data, size_t size) override;
    bool writeAt(std::uint64_t offset, const void* data, size_t size) override;
    bool truncate(std::uint64_t size) override;
    std::uint64_t position() const override { return m_flushed + m_buffer.size(); }
    int error() const override { return m_error; }
    bool flush() override;

private:
    NativeFile m_file;
    std::vector<unsigned char> m_buffer;
    std::uint64_t m_flushed = 0;
    int m_error = 0;
};

// ── Replacing a file atomically ─────────────────────────────────────────────

// A new version of `target`, written to a temporary file in the same folder
// and renamed over the target by commit(). Destroyed without commit(), it
// removes the temporary file; the target is never touched before the rename.
class AtomicFile {
public:
    AtomicFile() = default;
    ~AtomicFile();
    AtomicFile(const AtomicFile&) = delete;
    AtomicFile& operator=(const AtomicFile&) = delete;

    struct CreateOptions {
        std::optional<std::uint32_t> mode; // the new file's POSIX mode; default: as a new file gets
        bool sync = true;           // commit() syncs file and folder (off: the caller syncs once)
    };
    // create: make the temporary file; false with error() set on failure.
    bool create(const std::string& target, const std::string& tempPrefix, const CreateOptions& options);
    bool create(const std::string& target, const std::string& tempPrefix)
    {
        return create(target, tempPrefix, CreateOptions{});
    }
    ByteSink& sink() { return *m_sink; }
    // commit: flush, sync and rename over the target; false with error() set.
    bool commit();
    void discard();
    int error() const { return m_error; }
    const std::string& tempPath() const { return m_temp; }

private:
    std::string m_target;
    std::string m_temp;
    NativeFile m_file = kNoFile;
    std::unique_ptr<FileSink> m_sink;
    int m_error = 0;
    bool m_sync = true;
};

// removeDeadTemporaries: delete the temporary files of the archiver modules
// in `folder` that no running call owns (their owners were killed): those
// whose lock can be taken, and only while the name still refers to the file
// that was locked. Archive locks left by killed writers go the same way.
void removeDeadTemporaries(const std::string& folder);

// ── Taking turns on one archive ─────────────────────────────────────────────

// An exclusive lock on one archive file, held while it is rewritten: two
// writers of one archive take turns, while writers of other archives in the
// same folder go on. The lock is a file beside the archive whose name is a
// temporary name (the module's prefix and six characters made from the
// archive's file name, without case), locked (flock; LockFileEx on Windows);
// once the lock is taken, the
// name must still refer to the file locked (a holder that went on, or a
// sweep, may have removed it meanwhile), else it is taken again. Released,
// the file is removed while still locked, then closed; one a killed writer
// left is swept like its temporary files.
class ArchiveLock {
public:
    ArchiveLock() = default;
    ~ArchiveLock() { release(); }
    ArchiveLock(const ArchiveLock&) = delete;
    ArchiveLock& operator=(const ArchiveLock&) = delete;

    // lock: waits until the archive's lock is held. False with error() set
    // when the lock file cannot be made or locked.
    bool lock(const std::string& nativeArchive, const std::string& tempPrefix);
    void release();
    bool held() const { return m_file != kNoFile; }
    int error() const { return m_error; }
    const std::string& path() const { return m_path; }

private:
    NativeFile m_file = kNoFile;
    std::string m_path;
    int m_error = 0;
};

// archiveLockName: the name of the lock file of the archive named
// `archiveFileName` (no folder): `tempPrefix` and six characters of [0-9a-z].
std::string archiveLockName(const std::string& archiveFileName, const std::string& tempPrefix);

using platform::removeStaleTemps;

// ── Native names ────────────────────────────────────────────────────────────

// parentFolder: "/a/b/c" -> "/a/b"; "/c" -> "/"; on Windows "C:\A\B" ->
// "C:\A" and "C:\A" -> "C:\" (its root).
std::string parentFolder(const std::string& nativePath);

// joinPath: `name` inside the native folder `folder`.
std::string joinPath(const std::string& folder, const std::string& name);

// pathDepth: how many separators `nativePath` holds (deeper paths more).
size_t pathDepth(const std::string& nativePath);

enum class NodeType { Missing, File, Folder, Link, Other };

// What a native name stands for.
struct NodeStatus {
    NodeType type = NodeType::Missing;
    int error = 0;            // Missing: ENOENT, or why the name could not be looked at
    std::uint64_t size = 0;   // File
    std::int64_t mtime = 0;   // seconds since 1970 (UTC)
    std::uint32_t mode = 0;   // POSIX permission bits (Windows: 0444 when read-only, else 0666)
    const char* kind = "";    // not a File: "a FIFO", "a socket", "not a regular file"...
};

// nodeStatus: what `nativePath` is; a symbolic link (or, on Windows, a
// reparse point) is Link unless `followLink`, when it is what it leads to.
NodeStatus nodeStatus(const std::string& nativePath, bool followLink);

// canWrite: this process may write the file or folder (access(2) W_OK; on
// Windows a name whose read-only attribute is not set).
bool canWrite(const std::string& nativePath);

// makeFolder: one folder (its parent exists); false with errno set.
bool makeFolder(const std::string& nativePath);

// setFileTime: the modification (and access) time of a file or folder, not
// through a link; best effort.
void setFileTime(const std::string& nativePath, std::int64_t mtime);

// makeReadOnly: no one may write the file any more (mode 0444, or the
// read-only attribute); best effort.
void makeReadOnly(const std::string& nativePath);

// syncFolderTree: everything written below `nativeFolder` is on the disk:
// syncfs on POSIX systems; on Windows, where only an administrator may flush
// a volume, AtomicFile flushes each file as it commits it. False with errno set.
bool syncFolderTree(const std::string& nativeFolder);

} // namespace archivers
