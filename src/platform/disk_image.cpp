// Disk images: the sector view shared by every container, and the choice of container.
#include "disk_image.h"

#include <algorithm>
#include <cstring>

namespace platform::image {

long MemoryFile::readAt(std::uint64_t offset, void* buffer, std::size_t size) const
{
    if (offset >= m_bytes.size())
        return 0;
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, m_bytes.size() - offset));
    std::memcpy(buffer, m_bytes.data() + offset, count);
    return static_cast<long>(count);
}

Disk::Disk(std::shared_ptr<const ByteFile> file, std::string format, std::vector<Stretch> stretches,
           std::uint64_t size)
    : m_file(std::move(file)), m_format(std::move(format)), m_stretches(std::move(stretches)), m_size(size)
{
    std::sort(m_stretches.begin(), m_stretches.end(),
        [](const Stretch& a, const Stretch& b) { return a.diskOffset < b.diskOffset; });
}

Result<void> Disk::read(std::uint64_t offset, void* buffer, std::size_t size) const
{
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        // The last stretch that starts at or before `offset`.
        auto after = std::upper_bound(m_stretches.begin(), m_stretches.end(), offset,
            [](std::uint64_t value, const Stretch& s) { return value < s.diskOffset; });
        if (after == m_stretches.begin() || offset >= m_size)
            return Error{EIO, "the image holds no data at disk byte " + std::to_string(offset)
                                  + " (a truncated or incomplete image)"};
        const Stretch& stretch = *(after - 1);
        if (offset >= stretch.diskOffset + stretch.length)
            return Error{EIO, "the image holds no data at disk byte " + std::to_string(offset)
                                  + " (a truncated or incomplete image)"};
        const std::uint64_t inside = offset - stretch.diskOffset;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, stretch.length - inside));
        const long got = m_file->readAt(stretch.fileOffset + inside, out, count);
        if (got < 0)
            return Error{errno ? errno : EIO, std::string("the image cannot be read: ") + std::strerror(errno)};
        if (static_cast<std::size_t>(got) != count)
            return Error{EIO, "the image ends at byte " + std::to_string(stretch.fileOffset + inside + static_cast<std::uint64_t>(got))
                                  + ", before the data its layout promises (a truncated image)"};
        out += count;
        offset += count;
        size -= count;
    }
    return {};
}

Result<std::shared_ptr<const Disk>> openDisk(std::shared_ptr<const ByteFile> file)
{
    // Formats with a header of their own; another one is one more probe here.
    static constexpr ContainerProbe kProbes[] = {probeD88, probeFdi};
    for (ContainerProbe probe : kProbes) {
        if (auto found = probe(file))
            return std::move(*found);
    }
    const std::uint64_t size = file->size();
    if (size < 512)
        return Error{EINVAL, "too small for a disk image (" + std::to_string(size) + " bytes)"};
    std::vector<Disk::Stretch> whole{{0, 0, size}};
    return std::shared_ptr<const Disk>(std::make_shared<Disk>(std::move(file), "raw", std::move(whole), size));
}

} // namespace platform::image
