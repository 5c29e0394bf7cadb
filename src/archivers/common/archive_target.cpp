// What every archive writer and extractor does around its format.
#include "archive_target.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "result_codes.h"

namespace archivers {

ArchiveUpdate::ArchiveUpdate(std::string nativeArchive, std::string shown, std::string tempPrefix, Report& report)
    : m_native(std::move(nativeArchive))
    , m_shown(std::move(shown))
    , m_tempPrefix(std::move(tempPrefix))
    , m_report(report)
{
}

int ArchiveUpdate::begin()
{
    const std::string folder = parentFolder(m_native);
    struct stat info;
    if (::stat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        m_report.line(m_shown + ": the folder does not exist");
        return kErrorArcFileOpen;
    }
    // Writers of this archive take turns; those of others in the folder go on.
    if (!m_lock.lock(m_native, m_tempPrefix) && ::access(folder.c_str(), W_OK) == 0) {
        m_report.line(m_shown + ": cannot lock the archive for the update: " + std::strerror(m_lock.error()));
        return kErrorArcFileOpen;
    }
    // (A folder this call cannot write gets no new archive from it: the old
    // one is only read, which needs no turn.)
    removeDeadTemporaries(folder);
    if (::lstat(m_native.c_str(), &info) != 0) {
        if (errno == ENOENT)
            return kOk; // a new archive
        m_report.line(m_shown + ": " + std::strerror(errno));
        return kErrorArcFileOpen;
    }
    if (S_ISLNK(info.st_mode) && ::stat(m_native.c_str(), &info) != 0) {
        m_report.line(m_shown + ": a link to nothing");
        return kErrorArcFileOpen;
    }
    if (!S_ISREG(info.st_mode)) {
        m_report.line(m_shown + ": not a file");
        return kErrorArcFileOpen;
    }
    m_oldMode = info.st_mode & 07777;
    m_old = openReader(m_native);
    if (!m_old) {
        m_report.line(m_shown + ": " + std::strerror(errno));
        return kErrorArcFileOpen;
    }
    return kOk;
}

int ArchiveUpdate::readFailure(int code, const std::string& why)
{
    if (m_old && m_old->error() != 0) {
        m_report.line(m_shown + ": reading the archive: " + std::strerror(m_old->error()));
        return kErrorCannotRead;
    }
    if (!why.empty())
        m_report.line(m_shown + ": " + why);
    return code;
}

int ArchiveUpdate::start()
{
    if (m_old && ((m_oldMode & 0222) == 0 || ::access(m_native.c_str(), W_OK) != 0)) {
        m_report.line(m_shown + ": the archive is read-only");
        return kErrorReadOnly;
    }
    AtomicFile::CreateOptions options;
    if (m_old)
        options.mode = m_oldMode;
    if (m_output.create(m_native, m_tempPrefix, options))
        return kOk;
    m_report.line(m_shown + ": cannot make the new archive: " + std::strerror(m_output.error()));
    const int code = resultCodeForWrite(m_output.error());
    return code == kErrorCannotWrite ? kErrorTmpOpen : code;
}

int ArchiveUpdate::flush()
{
    if (m_output.sink().flush())
        return kOk;
    m_report.line(m_shown + ": " + std::strerror(m_output.sink().error()));
    return resultCodeForWrite(m_output.sink().error());
}

int ArchiveUpdate::commit()
{
    return commitOutput(m_output, m_shown, m_report);
}

int commitOutput(AtomicFile& output, const std::string& shown, Report& report)
{
    if (output.commit())
        return kOk;
    report.line(shown + ": " + std::strerror(output.error()));
    return resultCodeForWrite(output.error());
}

ExtractionTarget::~ExtractionTarget()
{
    if (!m_finished)
        finish();
}

std::string ExtractionTarget::folderFor(const std::vector<std::string>& elements, size_t count)
{
    const std::string folder = makeFoldersBelow(m_root, elements, count);
    if (!folder.empty() && std::find(m_swept.begin(), m_swept.end(), folder) == m_swept.end()) {
        m_swept.push_back(folder);
        removeDeadTemporaries(folder);
    }
    return folder;
}

void ExtractionTarget::setFolderTime(const std::string& native, std::int64_t mtime)
{
    m_folderTimes.emplace_back(native, mtime);
}

bool ExtractionTarget::finish()
{
    m_finished = true;
    // Deepest first: setting a folder's time after its subfolders' keeps it.
    std::stable_sort(m_folderTimes.begin(), m_folderTimes.end(), [](const auto& a, const auto& b) {
        return std::count(a.first.begin(), a.first.end(), '/') > std::count(b.first.begin(), b.first.end(), '/');
    });
    for (const auto& [folder, mtime] : m_folderTimes) {
        const struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
        ::utimensat(AT_FDCWD, folder.c_str(), times, AT_SYMLINK_NOFOLLOW);
    }
    const int fd = ::open(m_root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool synced = ::syncfs(fd) == 0;
    ::close(fd);
    return synced;
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

std::uint64_t bombRatio(std::uint64_t size, std::uint64_t compressedSize, std::uint64_t limit)
{
    const std::uint64_t ratio = size / std::max<std::uint64_t>(compressedSize, 1);
    return size > kBombFloor && ratio > limit ? ratio : 0;
}

std::uint64_t expansionRatio(std::uint64_t size, std::uint64_t produced, std::uint64_t consumed,
                             std::uint64_t limit)
{
    if (size <= kBombFloor || produced <= kBombFreeOutput)
        return 0;
    const std::uint64_t ratio = produced / std::max<std::uint64_t>(consumed, 1);
    return ratio > limit ? ratio : 0;
}

std::int64_t timeIn32Bits(std::int64_t unixTime)
{
    return std::clamp<std::int64_t>(unixTime, 0, 0xFFFFFFFFll);
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
