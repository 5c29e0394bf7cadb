// Hard disk images of PC-98 emulators: a header that gives the disk's
// geometry, the sectors in cylinder, head, sector order after it.
//   HDI (Anex86): eight 32-bit fields (zero, drive type, header size, data
//     size, sector size, sectors per track, heads, cylinders).
//   NHD (T98-Next): "T98HDDIMAGE.R0", a comment, then header size and
//     cylinders (32-bit), heads, sectors per track, sector size (16-bit).
//   THD (T98): a 256-byte header holding the cylinder count; every disk has
//     8 heads of 33 sectors of 256 bytes.
//   HDD (Virtual98): "VHD1.00", a comment, then the size in MiB, sector size
//     (16-bit), sectors per track, heads (8-bit), cylinders (16-bit) and the
//     sector count (32-bit); the data starts at byte 220.
//   SLH (SL9821): "HDIM", the disk's size in bytes (64-bit), then sector
//     size, cylinders, heads and sectors per track (32-bit each), a serial
//     number, revision and model name; the data starts at byte 512.
// Each header is checked against the file: a header that runs past it, or a
// geometry that disagrees with the sizes the header or the file give, is an
// error naming the value. A file longer than its disk keeps the rest unread.
#include "disk_image.h"

#include <algorithm>
#include <cstring>

namespace platform::image {

namespace {

using Probe = std::optional<Result<std::shared_ptr<const Disk>>>;

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

std::uint16_t le16(const unsigned char* p)
{
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}

bool sectorSizeKnown(std::uint32_t size)
{
    return size >= 256 && size <= 4096 && (size & (size - 1)) == 0;
}

Probe failure(const std::string& format, const std::string& why)
{
    return Result<std::shared_ptr<const Disk>>(Error{EINVAL, "a damaged " + format + " image: " + why});
}

struct HddGeometry {
    std::uint64_t cylinders = 0;
    std::uint32_t heads = 0;
    std::uint32_t sectors = 0;
    std::uint32_t sectorSize = 0;
    std::uint64_t bytes() const { return cylinders * heads * sectors * sectorSize; }
    std::string text() const
    {
        return std::to_string(cylinders) + " cylinders × " + std::to_string(heads) + " heads × "
            + std::to_string(sectors) + " sectors of " + std::to_string(sectorSize) + " bytes";
    }
};

// The disk after a checked header: the whole geometry must lie in the file.
Probe diskOf(std::shared_ptr<const ByteFile> file, const std::string& format, std::uint64_t headerSize,
             const HddGeometry& g)
{
    if (g.cylinders == 0 || g.heads == 0 || g.sectors == 0 || !sectorSizeKnown(g.sectorSize))
        return failure(format, "its header gives no usable geometry (" + g.text() + ")");
    const std::uint64_t bytes = g.bytes();
    if (file->size() - headerSize < bytes)
        return failure(format, "its geometry (" + g.text() + ", " + std::to_string(bytes)
            + " bytes) needs more than the " + std::to_string(file->size() - headerSize)
            + " bytes the file holds after its " + std::to_string(headerSize) + "-byte header");
    std::vector<Disk::Stretch> stretches{{0, headerSize, bytes}};
    auto disk = std::make_shared<Disk>(std::move(file), format, std::move(stretches), bytes,
        Disk::Layout{g.sectorSize, g.sectors, g.heads, 0});
    return Result<std::shared_ptr<const Disk>>(std::shared_ptr<const Disk>(std::move(disk)));
}

} // namespace

// HDI has no signature: it is known by fields that fit together, and told
// from an FDI floppy of the same header by a disk larger than any floppy.
std::optional<Result<std::shared_ptr<const Disk>>> probeHdi(std::shared_ptr<const ByteFile> file)
{
    unsigned char h[32];
    if (file->size() < sizeof h || file->readAt(0, h, sizeof h) != static_cast<long>(sizeof h))
        return std::nullopt;
    const std::uint32_t headerSize = le32(h + 8);
    const std::uint32_t dataSize = le32(h + 12);
    HddGeometry g;
    g.sectorSize = le32(h + 16);
    g.sectors = le32(h + 20);
    g.heads = le32(h + 24);
    g.cylinders = le32(h + 28);
    if (le32(h) != 0 || le32(h + 4) > 0xFF || headerSize < sizeof h || headerSize % 32 != 0
        || !sectorSizeKnown(g.sectorSize) || g.sectors == 0 || g.sectors > 255 || g.heads == 0 || g.heads > 255
        || g.cylinders == 0 || g.cylinders > 65535 || dataSize < (4u << 20))
        return std::nullopt;
    if (headerSize > file->size())
        return failure("HDI", "its header size (" + std::to_string(headerSize) + " bytes) runs past the end of the file ("
            + std::to_string(file->size()) + " bytes)");
    if (g.bytes() != dataSize)
        return failure("HDI", "its geometry (" + g.text() + ", " + std::to_string(g.bytes())
            + " bytes) disagrees with the disk size its header gives (" + std::to_string(dataSize) + " bytes)");
    return diskOf(std::move(file), "HDI", headerSize, g);
}

std::optional<Result<std::shared_ptr<const Disk>>> probeNhd(std::shared_ptr<const ByteFile> file)
{
    unsigned char h[0x120];
    static const char kSignature[] = "T98HDDIMAGE.R0";
    if (file->size() < 16 || file->readAt(0, h, 16) != 16 || std::memcmp(h, kSignature, sizeof kSignature) != 0)
        return std::nullopt;
    if (file->size() < sizeof h || file->readAt(0, h, sizeof h) != static_cast<long>(sizeof h))
        return failure("NHD", "the file ends inside its header");
    const std::uint32_t headerSize = le32(h + 0x110);
    HddGeometry g;
    g.cylinders = le32(h + 0x114);
    g.heads = le16(h + 0x118);
    g.sectors = le16(h + 0x11A);
    g.sectorSize = le16(h + 0x11C);
    if (headerSize < sizeof h)
        return failure("NHD", "its header size (" + std::to_string(headerSize) + " bytes) is smaller than the header");
    if (headerSize > file->size())
        return failure("NHD", "its header size (" + std::to_string(headerSize) + " bytes) runs past the end of the file ("
            + std::to_string(file->size()) + " bytes)");
    return diskOf(std::move(file), "NHD", headerSize, g);
}

// THD has no signature either: a cylinder count, then zeros to byte 256, and
// a file of whole cylinders. A file of whole cylinders other than the count
// is a damaged THD.
std::optional<Result<std::shared_ptr<const Disk>>> probeThd(std::shared_ptr<const ByteFile> file)
{
    constexpr std::uint64_t kHeader = 256;
    constexpr std::uint64_t kCylinder = 33 * 8 * 256;
    unsigned char h[kHeader];
    if (file->size() < kHeader + kCylinder || file->readAt(0, h, sizeof h) != static_cast<long>(sizeof h))
        return std::nullopt;
    HddGeometry g{le16(h), 8, 33, 256};
    if (g.cylinders == 0 || std::any_of(h + 2, h + kHeader, [](unsigned char c) { return c != 0; })
        || (file->size() - kHeader) % kCylinder != 0)
        return std::nullopt;
    if ((file->size() - kHeader) / kCylinder != g.cylinders)
        return failure("THD", "its header gives " + std::to_string(g.cylinders) + " cylinders, the file holds "
            + std::to_string((file->size() - kHeader) / kCylinder) + " (" + g.text() + ")");
    return diskOf(std::move(file), "THD", kHeader, g);
}

std::optional<Result<std::shared_ptr<const Disk>>> probeVirtual98(std::shared_ptr<const ByteFile> file)
{
    constexpr std::uint64_t kHeader = 220;
    unsigned char h[kHeader];
    if (file->size() < 8 || file->readAt(0, h, 8) != 8 || std::memcmp(h, "VHD1.00", 7) != 0)
        return std::nullopt;
    if (file->size() < kHeader || file->readAt(0, h, sizeof h) != static_cast<long>(sizeof h))
        return failure("HDD", "the file ends inside its " + std::to_string(kHeader) + "-byte header");
    HddGeometry g{le16(h + 0x92), h[0x91], h[0x90], le16(h + 0x8E)};
    const std::uint32_t total = le32(h + 0x94);
    if (std::uint64_t{g.cylinders} * g.heads * g.sectors != total)
        return failure("HDD", "its geometry (" + g.text() + ") disagrees with the sector count its header gives ("
            + std::to_string(total) + ")");
    return diskOf(std::move(file), "HDD", kHeader, g);
}

std::optional<Result<std::shared_ptr<const Disk>>> probeSlh(std::shared_ptr<const ByteFile> file)
{
    constexpr std::uint64_t kHeader = 512;
    unsigned char h[kHeader];
    if (file->size() < 4 || file->readAt(0, h, 4) != 4 || std::memcmp(h, "HDIM", 4) != 0)
        return std::nullopt;
    if (file->size() < kHeader || file->readAt(0, h, sizeof h) != static_cast<long>(sizeof h))
        return failure("SLH", "the file ends inside its " + std::to_string(kHeader) + "-byte header");
    const std::uint64_t size = le32(h + 4) | (std::uint64_t{le32(h + 8)} << 32);
    HddGeometry g{le32(h + 16), le32(h + 20), le32(h + 24), le32(h + 12)};
    if (g.heads > 255 || g.sectors > 255 || g.cylinders > 65535)
        return failure("SLH", "its header gives no usable geometry (" + g.text() + ")");
    if (g.bytes() != size)
        return failure("SLH", "its geometry (" + g.text() + ", " + std::to_string(g.bytes())
            + " bytes) disagrees with the disk size its header gives (" + std::to_string(size) + " bytes)");
    return diskOf(std::move(file), "SLH", kHeader, g);
}

} // namespace platform::image
