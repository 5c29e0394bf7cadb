// The drive map: SORVANE2_DRIVES, mounted volumes, longest-prefix mapping, entry texts.
#include "drivemap_posix.h"

#include <gtest/gtest.h>

#include "platform.h"
#include "support/testsupport.h"

namespace {

using platform::DriveKind;
using platform::posix::MappedDrive;

const MappedDrive* byLetter(const std::vector<MappedDrive>& map, char letter)
{
    for (const auto& mapped : map)
        if (mapped.drive.letter == letter)
            return &mapped;
    return nullptr;
}

TEST(DriveOverride, FoldersLabelsAndKinds)
{
    auto map = platform::posix::parseDriveOverride(
        "a=/srv/floppy|DISK01; c=/home/me/arc/ ;n=/mnt/share|\\\\server\\share;D=/data|");
    ASSERT_TRUE(map.ok()) << map.error().message;
    ASSERT_EQ(map->size(), 5u); // z: is added
    const MappedDrive* a = byLetter(*map, 'a');
    ASSERT_TRUE(a);
    EXPECT_EQ(a->root, "/srv/floppy");
    EXPECT_EQ(a->drive.kind, DriveKind::Removable);
    EXPECT_EQ(a->drive.label, "DISK01");
    EXPECT_EQ(byLetter(*map, 'c')->root, "/home/me/arc");
    EXPECT_EQ(byLetter(*map, 'c')->drive.kind, DriveKind::Fixed);
    EXPECT_EQ(byLetter(*map, 'n')->drive.kind, DriveKind::Network);
    EXPECT_EQ(byLetter(*map, 'n')->drive.remotePath, "\\\\server\\share");
    EXPECT_TRUE(byLetter(*map, 'd')->labelGiven);
    EXPECT_EQ(byLetter(*map, 'z')->root, "/");
    EXPECT_EQ(map->front().drive.letter, 'a'); // letter order
}

TEST(DriveOverride, ZCanBeRemapped)
{
    auto map = platform::posix::parseDriveOverride("z=/srv");
    ASSERT_TRUE(map.ok());
    ASSERT_EQ(map->size(), 1u);
    EXPECT_EQ(map->front().root, "/srv");
}

class DriveOverrideErrors : public ::testing::TestWithParam<const char*> {};

TEST_P(DriveOverrideErrors, AreRefusedWithAReason)
{
    auto map = platform::posix::parseDriveOverride(GetParam());
    ASSERT_FALSE(map.ok()) << GetParam();
    EXPECT_FALSE(map.error().message.empty());
}

INSTANTIATE_TEST_SUITE_P(Rows, DriveOverrideErrors, ::testing::Values(
    "a", "a=relative/folder", "ab=/x", "1=/x", "=/x", "a=/x;a=/y", "a=|LABEL", "a=/x;b"));

TEST(DriveOverride, MalformedValueFallsBackToTheAutomaticMap)
{
    testsupport::ScopedEnv env("SORVANE2_DRIVES", "a=no-slash");
    const auto map = platform::posix::loadDriveMap();
    EXPECT_NE(map.problem.find("SORVANE2_DRIVES"), std::string::npos);
    EXPECT_TRUE(byLetter(map.drives, 'z'));
    EXPECT_TRUE(byLetter(map.drives, 'c'));
    EXPECT_EQ(platform::driveMapProblem(), map.problem);
}

constexpr const char* kMountinfo =
    "22 1 8:1 / / rw,relatime shared:1 - ext4 /dev/sda1 rw\n"
    "30 22 0:5 / /proc rw - proc proc rw\n"
    "41 22 8:17 / /media/me/USB\\040STICK rw,nosuid shared:9 - vfat /dev/sdb1 rw\n"
    "42 22 2:0 / /media/floppy rw - vfat /dev/fd0 rw\n"
    "43 22 0:50 / /mnt/nas rw - cifs //nas.local/photos rw\n"
    "44 22 0:51 / /mnt/export rw - nfs4 fileserver:/srv/export rw\n"
    "45 22 0:52 / /mnt rw - tmpfs tmpfs rw\n"
    "46 22 0:53 / /run/media/me/SD rw - exfat /dev/mmcblk0p1 rw\n"
    "garbage line\n";

TEST(AutomaticDriveMap, VolumesTakeFreeLettersInMountPointOrder)
{
    const auto map = platform::posix::automaticDriveMap(kMountinfo, "/home/me");
    EXPECT_EQ(byLetter(map, 'z')->root, "/");
    EXPECT_EQ(byLetter(map, 'c')->root, "/home/me");
    // Sorted mount points: /media/floppy, /media/me/USB STICK, /mnt/export, /mnt/nas, /run/media/me/SD.
    EXPECT_EQ(byLetter(map, 'a')->root, "/media/floppy");
    EXPECT_EQ(byLetter(map, 'a')->device, "/dev/fd0");
    EXPECT_EQ(byLetter(map, 'b')->root, "/media/me/USB STICK");
    EXPECT_EQ(byLetter(map, 'd')->drive.remotePath, "\\\\fileserver\\srv\\export");
    EXPECT_EQ(byLetter(map, 'e')->drive.kind, DriveKind::Network);
    EXPECT_EQ(byLetter(map, 'e')->drive.remotePath, "\\\\nas.local\\photos");
    EXPECT_EQ(byLetter(map, 'f')->root, "/run/media/me/SD");
    EXPECT_EQ(byLetter(map, 'f')->drive.kind, DriveKind::Removable);
    EXPECT_EQ(map.size(), 7u); // /proc, / and /mnt itself are not volumes
}

TEST(AutomaticDriveMap, NoMountsGivesRootAndHome)
{
    const auto map = platform::posix::automaticDriveMap("", "/root");
    ASSERT_EQ(map.size(), 2u);
    EXPECT_EQ(map[0].drive.letter, 'c');
    EXPECT_EQ(map[1].drive.letter, 'z');
}

TEST(DriveMapLookup, LongestPrefixOnElementBoundaries)
{
    auto map = platform::posix::parseDriveOverride("a=/srv/fd;c=/srv;d=/srv/fd2");
    ASSERT_TRUE(map.ok());
    std::string rest;
    EXPECT_EQ(platform::posix::findMapped(*map, "/srv/fd/x/y", &rest)->drive.letter, 'a');
    EXPECT_EQ(rest, "x/y");
    EXPECT_EQ(platform::posix::findMapped(*map, "/srv/fdx", &rest)->drive.letter, 'c');
    EXPECT_EQ(rest, "fdx");
    EXPECT_EQ(platform::posix::findMapped(*map, "/srv/fd2", &rest)->drive.letter, 'd');
    EXPECT_EQ(rest, "");
    EXPECT_EQ(platform::posix::findMapped(*map, "/etc", &rest)->drive.letter, 'z');
    EXPECT_EQ(rest, "etc");
}

TEST(DriveEntryText, LetterLabelAndNetworkForms)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv env("SORVANE2_DRIVES",
        "a=" + dir.path() + "|FLOPPY;c=" + dir.path() + "|SYSTEM;d=" + dir.path()
            + ";n=" + dir.path() + "|\\\\server\\share");
    std::vector<std::string> texts;
    for (const auto& drive : platform::drives())
        texts.push_back(platform::driveEntryText(drive));
    EXPECT_EQ(texts, (std::vector<std::string>{"a:", "c: [SYSTEM]", "d:", "n: [\\\\server\\share]", "z:"}));
    // The floppy's label is not in its entry text, but the volume-label query knows it.
    auto label = platform::volumeLabel('A');
    ASSERT_TRUE(label.ok());
    EXPECT_EQ(*label, "FLOPPY");
}

TEST(DriveReadiness, AMissingFolderIsADriveWithoutMedium)
{
    testsupport::TempDir dir;
    testsupport::ScopedEnv env("SORVANE2_DRIVES", "a=" + dir.path() + "/absent|GONE;c=" + dir.path());
    EXPECT_FALSE(platform::isDriveReady('a'));
    EXPECT_TRUE(platform::isDriveReady('c'));
    EXPECT_FALSE(platform::isDriveReady('q'));
    EXPECT_FALSE(platform::volumeLabel('a').ok());
    EXPECT_FALSE(platform::volumeLabel('q').ok());
    EXPECT_TRUE(platform::findDrive('a').has_value()); // listed all the same
    EXPECT_FALSE(platform::findDrive('q').has_value());
}

} // namespace
