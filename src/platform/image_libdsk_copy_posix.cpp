// libdsk's copy of an image on POSIX systems: an anonymous memory file,
// named through /proc, gone when closed.
#include "image_libdsk_copy.h"

#include <cerrno>

#include <sys/mman.h>
#include <unistd.h>

namespace platform::image::libdsk {

PrivateCopy::PrivateCopy(const std::string& bytes)
{
    const int fd = memfd_create("sorvane2-image", MFD_CLOEXEC);
    if (fd < 0)
        return;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t wrote = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (wrote <= 0) {
            const int code = wrote < 0 ? errno : EIO;
            ::close(fd);
            errno = code;
            return;
        }
        done += static_cast<std::size_t>(wrote);
    }
    m_handle = fd;
    m_path = "/proc/self/fd/" + std::to_string(fd);
}

PrivateCopy::~PrivateCopy()
{
    if (m_handle >= 0)
        ::close(static_cast<int>(m_handle));
}

} // namespace platform::image::libdsk
