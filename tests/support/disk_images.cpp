// Disk images for the tests.
#include "disk_images.h"

#include <algorithm>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "archive_support.h"
#include "testsupport.h"

namespace testsupport {

namespace {

// mtools takes names in the locale's encoding and may refuse odd geometries.
const std::string kMtools = "LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";

void put16(std::string& b, std::size_t at, std::uint32_t v)
{
    b[at] = static_cast<char>(v & 0xFF);
    b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}

void put32(std::string& b, std::size_t at, std::uint32_t v)
{
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

std::string expand(std::string text, const std::string& image, const std::string& label)
{
    for (const auto& [key, value] : {std::pair<std::string, std::string>{"$IMG", quote(image)}, {"$LABEL", label}}) {
        for (size_t at = text.find(key); at != std::string::npos; at = text.find(key, at + value.size()))
            text.replace(at, key.size(), value);
    }
    return text;
}

} // namespace

std::vector<ImageFormat> imageFormats()
{
    return {
        {"F720K", "mformat -i $IMG -C -f 720 -v $LABEL ::", "$IMG", 512, 9, 2},
        {"F144M", "mformat -i $IMG -C -f 1440 -v $LABEL ::", "$IMG", 512, 18, 2},
        {"F12M", "mformat -i $IMG -C -f 1200 -v $LABEL ::", "$IMG", 512, 15, 2},
        {"PC98", "mformat -i $IMG -C -t 77 -h 2 -s 8 -S 3 -v $LABEL ::", "$IMG", 1024, 8, 2},
        {"Fat16", "mkfs.fat -C -F 16 -n $LABEL $IMG 16384 >/dev/null", "$IMG", 512, 32, 2},
        {"Fat32", "mkfs.fat -C -F 32 -s 1 -n $LABEL $IMG 40960 >/dev/null", "$IMG", 512, 32, 2},
        // A card image: an MBR whose one partition (FAT32 LBA) starts at 1 MiB.
        {"Card",
            "truncate -s 48M $IMG && python3 -c \"import sys,struct; f=open(sys.argv[1],'r+b'); "
            "f.seek(446); f.write(bytes([0,0,0,0,0x0C,0,0,0])+struct.pack('<II',2048,96256)); "
            "f.seek(510); f.write(b'\\x55\\xaa')\" $IMG && "
            "mkfs.fat -F 32 -s 1 --offset 2048 -n $LABEL $IMG 48128 >/dev/null",
            "$IMG@@1M", 512, 32, 2},
    };
}

std::vector<SampleFile> sampleFiles()
{
    std::string data;
    for (int i = 0; i < 70000; ++i)
        data += static_cast<char>((i * 7 + i / 251) & 0xFF);
    return {
        {"README.TXT", "hello\r\n", 0},
        {"A long file name.text", "long\n", 0},
        {"日本語ファイル名.txt", "nihongo", 0},
        {"ソ表.TXT", "so-hyo", 0},
        {"MiXed.Txt", "mixed", 0},
        {"ZERO.DAT", "", 0},
        {"HIDDEN.TXT", "hidden", 'h'},
        {"SYSTEM.SYS", "system", 's'},
        {"RDONLY.TXT", "read only", 'r'},
        {"EMPTY/", "", 0},
        {"SUB/", "", 0},
        {"SUB/DATA.BIN", data, 0},
        {"SUB/DEEP/", "", 0},
        {"SUB/DEEP/x.txt", "deep", 0},
    };
}

ImageFormat imageFormat(const std::string& name)
{
    for (const ImageFormat& format : imageFormats())
        if (format.name == name)
            return format;
    return {};
}

void makeImage(const ImageFormat& format, const std::string& image, const std::string& label)
{
    const CommandResult made = shell(kMtools + expand(format.make, image, label) + " 2>&1");
    ASSERT_EQ(made.exitCode, 0) << format.name << ": " << made.output;
    const std::string source = image + ".src";
    shell("rm -rf " + quote(source));
    makeDirs(source);
    std::int64_t stamp = 981173106; // 2001-02-03 04:05:06, an even second as DOS keeps them
    for (const SampleFile& file : sampleFiles()) {
        if (file.path.back() == '/') {
            makeDirs(source + "/" + file.path);
            continue;
        }
        writeFile(source + "/" + file.path, file.content);
        setMtime(source + "/" + file.path, stamp += 86400 + 3600 + 62);
    }
    const std::string target = expand(format.mtoolsTarget, image, label);
    const CommandResult copied = shell("cd " + quote(source) + " && " + kMtools + "mcopy -s -m -i " + target + " * :: 2>&1");
    ASSERT_EQ(copied.exitCode, 0) << format.name << ": " << copied.output;
    for (const SampleFile& file : sampleFiles()) {
        if (file.attribute) {
            const CommandResult marked = shell(kMtools + "mattrib -i " + target + " +" + file.attribute + " ::/"
                + quote(file.path) + " 2>&1");
            ASSERT_EQ(marked.exitCode, 0) << marked.output;
        }
    }
    shell("rm -rf " + quote(source));
}

void mtoolsExtract(const ImageFormat& format, const std::string& image, const std::string& folder)
{
    makeDirs(folder);
    const CommandResult copied = shell(kMtools + "mcopy -s -m -n -i " + expand(format.mtoolsTarget, image, "")
        + " '::*' " + quote(folder) + " 2>&1");
    ASSERT_EQ(copied.exitCode, 0) << copied.output;
}

D88Layout d88Tracks(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                    std::uint32_t heads, std::uint8_t mediaType)
{
    const std::uint32_t trackBytes = sectorSize * sectorsPerTrack;
    const std::uint32_t tracks = static_cast<std::uint32_t>(raw.size() / trackBytes);
    D88Layout layout;
    layout.media = mediaType;
    std::uint8_t n = 0;
    while ((128u << n) < sectorSize)
        ++n;
    layout.tracks.resize(tracks);
    for (std::uint32_t t = 0; t < tracks; ++t) {
        for (std::uint32_t k = sectorsPerTrack; k-- > 0;) {
            D88Record record;
            record.c = static_cast<std::uint8_t>(t / heads);
            record.h = static_cast<std::uint8_t>(t % heads);
            record.r = static_cast<std::uint8_t>(k + 1);
            record.n = n;
            record.data = raw.substr(std::size_t{t} * trackBytes + std::size_t{k} * sectorSize, sectorSize);
            layout.tracks[t].push_back(std::move(record));
        }
    }
    return layout;
}

D88Record& D88Layout::record(std::uint32_t c, std::uint32_t h, std::uint32_t r)
{
    for (auto& track : tracks)
        for (D88Record& record : track)
            if (record.c == c && record.h == h && record.r == r)
                return record;
    ADD_FAILURE() << "no sector C=" << c << " H=" << h << " R=" << r;
    static D88Record none;
    return none;
}

std::string D88Layout::bytes() const
{
    std::string out(0x2B0, '\0');
    std::memcpy(out.data(), "TESTDISK", 8);
    out[0x1B] = static_cast<char>(media);
    std::vector<std::vector<std::uint32_t>> headerAt(tracks.size());
    for (std::size_t t = 0; t < tracks.size(); ++t) {
        if (tracks[t].empty())
            continue;
        put32(out, 0x20 + 4 * t, static_cast<std::uint32_t>(out.size()));
        for (const D88Record& record : tracks[t]) {
            std::string header(16, '\0');
            header[0] = static_cast<char>(record.c);
            header[1] = static_cast<char>(record.h);
            header[2] = static_cast<char>(record.r);
            header[3] = static_cast<char>(record.n);
            put16(header, 4, record.countField >= 0 ? static_cast<std::uint32_t>(record.countField)
                                                    : static_cast<std::uint32_t>(tracks[t].size()));
            header[8] = static_cast<char>(record.status);
            put16(header, 0x0E, record.sizeField >= 0 ? static_cast<std::uint32_t>(record.sizeField)
                                                      : static_cast<std::uint32_t>(record.data.size()));
            headerAt[t].push_back(static_cast<std::uint32_t>(out.size()));
            out += header;
            out += record.data;
        }
    }
    put32(out, 0x1C, static_cast<std::uint32_t>(out.size()));
    for (const auto& [entry, where] : storedAt)
        put32(out, 0x20 + 4 * entry, headerAt.at(where.first).at(where.second));
    return out;
}

std::string d88Of(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                  std::uint32_t heads, std::uint8_t mediaType)
{
    return d88Tracks(raw, sectorSize, sectorsPerTrack, heads, mediaType).bytes();
}

std::string fdiOf(const std::string& raw, std::uint32_t sectorSize, std::uint32_t sectorsPerTrack,
                  std::uint32_t heads, std::uint32_t driveType)
{
    std::string header(4096, '\0');
    put32(header, 4, driveType);
    put32(header, 8, 4096);
    put32(header, 12, static_cast<std::uint32_t>(raw.size()));
    put32(header, 16, sectorSize);
    put32(header, 20, sectorsPerTrack);
    put32(header, 24, heads);
    put32(header, 28, static_cast<std::uint32_t>(raw.size() / (std::size_t{sectorSize} * sectorsPerTrack * heads)));
    return header + raw;
}

Floppy::Floppy()
    : m_bytes(1474560, '\0')
{
    const unsigned char boot[] = {0xEB, 0x3C, 0x90, 'M', 'S', 'D', 'O', 'S', '5', '.', '0'};
    std::memcpy(m_bytes.data(), boot, sizeof boot);
    put16(m_bytes, 11, 512);
    m_bytes[13] = 1;
    put16(m_bytes, 14, 1);
    m_bytes[16] = 2;
    put16(m_bytes, 17, 224);
    put16(m_bytes, 19, 2880);
    m_bytes[21] = static_cast<char>(0xF0);
    put16(m_bytes, 22, 9);
    put16(m_bytes, 24, 18);
    put16(m_bytes, 26, 2);
    m_bytes[38] = 0x29;
    std::memcpy(m_bytes.data() + 43, "NO NAME    FAT12   ", 19);
    m_bytes[510] = 0x55;
    m_bytes[511] = static_cast<char>(0xAA);
    setFat(0, 0xFF0);
    setFat(1, 0xFFF);
}

std::string Floppy::entry(const std::string& name11, std::uint8_t attributes, std::uint16_t cluster,
                          std::uint32_t size, std::uint8_t caseFlags)
{
    std::string e(32, '\0');
    std::memcpy(e.data(), name11.data(), std::min<std::size_t>(11, name11.size()));
    e[11] = static_cast<char>(attributes);
    e[12] = static_cast<char>(caseFlags);
    put16(e, 22, (10 << 11) | (20 << 5) | 15);         // 10:20:30
    put16(e, 24, ((2001 - 1980) << 9) | (2 << 5) | 3); // 2001-02-03
    put16(e, 26, cluster);
    put32(e, 28, size);
    return e;
}

std::vector<std::string> Floppy::longNameEntries(const std::u16string& name, const std::string& name11,
                                                 bool badChecksum)
{
    std::uint8_t sum = 0;
    for (int i = 0; i < 11; ++i)
        sum = static_cast<std::uint8_t>(((sum & 1) << 7) + (sum >> 1) + static_cast<unsigned char>(name11[i]));
    if (badChecksum)
        sum = static_cast<std::uint8_t>(sum + 1);
    std::u16string units = name;
    if (units.size() % 13)
        units.push_back(0);
    while (units.size() % 13)
        units.push_back(0xFFFF);
    const int count = static_cast<int>(units.size() / 13);
    std::vector<std::string> entries;
    for (int ordinal = count; ordinal >= 1; --ordinal) {
        std::string e(32, '\0');
        e[0] = static_cast<char>(ordinal | (ordinal == count ? 0x40 : 0));
        e[11] = 0x0F;
        e[13] = static_cast<char>(sum);
        const int offsets[] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
        for (int i = 0; i < 13; ++i)
            put16(e, static_cast<std::size_t>(offsets[i]), units[static_cast<std::size_t>((ordinal - 1) * 13 + i)]);
        entries.push_back(e);
    }
    return entries;
}

void Floppy::putRoot(int slot, const std::string& entry32)
{
    m_bytes.replace(kRoot + static_cast<std::size_t>(slot) * 32, 32, entry32);
}

void Floppy::putInCluster(std::uint16_t cluster, int slot, const std::string& entry32)
{
    m_bytes.replace(kData + (cluster - 2u) * 512u + static_cast<std::size_t>(slot) * 32, 32, entry32);
}

void Floppy::setFat(std::uint16_t cluster, std::uint16_t value)
{
    for (std::size_t fat : {512u, 512u * 10}) {
        const std::size_t at = fat + cluster * 3u / 2;
        auto* b = reinterpret_cast<unsigned char*>(m_bytes.data());
        if (cluster & 1) {
            b[at] = static_cast<unsigned char>((b[at] & 0x0F) | ((value << 4) & 0xF0));
            b[at + 1] = static_cast<unsigned char>(value >> 4);
        } else {
            b[at] = static_cast<unsigned char>(value & 0xFF);
            b[at + 1] = static_cast<unsigned char>((b[at + 1] & 0xF0) | ((value >> 8) & 0x0F));
        }
    }
}

void Floppy::putData(std::uint16_t cluster, const std::string& data)
{
    m_bytes.replace(kData + (cluster - 2u) * 512u, data.size(), data);
}

std::string labelledFloppy(const std::string& label11, const std::string& text)
{
    Floppy floppy;
    floppy.putRoot(0, Floppy::entry(label11, 0x08, 0, 0));
    floppy.putRoot(1, Floppy::entry("README  TXT", 0x20, 2, static_cast<std::uint32_t>(text.size())));
    floppy.setFat(2, 0xFFF);
    floppy.putData(2, text);
    return floppy.bytes();
}

std::string fileState(const std::string& path)
{
    struct stat info;
    if (::stat(path.c_str(), &info) != 0)
        return "missing";
    return readFile(path) + "|" + std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec)
        + "|" + std::to_string(info.st_size);
}

} // namespace testsupport

namespace testsupport {

SparseFat::SparseFat(const std::string& path, const FatLayout& layout)
    : m_layout(layout)
{
    make(path);
}

void SparseFat::make(const std::string& path)
{
    const FatLayout& layout = m_layout;
    const std::uint32_t bps = layout.bytesPerSector;
    const bool fat32 = layout.fatBits == 32;
    m_rootSectors = fat32 ? 0 : (layout.rootEntries * 32 + bps - 1) / bps;
    m_sectorsPerFat = layout.sectorsPerFat;
    if (m_sectorsPerFat == 0)
        m_sectorsPerFat = static_cast<std::uint32_t>((((layout.clusters + 2) * layout.fatBits + 7) / 8 + bps - 1) / bps);
    m_totalSectors = layout.reservedSectors + std::uint64_t{layout.fatCount} * m_sectorsPerFat + m_rootSectors
        + layout.clusters * layout.sectorsPerCluster;
    m_fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(m_fd, 0) << path;
    ASSERT_EQ(::ftruncate(m_fd, static_cast<off_t>(m_totalSectors * bps)), 0) << path;

    std::string boot(std::max<std::uint32_t>(bps, 512), '\0');
    const unsigned char jump[] = {0xEB, 0x58, 0x90, 'M', 'S', 'W', 'I', 'N', '4', '.', '1'};
    std::memcpy(boot.data(), jump, sizeof jump);
    put16(boot, 11, bps);
    boot[13] = static_cast<char>(layout.sectorsPerCluster);
    put16(boot, 14, layout.reservedSectors);
    boot[16] = static_cast<char>(layout.fatCount);
    put16(boot, 17, fat32 ? 0 : layout.rootEntries);
    if (!fat32 && m_totalSectors < 65536)
        put16(boot, 19, static_cast<std::uint32_t>(m_totalSectors));
    else
        put32(boot, 32, static_cast<std::uint32_t>(m_totalSectors));
    boot[21] = static_cast<char>(layout.media);
    put16(boot, 24, 32);
    put16(boot, 26, 2);
    if (fat32) {
        put32(boot, 36, m_sectorsPerFat);
        put32(boot, 44, 2); // the root folder
        put16(boot, 48, 0xFFFF); // no FSInfo sector
        put16(boot, 50, 0xFFFF); // no backup boot sector
        boot[64] = static_cast<char>(0x80);
        boot[66] = 0x29;
        std::memcpy(boot.data() + 71, "NO NAME    FAT32   ", 19);
    } else {
        put16(boot, 22, m_sectorsPerFat);
        boot[36] = static_cast<char>(0x80);
        boot[38] = 0x29;
        std::memcpy(boot.data() + 43, layout.fatBits == 12 ? "NO NAME    FAT12   " : "NO NAME    FAT16   ", 19);
    }
    // The signature closes a sector of 512 bytes or more; smaller sectors
    // hold none (the boot sector would run into the FAT).
    if (bps >= 512) {
        boot[510] = 0x55;
        boot[511] = static_cast<char>(0xAA);
    }
    boot.resize(std::min<std::size_t>(boot.size(), std::size_t{layout.reservedSectors} * bps));
    write(0, boot);
    setFat(0, (endOfChain() & ~0xFFu) | layout.media);
    setFat(1, endOfChain());
    if (fat32)
        setFat(2, endOfChain());
}

SparseFat::~SparseFat()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::string SparseFat::entry(const std::string& name11, std::uint8_t attributes, std::uint32_t cluster,
                             std::uint32_t size)
{
    std::string e = Floppy::entry(name11, attributes, static_cast<std::uint16_t>(cluster & 0xFFFF), size);
    put16(e, 20, cluster >> 16);
    return e;
}

std::uint32_t SparseFat::endOfChain() const
{
    return m_layout.fatBits == 12 ? 0xFFF : m_layout.fatBits == 16 ? 0xFFFF : 0x0FFFFFFF;
}

std::uint64_t SparseFat::fatOffset(std::uint32_t copy) const
{
    return (m_layout.reservedSectors + std::uint64_t{copy} * m_sectorsPerFat) * m_layout.bytesPerSector;
}

std::uint64_t SparseFat::clusterOffset(std::uint32_t cluster) const
{
    const std::uint64_t firstData = m_layout.reservedSectors + std::uint64_t{m_layout.fatCount} * m_sectorsPerFat + m_rootSectors;
    return (firstData + std::uint64_t{cluster - 2} * m_layout.sectorsPerCluster) * m_layout.bytesPerSector;
}

void SparseFat::write(std::uint64_t offset, const std::string& bytes)
{
    ASSERT_EQ(::pwrite(m_fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)), static_cast<ssize_t>(bytes.size()));
}

void SparseFat::setFat(std::uint32_t cluster, std::uint32_t value)
{
    for (std::uint32_t copy = 0; copy < m_layout.fatCount; ++copy) {
        const std::uint64_t at = fatOffset(copy) + std::uint64_t{cluster} * m_layout.fatBits / 8;
        std::string bytes(m_layout.fatBits == 32 ? 4 : 2, '\0');
        ASSERT_EQ(::pread(m_fd, bytes.data(), bytes.size(), static_cast<off_t>(at)), static_cast<ssize_t>(bytes.size()));
        if (m_layout.fatBits == 12) {
            std::uint32_t pair = static_cast<unsigned char>(bytes[0]) | static_cast<unsigned char>(bytes[1]) << 8;
            pair = (cluster & 1) ? (pair & 0x000F) | (value & 0xFFF) << 4 : (pair & 0xF000) | (value & 0xFFF);
            put16(bytes, 0, pair);
        } else if (m_layout.fatBits == 16) {
            put16(bytes, 0, value & 0xFFFF);
        } else {
            put32(bytes, 0, value);
        }
        write(at, bytes);
    }
}

void SparseFat::putRoot(int slot, const std::string& entry32)
{
    if (m_layout.fatBits == 32) {
        putInCluster(2, slot, entry32);
        return;
    }
    const std::uint64_t root = (m_layout.reservedSectors + std::uint64_t{m_layout.fatCount} * m_sectorsPerFat) * m_layout.bytesPerSector;
    write(root + static_cast<std::uint64_t>(slot) * 32, entry32);
}

void SparseFat::putInCluster(std::uint32_t cluster, int slot, const std::string& entry32)
{
    write(clusterOffset(cluster) + static_cast<std::uint64_t>(slot) * 32, entry32);
}

void SparseFat::putFile(std::uint32_t first, const std::string& data)
{
    const std::uint64_t count = std::max<std::uint64_t>(1, (data.size() + bytesPerCluster() - 1) / bytesPerCluster());
    write(clusterOffset(first), data);
    for (std::uint64_t i = 0; i < count; ++i)
        setFat(static_cast<std::uint32_t>(first + i), i + 1 == count ? endOfChain() : static_cast<std::uint32_t>(first + i + 1));
}

std::string sparseFileState(const std::string& path)
{
    struct stat info;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || ::fstat(fd, &info) != 0) {
        if (fd >= 0)
            ::close(fd);
        return "missing";
    }
    // FNV-1a over each stretch of data with its offset; the holes between read as zeros anyway.
    std::uint64_t digest = 14695981039346656037ull;
    auto mix = [&digest](const unsigned char* bytes, std::size_t size) {
        for (std::size_t i = 0; i < size; ++i)
            digest = (digest ^ bytes[i]) * 1099511628211ull;
    };
    std::string buffer(1 << 20, '\0');
    off_t at = 0;
    while (true) {
        const off_t data = ::lseek(fd, at, SEEK_DATA);
        if (data < 0)
            break;
        off_t hole = ::lseek(fd, data, SEEK_HOLE);
        if (hole < 0)
            hole = info.st_size;
        mix(reinterpret_cast<const unsigned char*>(&data), sizeof data);
        for (off_t from = data; from < hole;) {
            const ssize_t got = ::pread(fd, buffer.data(), static_cast<std::size_t>(std::min<off_t>(hole - from, 1 << 20)), from);
            if (got <= 0)
                break;
            mix(reinterpret_cast<const unsigned char*>(buffer.data()), static_cast<std::size_t>(got));
            from += got;
        }
        at = hole;
    }
    ::close(fd);
    return std::to_string(digest) + "|" + std::to_string(info.st_mtim.tv_sec) + "." + std::to_string(info.st_mtim.tv_nsec)
        + "|" + std::to_string(info.st_size);
}

} // namespace testsupport
