// Drives and dialect paths on POSIX systems: the drive map's folders and
// images, and what the per-drive current folders ask of the system.
#include "platform.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialect.h"
#include "drivemap_posix.h"
#include "cwd_os.h"
#include "image_drive_posix.h"

namespace platform {

using posix::MappedDrive;

namespace {

// Made present before threads start, so that later changes only replace its
// value (and a module loaded later keeps the value the program set).
[[maybe_unused]] const bool g_imageCwdPresent = ::setenv(cwd::kImageCwdVariable, "", 0) == 0;

const MappedDrive* mappedDrive(const posix::DriveMap& map, char letter)
{
    if (letter >= 'A' && letter <= 'Z')
        letter = static_cast<char>(letter - 'A' + 'a');
    for (const MappedDrive& mapped : map.drives)
        if (mapped.drive.letter == letter)
            return &mapped;
    return nullptr;
}

std::string imageLabel(const MappedDrive& mapped)
{
    Result<std::shared_ptr<const image::Volume>> volume = posix::imageVolume(mapped.drive.image);
    return volume ? (*volume)->label() : std::string();
}

std::string childPath(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

} // namespace

// ── Drives ──────────────────────────────────────────────────────────────────

std::vector<Drive> drives()
{
    const posix::DriveMap map = posix::loadDriveMap();
    std::vector<Drive> list;
    for (const MappedDrive& mapped : map.drives) {
        Drive drive = mapped.drive;
        if (!mapped.labelGiven && !drive.image.empty())
            drive.label = imageLabel(mapped);
        else if (!mapped.labelGiven && drive.kind != DriveKind::Network)
            drive.label = posix::volumeLabelOf(mapped.device);
        list.push_back(std::move(drive));
    }
    return list;
}

Result<std::string> volumeLabel(char letter)
{
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + letter + ": does not exist"};
    if (!cwd::readyRoot(mapped->drive.letter))
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    if (mapped->labelGiven || mapped->drive.kind == DriveKind::Network)
        return mapped->drive.label;
    if (!mapped->drive.image.empty())
        return imageLabel(*mapped);
    return posix::volumeLabelOf(mapped->device);
}

std::string driveMapProblem()
{
    return posix::loadDriveMap().problem;
}

// ── Paths ───────────────────────────────────────────────────────────────────

Result<std::string> toDialect(std::string_view nativePath)
{
    std::string absolute(nativePath);
    if (absolute.empty() || absolute[0] != '/')
        absolute = childPath(cwd::os::nativeCwd(), absolute);
    const posix::DriveMap map = posix::loadDriveMap();
    std::string rest;
    const MappedDrive* mapped = posix::findMapped(map.drives, posix::normalizeNative(absolute), &rest);
    if (!mapped)
        return Error{ENOENT, "\"" + absolute + "\" lies on no drive"};
    std::vector<std::string> elements;
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = rest.find('/', start);
        if (end == std::string::npos)
            end = rest.size();
        elements.push_back(rest.substr(start, end - start));
        start = end + 1;
    }
    for (const std::string& element : elements) {
        if (element.find('\\') != std::string::npos || !dialect::isValidUtf8(element))
            return Error{EILSEQ, "\"" + absolute + "\": the name \"" + element
                                     + "\" cannot be written as a drive path"};
    }
    std::vector<std::string> parts;
    dialect::fold(parts, elements);
    return dialect::join(mapped->drive.letter, parts);
}

// ── What the per-drive folders ask ─────────────────────────────────────────

namespace cwd::os {

char startingDrive()
{
    return 'z';
}

std::string nativeCwd()
{
    std::string buffer(4096, '\0');
    while (!::getcwd(buffer.data(), buffer.size())) {
        if (errno != ERANGE || buffer.size() > (1u << 20))
            return {};
        buffer.resize(buffer.size() * 2);
    }
    buffer.resize(std::char_traits<char>::length(buffer.c_str()));
    return buffer;
}

std::optional<std::string> startingFolder(char)
{
    return std::nullopt;
}

void rememberFolder(char, const std::string&) {}

Result<void> enter(const std::string& native, const std::string& shown)
{
    if (::chdir(native.c_str()) != 0)
        return systemError(shown);
    return {};
}

Result<void> checkFolder(const std::string& native, const std::string& shown)
{
    struct stat info;
    if (::stat(native.c_str(), &info) != 0)
        return systemError(shown);
    if (!S_ISDIR(info.st_mode))
        return Error{ENOTDIR, shown + ": not a folder"};
    return {};
}

bool folderReadable(const std::string& native)
{
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
        && ::access(native.c_str(), R_OK | X_OK) == 0;
}

char networkDrive(const std::string& share)
{
    for (const MappedDrive& mapped : posix::loadDriveMap().drives)
        if (mapped.drive.kind == DriveKind::Network && dialect::sameName(mapped.drive.remotePath, share))
            return mapped.drive.letter;
    return 0;
}

Result<DriveRoot> driveRoot(char letter)
{
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + letter + ": does not exist"};
    if (!mapped->drive.image.empty())
        return DriveRoot{mapped->drive.image, true};
    return DriveRoot{mapped->root, false};
}

// The on-disk name in `folder` for `name`: exact when it exists, else the
// first entry equal without regard to case, else empty.
std::string spelling(const std::string& folder, const std::string& name)
{
    struct stat info;
    if (::lstat(childPath(folder, name).c_str(), &info) == 0)
        return name;
    DIR* dir = ::opendir(folder.c_str());
    if (!dir)
        return {};
    std::string best;
    while (const dirent* entry = ::readdir(dir)) {
        const std::string candidate = entry->d_name;
        if (candidate == "." || candidate == "..")
            continue;
        if (dialect::sameName(candidate, name) && (best.empty() || candidate < best))
            best = candidate;
    }
    ::closedir(dir);
    return best;
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    return childPath(folder, name);
}

} // namespace cwd::os

} // namespace platform
