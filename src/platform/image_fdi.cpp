// Anex86 FDI floppy images: a header of eight 32-bit fields (zero, drive
// type, header size, data size, sector size, sectors per track, heads,
// cylinders), the sectors in order after it.
#include "disk_image.h"

namespace platform::image {

namespace {

std::uint32_t le32(const unsigned char* p)
{
    return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24);
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeFdi(std::shared_ptr<const ByteFile> file)
{
    unsigned char header[32];
    if (file->size() < sizeof header || file->readAt(0, header, sizeof header) != static_cast<long>(sizeof header))
        return std::nullopt;
    const std::uint32_t zero = le32(header);
    const std::uint32_t headerSize = le32(header + 8);
    const std::uint32_t dataSize = le32(header + 12);
    const std::uint32_t sectorSize = le32(header + 16);
    const std::uint32_t sectors = le32(header + 20);
    const std::uint32_t heads = le32(header + 24);
    const std::uint32_t cylinders = le32(header + 28);
    const bool powerOfTwo = sectorSize >= 128 && sectorSize <= 8192 && (sectorSize & (sectorSize - 1)) == 0;
    if (zero != 0 || headerSize < sizeof header || headerSize > 0x10000 || !powerOfTwo || sectors == 0
        || sectors > 255 || heads == 0 || heads > 16 || cylinders == 0 || cylinders > 1024)
        return std::nullopt;
    const std::uint64_t geometry = std::uint64_t{sectorSize} * sectors * heads * cylinders;
    if (dataSize != geometry)
        return std::nullopt;
    if (file->size() < headerSize)
        return Result<std::shared_ptr<const Disk>>(Error{EINVAL, "a damaged FDI image: it ends inside its header"});
    // A short file keeps what it has; reading past it is an error at that point.
    const std::uint64_t held = std::min<std::uint64_t>(geometry, file->size() - headerSize);
    std::vector<Disk::Stretch> stretches;
    if (held > 0)
        stretches.push_back({0, headerSize, held});
    auto disk = std::make_shared<Disk>(std::move(file), "FDI", std::move(stretches), geometry,
        Disk::Layout{sectorSize, sectors, heads, 1});
    return Result<std::shared_ptr<const Disk>>(std::shared_ptr<const Disk>(std::move(disk)));
}

} // namespace platform::image
