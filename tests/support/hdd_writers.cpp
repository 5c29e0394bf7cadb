// Hard disk images for the tests, written after the containers' and the
// partition tables' published layouts.
#include "hdd_writers.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "disk_images.h"

namespace testsupport {

namespace {

constexpr std::uint64_t kMiB = 1u << 20;

void put(std::string& b, std::size_t at, const std::string& bytes)
{
    b.replace(at, bytes.size(), bytes);
}

std::uint64_t sizeOf(const std::string& path)
{
    struct stat info;
    EXPECT_EQ(::stat(path.c_str(), &info), 0) << path << ": " << std::strerror(errno);
    return static_cast<std::uint64_t>(info.st_size);
}

void pwriteAll(int fd, const char* data, std::size_t size, std::uint64_t offset)
{
    while (size > 0) {
        const ssize_t put = ::pwrite(fd, data, size, static_cast<off_t>(offset));
        ASSERT_GT(put, 0) << std::strerror(errno);
        data += put;
        size -= static_cast<std::size_t>(put);
        offset += static_cast<std::uint64_t>(put);
    }
}

// The disk's file: header, then the disk's bytes as holes, then `pieces`
// (disk offset, bytes) and each volume copied to its place (its zero blocks
// left as holes).
void writeImage(HddImage& image, const std::string& header, const std::vector<std::pair<std::uint64_t, std::string>>& pieces,
                const std::vector<VolumeFile>& volumes)
{
    image.headerSize = header.size();
    const int fd = ::open(image.path.c_str(), O_CREAT | O_TRUNC | O_WRONLY | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0) << image.path << ": " << std::strerror(errno);
    ASSERT_EQ(::ftruncate(fd, static_cast<off_t>(header.size() + image.geometry.bytes())), 0);
    pwriteAll(fd, header.data(), header.size(), 0);
    for (const auto& [offset, bytes] : pieces)
        pwriteAll(fd, bytes.data(), bytes.size(), header.size() + offset);
    std::vector<char> block(64 * 1024);
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const int in = ::open(volumes[v].path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(in, 0) << volumes[v].path;
        std::uint64_t at = 0;
        for (ssize_t got; (got = ::read(in, block.data(), block.size())) > 0; at += static_cast<std::uint64_t>(got)) {
            if (std::any_of(block.begin(), block.begin() + got, [](char c) { return c != 0; }))
                pwriteAll(fd, block.data(), static_cast<std::size_t>(got), header.size() + image.offsets[v] + at);
        }
        ::close(in);
    }
    ::close(fd);
}

} // namespace

std::string le16(std::uint32_t value)
{
    return {static_cast<char>(value & 0xFF), static_cast<char>((value >> 8) & 0xFF)};
}

std::string le32(std::uint32_t value)
{
    return le16(value & 0xFFFF) + le16(value >> 16);
}

void makeVolume(const std::string& path, std::uint32_t kib, int fatBits, std::uint32_t sectorSize,
                const std::string& label)
{
    ImageFormat format;
    format.name = "volume";
    const std::uint32_t perCluster = std::max<std::uint32_t>(1, 1024 / sectorSize);
    format.make = "mkfs.fat -C -F " + std::to_string(fatBits) + " -s " + std::to_string(perCluster) + " -S "
        + std::to_string(sectorSize) + (label.empty() ? "" : " -n $LABEL") + " $IMG " + std::to_string(kib)
        + " >/dev/null";
    format.mtoolsTarget = "$IMG";
    makeImage(format, path, label);
}

void extractAt(const std::string& image, std::uint64_t offset, const std::string& folder)
{
    ImageFormat format;
    format.mtoolsTarget = "$IMG@@" + std::to_string(offset);
    mtoolsExtract(format, image, folder);
}

void pokeFile(const std::string& path, std::uint64_t offset, const std::string& bytes)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0) << path;
    pwriteAll(fd, bytes.data(), bytes.size(), offset);
    ::close(fd);
}

std::string containerHeader(const std::string& container, const HddGeometry& g)
{
    if (container == "HDI") {
        std::string h(4096, '\0');
        put(h, 8, le32(4096));
        put(h, 12, le32(static_cast<std::uint32_t>(g.bytes())));
        put(h, 16, le32(g.sectorSize));
        put(h, 20, le32(g.sectors));
        put(h, 24, le32(g.heads));
        put(h, 28, le32(g.cylinders));
        return h;
    }
    if (container == "NHD") {
        std::string h(512, '\0');
        put(h, 0, std::string("T98HDDIMAGE.R0", 14));
        put(h, 16, "made for a test");
        put(h, 0x110, le32(512));
        put(h, 0x114, le32(g.cylinders));
        put(h, 0x118, le16(g.heads));
        put(h, 0x11A, le16(g.sectors));
        put(h, 0x11C, le16(g.sectorSize));
        return h;
    }
    if (container == "THD") {
        EXPECT_TRUE(g.heads == 8 && g.sectors == 33 && g.sectorSize == 256) << "THD disks are 8 × 33 × 256";
        std::string h(256, '\0');
        put(h, 0, le16(g.cylinders));
        return h;
    }
    if (container == "HDD") {
        std::string h(220, '\0');
        put(h, 0, "VHD1.00");
        put(h, 8, "made for a test");
        put(h, 0x8C, le16(static_cast<std::uint32_t>(g.bytes() / kMiB)));
        put(h, 0x8E, le16(g.sectorSize));
        h[0x90] = static_cast<char>(g.sectors);
        h[0x91] = static_cast<char>(g.heads);
        put(h, 0x92, le16(g.cylinders));
        put(h, 0x94, le32(g.cylinders * g.heads * g.sectors));
        return h;
    }
    if (container == "SLH") {
        std::string h(512, '\0');
        put(h, 0, "HDIM");
        put(h, 4, le32(static_cast<std::uint32_t>(g.bytes())) + le32(static_cast<std::uint32_t>(g.bytes() >> 32)));
        put(h, 12, le32(g.sectorSize) + le32(g.cylinders) + le32(g.heads) + le32(g.sectors));
        put(h, 28, "0123456789");
        put(h, 48, "1.00");
        put(h, 56, "made for a test");
        return h;
    }
    EXPECT_EQ(container, "raw");
    return {};
}

HddImage writePc98Disk(const std::string& path, const std::string& container, HddGeometry g,
                       const std::vector<VolumeFile>& volumes)
{
    HddImage image;
    image.path = path;
    const std::uint64_t cylinderBytes = g.cylinderBytes();
    std::string table(512, '\0');
    std::uint32_t cylinder = 1;
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        const std::uint64_t size = sizeOf(volumes[v].path);
        const std::uint32_t count = static_cast<std::uint32_t>((size + cylinderBytes - 1) / cylinderBytes);
        image.offsets.push_back(cylinder * cylinderBytes);
        image.lengths.push_back(count * cylinderBytes);
        std::string e(32, '\0');
        e[0] = static_cast<char>(0xA0);                    // bootable, MS-DOS
        e[1] = static_cast<char>(0x80 | volumes[v].type);  // active
        put(e, 4, std::string{0, 0} + le16(cylinder));     // IPL: the partition's first sector
        put(e, 8, std::string{0, 0} + le16(cylinder));     // start: sector 0, head 0
        put(e, 12, std::string{static_cast<char>(g.sectors - 1), static_cast<char>(g.heads - 1)}
                + le16(cylinder + count - 1));             // end: the last sector of its last cylinder
        std::string name = volumes[v].name;
        name.resize(16, ' ');
        put(e, 16, name);
        put(table, 32 * v, e);
        cylinder += count;
    }
    if (g.cylinders == 0)
        g.cylinders = cylinder + 1;
    image.geometry = g;
    std::string ipl(512, '\0');
    put(ipl, 0, "\xEB\x0A\x90\x90IPL1");
    ipl[510] = static_cast<char>(0x55);
    ipl[511] = static_cast<char>(0xAA);
    image.tableAt = std::max<std::uint64_t>(512, g.sectorSize);
    writeImage(image, containerHeader(container, g), {{0, ipl}, {image.tableAt, table}}, volumes);
    return image;
}

HddImage writeMbrDisk(const std::string& path, const std::string& container, HddGeometry g,
                      const std::vector<VolumeFile>& volumes)
{
    HddImage image;
    image.path = path;
    auto rounded = [](std::uint64_t size) { return (size + kMiB - 1) / kMiB * kMiB; };
    auto entry = [](std::uint8_t type, std::uint64_t start, std::uint64_t length) {
        std::string e(16, '\0');
        e[4] = static_cast<char>(type);
        put(e, 8, le32(static_cast<std::uint32_t>(start / 512)));
        put(e, 12, le32(static_cast<std::uint32_t>(length / 512)));
        return e;
    };
    std::string mbr(512, '\0');
    mbr[510] = static_cast<char>(0x55);
    mbr[511] = static_cast<char>(0xAA);
    std::uint64_t cursor = kMiB;
    int slot = 0;
    image.offsets.resize(volumes.size());
    image.lengths.resize(volumes.size());
    for (std::size_t v = 0; v < volumes.size(); ++v) {
        if (volumes[v].logical)
            continue;
        image.offsets[v] = cursor;
        image.lengths[v] = rounded(sizeOf(volumes[v].path));
        put(mbr, 446 + 16 * slot++, entry(volumes[v].type, cursor, image.lengths[v]));
        cursor += image.lengths[v];
    }
    std::vector<std::pair<std::uint64_t, std::string>> pieces;
    const std::uint64_t extended = cursor;
    std::vector<std::size_t> logical;
    for (std::size_t v = 0; v < volumes.size(); ++v)
        if (volumes[v].logical)
            logical.push_back(v);
    for (std::size_t k = 0; k < logical.size(); ++k) {
        const std::size_t v = logical[k];
        image.records.push_back(cursor);
        image.offsets[v] = cursor + kMiB;
        image.lengths[v] = rounded(sizeOf(volumes[v].path));
        cursor += kMiB + image.lengths[v];
    }
    for (std::size_t k = 0; k < logical.size(); ++k) {
        const std::size_t v = logical[k];
        std::string ebr(512, '\0');
        ebr[510] = static_cast<char>(0x55);
        ebr[511] = static_cast<char>(0xAA);
        put(ebr, 446, entry(volumes[v].type, kMiB, image.lengths[v]));
        if (k + 1 < logical.size()) {
            const std::uint64_t next = image.records[k + 1];
            put(ebr, 462, entry(0x05, next - extended, kMiB + image.lengths[logical[k + 1]]));
        }
        pieces.push_back({image.records[k], ebr});
    }
    if (!logical.empty())
        put(mbr, 446 + 16 * slot++, entry(0x0F, extended, cursor - extended));
    pieces.insert(pieces.begin(), {0, mbr});
    cursor += kMiB;
    if (g.cylinders == 0)
        g.cylinders = static_cast<std::uint32_t>((cursor + g.cylinderBytes() - 1) / g.cylinderBytes());
    image.geometry = g;
    image.tableAt = 0;
    std::vector<VolumeFile> ordered = volumes;
    writeImage(image, containerHeader(container, g), pieces, ordered);
    return image;
}

} // namespace testsupport
