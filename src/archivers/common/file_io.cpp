// File input and output of the archiver modules.
#include "file_io.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/platform.h"

namespace archivers {

namespace {

// Output is gathered into blocks of this size: few system calls, bounded memory.
constexpr size_t kSinkBuffer = 256 * 1024;

bool writeFully(int fd, const unsigned char* data, size_t size, int* error)
{
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

} // namespace

FileSource::~FileSource()
{
    ::close(m_fd);
}

long FileSource::read(void* buffer, size_t size)
{
    for (;;) {
        const ssize_t got = ::read(m_fd, buffer, size);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            m_error = errno;
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
    const int fd = ::open(nativePath.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0 && errno == ENOTDIR) {
        // The path runs on below a file: a file inside a disk image mapped as a drive.
        if (std::unique_ptr<platform::FileStream> inImage = platform::openImageFile(nativePath))
            return std::make_unique<ImageSource>(std::move(inImage));
        return nullptr;
    }
    if (fd < 0)
        return nullptr;
    return std::make_unique<FileSource>(fd);
}

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

long MemoryReader::readAt(std::uint64_t offset, void* buffer, size_t size)
{
    if (offset >= m_size)
        return 0;
    const size_t count = static_cast<size_t>(std::min<std::uint64_t>(size, m_size - offset));
    std::memcpy(buffer, m_data + offset, count);
    return static_cast<long>(count);
}

FileSink::FileSink(int fd)
    : m_fd(fd)
{
    m_buffer.reserve(kSinkBuffer);
}

bool FileSink::flush()
{
    if (m_error)
        return false;
    if (m_buffer.empty())
        return true;
    if (!writeFully(m_fd, m_buffer.data(), m_buffer.size(), &m_error))
        return false;
    m_flushed += m_buffer.size();
    m_buffer.clear();
    return true;
}

bool FileSink::write(const void* data, size_t size)
{
    if (m_error)
        return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    if (m_buffer.size() + size > kSinkBuffer) {
        if (!flush())
            return false;
        if (size >= kSinkBuffer) {
            if (!writeFully(m_fd, bytes, size, &m_error))
                return false;
            m_flushed += size;
            return true;
        }
    }
    m_buffer.insert(m_buffer.end(), bytes, bytes + size);
    return true;
}

bool FileSink::writeAt(std::uint64_t offset, const void* data, size_t size)
{
    if (!flush())
        return false;
    const auto* bytes = static_cast<const unsigned char*>(data);
    while (size > 0) {
        const ssize_t put = ::pwrite(m_fd, bytes, size, static_cast<off_t>(offset));
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0) {
            m_error = put < 0 ? errno : ENOSPC;
            return false;
        }
        bytes += put;
        offset += static_cast<std::uint64_t>(put);
        size -= static_cast<size_t>(put);
    }
    return true;
}

bool FileSink::truncate(std::uint64_t size)
{
    if (!flush())
        return false;
    if (::ftruncate(m_fd, static_cast<off_t>(size)) != 0 || ::lseek(m_fd, static_cast<off_t>(size), SEEK_SET) < 0) {
        m_error = errno;
        return false;
    }
    m_flushed = size;
    return true;
}

AtomicFile::~AtomicFile()
{
    discard();
}

bool AtomicFile::create(const std::string& target, const std::string& tempPrefix)
{
    m_target = target;
    std::string pattern = parentFolder(target) + "/" + tempPrefix + "XXXXXX";
    m_fd = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (m_fd < 0) {
        m_error = errno;
        return false;
    }
    m_temp = pattern;
    // mkostemp makes the file private; give it the mode a new file would get.
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ::fchmod(m_fd, 0666 & ~mask);
    m_sink = std::make_unique<FileSink>(m_fd);
    return true;
}

bool AtomicFile::commit()
{
    if (m_fd < 0)
        return false;
    if (!m_sink->flush()) {
        m_error = m_sink->error();
        return false;
    }
    if (::fsync(m_fd) != 0 || ::close(m_fd) != 0) {
        m_error = errno;
        m_fd = -1;
        return false;
    }
    m_fd = -1;
    if (::rename(m_temp.c_str(), m_target.c_str()) != 0) {
        m_error = errno;
        return false;
    }
    m_temp.clear();
    const std::string folder = parentFolder(m_target);
    if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

void AtomicFile::discard()
{
    if (m_fd >= 0) {
        ::close(m_fd);
        m_fd = -1;
    }
    if (!m_temp.empty()) {
        ::unlink(m_temp.c_str());
        m_temp.clear();
    }
}

std::string parentFolder(const std::string& nativePath)
{
    const size_t slash = nativePath.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : nativePath.substr(0, slash);
}

} // namespace archivers
