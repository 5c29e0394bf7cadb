// TeleDisk (.TD0) images, read through libdsk: a 12-byte header ("TD", or
// "td" when the rest is packed with advanced compression; volume number,
// version, data rate, drive type, stepping (bit 7: a comment follows),
// DOS mode, sides, CRC), an optional comment block, then tracks: a header
// (sector count, 0xFF ending the list; cylinder; head; CRC) and for each
// sector a header (C, H, R, N, flags, CRC) and, unless flag 0x10 or 0x20
// says it has none, its data: a length, an encoding (0 raw, 1 a repeated
// 2-byte pattern, 2 runs) and the encoded bytes. Flag 0x02 marks a sector
// read with a CRC error. A packed image is unpacked here and handed to
// libdsk as the plain image it stands for.
#include "image_libdsk.h"

#include <cstring>

namespace platform::image {

namespace {

const Damage damaged{"a damaged TeleDisk image"};
constexpr std::size_t kHeaderSize = 12;

// One sector's encoded data, checked to decode to exactly `size` bytes the
// way libdsk decodes it; an error naming what is wrong.
std::optional<std::string> checkData(const unsigned char* b, std::size_t length, std::uint32_t size)
{
    const std::uint8_t encoding = b[0];
    std::size_t at = 1;
    auto need = [&](std::size_t count) { return at + count <= length; };
    switch (encoding) {
    case 0:
        if (length != 1 + std::size_t{size})
            return std::string("raw data of another length than the sector's");
        return std::nullopt;
    case 1:
        if (length != 5 || std::size_t{sectors::le16(b + 1)} * 2 != size)
            return std::string("a pattern that does not fill the sector");
        return std::nullopt;
    case 2: {
        std::size_t filled = 0;
        while (filled < size) {
            if (!need(2))
                return std::string("runs that end before the sector is full");
            const std::uint8_t type = b[at], count = b[at + 1];
            at += 2;
            if (count == 0)
                return std::string("an empty run");
            if (type == 0) {
                if (!need(count) || filled + count > size)
                    return std::string("runs that pass the end of the sector");
                at += count;
                filled += count;
            } else if (type <= 2) {
                const std::size_t unit = std::size_t{1} << type;
                if (!need(unit) || filled + unit * count > size)
                    return std::string("runs that pass the end of the sector");
                at += unit;
                filled += unit * count;
            } else {
                return "a run of unknown type " + std::to_string(type);
            }
        }
        if (at != length)
            return std::string("runs of another length than the sector's data");
        return std::nullopt;
    }
    default:
        return "an unknown encoding " + std::to_string(encoding);
    }
}

} // namespace

std::optional<Result<std::shared_ptr<const Disk>>> probeTd0(std::shared_ptr<const ByteFile> file)
{
    unsigned char magic[2];
    if (file->size() < 2 || file->readAt(0, magic, 2) != 2
        || !(std::memcmp(magic, "TD", 2) == 0 || std::memcmp(magic, "td", 2) == 0))
        return std::nullopt;
    using Found = Result<std::shared_ptr<const Disk>>;
    if (file->size() < kHeaderSize)
        return std::nullopt; // too short to be a TeleDisk image: not one
    Result<std::string> read = libdsk::wholeFile(*file, damaged.prefix);
    if (!read.ok())
        return Found(read.error());
    std::string bytes = std::move(*read);
    auto* header = reinterpret_cast<unsigned char*>(bytes.data());
    if (libdsk::teleDiskCrc(header, 10) != sectors::le16(header + 10)) {
        // Two letters alone do not make a TeleDisk image: a raw disk may start so.
        return std::nullopt;
    }
    if (header[2] != 0)
        return Found(damaged("it is part " + std::to_string(header[2] + 1) + " of a set of several files"));
    if (magic[0] == 't') {
        std::optional<std::string> body = libdsk::unpackTeleDisk(header + kHeaderSize, bytes.size() - kHeaderSize,
            libdsk::kMaxImage);
        if (!body)
            return Found(damaged("its packed data unpacks to more than a floppy image holds"));
        std::string plain = bytes.substr(0, kHeaderSize) + *body;
        auto* h = reinterpret_cast<unsigned char*>(plain.data());
        h[0] = 'T';
        h[1] = 'D';
        const std::uint16_t crc = libdsk::teleDiskCrc(h, 10);
        h[10] = static_cast<unsigned char>(crc & 0xFF);
        h[11] = static_cast<unsigned char>(crc >> 8);
        bytes = std::move(plain);
        header = reinterpret_cast<unsigned char*>(bytes.data());
    }
    const auto* b = header;
    const std::size_t size = bytes.size();
    std::size_t at = kHeaderSize;
    if (b[7] & 0x80) {
        if (at + 10 > size)
            return Found(damaged("it ends inside its comment header"));
        at += 10 + sectors::le16(b + at + 2);
        if (at > size)
            return Found(damaged("its comment runs past the end of the file"));
    }
    std::vector<libdsk::TrackIds> tracks;
    std::size_t end = size; // where the track list ends (libdsk stops there too)
    for (std::uint32_t index = 0; at < size; ++index) {
        const std::string track = "track " + std::to_string(index);
        if (b[at] == 0xFF) {
            end = at + 1;
            break;
        }
        if (at + 4 > size)
            return Found(damaged(track + " ends inside its header"));
        const std::uint8_t count = b[at], cylinder = b[at + 1], head = b[at + 2];
        at += 4;
        if ((head & 0x7F) > 1)
            return Found(damaged(track + " names head " + std::to_string(head & 0x7F)));
        libdsk::TrackIds ids{cylinder, static_cast<std::uint32_t>(head & 1), {}};
        for (std::uint32_t s = 0; s < count; ++s) {
            if (at + 6 > size)
                return Found(damaged("a sector header of " + track + " runs past the end of the file"));
            const unsigned char* sh = b + at;
            at += 6;
            if (sh[3] > 6)
                return Found(damaged("a sector of " + track + " has size code N = " + std::to_string(sh[3])));
            const std::uint32_t length = 128u << sh[3];
            const std::uint8_t flags = sh[4];
            libdsk::Id id{sh[0], sh[1], sh[2], sh[3], std::nullopt};
            if (flags & 0x30) {
                id.fault = (flags & 0x10) ? "the dump skipped it as unused by DOS" : "the dump recorded no data";
            } else {
                if (at + 3 > size)
                    return Found(damaged("a sector of " + track + " ends inside its data header"));
                const std::size_t stored = sectors::le16(b + at);
                if (stored == 0 || at + 2 + stored > size)
                    return Found(damaged("the data of a sector of " + track + " runs past the end of the file"));
                if (auto wrong = checkData(b + at + 2, stored, length))
                    return Found(damaged("a sector of " + track + " holds " + *wrong));
                at += 2 + stored;
                if (flags & 0x02)
                    id.fault = "the dump recorded a data CRC error";
                else if (flags & 0x40)
                    id.fault = "the dump found its data with no ID";
            }
            ids.ids.push_back(std::move(id));
        }
        tracks.push_back(std::move(ids));
    }
    bytes.resize(end);
    return Found(libdsk::read(bytes, "tele", "TeleDisk", tracks, damaged.prefix));
}

} // namespace platform::image
