// The processors this process may run on, on Windows.
#include "segments.h"

#include <algorithm>
#include <bit>
#include <thread>

#include <windows.h>

namespace archivers {

unsigned usableCpus()
{
    // The affinity mask covers the process's processor group (at most 64).
    DWORD_PTR process = 0;
    DWORD_PTR system = 0;
    if (::GetProcessAffinityMask(::GetCurrentProcess(), &process, &system) && process != 0)
        return static_cast<unsigned>(std::popcount(static_cast<std::uint64_t>(process)));
    return std::max(1u, std::thread::hardware_concurrency());
}

} // namespace archivers
