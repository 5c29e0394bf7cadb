// A FAT volume is checked before it is trusted: volumes at and past the
// cluster limits of each FAT type in every sector size, the layouts that
// mkfs.fat and mformat write, boot sectors whose values do not fit their disk
// (a known format takes over where the disk's size and media byte name one),
// and folders that are damaged in ways a plain read would not notice. Each
// volume reads as mtools reads the same bytes, or fails naming the image and
// the check; the image never changes.
#include "platform.h"

#include <functional>
#include <map>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "disk_image.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;
using platform::image::kAttrFolder;

const std::string kMtools = "LANG=C.UTF-8 LC_ALL=C.UTF-8 MTOOLS_SKIP_CHECK=1 MTOOLSRC=/dev/null ";

// The files of the image as drive a: reads them (relative path, "/" between
// folders; folders map to ""), or the walk's error in `error`.
std::map<std::string, std::string> readDrive(const std::string& image, std::string* error)
{
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + image);
    std::map<std::string, std::string> files;
    error->clear();
    if (platform::Result<void> usable = platform::checkDiskImage(image); !usable) {
        *error = usable.error().message;
        return files;
    }
    auto walked = platform::walkFolder("a:\\", {}, [&](const platform::WalkEntry& e) {
        std::string key = e.relative;
        for (char& c : key)
            if (c == '\\')
                c = '/';
        std::string& content = files[key];
        if (e.type == platform::EntryType::File) {
            std::unique_ptr<platform::FileStream> stream = platform::openImageFile(e.native);
            EXPECT_TRUE(stream) << e.native;
            char buffer[8192];
            long got;
            while (stream && (got = stream->read(buffer, sizeof buffer)) > 0)
                content.append(buffer, static_cast<size_t>(got));
        }
        return true;
    });
    if (!walked)
        *error = walked.error().message;
    return files;
}

// What mcopy extracts from the image, in the same form.
std::map<std::string, std::string> mtoolsFiles(const std::string& image, const std::string& folder)
{
    makeDirs(folder);
    const CommandResult copied = shell(kMtools + "mcopy -s -m -n -i " + quote(image) + " '::*' " + quote(folder) + " 2>&1");
    EXPECT_EQ(copied.exitCode, 0) << copied.output;
    std::map<std::string, std::string> files;
    for (const auto& [path, file] : readTree(folder))
        files[path] = file.folder ? std::string() : file.content;
    return files;
}

// Reads the image through drive a: and through mcopy, and compares the two.
void expectReadsAsMtools(const std::string& image, const std::string& scratch, const std::string& what)
{
    const std::string before = sparseFileState(image);
    std::string error;
    const std::map<std::string, std::string> seen = readDrive(image, &error);
    EXPECT_EQ(error, "") << what;
    const std::map<std::string, std::string> extracted = mtoolsFiles(image, scratch);
    EXPECT_FALSE(extracted.empty()) << what;
    EXPECT_TRUE(seen == extracted) << what << ": " << seen.size() << " entries read, " << extracted.size()
                                   << " extracted by mcopy";
    EXPECT_EQ(sparseFileState(image), before) << what << ": the image changed";
}

// The image fails to open (or to walk) with an error naming it and holding `expected`.
void expectRefused(const std::string& image, const std::string& expected, const std::string& what)
{
    const std::string before = sparseFileState(image);
    std::string error;
    readDrive(image, &error);
    EXPECT_NE(error.find(expected), std::string::npos) << what << ": " << error;
    EXPECT_NE(error.find(image), std::string::npos) << what << ": the error does not name the image: " << error;
    EXPECT_EQ(sparseFileState(image), before) << what << ": the image changed";
}

// An image file read in place, for the reader's own view of a large sparse image.
class FdFile final : public platform::image::ByteFile {
public:
    explicit FdFile(const std::string& path) : m_fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC))
    {
        struct stat info;
        m_size = m_fd >= 0 && ::fstat(m_fd, &info) == 0 ? static_cast<std::uint64_t>(info.st_size) : 0;
    }
    ~FdFile() override
    {
        if (m_fd >= 0)
            ::close(m_fd);
    }
    long readAt(std::uint64_t offset, void* buffer, std::size_t size) const override
    {
        return static_cast<long>(::pread(m_fd, buffer, size, static_cast<off_t>(offset)));
    }
    std::uint64_t size() const override { return m_size; }

private:
    int m_fd;
    std::uint64_t m_size = 0;
};

std::string pattern(std::size_t size, std::uint32_t seed)
{
    std::string data(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        data[i] = static_cast<char>(((i + seed) * 2654435761u) >> 24);
    return data;
}

// ── The cluster limits ──────────────────────────────────────────────────────

struct Limit {
    const char* name;
    int fatBits;            // the entries the builder writes (32: a FAT32 boot sector)
    std::uint64_t clusters;
    int readAs;             // the FAT type the volume must be read as; 0: refused
    const char* refusal;
    bool mtoolsReads = true;
};

const Limit kLimits[] = {
    {"Fat12Most", 12, 4084, 12, nullptr},
    {"Fat16Fewest", 16, 4085, 16, nullptr}, // one past FAT12: the count makes it FAT16
    {"Fat16Most", 16, 65524, 16, nullptr},
    {"Fat16PastItsMost", 16, 65525, 0, "65,525 clusters, more than FAT16 can number (65,524)"},
    {"Fat32Most", 32, 268435443, 32, nullptr},
    {"Fat32PastItsMost", 32, 268435444, 0, "268,435,444 clusters, more than FAT32 can number (268,435,443)"},
    // A FAT32 boot sector over a FAT16 count, as mkfs.fat -F 32 makes on small
    // disks (with a warning): no root folder but the FAT32 one, so it is read
    // as FAT32, as Linux reads it. mtools goes by the count and finds no root.
    {"Fat32OfAFat16Count", 32, 65524, 32, nullptr, false},
};

struct LimitCase {
    Limit limit;
    std::uint32_t sectorSize;
};

class ClusterLimit : public ::testing::TestWithParam<LimitCase> {};

// One file in the first cluster, one in the last two: a volume at its limit
// reads its last cluster, one past it is read as the next FAT type or refused.
TEST_P(ClusterLimit, ReadsTheLastClusterAsMtoolsDoesOrIsRefused)
{
    const Limit& limit = GetParam().limit;
    const std::uint32_t bps = GetParam().sectorSize;
    TempDir dir;
    const std::string image = dir / "limit.img";
    FatLayout layout;
    layout.bytesPerSector = bps;
    layout.fatBits = limit.fatBits;
    layout.clusters = limit.clusters;
    layout.reservedSectors = limit.fatBits == 32 ? 32 : 1;
    const std::uint32_t last = static_cast<std::uint32_t>(limit.clusters + 1);
    const std::string first = pattern(bps / 2 + 3, 1);
    const std::string tail = pattern(bps + 7, 2); // the last two clusters, the last one in part
    {
        SparseFat fat(image, layout);
        ASSERT_FALSE(HasFatalFailure());
        const std::uint32_t firstCluster = limit.fatBits == 32 ? 3 : 2; // FAT32: the root is cluster 2
        fat.putRoot(0, SparseFat::entry("FIRST   BIN", 0x20, firstCluster, static_cast<std::uint32_t>(first.size())));
        fat.putRoot(1, SparseFat::entry("LAST    BIN", 0x20, last - 1, static_cast<std::uint32_t>(tail.size())));
        fat.putFile(firstCluster, first);
        fat.putFile(last - 1, tail);
        ASSERT_FALSE(HasFatalFailure());
    }

    if (!limit.readAs) {
        expectRefused(image, limit.refusal, limit.name);
        return;
    }
    // The FAT type follows the count of clusters (a FAT32 boot sector's aside).
    auto disk = platform::image::openDisk(std::make_shared<FdFile>(image));
    ASSERT_TRUE(disk.ok()) << disk.error().message;
    auto geometry = platform::image::Volume::geometryOf(**disk);
    ASSERT_TRUE(geometry.ok()) << geometry.error().message;
    EXPECT_EQ(geometry->fatBits, limit.readAs);
    EXPECT_EQ(geometry->clusterCount, limit.clusters);
    const std::string before = sparseFileState(image);
    std::string error;
    const std::map<std::string, std::string> seen = readDrive(image, &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(seen, (std::map<std::string, std::string>{{"FIRST.BIN", first}, {"LAST.BIN", tail}}));
    if (limit.mtoolsReads) {
        const std::map<std::string, std::string> extracted = mtoolsFiles(image, dir / "mtools");
        EXPECT_TRUE(seen == extracted) << "not what mtools reads";
    }
    EXPECT_EQ(sparseFileState(image), before);
}

std::vector<LimitCase> limitCases()
{
    std::vector<LimitCase> cases;
    for (const Limit& limit : kLimits)
        for (std::uint32_t size : {128u, 256u, 512u, 1024u, 2048u, 4096u})
            cases.push_back({limit, size});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Fat, ClusterLimit, ::testing::ValuesIn(limitCases()),
    [](const ::testing::TestParamInfo<LimitCase>& info) {
        return std::string(info.param.limit.name) + "_" + std::to_string(info.param.sectorSize);
    });

// ── What formatters write ───────────────────────────────────────────────────

struct Formatter {
    const char* name;
    std::string make; // a command making $IMG
};

// mkfs.fat rounds its FATs up to whole clusters and sizes them from an
// estimate; mformat writes every sector size: each of them opens.
const Formatter kFormatters[] = {
    {"MkfsFat12", "mkfs.fat -C -F 12 $IMG 1440"},
    {"MkfsFat12Clusters16", "mkfs.fat -C -F 12 -s 16 $IMG 8000"},
    {"MkfsFat12Clusters64", "mkfs.fat -C -F 12 -s 64 $IMG 30000"},
    {"MkfsFat12Unaligned", "mkfs.fat -C -F 12 -a -s 64 $IMG 30000"},
    {"MkfsFat12Sectors4096", "mkfs.fat -C -F 12 -S 4096 $IMG 3000"},
    {"MkfsFat16", "mkfs.fat -C -F 16 $IMG 16384"},
    {"MkfsFat16Clusters64", "mkfs.fat -C -F 16 -s 64 $IMG 300000"},
    {"MkfsFat16Clusters128", "mkfs.fat -C -F 16 -s 128 $IMG 900000"},
    {"MkfsFat16Sectors2048", "mkfs.fat -C -F 16 -S 2048 -s 2 $IMG 30000"},
    {"MkfsFat16Sectors1024", "mkfs.fat -C -F 16 -S 1024 -s 16 $IMG 200000"},
    {"MkfsFat32", "mkfs.fat -C -F 32 -s 1 $IMG 40960"},
    {"MkfsFat32Clusters8", "mkfs.fat -C -F 32 -s 8 $IMG 300000"},
    {"MkfsFat32Clusters64", "mkfs.fat -C -F 32 -s 64 $IMG 3000000"},
    {"MkfsFat32Sectors4096", "mkfs.fat -C -F 32 -S 4096 -s 1 $IMG 600000"},
    {"Mformat128", "mformat -i $IMG -C -t 80 -h 2 -s 16 -S 0 ::"},
    {"Mformat256", "mformat -i $IMG -C -t 80 -h 2 -s 16 -S 1 ::"},
    {"Mformat512", "mformat -i $IMG -C -t 80 -h 2 -s 18 ::"},
    {"Mformat1024", "mformat -i $IMG -C -t 77 -h 2 -s 8 -S 3 ::"},
    {"Mformat2048", "mformat -i $IMG -C -t 80 -h 2 -s 16 -S 4 ::"},
    {"Mformat4096", "mformat -i $IMG -C -t 80 -h 2 -s 16 -S 5 ::"},
    {"MformatFat16", "mformat -i $IMG -C -t 200 -h 4 -s 63 ::"},
    {"MformatFat32", "mformat -i $IMG -C -F -t 600 -h 4 -s 63 ::"},
};

class FormatterLayout : public ::testing::TestWithParam<Formatter> {};

TEST_P(FormatterLayout, OpensAndReadsAsMtools)
{
    TempDir dir;
    const std::string image = dir / "made.img";
    std::string make = GetParam().make;
    make.replace(make.find("$IMG"), 4, quote(image));
    const CommandResult made = shell(kMtools + make + " >/dev/null 2>&1 && " + kMtools + "mmd -i " + quote(image)
        + " ::SUB ::SUB/DEEP 2>&1");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    writeFile(dir / "ONE.TXT", "one");
    writeFile(dir / "Two long name.bin", pattern(70000, 3));
    const CommandResult copied = shell(kMtools + "mcopy -i " + quote(image) + " " + quote(dir / "ONE.TXT") + " "
        + quote(dir / "Two long name.bin") + " ::SUB/DEEP 2>&1 && " + kMtools + "mcopy -i " + quote(image) + " "
        + quote(dir / "ONE.TXT") + " :: 2>&1");
    ASSERT_EQ(copied.exitCode, 0) << copied.output;
    expectReadsAsMtools(image, dir / "mtools", GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Fat, FormatterLayout, ::testing::ValuesIn(kFormatters),
    [](const ::testing::TestParamInfo<Formatter>& info) { return std::string(info.param.name); });

TEST(FormatterLayoutAll, EveryFormatOfTheRoundTripsOpens)
{
    for (const ImageFormat& format : imageFormats()) {
        TempDir dir;
        makeImage(format, dir / "disk.raw", "ALL");
        ASSERT_FALSE(HasFatalFailure());
        platform::Result<void> usable = platform::checkDiskImage(dir / "disk.raw");
        EXPECT_TRUE(usable.ok()) << format.name << ": " << (usable ? "" : usable.error().message);
    }
}

// ── Boot sectors whose values do not fit their disk ─────────────────────────

void put16(std::string& bytes, std::size_t at, std::uint32_t value)
{
    bytes[at] = static_cast<char>(value & 0xFF);
    bytes[at + 1] = static_cast<char>(value >> 8);
}

void put32(std::string& bytes, std::size_t at, std::uint32_t value)
{
    put16(bytes, at, value & 0xFFFF);
    put16(bytes, at + 2, value >> 16);
}

// A 1.44 MB floppy of mformat's with the sample files on it.
std::string sampleFloppy(const TempDir& dir)
{
    makeImage(imageFormats()[1], dir / "good.img", "SAMPLES");
    return readFile(dir / "good.img");
}

struct BootDamage {
    const char* name;
    std::function<void(std::string&)> damage;
};

// Plausible values that are wrong for a 1.44 MB floppy: read as they stand,
// files come out as other clusters' bytes or go missing.
const BootDamage kFloppyDamages[] = {
    {"SectorsPerCluster128", [](std::string& b) { b[13] = static_cast<char>(128); }},
    {"SectorsPerCluster2", [](std::string& b) { b[13] = 2; }},
    {"RootEntries114", [](std::string& b) { put16(b, 17, 114); }},
    {"RootEntries18", [](std::string& b) { put16(b, 17, 18); }},
    {"FatSectors3", [](std::string& b) { put16(b, 22, 3); }},
    {"ReservedSectors2", [](std::string& b) { put16(b, 14, 2); }},
    {"MediaByteF8", [](std::string& b) { b[21] = static_cast<char>(0xF8); }},
    {"TotalSectors40", [](std::string& b) { put16(b, 19, 40); }},
};

class FloppyBootSector : public ::testing::TestWithParam<BootDamage> {};

// The disk's size and the media byte that opens its FAT name the 1.44 MB
// format: it is read as one, as mtools reads the undamaged disk.
TEST_P(FloppyBootSector, GivesWayToTheKnownFormat)
{
    TempDir dir;
    std::string bytes = sampleFloppy(dir);
    ASSERT_FALSE(HasFatalFailure());
    GetParam().damage(bytes);
    writeFile(dir / "damaged.img", bytes);
    const std::string before = sparseFileState(dir / "damaged.img");
    std::string error;
    const std::map<std::string, std::string> seen = readDrive(dir / "damaged.img", &error);
    EXPECT_EQ(error, "");
    EXPECT_TRUE(seen == mtoolsFiles(dir / "good.img", dir / "mtools")) << "not what mtools reads of the sound disk";
    EXPECT_TRUE(seen.count("SUB/DATA.BIN"));
    EXPECT_EQ(sparseFileState(dir / "damaged.img"), before);
}

INSTANTIATE_TEST_SUITE_P(Fat, FloppyBootSector, ::testing::ValuesIn(kFloppyDamages),
    [](const ::testing::TestParamInfo<BootDamage>& info) { return std::string(info.param.name); });

struct Refusal {
    const char* name;
    const char* make;                        // the volume, at $IMG
    std::function<void(std::string&)> damage; // of its first 64 KiB
    const char* expected;
};

// Sizes no known format has: the boot sector's failure is the error.
const Refusal kRefusals[] = {
    {"SectorsPerClusterTooLargeForTheFat", "mkfs.fat -C -F 12 -s 1 $IMG 1600",
        [](std::string& b) { b[13] = static_cast<char>(128); },
        "the boot sector's values do not fit the disk: the FAT (FAT12) (10 sectors) is too large for 24 clusters of 128 sectors"},
    {"RootEntriesNotWholeSectors", "mkfs.fat -C -F 12 -s 1 $IMG 1600",
        [](std::string& b) { put16(b, 17, 114); },
        "the root folder (114 entries of 32 bytes) does not fill whole 512-byte sectors"},
    {"FatTooSmall", "mkfs.fat -C -F 16 $IMG 16384",
        [](std::string& b) { put16(b, 22, 16); },
        "(FAT16) (16 sectors) is too small for"},
    {"MediaByteNotTheFats", "mkfs.fat -C -F 16 $IMG 16384",
        [](std::string& b) { b[21] = static_cast<char>(0xF0); },
        "the FAT does not open with the media byte 0xF0 (its first entries are 0xFFF8 and 0xFFFF)"},
    {"ReservedSectorsWrong", "mkfs.fat -C -F 16 $IMG 16384",
        [](std::string& b) { put16(b, 14, 5); },
        "the FAT does not open with the media byte 0xF8"},
    {"FatsPastTheVolume", "mkfs.fat -C -F 16 $IMG 16384",
        [](std::string& b) { put16(b, 19, 60); put32(b, 32, 0); },
        "the reserved sectors, the FATs and the root folder (100 sectors) do not fit in the volume's 60 sectors"},
    {"TooManyClustersForFat16", "mkfs.fat -C -F 16 $IMG 16384",
        [](std::string& b) { put16(b, 19, 0); put32(b, 32, 140000); b[13] = 2; },
        "more than FAT16 can number (65,524), and the boot sector is not a FAT32 one"},
    {"Fat32RootClusterOutside", "mkfs.fat -C -F 32 -s 1 $IMG 40960",
        [](std::string& b) { put32(b, 44, 900000); },
        "the root folder's cluster 900,000 is not one of the volume's (2 to 80,629)"},
    {"Fat32RootEntries", "mkfs.fat -C -F 32 -s 1 $IMG 40960",
        [](std::string& b) { put16(b, 17, 512); },
        "a FAT32 boot sector (no FAT16 size) that gives the root folder 512 entries"},
    {"Fat32FatTooLarge", "mkfs.fat -C -F 32 -s 1 $IMG 40960",
        [](std::string& b) { b[13] = 8; },
        "the FAT (630 sectors) is too large for 10,078 clusters of 8 sectors (they need 79 sectors)"},
};

class BootSectorRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(BootSectorRefusal, NamesTheCheckThatFailed)
{
    TempDir dir;
    const std::string image = dir / "disk.img";
    std::string make = GetParam().make;
    make.replace(make.find("$IMG"), 4, quote(image));
    const CommandResult made = shell(make + " >/dev/null 2>&1 && " + kMtools + "mmd -i " + quote(image) + " ::SUB 2>&1");
    ASSERT_EQ(made.exitCode, 0) << made.output;
    std::string bytes = readFile(image);
    expectReadsAsMtools(image, dir / "sound", "the sound volume");
    GetParam().damage(bytes);
    writeFile(image, bytes);
    expectRefused(image, GetParam().expected, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Fat, BootSectorRefusal, ::testing::ValuesIn(kRefusals),
    [](const ::testing::TestParamInfo<Refusal>& info) { return std::string(info.param.name); });

// What formatters and systems differ in is taken: FAT16 and FAT32 volumes
// marked dirty in the FAT's second entry, ".." of a first-level FAT32 folder
// naming the root's cluster, PC-98 disks of 1024-byte sectors with 0xFE.
TEST(BootSectorTolerance, WhatRealWritersDifferInStillOpens)
{
    TempDir dir;
    const std::string fat16 = dir / "fat16.img";
    ASSERT_EQ(shell("mkfs.fat -C -F 16 " + quote(fat16) + " 16384 >/dev/null && " + kMtools + "mmd -i " + quote(fat16)
        + " ::SUB && " + kMtools + "mcopy -i " + quote(fat16) + " /etc/hostname ::SUB/HOST.TXT").exitCode, 0);
    std::string bytes = readFile(fat16);
    bytes[4 * 512 + 3] = 0x3F; // FAT[1] 0x3FFF: not cleanly unmounted, an error seen
    bytes[(4 + 32) * 512 + 3] = 0x3F;
    writeFile(fat16, bytes);
    expectReadsAsMtools(fat16, dir / "x16", "a dirty FAT16 volume");

    const std::string fat32 = dir / "fat32.img";
    ASSERT_EQ(shell("mkfs.fat -C -F 32 -s 1 " + quote(fat32) + " 40960 >/dev/null && " + kMtools + "mmd -i "
        + quote(fat32) + " ::SUB && " + kMtools + "mcopy -i " + quote(fat32) + " /etc/hostname ::SUB/HOST.TXT").exitCode, 0);
    bytes = readFile(fat32);
    // FAT[1] with its dirty flag; SUB (cluster 3, the first after the root) names the root's cluster 2 in "..".
    const std::size_t fatAt = 32 * 512, dataAt = (32 + 2 * 630) * 512;
    bytes[fatAt + 7] = 0x07;
    ASSERT_EQ(bytes.substr(dataAt + 512, 11), ".          ");
    ASSERT_EQ(bytes.substr(dataAt + 512 + 32, 11), "..         ");
    bytes[dataAt + 512 + 32 + 26] = 2;
    writeFile(fat32, bytes);
    expectReadsAsMtools(fat32, dir / "x32", "a FAT32 volume whose \"..\" names the root's cluster");

    const std::string pc98 = dir / "pc98.img";
    ASSERT_EQ(shell(kMtools + "mformat -i " + quote(pc98) + " -C -t 77 -h 2 -s 8 -S 3 -m 0xfe -r 6 :: && " + kMtools
        + "mcopy -i " + quote(pc98) + " /etc/hostname ::HOST.TXT").exitCode, 0);
    ASSERT_EQ(readFile(pc98).substr(1024, 3), "\xFE\xFF\xFF");
    expectReadsAsMtools(pc98, dir / "x98", "a PC-98 1.23 MB disk");
}

// ── Folders ─────────────────────────────────────────────────────────────────

// A floppy with SUB (cluster 2) holding DEEP (cluster 3), both opening with "." and "..".
Floppy twoFolders()
{
    Floppy f;
    f.putRoot(0, Floppy::entry("SUB        ", kAttrFolder, 2, 0));
    f.setFat(2, 0xFFF);
    f.putInCluster(2, 0, Floppy::entry(".          ", kAttrFolder, 2, 0));
    f.putInCluster(2, 1, Floppy::entry("..         ", kAttrFolder, 0, 0));
    f.putInCluster(2, 2, Floppy::entry("DEEP       ", kAttrFolder, 3, 0));
    f.setFat(3, 0xFFF);
    f.putInCluster(3, 0, Floppy::entry(".          ", kAttrFolder, 3, 0));
    f.putInCluster(3, 1, Floppy::entry("..         ", kAttrFolder, 2, 0));
    f.putInCluster(3, 2, Floppy::entry("X       TXT", 0x20, 4, 5));
    f.setFat(4, 0xFFF);
    f.putData(4, "deep!");
    return f;
}

struct FolderDamage {
    const char* name;
    std::function<void(Floppy&)> damage;
    const char* expected;
};

const FolderDamage kFolderDamages[] = {
    {"NoDotEntries", [](Floppy& f) { f.putInCluster(3, 0, std::string(32, '\xE5')); },
        "SUB\\DEEP: the folder does not open with its \".\" and \"..\" entries"},
    {"DotNamesAnotherFolder", [](Floppy& f) { f.putInCluster(3, 0, Floppy::entry(".          ", kAttrFolder, 2, 0)); },
        "SUB\\DEEP: its \".\" entry names cluster 2, not the folder's own cluster 3"},
    {"DotDotNamesTheRoot", [](Floppy& f) { f.putInCluster(3, 1, Floppy::entry("..         ", kAttrFolder, 0, 0)); },
        "SUB\\DEEP: its \"..\" entry names cluster 0, not its parent folder's cluster 2"},
    {"DotDotOfAFirstLevelFolder", [](Floppy& f) { f.putInCluster(2, 1, Floppy::entry("..         ", kAttrFolder, 3, 0)); },
        "SUB: its \"..\" entry names cluster 3, not its parent folder's (0, the root folder)"},
    {"SameShortNameTwice", [](Floppy& f) {
         f.putInCluster(3, 3, Floppy::entry("X       TXT", 0x20, 5, 5));
         f.setFat(5, 0xFFF);
     }, "SUB\\DEEP: two of its entries have the name \"X.TXT\""},
    {"LongNameOfAnotherCase", [](Floppy& f) {
         int slot = 3;
         for (const std::string& e : Floppy::longNameEntries(u"x.txt", "X~1     TXT"))
             f.putInCluster(3, slot++, e);
         f.putInCluster(3, slot, Floppy::entry("X~1     TXT", 0x20, 0, 0));
     }, "SUB\\DEEP: two of its entries have the name \"X.TXT\" (\"x.txt\")"},
    {"SameNameInTheRoot", [](Floppy& f) { f.putRoot(1, Floppy::entry("SUB        ", 0x20, 0, 0)); },
        "the root folder: two of its entries have the name \"SUB\""},
    {"CrossLinkedFiles", [](Floppy& f) {
         f.putRoot(1, Floppy::entry("OTHER   BIN", 0x20, 5, 700));
         f.setFat(5, 4); // OTHER.BIN runs on into X.TXT's cluster
     }, "SUB\\DEEP\\X.TXT: its cluster chain starts in another chain, that of OTHER.BIN, at cluster 4"},
    {"CrossLinkedIntoAFolder", [](Floppy& f) {
         f.putRoot(1, Floppy::entry("ZZZ     BIN", 0x20, 6, 1000));
         f.setFat(6, 3);
     }, "ZZZ.BIN: its cluster chain runs into another chain, that of SUB\\DEEP, at cluster 3"},
    {"ChainLoopsOnItself", [](Floppy& f) {
         f.putRoot(1, Floppy::entry("LOOP    BIN", 0x20, 6, 5000));
         f.setFat(6, 7);
         f.setFat(7, 6);
     }, "LOOP.BIN: its cluster chain loops at cluster 6"},
};

class DamagedFolder : public ::testing::TestWithParam<FolderDamage> {};

TEST_P(DamagedFolder, IsRefusedNamingTheFolderAndTheName)
{
    TempDir dir;
    Floppy sound = twoFolders();
    writeFile(dir / "sound.img", sound.bytes());
    expectReadsAsMtools(dir / "sound.img", dir / "mtools", "the sound floppy");
    Floppy f = twoFolders();
    GetParam().damage(f);
    writeFile(dir / "disk.img", f.bytes());
    expectRefused(dir / "disk.img", GetParam().expected, GetParam().name);
}

INSTANTIATE_TEST_SUITE_P(Fat, DamagedFolder, ::testing::ValuesIn(kFolderDamages),
    [](const ::testing::TestParamInfo<FolderDamage>& info) { return std::string(info.param.name); });

// mdir lists both entries of one name: there is nothing else of the volume
// to tell which one is meant, so none is taken.
TEST(DamagedFolderOracle, MtoolsListsBothEntriesOfOneName)
{
    TempDir dir;
    Floppy f = twoFolders();
    f.putInCluster(3, 3, Floppy::entry("X       TXT", 0x20, 5, 5));
    f.setFat(5, 0xFFF);
    f.putData(5, "other");
    writeFile(dir / "disk.img", f.bytes());
    const CommandResult listed = shell(kMtools + "mdir -i " + quote(dir / "disk.img") + " ::SUB/DEEP 2>&1");
    std::size_t count = 0;
    for (std::size_t at = listed.output.find("\nX        TXT"); at != std::string::npos;
         at = listed.output.find("\nX        TXT", at + 1))
        ++count;
    EXPECT_EQ(count, 2u) << listed.output;
    expectRefused(dir / "disk.img", "two of its entries have the name \"X.TXT\"", "a name twice");
}

} // namespace
