// The drive map of POSIX systems: which folder each drive letter stands for.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"

namespace platform::posix {

struct MappedDrive {
    Drive drive;
    std::string root;    // native folder, normalised, "/" for z:
    std::string device;  // mount source, for the label look-up; empty if unknown
    bool labelGiven = false; // the label came from SORVANE2_DRIVES
};

struct DriveMap {
    std::vector<MappedDrive> drives; // in letter order
    std::string problem;             // why SORVANE2_DRIVES was ignored
};

// parseDriveOverride: the map described by a SORVANE2_DRIVES value, such as
// "a=/srv/floppy|DISK01;c=/home/me/arc". Entries are "letter=folder" with an
// optional "|label"; letters a and b are floppy drives (the list shows the
// letter alone), a label that starts with "\\" makes a network drive, the
// others are fixed drives. z: is "/" unless the value maps z itself.
// Fails on a malformed entry, a relative folder or a letter given twice.
Result<std::vector<MappedDrive>> parseDriveOverride(std::string_view text);

// automaticDriveMap: z: "/", c: `home`, and every volume mounted below /media,
// /run/media or /mnt (from the text of /proc/self/mountinfo) on the free
// letters a, b, d, e, ... in the order of their mount points.
std::vector<MappedDrive> automaticDriveMap(std::string_view mountinfo, const std::string& home);

// loadDriveMap: the map in force now (SORVANE2_DRIVES, else automatic).
DriveMap loadDriveMap();

// normalizeNative: "/a//b/" -> "/a/b"; "/" stays "/".
std::string normalizeNative(std::string_view path);

// findMapped: the drive whose root is the longest prefix of the absolute
// native path `path` (on an element boundary); `rest` receives what follows
// the root, without a leading "/". Null when no root matches.
const MappedDrive* findMapped(const std::vector<MappedDrive>& map, std::string_view path,
                              std::string* rest);

// volumeLabelOf: the label udev recorded for a block device (/dev/disk/by-label),
// empty when there is none.
std::string volumeLabelOf(const std::string& device);

} // namespace platform::posix
