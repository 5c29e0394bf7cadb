// File input and output of the archiver modules: what every system shares.
#include "file_io.h"

#include "file_io_system.h"
#include "result_codes.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace archivers {

namespace {

// Output is gathered into blocks of this size: few system calls, bounded memory.
constexpr size_t kSinkBuffer = 256 * 1024;
// Bytes asked of a source per read when a whole file is read.
constexpr size_t kSourceChunk = 256 * 1024;

} // namespace

std::string readErrorText(int error)
{
    if (error == kChangedWhileRead)
        return "the file changed while it was read";
    if (error == kWrittenByAnother || error == kHeldByWriter)
        return "another program is writing it";
    return error ? std::strerror(error) : "unexpected end of file";
}

std::unique_ptr<ByteSource> openNamedSource(const std::string& nativePath, const std::string& displayName,
                                            std::string& why)
{
    std::unique_ptr<ByteSource> source = openSource(nativePath);
    if (!source)
        why = displayName + ": cannot be opened: " + std::strerror(errno);
    return source;
}

namespace {

WholeFile readOnce(const std::string& nativePath, unsigned char* bytes, size_t room)
{
    WholeFile file;
    std::unique_ptr<ByteSource> source = openSource(nativePath);
    if (!source) {
        file.opened = false;
        file.error = errno;
        return file;
    }
    while (file.size < room) {
        const long got = source->read(bytes + file.size, std::min<size_t>(kSourceChunk, room - file.size));
        if (got < 0) {
            file.readFailed = true;
            file.error = source->error();
            return file;
        }
        if (got == 0)
            break;
        file.size += static_cast<size_t>(got);
    }
    return file;
}

} // namespace

WholeFile readWhole(const std::string& nativePath, unsigned char* bytes, size_t room)
{
    // Opening again waits for the writer to be done.
    for (int attempt = 0;; ++attempt) {
        WholeFile file = readOnce(nativePath, bytes, room);
        if (!file.readFailed || file.error != kWrittenByAnother || attempt == 2)
            return file;
    }
}

int wholeFileFailure(const WholeFile& file, const std::string& name, std::string& why)
{
    if (!file.opened) {
        why = name + ": cannot be opened: " + std::strerror(file.error);
        return kErrorFileOpen;
    }
    if (file.readFailed) {
        why = name + ": cannot be read: " + readErrorText(file.error);
        return kErrorCannotRead;
    }
    return kOk;
}

long MemorySource::read(void* buffer, size_t size)
{
    const size_t count = std::min(size, m_size - m_at);
    std::memcpy(buffer, m_data + m_at, count);
    m_at += count;
    return static_cast<long>(count);
}

bool StringSink::write(const void* data, size_t size)
{
    m_out.append(static_cast<const char*>(data), size);
    return true;
}

bool StringSink::writeAt(std::uint64_t offset, const void* data, size_t size)
{
    if (offset > m_out.size() || size > m_out.size() - offset)
        return false;
    std::memcpy(m_out.data() + offset, data, size);
    return true;
}

bool StringSink::truncate(std::uint64_t size)
{
    if (size > m_out.size())
        return false;
    m_out.resize(static_cast<size_t>(size));
    return true;
}

long MemoryReader::readAt(std::uint64_t offset, void* buffer, size_t size)
{
    if (offset >= m_size)
        return 0;
    const size_t count = static_cast<size_t>(std::min<std::uint64_t>(size, m_size - offset));
    std::memcpy(buffer, m_data + offset, count);
    return static_cast<long>(count);
}

FileSink::FileSink(NativeFile file)
    : m_file(file)
{
    m_buffer.reserve(kSinkBuffer);
}

bool FileSink::flush()
{
    if (m_error)
        return false;
    if (m_buffer.empty())
        return true;
    if (!system::writeAll(m_file, m_buffer.data(), m_buffer.size(), &m_error))
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
            if (!system::writeAll(m_file, bytes, size, &m_error))
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
    return system::writeAllAt(m_file, offset, static_cast<const unsigned char*>(data), size, &m_error);
}

bool FileSink::truncate(std::uint64_t size)
{
    if (!flush() || !system::truncateAt(m_file, size, &m_error))
        return false;
    m_flushed = size;
    return true;
}

AtomicFile::~AtomicFile()
{
    discard();
}

std::string archiveLockName(const std::string& archiveFileName, const std::string& tempPrefix)
{
    // FNV-1a of the name in lower case: DISK01.LZH and disk01.lzh share a
    // lock (a folder on a FAT or SMB volume holds them as one file).
    std::uint64_t hash = 0xCBF29CE484222325ull;
    for (const char c : archiveFileName) {
        hash ^= static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(c)));
        hash *= 0x100000001B3ull;
    }
    static constexpr char kDigits[] = "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string name = tempPrefix;
    for (int i = 0; i < 6; ++i) {
        name += kDigits[hash % 36];
        hash /= 36;
    }
    return name;
}

} // namespace archivers
