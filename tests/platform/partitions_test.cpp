// Hard disk images: every FAT partition behind a PC-98 or an MBR table, in
// each container, reads as mtools reads the same bytes; damaged containers
// and tables fail naming the image and the cause, and nothing is written.
#include <functional>

#include <gtest/gtest.h>

#include "disk_image.h"
#include "image_drive_posix.h"
#include "platform/platform.h"
#include "support/archive_support.h"
#include "support/disk_images.h"
#include "support/hdd_writers.h"
#include "support/testsupport.h"

namespace {

using namespace testsupport;
namespace image = platform::image;

// What the reader gives for the volume at `address`: files and folders by
// path, as readTree gives what mtools extracted.
std::map<std::string, TreeFile> readerTree(const std::string& address)
{
    std::map<std::string, TreeFile> tree;
    auto volume = platform::posix::imageVolume(address);
    EXPECT_TRUE(volume.ok()) << address << ": " << (volume ? "" : volume.error().message);
    if (!volume)
        return tree;
    std::shared_ptr<const image::Volume> v = *volume;
    image::Entry root;
    root.attributes = image::kAttrFolder;
    auto walked = image::walk(*v, root, true, [&](const image::WalkItem& item) {
        std::string path;
        for (const std::string& part : item.relative)
            path += (path.empty() ? "" : "/") + part;
        TreeFile file;
        file.folder = item.entry.isFolder();
        if (!file.folder) {
            file.mtime = item.entry.mtime;
            image::FileReader reader(v, item.entry);
            char buffer[4096];
            long got;
            while ((got = reader.read(buffer, sizeof buffer)) > 0)
                file.content.append(buffer, static_cast<std::size_t>(got));
            EXPECT_EQ(got, 0) << path;
        }
        tree[path] = file;
        return true;
    });
    EXPECT_TRUE(walked.ok()) << (walked ? "" : walked.error().message);
    return tree;
}

void expectSameAsMtools(const std::string& address, const std::string& imagePath, std::uint64_t offset,
                        const std::string& folder)
{
    extractAt(imagePath, offset, folder);
    std::map<std::string, TreeFile> expected = readTree(folder);
    for (auto& [path, file] : expected)
        if (file.folder)
            file.mtime = 0;
    const std::map<std::string, TreeFile> got = readerTree(address);
    ASSERT_EQ(got.size(), expected.size()) << address;
    ASSERT_GT(got.size(), 5u);
    for (const auto& [path, file] : expected) {
        ASSERT_TRUE(got.count(path)) << address << ": " << path;
        EXPECT_EQ(got.at(path).folder, file.folder) << path;
        EXPECT_EQ(got.at(path).content, file.content) << address << ": " << path;
        EXPECT_EQ(got.at(path).mtime, file.mtime) << address << ": " << path;
    }
}

struct DiskCase {
    std::string name;
    std::string container; // "HDI", "NHD", "THD", "HDD", "SLH", "raw"
    bool pc98;
    HddGeometry geometry;
    std::uint32_t logicalSector; // the volumes' own sector size
};

class HardDiskImage : public ::testing::TestWithParam<DiskCase> {};

// Two FAT16 volumes (PC-98), or a FAT16 primary, a Linux primary and two
// logical volumes, FAT12 and FAT16 (MBR): each FAT partition by its number,
// the image alone as the first.
TEST_P(HardDiskImage, EveryFatPartitionReadsAsMtoolsReadsIt)
{
    const DiskCase& c = GetParam();
    TempDir dir;
    std::vector<VolumeFile> volumes;
    makeVolume(dir / "a.vol", 8192, 16, c.logicalSector, "DOSA");
    ASSERT_FALSE(HasFatalFailure());
    if (c.pc98) {
        makeVolume(dir / "b.vol", 12288, 16, c.logicalSector, "DOSB");
        ASSERT_FALSE(HasFatalFailure());
        volumes = {{dir / "a.vol", 0x21, "MS-DOS 6.20"}, {dir / "b.vol", 0x21, "MS-DOS 6.20"}};
    } else {
        makeVolume(dir / "b.vol", 2048, 12, c.logicalSector, "DOSB");
        makeVolume(dir / "c.vol", 12288, 16, c.logicalSector, "DOSC");
        writeFile(dir / "linux.vol", std::string(4096, 'L'));
        ASSERT_FALSE(HasFatalFailure());
        volumes = {{dir / "a.vol", 0x06, ""}, {dir / "linux.vol", 0x83, ""}, {dir / "b.vol", 0x01, "", true},
            {dir / "c.vol", 0x06, "", true}};
    }
    const std::string path = dir / ("DISK." + (c.container == "raw" ? std::string("IMG") : c.container));
    const HddImage disk = c.pc98 ? writePc98Disk(path, c.container, c.geometry, volumes)
                                 : writeMbrDisk(path, c.container, c.geometry, volumes);
    ASSERT_FALSE(HasFatalFailure());
    const std::string before = fileState(path);

    std::vector<std::size_t> fat; // the FAT volumes' places, in table order
    for (std::size_t v = 0; v < volumes.size(); ++v)
        if (volumes[v].type != 0x83)
            fat.push_back(v);
    auto count = platform::imagePartitionCount(path);
    ASSERT_TRUE(count.ok()) << count.error().message;
    EXPECT_EQ(*count, fat.size());
    for (std::size_t n = 0; n < fat.size(); ++n) {
        const std::string address = path + "#" + std::to_string(n + 1);
        expectSameAsMtools(address, path, disk.headerSize + disk.offsets[fat[n]], dir / ("mtools" + std::to_string(n)));
        auto volume = platform::posix::imageVolume(address);
        ASSERT_TRUE(volume.ok());
        EXPECT_EQ((*volume)->label(), std::string("DOS") + static_cast<char>('A' + fat[n] - (fat[n] > 1 ? 1 : 0)));
        EXPECT_EQ((*volume)->format(), c.container);
    }
    // The image alone is its first FAT partition.
    auto first = platform::posix::imageVolume(path);
    ASSERT_TRUE(first.ok()) << first.error().message;
    EXPECT_EQ((*first)->label(), "DOSA");
    EXPECT_EQ((*first)->geometry().volumeOffset, disk.offsets[0]);
    // Past the last one, and #0.
    auto past = platform::checkDiskImage(path + "#" + std::to_string(fat.size() + 1));
    ASSERT_FALSE(past.ok());
    EXPECT_NE(past.error().message.find(path + "#" + std::to_string(fat.size() + 1) + ": "), std::string::npos)
        << past.error().message;
    EXPECT_NE(past.error().message.find("there is no partition #"), std::string::npos) << past.error().message;
    EXPECT_FALSE(platform::checkDiskImage(path + "#0").ok());
    EXPECT_EQ(fileState(path), before) << "the image changed";
}

INSTANTIATE_TEST_SUITE_P(Containers, HardDiskImage,
    ::testing::Values(DiskCase{"HdiPc98", "HDI", true, {0, 8, 17, 512}, 512},
        DiskCase{"NhdPc98LogicalSectors1024", "NHD", true, {0, 8, 33, 512}, 1024},
        DiskCase{"ThdPc98Sectors256", "THD", true, {0, 8, 33, 256}, 1024},
        DiskCase{"Virtual98Pc98Sectors256", "HDD", true, {0, 8, 32, 256}, 512},
        DiskCase{"SlhPc98", "SLH", true, {0, 8, 17, 512}, 512},
        DiskCase{"RawMbrExtended", "raw", false, {0, 16, 63, 512}, 512},
        DiskCase{"RawPc98", "raw", true, {0, 8, 17, 512}, 512},
        DiskCase{"RawPc98Sasi", "raw", true, {0, 8, 33, 256}, 1024},
        DiskCase{"RawPc98Scsi", "raw", true, {0, 8, 32, 512}, 512},
        DiskCase{"HdiMbrExtended", "HDI", false, {0, 16, 63, 512}, 512}),
    [](const ::testing::TestParamInfo<DiskCase>& info) { return info.param.name; });

// A damaged image: checking it fails with a message naming the image and
// `cause`, and the file stays as it was.
void expectRefused(const std::string& address, const std::string& file, const std::string& cause)
{
    const std::string before = fileState(file);
    auto checked = platform::checkDiskImage(address);
    ASSERT_FALSE(checked.ok()) << address << " was taken";
    EXPECT_EQ(checked.error().message.rfind(address + ": ", 0), 0u) << checked.error().message;
    EXPECT_NE(checked.error().message.find(cause), std::string::npos) << checked.error().message;
    EXPECT_FALSE(platform::isDiskImage(address));
    EXPECT_EQ(fileState(file), before);
}

class HardDiskDamage : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeVolume(dir / "a.vol", 8192, 16, 512, "DOSA");
        makeVolume(dir / "b.vol", 8192, 16, 512, "DOSB");
        ASSERT_FALSE(HasFatalFailure());
    }
    HddImage pc98(const std::string& name, const std::string& container, HddGeometry g = {0, 8, 17, 512})
    {
        return writePc98Disk(dir / name, container, g, {{dir / "a.vol", 0x21, "A"}, {dir / "b.vol", 0x21, "B"}});
    }
    TempDir dir;
};

TEST_F(HardDiskDamage, ContainerHeadersThatDisagreeWithTheFile)
{
    // HDI: a header size past the end of the file; a geometry other than the disk size it gives.
    HddImage hdi = pc98("SIZE.HDI", "HDI");
    pokeFile(hdi.path, 8, le32(0x7FFFF000));
    expectRefused(hdi.path, hdi.path, "header size (2147479552 bytes) runs past the end of the file");
    hdi = pc98("GEOMETRY.HDI", "HDI");
    pokeFile(hdi.path, 28, le32(hdi.geometry.cylinders + 1));
    expectRefused(hdi.path, hdi.path, "disagrees with the disk size its header gives");
    // NHD: a header size past the end; a geometry larger than the file.
    HddImage nhd = pc98("SIZE.NHD", "NHD");
    pokeFile(nhd.path, 0x110, le32(0x10000000));
    expectRefused(nhd.path, nhd.path, "runs past the end of the file");
    nhd = pc98("GEOMETRY.NHD", "NHD");
    pokeFile(nhd.path, 0x114, le32(nhd.geometry.cylinders + 3));
    expectRefused(nhd.path, nhd.path, "needs more than the");
    // THD: a cylinder count other than the file's.
    HddImage thd = pc98("CYL.THD", "THD", {0, 8, 33, 256});
    pokeFile(thd.path, 0, le16(thd.geometry.cylinders + 1));
    expectRefused(thd.path, thd.path, "cylinders, the file holds");
    // Virtual98: a sector count other than the geometry's; a file cut short.
    HddImage hdd = pc98("TOTAL.HDD", "HDD", {0, 8, 32, 512});
    pokeFile(hdd.path, 0x94, le32(12345));
    expectRefused(hdd.path, hdd.path, "disagrees with the sector count");
    hdd = pc98("SHORT.HDD", "HDD", {0, 8, 32, 512});
    ASSERT_EQ(::truncate(hdd.path.c_str(), static_cast<off_t>(hdd.headerSize + hdd.geometry.bytes() - 512)), 0);
    expectRefused(hdd.path, hdd.path, "needs more than the");
    // SLH: a disk size other than the geometry's; a file cut inside its header, or short of its disk.
    HddImage slh = pc98("SIZE.SLH", "SLH");
    pokeFile(slh.path, 4, le32(0) + le32(1));
    expectRefused(slh.path, slh.path, "disagrees with the disk size its header gives (4294967296 bytes)");
    slh = pc98("HEADER.SLH", "SLH");
    ASSERT_EQ(::truncate(slh.path.c_str(), 300), 0);
    expectRefused(slh.path, slh.path, "a damaged SLH image: the file ends inside its 512-byte header");
    slh = pc98("SHORT.SLH", "SLH");
    ASSERT_EQ(::truncate(slh.path.c_str(), static_cast<off_t>(slh.headerSize + slh.geometry.bytes() - 4096)), 0);
    expectRefused(slh.path, slh.path, "needs more than the");
}

TEST_F(HardDiskDamage, Pc98TablesThatDoNotFitTheDisk)
{
    // The second partition's end past the last cylinder.
    HddImage past = pc98("PAST.HDI", "HDI");
    pokeFile(past.path, past.headerSize + past.tableAt + 32 + 14, le16(past.geometry.cylinders + 5));
    expectRefused(past.path, past.path, "PC-98 partition 2 runs past the end of the disk");
    expectRefused(past.path + "#1", past.path, "PC-98 partition 2 runs past the end of the disk");
    // The second partition starting inside the first.
    HddImage overlap = pc98("OVERLAP.NHD", "NHD");
    pokeFile(overlap.path, overlap.headerSize + overlap.tableAt + 32 + 10, le16(5));
    expectRefused(overlap.path, overlap.path, "PC-98 partition 1 and PC-98 partition 2 overlap");
    // A head the geometry does not have.
    HddImage head = pc98("HEAD.HDI", "HDI");
    pokeFile(head.path, head.headerSize + head.tableAt + 9, std::string(1, 9));
    expectRefused(head.path, head.path, "PC-98 partition 1: its start (cylinder 1 head 9 sector 0) lies outside");
    // A volume larger than its partition.
    HddImage small = pc98("SMALL.HDI", "HDI");
    pokeFile(small.path, small.headerSize + small.tableAt + 14, le16(2));
    expectRefused(small.path, small.path, "PC-98 partition 1: its FAT volume (8388608 bytes) is larger than the partition");
}

// A raw PC-98 disk gives no geometry: it is found by where the volumes'
// boot sectors are, and a table that fits none is refused, naming what was tried.
TEST_F(HardDiskDamage, RawPc98DisksAreReadInTheGeometryTheirVolumesShow)
{
    // Ends that disagree (the second one on the spare cylinder's first sector) say nothing of the
    // geometry: the usual IDE one is found.
    HddImage usual = pc98("USUAL.IMG", "raw");
    const std::uint64_t cylinder = usual.geometry.cylinderBytes();
    pokeFile(usual.path, usual.tableAt + 32 + 12,
        std::string(2, '\0') + le16(static_cast<std::uint32_t>((usual.offsets[1] + usual.lengths[1]) / cylinder)));
    const std::string before = fileState(usual.path);
    auto second = platform::posix::imageVolume(usual.path + "#2");
    ASSERT_TRUE(second.ok()) << second.error().message;
    EXPECT_EQ((*second)->label(), "DOSB");
    EXPECT_EQ((*second)->geometry().volumeOffset, usual.offsets[1]);
    expectSameAsMtools(usual.path + "#2", usual.path, usual.offsets[1], dir / "usual");
    EXPECT_EQ(fileState(usual.path), before);
    // The second partition moved a cylinder into its volume: no geometry opens it with a boot sector.
    HddImage lost = pc98("LOST.IMG", "raw");
    pokeFile(lost.path, lost.tableAt + 32 + 10, le16(static_cast<std::uint32_t>(lost.offsets[1] / cylinder + 1)));
    expectRefused(lost.path, lost.path, "a PC-98 hard disk without a container header, whose geometry is not known: "
        "under none of the geometries tried (8 heads × 17 sectors of 512 bytes, 8 heads × 17 sectors of 256 bytes, ");
    // An empty PC-98 table: no partition, and no FAT volume.
    HddImage empty = pc98("EMPTY.IMG", "raw");
    pokeFile(empty.path, empty.tableAt, std::string(512, '\0'));
    expectRefused(empty.path, empty.path, "not a FAT");
}

TEST_F(HardDiskDamage, MbrChainsThatLoopOrLeaveTheDisk)
{
    std::vector<VolumeFile> volumes{{dir / "a.vol", 0x06, ""}, {dir / "b.vol", 0x06, "", true},
        {dir / "a.vol", 0x06, "", true}};
    // The second extended record links back to the first.
    HddImage loop = writeMbrDisk(dir / "LOOP.IMG", "raw", {0, 16, 63, 512}, volumes);
    ASSERT_EQ(loop.records.size(), 2u);
    pokeFile(loop.path, loop.records[1] + 462, std::string(4, '\0') + std::string(1, 0x05) + std::string(3, '\0')
        + le32(0) + le32(2048));
    expectRefused(loop.path, loop.path, "loops (the record at byte " + std::to_string(loop.records[0]));
    // A primary partition past the end of the disk.
    HddImage past = writeMbrDisk(dir / "PAST.IMG", "raw", {0, 16, 63, 512}, volumes);
    pokeFile(past.path, 446 + 12, le32(0x00FFFFFF));
    expectRefused(past.path, past.path, "MBR partition 1 runs past the end of the disk");
    // A logical partition reaching out of its extended partition.
    HddImage out = writeMbrDisk(dir / "OUT.HDI", "HDI", {0, 16, 63, 512}, volumes);
    pokeFile(out.path, out.headerSize + out.records[1] + 446 + 12, le32(0x00FFFFFF));
    expectRefused(out.path, out.path, "MBR partition 6 (logical)");
    // Two primaries over the same sectors.
    HddImage twice = writeMbrDisk(dir / "TWICE.IMG", "raw", {0, 16, 63, 512}, volumes);
    pokeFile(twice.path, 446 + 16, std::string(4, '\0') + std::string(1, 0x06) + std::string(3, '\0') + le32(2048 + 8)
        + le32(2048));
    expectRefused(twice.path, twice.path, "overlap");
}

} // namespace
