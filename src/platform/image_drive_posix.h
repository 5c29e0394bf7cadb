// Disk images in the drive map of POSIX systems.
#pragma once

#include <vector>

#include "drivemap_posix.h"
#include "image_drive.h"

namespace platform::posix {

using images::ImageLocation;
using images::imageEntry;
using images::imageNative;
using images::imageVolume;
using images::locateInImage;
using images::walkImage;

// markImages: note the entries of `map` whose root is a regular file (an image).
void markImages(std::vector<MappedDrive>& map);

// applyAttachedImage: put the image attachImage recorded into `map`.
void applyAttachedImage(std::vector<MappedDrive>& map);

} // namespace platform::posix
