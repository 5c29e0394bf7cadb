// ImageDisk (.IMD) images, read through libdsk: an ASCII header ("IMD "
// and a comment) ended by 0x1A, then each track: mode (0-5), cylinder, head
// (bit 7: a cylinder map follows, bit 6: a head map), sector count, size code
// (0-6, or 0xFF: a table of sizes follows), the sector numbers, the maps,
// and one data record per sector: 0 no data, 1/2 data (2: one byte repeated),
// 3/4 the same with a deleted-data mark, 5-8 the same read with a data error.
#include "image_libdsk.h"

namespace platform::image {

namespace {

const Damage damaged{"a damaged ImageDisk image"};

std::optional<std::uint8_t> sizeCode(std::uint32_t size)
{
    for (std::uint8_t n = 0; n <= 6; ++n)
        if (size == (128u << n))
            return n;
    return std::nullopt;
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeImd(std::shared_ptr<const ByteFile> file)
{
    if (!libdsk::opensWith(*file, "IMD "))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    Result<std::string> read = libdsk::wholeFile(*file, damaged.prefix);
    if (!read.ok())
        return Found(read.error());
    const std::string& bytes = *read;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::size_t size = bytes.size();
    std::size_t at = bytes.find('\x1A');
    if (at == std::string::npos)
        return Found(damaged("its comment has no end mark"));
    ++at;
    std::vector<libdsk::TrackIds> tracks;
    for (std::uint32_t index = 0; at < size; ++index) {
        const std::string track = "track " + std::to_string(index);
        if (at + 5 > size)
            return Found(damaged(track + " ends inside its header"));
        const std::uint8_t mode = b[at], cylinder = b[at + 1], head = b[at + 2], count = b[at + 3], code = b[at + 4];
        at += 5;
        if (mode > 5)
            return Found(damaged(track + " has an unknown mode " + std::to_string(mode)));
        if ((head & 0x3F) > 1)
            return Found(damaged(track + " names head " + std::to_string(head & 0x3F)));
        if (code > 6 && code != 0xFF)
            return Found(damaged(track + " has an unknown sector size code " + std::to_string(code)));
        const std::size_t maps = std::size_t{count} * (1 + ((head & 0x80) ? 1 : 0) + ((head & 0x40) ? 1 : 0)
            + (code == 0xFF ? 2 : 0));
        if (at + maps > size)
            return Found(damaged(track + " ends inside its sector maps"));
        const unsigned char* numbers = b + at;
        const unsigned char* cylinders = (head & 0x80) ? numbers + count : nullptr;
        const unsigned char* heads = (head & 0x40) ? numbers + count * (cylinders ? 2 : 1) : nullptr;
        const unsigned char* sizes = code == 0xFF ? numbers + count * (1 + (cylinders ? 1 : 0) + (heads ? 1 : 0)) : nullptr;
        at += maps;
        libdsk::TrackIds ids{cylinder, static_cast<std::uint32_t>(head & 1), {}};
        for (std::uint32_t s = 0; s < count; ++s) {
            std::uint8_t n = code;
            if (sizes) {
                const auto known = sizeCode(sectors::le16(sizes + 2 * s));
                if (!known)
                    return Found(damaged("a sector of " + track + " has size " + std::to_string(sectors::le16(sizes + 2 * s))));
                n = *known;
            }
            const std::uint32_t length = 128u << n;
            if (at >= size)
                return Found(damaged(track + " ends before its sectors' data"));
            const std::uint8_t type = b[at++];
            if (type > 8)
                return Found(damaged("a sector of " + track + " has an unknown record type " + std::to_string(type)));
            const std::size_t stored = type == 0 ? 0 : type % 2 == 1 ? length : 1;
            if (at + stored > size)
                return Found(damaged(track + " ends inside a sector's data"));
            at += stored;
            libdsk::Id id{cylinders ? cylinders[s] : cylinder, static_cast<std::uint8_t>(heads ? heads[s] : head & 1),
                          numbers[s], n, std::nullopt};
            if (type == 0)
                id.fault = "the dump holds no data for it";
            else if (type >= 5)
                id.fault = "the dump recorded a data CRC error";
            ids.ids.push_back(std::move(id));
        }
        tracks.push_back(std::move(ids));
    }
    return Found(libdsk::read(bytes, "imd", "ImageDisk", tracks, damaged.prefix));
}

} // namespace platform::image
