// Disk images as drives: the open images, and where a native path below an
// image's file lies inside it. The same on every system; what it asks of the
// system is in image_drive_os.h.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "disk_image.h"
#include "platform.h"

namespace platform::images {

// imageVolume: the FAT volume of the image file `native`, kept open while
// the file stays as it is (same file, size and modification time).
Result<std::shared_ptr<const image::Volume>> imageVolume(const std::string& native);

// A native path below a mapped image: "/disks/GAME01.HDM/SUB/A.TXT" is the
// image "/disks/GAME01.HDM" and the parts {"SUB", "A.TXT"}.
struct ImageLocation {
    std::string image;
    std::vector<std::string> parts;
};

// locateInImage: where `native` lies in one of the images `roots` (the
// drives' image roots); nullopt when it lies in none. The one-argument form
// takes the images mapped now.
std::optional<ImageLocation> locateInImage(const std::vector<std::string>& roots, std::string_view native);
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

// imageRoot: the drive root that an image address given by the user stands
// for ("HDD.HDI#2" -> "HDD.HDI/#2"); the address itself for a whole image.
std::string imageRoot(const std::string& native);

// imageFileOf: the image file of a drive root ("HDD.HDI/#2" -> "HDD.HDI").
std::string imageFileOf(const std::string& native);

// hasImageExtension: the file name carries one of imageExtensions().
bool hasImageExtension(const std::string& name);

// The variable attachImage records its image in ("m=<native root>"), where
// every copy of this layer in the process sees it.
constexpr const char* kAttachedVariable = "SORVANE2_ATTACHED_IMAGE";

// attachedLetter: the letter of the attached image, 0 when none.
char attachedLetter();

} // namespace platform::images
