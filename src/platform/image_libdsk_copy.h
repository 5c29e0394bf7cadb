// A private copy of an image's bytes that libdsk can open by name (it reads
// through fopen()); each system makes it its own way.
#pragma once

#include <cstdint>
#include <string>

namespace platform::image::libdsk {

class PrivateCopy {
public:
    // A copy of `bytes`; ok() is false (errno set) when none could be made.
    explicit PrivateCopy(const std::string& bytes);
    ~PrivateCopy();
    PrivateCopy(const PrivateCopy&) = delete;
    PrivateCopy& operator=(const PrivateCopy&) = delete;
    bool ok() const { return !m_path.empty(); }
    // The name to give fopen().
    const std::string& path() const { return m_path; }

private:
    std::intptr_t m_handle = -1; // the system's handle of the copy
    std::string m_path;
    std::string m_removeOnClose; // a file to delete when done, if the system needs one
};

} // namespace platform::image::libdsk
