// Virtual98 FDD floppy images: a 220-byte header ("VFD1.00" or "VFD1.01",
// a memo, write protection, the special-read drive), a fixed table of 160
// tracks of 26 sector IDs of 12 bytes (C (0xFF: no sector), H, R, N, fill
// byte, deleted-data flag, MFM flag, 2HD flag, data offset), and 32 bytes
// of special-read state. A sector's data is 128 << N bytes at its offset;
// an offset of 0 or 0xFFFFFFFF stores no data: the sector holds its fill
// byte throughout. The format records no read errors.
#include "image_sectors.h"

#include <cstring>

namespace platform::image {

namespace {

using sectors::le32;

constexpr std::uint32_t kTable = 220;
constexpr std::uint32_t kTracks = 160;
constexpr std::uint32_t kSectors = 26;
constexpr std::uint32_t kIdSize = 12;
constexpr std::uint32_t kHeaderSize = kTable + kTracks * kSectors * kIdSize + 32;

const Damage damaged{"a damaged FDD image"};

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeFdd(std::shared_ptr<const ByteFile> file)
{
    unsigned char id[8];
    if (file->size() < 8 || file->readAt(0, id, 8) != 8
        || (std::memcmp(id, "VFD1.00", 8) != 0 && std::memcmp(id, "VFD1.01", 8) != 0))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    std::string table(kTracks * kSectors * kIdSize, '\0');
    if (file->size() < kHeaderSize || file->readAt(kTable, table.data(), table.size()) != static_cast<long>(table.size()))
        return Found(damaged("it ends inside its header"));
    sectors::Sectors found;
    for (std::uint32_t t = 0; t < kTracks; ++t) {
        for (std::uint32_t s = 0; s < kSectors; ++s) {
            const auto* e = reinterpret_cast<const unsigned char*>(table.data()) + (t * kSectors + s) * kIdSize;
            if (e[0] == 0xFF)
                continue;
            if (e[3] > 7)
                return Found(damaged("a sector of track " + std::to_string(t) + " has size code N = " + std::to_string(e[3])));
            const std::uint32_t size = 128u << e[3];
            const std::uint32_t at = le32(e + 8);
            sectors::Stored sector{e[0], e[1], e[2], e[3], t, size, false, at, std::nullopt};
            if (at == 0 || at == 0xFFFFFFFF) {
                sector.inMemory = true;
                sector.offset = found.fill(e[4], size);
            } else if (at < kHeaderSize) {
                return Found(damaged("the data of a sector of track " + std::to_string(t) + " lies inside the header"));
            }
            found.list.push_back(sector);
        }
    }
    return sectors::build(std::move(file), "FDD", found, damaged.prefix);
}

} // namespace platform::image
