// What every archive writer and extractor does around its format.
#include "archive_target.h"

#include <cstring>
#include <ctime>

#include <sys/stat.h>

#include "result_codes.h"

namespace archivers {

int lockTarget(const std::string& nativeArchive, const std::string& shown, const std::string& tempPrefix,
               std::unique_ptr<FolderLock>& lock, Report& report)
{
    const std::string folder = parentFolder(nativeArchive);
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        report.line(shown + ": the folder does not exist");
        return kErrorArcFileOpen;
    }
    lock = std::make_unique<FolderLock>(folder);
    removeStaleTemps(folder, tempPrefix);
    return kOk;
}

int createOutput(AtomicFile& output, const std::string& nativeArchive, const std::string& shown,
                 const std::string& tempPrefix, Report& report)
{
    if (output.create(nativeArchive, tempPrefix))
        return kOk;
    report.line(shown + ": cannot make the new archive: " + std::strerror(output.error()));
    const int code = resultCodeForWrite(output.error());
    return code == kErrorCannotWrite ? kErrorTmpOpen : code;
}

int flushOutput(AtomicFile& output, const std::string& shown, Report& report)
{
    if (output.sink().flush())
        return kOk;
    report.line(shown + ": " + std::strerror(output.sink().error()));
    return resultCodeForWrite(output.sink().error());
}

int commitOutput(AtomicFile& output, const std::string& shown, Report& report)
{
    if (output.commit())
        return kOk;
    report.line(shown + ": " + std::strerror(output.error()));
    return resultCodeForWrite(output.error());
}

std::string makeFoldersBelow(const std::string& root, const std::vector<std::string>& elements, size_t count)
{
    std::string folder = root;
    for (size_t i = 0; i < count; ++i) {
        folder += "/" + elements[i];
        struct stat info;
        if (::lstat(folder.c_str(), &info) != 0
            && (::mkdir(folder.c_str(), 0777) != 0 || ::lstat(folder.c_str(), &info) != 0))
            return {};
        if (!S_ISDIR(info.st_mode))
            return {};
    }
    return folder;
}

std::uint32_t dosTimeOf(std::int64_t unixTime)
{
    const std::time_t value = static_cast<std::time_t>(unixTime);
    std::tm local{};
    if (!::localtime_r(&value, &local) || local.tm_year < 80)
        return (1u << 21) | (1u << 16); // 1980-01-01 00:00:00, the earliest DOS time
    if (local.tm_year > 207)
        local = std::tm{58, 59, 23, 31, 11, 207, 0, 0, 0, 0, nullptr};
    return (static_cast<std::uint32_t>(local.tm_year - 80) << 25) | (static_cast<std::uint32_t>(local.tm_mon + 1) << 21)
        | (static_cast<std::uint32_t>(local.tm_mday) << 16) | (static_cast<std::uint32_t>(local.tm_hour) << 11)
        | (static_cast<std::uint32_t>(local.tm_min) << 5) | (static_cast<std::uint32_t>(local.tm_sec) / 2);
}

std::int64_t unixTimeOfDos(std::uint32_t dosTime)
{
    std::tm local{};
    local.tm_year = static_cast<int>((dosTime >> 25) & 0x7F) + 80;
    local.tm_mon = static_cast<int>((dosTime >> 21) & 0x0F) - 1;
    local.tm_mday = static_cast<int>((dosTime >> 16) & 0x1F);
    local.tm_hour = static_cast<int>((dosTime >> 11) & 0x1F);
    local.tm_min = static_cast<int>((dosTime >> 5) & 0x3F);
    local.tm_sec = static_cast<int>((dosTime & 0x1F) * 2);
    local.tm_isdst = -1;
    return static_cast<std::int64_t>(std::mktime(&local));
}

} // namespace archivers
