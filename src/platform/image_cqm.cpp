// CopyQM (.CQM) images, read through libdsk: a 133-byte header ("CQ",
// 0x14, a DOS boot parameter block, the cylinders stored at 0x5B, the
// comment's length at 0x6F, the first sector number less one at 0x71, a
// checksum making its bytes add up to 0), the comment, then every sector of
// every track in order, packed in runs: a signed 16-bit length, then that
// many bytes, or (negative) one byte repeated. The format records no read
// errors.
#include "image_libdsk.h"

namespace platform::image {

namespace {

const Damage damaged{"a damaged CopyQM image"};
constexpr std::size_t kHeaderSize = 133;

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeCqm(std::shared_ptr<const ByteFile> file)
{
    if (!libdsk::opensWith(*file, "CQ\x14"))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    Result<std::string> read = libdsk::wholeFile(*file, damaged.prefix, kHeaderSize);
    if (!read.ok())
        return Found(read.error());
    const std::string& bytes = *read;
    const auto* b = reinterpret_cast<const unsigned char*>(bytes.data());
    unsigned char sum = 0;
    for (std::size_t i = 0; i < kHeaderSize; ++i)
        sum = static_cast<unsigned char>(sum + b[i]);
    if (sum != 0)
        return Found(damaged("its header checksum is wrong"));
    const std::uint32_t sectorSize = sectors::le16(b + 0x03);
    const std::uint32_t perTrack = sectors::le16(b + 0x10);
    const std::uint32_t heads = sectors::le16(b + 0x12);
    const std::uint32_t cylinders = b[0x5B];
    const std::uint32_t base = b[0x71];
    std::uint8_t n = 0;
    while (n <= 6 && (128u << n) != sectorSize)
        ++n;
    if (n > 6)
        return Found(damaged("its sector size " + std::to_string(sectorSize) + " is not one a floppy has"));
    if (perTrack == 0 || perTrack > 255 || base + perTrack > 255)
        return Found(damaged("its " + std::to_string(perTrack) + " sectors per track from " + std::to_string(base + 1)
            + " are not numbers a track has"));
    if (heads == 0 || heads > 2)
        return Found(damaged("it claims " + std::to_string(heads) + " heads"));
    if (cylinders == 0)
        return Found(damaged("it holds no cylinders"));
    const std::uint64_t total = std::uint64_t{cylinders} * heads * perTrack * sectorSize;
    if (total > libdsk::kMaxImage)
        return Found(damaged("its sectors hold more than a floppy disk does"));

    // The runs must unpack to every sector and stay inside the file.
    std::size_t at = kHeaderSize + sectors::le16(b + 0x6F);
    if (at > bytes.size())
        return Found(damaged("its comment runs past the end of the file"));
    std::uint64_t unpacked = 0;
    while (unpacked < total) {
        if (at + 2 > bytes.size())
            return Found(damaged("its data ends after " + std::to_string(unpacked) + " of its "
                + std::to_string(total) + " bytes"));
        const auto length = static_cast<std::int16_t>(sectors::le16(b + at));
        at += 2;
        if (length == 0)
            return Found(damaged("its data holds a run of no bytes"));
        const std::size_t stored = length > 0 ? static_cast<std::size_t>(length) : 1;
        if (at + stored > bytes.size())
            return Found(damaged("its data ends inside a run"));
        at += stored;
        unpacked += length > 0 ? length : -static_cast<std::int32_t>(length);
    }
    std::vector<libdsk::TrackIds> tracks;
    for (std::uint32_t c = 0; c < cylinders; ++c)
        for (std::uint32_t h = 0; h < heads; ++h) {
            libdsk::TrackIds track{c, h, {}};
            for (std::uint32_t s = 0; s < perTrack; ++s)
                track.ids.push_back({static_cast<std::uint8_t>(c), static_cast<std::uint8_t>(h),
                                     static_cast<std::uint8_t>(base + 1 + s), n, std::nullopt});
            tracks.push_back(std::move(track));
        }
    return Found(libdsk::read(bytes, "copyqm", "CopyQM", tracks, damaged.prefix));
}

} // namespace platform::image
