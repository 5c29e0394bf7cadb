// What every archive writer and extractor does around its format.
#include "archive_target.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

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
    if (nodeStatus(folder, true).type != NodeType::Folder) {
        m_report.line(m_shown + ": the folder does not exist");
        return kErrorArcFileOpen;
    }
    // Writers of this archive take turns; those of others in the folder go on.
    if (!m_lock.lock(m_native, m_tempPrefix) && canWrite(folder)) {
        m_report.line(m_shown + ": cannot lock the archive for the update: " + std::strerror(m_lock.error()));
        return kErrorArcFileOpen;
    }
    // (A folder this call cannot write gets no new archive from it: the old
    // one is only read, which needs no turn.)
    removeDeadTemporaries(folder);
    NodeStatus status = nodeStatus(m_native, false);
    if (status.type == NodeType::Missing) {
        if (status.error == ENOENT)
            return kOk; // a new archive
        m_report.line(m_shown + ": " + std::strerror(status.error));
        return kErrorArcFileOpen;
    }
    if (status.type == NodeType::Link) {
        status = nodeStatus(m_native, true);
        if (status.type == NodeType::Missing) {
            m_report.line(m_shown + ": a link to nothing");
            return kErrorArcFileOpen;
        }
    }
    if (status.type != NodeType::File) {
        m_report.line(m_shown + ": not a file");
        return kErrorArcFileOpen;
    }
    m_oldMode = status.mode;
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
    if (m_old && ((m_oldMode & 0222) == 0 || !canWrite(m_native))) {
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
    // Done with the old archive: a file still open cannot be replaced on
    // every system.
    m_old.reset();
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
        return pathDepth(a.first) > pathDepth(b.first);
    });
    for (const auto& [folder, mtime] : m_folderTimes)
        setFileTime(folder, mtime);
    return syncFolderTree(m_root);
}

std::string makeFoldersBelow(const std::string& root, const std::vector<std::string>& elements, size_t count)
{
    std::string folder = root;
    for (size_t i = 0; i < count; ++i) {
        folder = joinPath(folder, elements[i]);
        NodeStatus status = nodeStatus(folder, false);
        if (status.type == NodeType::Missing && makeFolder(folder))
            status = nodeStatus(folder, false);
        if (status.type != NodeType::Folder)
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

namespace {

// localTime: the local time of `value`, thread-safe on either C library.
bool localTime(std::time_t value, std::tm& local)
{
#ifdef _WIN32
    return ::localtime_s(&local, &value) == 0;
#else
    return ::localtime_r(&value, &local) != nullptr;
#endif
}

} // namespace

std::uint32_t dosTimeOf(std::int64_t unixTime)
{
    const std::time_t value = static_cast<std::time_t>(unixTime);
    std::tm local{};
    if (!localTime(value, local) || local.tm_year < 80)
        return (1u << 21) | (1u << 16); // 1980-01-01 00:00:00, the earliest DOS time
    if (local.tm_year > 207) {
        // 2107-12-31 23:59:58, the latest
        local = std::tm{};
        local.tm_year = 207;
        local.tm_mon = 11;
        local.tm_mday = 31;
        local.tm_hour = 23;
        local.tm_min = 59;
        local.tm_sec = 58;
    }
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
