// Human68k and N88-BASIC disks built byte by byte (see fs_writers.h).
#include "support/fs_writers.h"

#include <cstring>

#include <iconv.h>

#include <gtest/gtest.h>

namespace testsupport {

std::string toCp932(const std::string& utf8)
{
    iconv_t cd = ::iconv_open("CP932", "UTF-8");
    if (cd == reinterpret_cast<iconv_t>(-1)) {
        ADD_FAILURE() << "no CP932 converter";
        return utf8;
    }
    std::string out(utf8.size() * 2 + 8, '\0');
    char* in = const_cast<char*>(utf8.data());
    std::size_t inLeft = utf8.size();
    char* o = out.data();
    std::size_t outLeft = out.size();
    const std::size_t done = ::iconv(cd, &in, &inLeft, &o, &outLeft);
    ::iconv_close(cd);
    if (done == static_cast<std::size_t>(-1))
        ADD_FAILURE() << "no CP932 form: " << utf8;
    out.resize(out.size() - outLeft);
    return out;
}

namespace {

void put16(std::string& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

void putBig16(std::string& bytes, std::size_t at, std::uint16_t value)
{
    bytes[at] = static_cast<char>(value >> 8);
    bytes[at + 1] = static_cast<char>(value & 0xFF);
}

} // namespace

// ── Human68k ────────────────────────────────────────────────────────────────

Human68kDisk::Human68kDisk() : m_bytes(kSize, '\0')
{
    // The boot sector: a 68000 short branch over the formatter's name and the
    // parameters (big-endian, as the 68000 reads them), then the loader.
    m_bytes[0] = 0x60;
    m_bytes[1] = 0x3C;
    std::memcpy(&m_bytes[2], "Hudson soft 2.00", 16);
    putBig16(m_bytes, 0x12, kSector);
    m_bytes[0x14] = 1;               // sectors per cluster
    m_bytes[0x15] = 2;               // FATs
    putBig16(m_bytes, 0x16, 1);      // reserved sectors
    putBig16(m_bytes, 0x18, 192);    // root entries
    putBig16(m_bytes, 0x1A, 1232);   // sectors
    m_bytes[0x1C] = static_cast<char>(0xFE);
    m_bytes[0x1D] = 2;               // sectors per FAT
    std::memcpy(&m_bytes[0x40], "X68IPL30", 8);
    for (int copy = 0; copy < 2; ++copy) {
        const std::size_t fat = (1 + 2 * copy) * kSector;
        m_bytes[fat] = static_cast<char>(0xFE);
        m_bytes[fat + 1] = static_cast<char>(0xFF);
        m_bytes[fat + 2] = static_cast<char>(0xFF);
    }
    m_paths[0] = "";
    m_slots[0] = 0;
}

void Human68kDisk::setFat(std::uint16_t cluster, std::uint16_t value)
{
    for (int copy = 0; copy < 2; ++copy) {
        const std::size_t at = (1 + 2 * copy) * kSector + cluster * 3 / 2;
        std::uint16_t pair = static_cast<std::uint8_t>(m_bytes[at]) | (static_cast<std::uint8_t>(m_bytes[at + 1]) << 8);
        if (cluster & 1)
            pair = static_cast<std::uint16_t>((pair & 0x000F) | (value << 4));
        else
            pair = static_cast<std::uint16_t>((pair & 0xF000) | (value & 0x0FFF));
        put16(m_bytes, at, pair);
    }
}

std::uint16_t Human68kDisk::allocate(std::size_t clusters)
{
    const std::uint16_t first = m_next;
    for (std::size_t i = 0; i < clusters; ++i) {
        const std::uint16_t c = static_cast<std::uint16_t>(m_next + i);
        setFat(c, i + 1 == clusters ? 0xFFF : static_cast<std::uint16_t>(c + 1));
    }
    m_next = static_cast<std::uint16_t>(m_next + clusters);
    return first;
}

std::string Human68kDisk::entry(const std::string& nameBytes, std::uint8_t attributes, std::uint16_t cluster,
                                std::uint32_t size)
{
    std::string base = nameBytes, extension;
    if (const std::size_t dot = nameBytes.rfind('.'); dot != std::string::npos && nameBytes[0] != '.') {
        base = nameBytes.substr(0, dot);
        extension = nameBytes.substr(dot + 1);
    }
    EXPECT_LE(base.size(), 18u) << nameBytes;
    EXPECT_LE(extension.size(), 3u) << nameBytes;
    std::string e(32, '\0');
    for (std::size_t i = 0; i < 8; ++i)
        e[i] = i < base.size() ? base[i] : ' ';
    for (std::size_t i = 0; i < 3; ++i)
        e[8 + i] = i < extension.size() ? extension[i] : ' ';
    e[11] = static_cast<char>(attributes);
    for (std::size_t i = 8; i < base.size() && i < 18; ++i)
        e[12 + i - 8] = base[i];
    put16(e, 22, kTime);
    put16(e, 24, kDate);
    put16(e, 26, cluster);
    put32(e, 28, size);
    return e;
}

void Human68kDisk::putEntry(std::uint16_t parent, const std::string& entry32)
{
    const int slot = m_slots[parent]++;
    const std::uint64_t at = parent == 0 ? 5 * kSector + slot * 32u : clusterOffset(parent) + slot * 32u;
    ASSERT_LT(slot, parent == 0 ? 192 : 32);
    m_bytes.replace(at, 32, entry32);
}

std::uint16_t Human68kDisk::addFolder(std::uint16_t parent, const std::string& name)
{
    const std::uint16_t cluster = allocate(1);
    putEntry(parent, entry(toCp932(name), 0x10, cluster, 0));
    m_paths[cluster] = m_paths[parent] + name + "/";
    m_slots[cluster] = 0;
    putEntry(cluster, entry(".", 0x10, cluster, 0));
    putEntry(cluster, entry("..", 0x10, parent, 0));
    m_files[m_paths[cluster]] = "";
    return cluster;
}

void Human68kDisk::addFile(std::uint16_t parent, const std::string& name, const std::string& data,
                           std::uint8_t attributes)
{
    const std::size_t clusters = (data.size() + kSector - 1) / kSector;
    const std::uint16_t first = clusters ? allocate(clusters) : 0;
    m_bytes.replace(clusters ? clusterOffset(first) : 0, data.size(), data);
    putEntry(parent, entry(toCp932(name), attributes, first, static_cast<std::uint32_t>(data.size())));
    m_files[m_paths[parent] + name] = data;
}

// ── N88-BASIC ───────────────────────────────────────────────────────────────

N88Disk::N88Disk(Kind kind)
{
    std::uint32_t cylinders;
    switch (kind) {
    case Kind::TwoD:
        cylinders = 40, m_sectorsPerTrack = 16, m_sectorsPerCluster = 8, m_systemTrack = 37; // cylinder 18, head 1
        break;
    case Kind::TwoDD:
        cylinders = 80, m_sectorsPerTrack = 16, m_sectorsPerCluster = 16, m_systemTrack = 80; // cylinder 40, head 0
        break;
    default:
        cylinders = 77, m_sectorsPerTrack = 26, m_sectorsPerCluster = 26, m_systemTrack = 70; // cylinder 35, head 0
        break;
    }
    m_clusters = cylinders * 2 * m_sectorsPerTrack / m_sectorsPerCluster;
    m_bytes.assign(std::size_t{cylinders} * 2 * m_sectorsPerTrack * 256, static_cast<char>(0xFF));
    const std::uint32_t perTrack = m_sectorsPerTrack / m_sectorsPerCluster;
    // The ID sector (the one before the FATs) is left as formatted.
    for (std::uint32_t c = 0; c < perTrack; ++c) {
        setFat(c, 0xFE);                             // the IPL track
        setFat(m_systemTrack * perTrack + c, 0xFE); // the system track
    }
    m_next = 2 * perTrack;
}

std::uint64_t N88Disk::fatOffset(int copy) const
{
    return (std::uint64_t{m_systemTrack} * m_sectorsPerTrack + m_sectorsPerTrack - 3 + copy) * 256;
}

void N88Disk::setFat(std::uint32_t cluster, std::uint8_t value)
{
    for (int copy = 0; copy < 3; ++copy)
        m_bytes[fatOffset(copy) + cluster] = static_cast<char>(value);
}

std::uint8_t N88Disk::fat(std::uint32_t cluster) const
{
    return static_cast<std::uint8_t>(m_bytes[fatOffset(0) + cluster]);
}

std::uint64_t N88Disk::clusterOffset(std::uint32_t cluster) const
{
    const std::uint32_t perTrack = m_sectorsPerTrack / m_sectorsPerCluster;
    return (std::uint64_t{cluster / perTrack} * m_sectorsPerTrack + (cluster % perTrack) * m_sectorsPerCluster) * 256;
}

std::uint8_t N88Disk::addFile(const std::string& name6, const std::string& ext3, const std::string& data,
                              std::uint8_t attributes, std::uint32_t stride)
{
    const std::size_t sectors = std::max<std::size_t>(1, (data.size() + 255) / 256);
    std::string padded = data;
    padded.resize(sectors * 256, '\0');
    std::vector<std::uint32_t> chain;
    for (std::size_t done = 0; done < sectors; done += m_sectorsPerCluster) {
        while (fat(m_next) != 0xFF)
            m_next = (m_next + 1) % m_clusters;
        chain.push_back(m_next);
        setFat(m_next, 0xC0); // taken; its value follows
        m_next = (m_next + stride) % m_clusters;
    }
    for (std::size_t i = 0; i < chain.size(); ++i) {
        const std::size_t from = i * clusterBytes();
        const std::size_t count = std::min<std::size_t>(clusterBytes(), padded.size() - from);
        m_bytes.replace(clusterOffset(chain[i]), count, padded, from, count);
        const std::size_t used = (count + 255) / 256;
        setFat(chain[i], i + 1 == chain.size() ? static_cast<std::uint8_t>(0xC0 + used)
                                               : static_cast<std::uint8_t>(chain[i + 1]));
    }
    std::string e(16, static_cast<char>(0xFF));
    const std::string nameBytes = toCp932(name6);
    for (std::size_t i = 0; i < 6; ++i)
        e[i] = i < nameBytes.size() ? nameBytes[i] : ' ';
    for (std::size_t i = 0; i < 3; ++i)
        e[6 + i] = i < ext3.size() ? ext3[i] : ' ';
    e[9] = static_cast<char>(attributes);
    e[10] = static_cast<char>(chain.front());
    m_bytes.replace(directoryOffset() + 16u * m_slot++, 16, e);
    std::string name = name6;
    while (!name.empty() && name.back() == ' ')
        name.pop_back();
    std::string extension = ext3;
    while (!extension.empty() && extension.back() == ' ')
        extension.pop_back();
    m_files[extension.empty() ? name : name + "." + extension] = padded;
    return static_cast<std::uint8_t>(chain.front());
}

} // namespace testsupport
