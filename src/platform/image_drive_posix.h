// Disk images as drives on POSIX systems: the open images, and where a native
// path below an image's file lies inside it.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk_image.h"
#include "drivemap_posix.h"

namespace platform::posix {

// imageVolume: the FAT volume of the image file `native`, kept open while
// the file stays as it is (same inode, size and modification time).
Result<std::shared_ptr<const image::Volume>> imageVolume(const std::string& native);

// A native path below a mapped image: "/disks/GAME01.HDM/SUB/A.TXT" is the
// image "/disks/GAME01.HDM" and the parts {"SUB", "A.TXT"}.
struct ImageLocation {
    std::string image;
    std::vector<std::string> parts;
};

// locateInImage: where `native` lies in one of the map's images; nullopt
// when it lies in none.
std::optional<ImageLocation> locateInImage(const DriveMap& map, std::string_view native);
std::optional<ImageLocation> locateInImage(std::string_view native);

// imageNative: the native path of `parts` inside `image`, each existing
// element in its on-disk spelling (matched without regard to case), the
// others as given.
std::string imageNative(const std::string& image, const std::vector<std::string>& parts);

// imageEntry: the entry that a location names; nullopt when it does not exist.
Result<std::optional<image::Entry>> imageEntry(const ImageLocation& where);

// walkImage: walkFolder for a folder inside an image.
Result<void> walkImage(const ImageLocation& where, const WalkOptions& options,
                       const std::function<bool(const WalkEntry&)>& visit);

// markImages: note the entries of `map` whose root is a regular file (an image).
void markImages(std::vector<MappedDrive>& map);

// applyAttachedImage: put the image attachImage recorded into `map`.
void applyAttachedImage(std::vector<MappedDrive>& map);

} // namespace platform::posix
