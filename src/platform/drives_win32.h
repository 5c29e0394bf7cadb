// The drives of a Windows machine as this layer sees them: the system's own
// drives, and disk images on letters no drive of the system uses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform.h"
#include "win32_text.h"

namespace platform::win32 {

struct MappedDrive {
    Drive drive;
    std::string root;        // "C:\" for a drive of the system; the image's root for an image
    bool labelGiven = false; // the label came from SORVANE2_DRIVES
};

struct DriveMap {
    std::vector<MappedDrive> drives; // in letter order
    std::string problem;             // why SORVANE2_DRIVES was ignored
};

// loadDriveMap: the system's drives (GetLogicalDrives), the images that
// SORVANE2_DRIVES names ("a=C:\disks\GAME01.HDM;b=D:\HDD.HDI#2", each on a
// letter no drive of the system uses) and the attached image.
DriveMap loadDriveMap();

// systemDriveLetters: the letters of the system's own drives.
std::vector<char> systemDriveLetters();

// lastError: an Error for the Win32 error `code` on `what`: the errno value
// nearest to it and the system's text for it.
Error lastError(const std::string& what, unsigned long code = GetLastError());

// isAbsoluteNative: "C:\..." or "\\server\share..." (either separator).
bool isAbsoluteNative(std::string_view native);

// joinNative: "C:\A" + "B" -> "C:\A\B"; "C:\" + "B" -> "C:\B".
std::string joinNative(const std::string& folder, const std::string& name);

// longPath: the UTF-16 form of a native path for a ...W call, with the "\\?\"
// prefix when it is longer than the classic limit.
std::wstring longPath(std::string_view native);

// withoutPrefix: "\\?\C:\x" -> "C:\x", "\\?\UNC\srv\share" -> "\\srv\share".
std::string withoutPrefix(std::string native);

// ErrorModeGuard: no system dialog ("insert a disk") while it lives; a drive
// without its medium fails the call instead.
class ErrorModeGuard {
public:
    ErrorModeGuard() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &m_old); }
    ~ErrorModeGuard() { SetThreadErrorMode(m_old, nullptr); }
    ErrorModeGuard(const ErrorModeGuard&) = delete;
    ErrorModeGuard& operator=(const ErrorModeGuard&) = delete;

private:
    DWORD m_old = 0;
};

} // namespace platform::win32
