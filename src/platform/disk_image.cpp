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
           std::uint64_t size, Layout layout, std::vector<Fault> faults)
    : m_file(std::move(file)), m_format(std::move(format)), m_stretches(std::move(stretches)), m_size(size),
      m_layout(layout), m_faults(std::move(faults))
{
    std::sort(m_stretches.begin(), m_stretches.end(),
        [](const Stretch& a, const Stretch& b) { return a.diskOffset < b.diskOffset; });
    std::sort(m_faults.begin(), m_faults.end(),
        [](const Fault& a, const Fault& b) { return a.diskOffset < b.diskOffset; });
    if (m_layout.sectorSize != 0)
        sectorSize = m_layout.sectorSize;
}

const Disk::Stretch* Disk::stretchAt(std::uint64_t offset) const
{
    // The last stretch that starts at or before `offset`, if it reaches it.
    auto after = std::upper_bound(m_stretches.begin(), m_stretches.end(), offset,
        [](std::uint64_t value, const Stretch& s) { return value < s.diskOffset; });
    if (after == m_stretches.begin() || offset >= m_size)
        return nullptr;
    const Stretch& stretch = *(after - 1);
    return offset < stretch.diskOffset + stretch.length ? &stretch : nullptr;
}

namespace {

std::string sectorName(std::uint32_t cylinder, std::uint32_t head, std::uint32_t record)
{
    return "cylinder " + std::to_string(cylinder) + " head " + std::to_string(head) + " sector "
        + std::to_string(record);
}

} // namespace

// Why the image has no data at `offset`: the fault the container recorded
// there, else a truncated or incomplete image, named by its sector when the
// layout is known.
std::string Disk::hole(std::uint64_t offset) const
{
    auto after = std::upper_bound(m_faults.begin(), m_faults.end(), offset,
        [](std::uint64_t value, const Fault& f) { return value < f.diskOffset; });
    if (after != m_faults.begin()) {
        const Fault& fault = *(after - 1);
        if (offset < fault.diskOffset + fault.length)
            return sectorName(fault.cylinder, fault.head, fault.record) + ": " + fault.reason;
    }
    const Layout& l = m_layout;
    if (l.sectorSize != 0 && l.sectorsPerTrack != 0 && l.heads != 0) {
        const std::uint64_t sector = offset / l.sectorSize;
        const std::uint64_t track = sector / l.sectorsPerTrack;
        return sectorName(static_cast<std::uint32_t>(track / l.heads), static_cast<std::uint32_t>(track % l.heads),
                   static_cast<std::uint32_t>(l.firstRecord + sector % l.sectorsPerTrack))
            + ": the image holds no data for it (a truncated or incomplete image)";
    }
    return "the image holds no data at disk byte " + std::to_string(offset) + " (a truncated or incomplete image)";
}

std::optional<std::string> Disk::gap(std::uint64_t offset, std::uint64_t size) const
{
    if (offset > m_size)
        return hole(offset);
    while (size > 0) {
        const Stretch* stretch = stretchAt(offset);
        if (!stretch)
            return hole(offset);
        if (stretch->fileOffset + stretch->length > m_file->size())
            return "the image ends at byte " + std::to_string(m_file->size())
                + ", before the data its layout promises (a truncated image)";
        const std::uint64_t count = std::min(size, stretch->diskOffset + stretch->length - offset);
        offset += count;
        size -= count;
    }
    return std::nullopt;
}

Result<void> Disk::read(std::uint64_t offset, void* buffer, std::size_t size) const
{
    auto* out = static_cast<unsigned char*>(buffer);
    while (size > 0) {
        const Stretch* stretch = stretchAt(offset);
        if (!stretch)
            return Error{EIO, hole(offset)};
        const std::uint64_t inside = offset - stretch->diskOffset;
        const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(size, stretch->length - inside));
        const long got = m_file->readAt(stretch->fileOffset + inside, out, count);
        if (got < 0)
            return Error{errno ? errno : EIO, std::string("the image cannot be read: ") + std::strerror(errno)};
        if (static_cast<std::size_t>(got) != count)
            return Error{EIO, "the image ends at byte " + std::to_string(stretch->fileOffset + inside + static_cast<std::uint64_t>(got))
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
    // The hard disk headers before FDI, whose header HDI's resembles; DCP
    // and CFI last: they have no signature.
    static constexpr ContainerProbe kProbes[] = {probeD88, probeNhd, probeVirtual98, probeSlh, probeHdi, probeFdi, probeThd,
        probeNfd, probeFdd, probeDim, probeImd, probeTd0, probeCqm, probeApriDisk, probeCpcDsk, probeDcp, probeCfi};
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
