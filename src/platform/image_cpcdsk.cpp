// CPC DSK and EDSK images (CPCEMU's "MV - CPC" and the extended form), read
// through libdsk: a 256-byte disk header (tracks at 0x30, sides at 0x31;
// DSK: one track size at 0x32; EDSK: each track's size / 256 from 0x34, 0
// for an unformatted track), then each track: 256 bytes of "Track-Info",
// its sector size code (0x14) and count (0x15) and an 8-byte entry per
// sector from 0x18 (C, H, R, N, the controller's ST1 and ST2, and in EDSK
// the data length), then the sectors' data. ST1/ST2 keep what the dump's
// controller reported: a sector read with an error is not held.
#include "image_libdsk.h"

#include <cstring>

namespace platform::image {

namespace {

const Damage damaged{"a damaged CPC DSK image"};
constexpr std::size_t kBlock = 256;

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeCpcDsk(std::shared_ptr<const ByteFile> file)
{
    const bool extended = libdsk::opensWith(*file, "EXTENDED CPC DSK");
    if (!extended && !libdsk::opensWith(*file, "MV - CPC"))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    Result<std::string> read = libdsk::wholeFile(*file, damaged.prefix, kBlock);
    if (!read.ok())
        return Found(read.error());
    const std::string& bytes = *read;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    const std::uint32_t cylinders = b[0x30], sides = b[0x31];
    if (sides == 0 || sides > 2)
        return Found(damaged("it claims " + std::to_string(sides) + " sides"));
    if (cylinders == 0 || (extended && cylinders * sides > kBlock - 0x34))
        return Found(damaged("it claims " + std::to_string(cylinders) + " tracks"));
    std::vector<libdsk::TrackIds> tracks;
    std::size_t at = kBlock;
    for (std::uint32_t index = 0; index < cylinders * sides; ++index) {
        const std::string track = "track " + std::to_string(index);
        const std::size_t blockSize = extended ? std::size_t{b[0x34 + index]} * 256 : sectors::le16(b + 0x32);
        if (blockSize == 0)
            continue; // an unformatted track
        if (blockSize < kBlock || at + blockSize > bytes.size())
            return Found(damaged(track + " runs past the end of the file"));
        const unsigned char* t = b + at;
        if (std::memcmp(t, "Track-Info", 10) != 0)
            return Found(damaged(track + " has no Track-Info header"));
        const std::uint32_t count = t[0x15];
        if (0x18 + count * 8 > kBlock)
            return Found(damaged(track + " claims " + std::to_string(count) + " sectors"));
        libdsk::TrackIds ids{index / sides, index % sides, {}};
        std::size_t data = kBlock;
        for (std::uint32_t s = 0; s < count; ++s) {
            const unsigned char* e = t + 0x18 + s * 8;
            if (e[3] > 6)
                return Found(damaged("a sector of " + track + " has size code N = " + std::to_string(e[3])));
            const std::uint32_t size = 128u << e[3];
            const std::size_t stored = extended ? sectors::le16(e + 6) : std::size_t{128u} << std::min<unsigned>(t[0x14], 6);
            if (data + stored > blockSize)
                return Found(damaged("the sectors of " + track + " run past the track"));
            libdsk::Id id{e[0], e[1], e[2], e[3], sectors::fdcFault(e[4], e[5])};
            // Several copies: the reads of a sector whose data changes from read to read.
            const bool copies = stored > size && stored % size == 0;
            bool alike = copies;
            for (std::size_t k = 1; copies && k < stored / size; ++k)
                alike = alike && std::memcmp(t + data, t + data + k * size, size) == 0;
            if (!id.fault && stored != size && !alike)
                id.fault = copies ? "the dump read different data on its " + std::to_string(stored / size) + " reads"
                                  : "stored with " + std::to_string(stored) + " bytes where it has " + std::to_string(size);
            data += stored;
            ids.ids.push_back(std::move(id));
        }
        tracks.push_back(std::move(ids));
        at += blockSize;
    }
    return Found(libdsk::read(bytes, extended ? "edsk" : "dsk", extended ? "EDSK" : "CPC DSK", tracks, damaged.prefix));
}

} // namespace platform::image
