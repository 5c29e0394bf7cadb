// Human68k, the X68000's DOS: FAT12 volumes (the 1.23 MB 2HD of 1024-byte
// sectors above all) whose boot sector is the 68000's, and whose folder
// entries hold names of up to 18 + 3 characters in Shift-JIS: the 8 bytes of
// the name field, then up to 10 more in bytes 12 to 21, which MS-DOS leaves
// reserved.
#include <algorithm>
#include <cstring>

#include "file_systems.h"

namespace platform::image::detail {

namespace {

bool holds(const unsigned char* bytes, std::size_t size, const char* text)
{
    const std::size_t length = std::strlen(text);
    for (std::size_t at = 0; at + length <= size; ++at)
        if (std::memcmp(bytes + at, text, length) == 0)
            return true;
    return false;
}

} // namespace

Result<bool> human68kBoot(const Disk& disk, const Geometry& geometry)
{
    if (geometry.volumeOffset != 0 || geometry.fatBits != 12)
        return false;
    unsigned char boot[1024] = {};
    const std::size_t size = std::min<std::uint64_t>(sizeof boot, std::max<std::uint32_t>(geometry.bytesPerSector, 512));
    if (disk.size() < size || !disk.read(0, boot, size))
        return false;
    // A 68000 boot sector opens with a short branch (0x60) over its
    // parameters, where a PC's opens with an x86 jump (0xEB, 0xE9); the
    // formatters of Human68k leave their names in it.
    if (boot[0] != 0x60)
        return false;
    return holds(boot, size, "Hudson soft") || holds(boot, size, "X68IPL") || holds(boot, size, "Human68k");
}

std::optional<std::string> human68kName(const unsigned char* entry)
{
    std::string base(reinterpret_cast<const char*>(entry), 8);
    // 0xE5 marks a deleted entry, so a name starting with that byte (a Shift-JIS lead byte) keeps 0x05.
    if (static_cast<unsigned char>(base[0]) == 0x05)
        base[0] = static_cast<char>(0xE5);
    std::string more(reinterpret_cast<const char*>(entry + 12), 10);
    more.resize(std::min(more.find('\0'), more.size()));
    base += more;
    std::string extension(reinterpret_cast<const char*>(entry + 8), 3);
    while (!base.empty() && base.back() == ' ')
        base.pop_back();
    while (!extension.empty() && extension.back() == ' ')
        extension.pop_back();
    if (base.find('\0') != std::string::npos || extension.find('\0') != std::string::npos)
        return std::nullopt;
    // Decoded as wholes, so that a character split over the two name fields stays one.
    std::optional<std::string> b = cp932Text(base);
    std::optional<std::string> e = cp932Text(extension);
    if (!b || !e)
        return std::nullopt;
    return e->empty() ? *b : *b + "." + *e;
}

} // namespace platform::image::detail
