// A build without libdsk: the containers still recognise their images and
// check them, and then say why this build cannot read them.
#include "image_libdsk.h"

#include <cerrno>

namespace platform::image::libdsk {

Result<std::shared_ptr<const Disk>> read(const std::string&, const char*, const std::string& format,
                                         const std::vector<TrackIds>&, const std::string&)
{
    return Error{ENOTSUP, "a " + format + " image: this build of the program cannot read " + format
                              + " images (it was made without libdsk)"};
}

} // namespace platform::image::libdsk
