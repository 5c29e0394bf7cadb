// What the file calls of files.cpp ask of the system for a native path
// that lies on no disk image; each system's files_*.cpp answers. Errors
// name `shown`, the drive path the caller gave.
#pragma once

#include <functional>
#include <string>

#include "platform.h"

namespace platform::sys {

Result<DiskFree> diskFree(const std::string& native, const std::string& shown);
bool canOpenForReading(const std::string& native);
Result<std::string> onDiskName(const std::string& native, const std::string& shown);
bool isFolder(const std::string& native);
Result<void> checkWritableVolume(const std::string& native, const std::string& shown);
Result<void> makeFolder(const std::string& native, const std::string& shown);
Result<void> deleteFile(const std::string& native, const std::string& shown);
Result<void> walkFolder(const std::string& native, const std::string& shown, const WalkOptions& options,
                        const std::function<bool(const WalkEntry&)>& visit);

} // namespace platform::sys
