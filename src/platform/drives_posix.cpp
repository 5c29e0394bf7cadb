// Drives, dialect paths and the current folder of each drive, on POSIX systems.
#include "platform.h"

#include <array>
#include <cctype>
#include <mutex>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialect.h"
#include "drivemap_posix.h"
#include "image_drive_posix.h"

namespace platform {

using posix::MappedDrive;

namespace {

// ── Current folders ─────────────────────────────────────────────────────────
// Each drive keeps its own current folder. The process's working folder is
// the current folder of the current drive; when it changes behind our back
// (another copy of this code in a library module, a chdir elsewhere), the
// current drive and its folder are taken from it again.

struct FolderState {
    std::mutex lock;
    bool initialized = false;
    char current = 'z';
    std::array<std::vector<std::string>, 26> folders;
    std::string lastNativeCwd;
    std::string lastImageCwd;
};

// A drive image has no native folder to make the working folder, so while an
// image drive is current its folder is kept in the environment, where every
// copy of this code in the process (the library modules have their own) sees
// it: "<pid>\t<working folder>\t<dialect folder>". It counts only while the
// working folder is still the one it names and only in the process that set it.
constexpr const char* kImageCwdVariable = "SORVANE2_IMAGE_CWD";

// Made present before threads start, so that later changes only replace its value.
[[maybe_unused]] const bool g_imageCwdPresent = ::setenv(kImageCwdVariable, "", 0) == 0;

std::string imageCwdText()
{
    const char* text = std::getenv(kImageCwdVariable);
    return text ? text : "";
}

// The dialect folder the environment holds for the working folder `cwd`, if any.
std::optional<std::string> imageCwd(const std::string& text, const std::string& cwd)
{
    const size_t first = text.find('\t');
    const size_t second = first == std::string::npos ? first : text.find('\t', first + 1);
    if (second == std::string::npos || text.substr(0, first) != std::to_string(::getpid())
        || text.substr(first + 1, second - first - 1) != cwd)
        return std::nullopt;
    return text.substr(second + 1);
}

void setImageCwd(FolderState& state, const std::string& folder)
{
    const std::string text = folder.empty() ? std::string()
                                            : std::to_string(::getpid()) + "\t" + state.lastNativeCwd + "\t" + folder;
    if (text != imageCwdText())
        ::setenv(kImageCwdVariable, text.c_str(), 1);
    state.lastImageCwd = text;
}

FolderState& folderState()
{
    static FolderState state;
    return state;
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

// Syncs the state with the process's working folder. Caller holds the lock.
void syncWithCwd(FolderState& state)
{
    const std::string cwd = nativeCwd();
    const std::string imageText = imageCwdText();
    if (state.initialized && cwd == state.lastNativeCwd && imageText == state.lastImageCwd)
        return;
    state.initialized = true;
    state.lastNativeCwd = cwd;
    state.lastImageCwd = imageText;
    if (std::optional<std::string> onImage = imageCwd(imageText, cwd)) {
        const dialect::ParsedPath parsed = dialect::parse(*onImage);
        if (parsed.kind == dialect::PathKind::Absolute) {
            state.current = parsed.drive;
            state.folders[static_cast<size_t>(parsed.drive - 'a')] = parsed.parts;
            return;
        }
    }
    Result<std::string> dialectCwd = toDialect(cwd);
    if (!dialectCwd)
        return;
    const dialect::ParsedPath parsed = dialect::parse(*dialectCwd);
    state.current = parsed.drive;
    state.folders[static_cast<size_t>(parsed.drive - 'a')] = parsed.parts;
}

struct Location {
    char drive = 0;
    std::vector<std::string> parts;
};

Result<Location> locate(std::string_view path)
{
    if (!dialect::isValidUtf8(path))
        return Error{EINVAL, "not a valid path: bytes that are not UTF-8 or NUL"};
    const dialect::ParsedPath parsed = dialect::parse(path);
    Location where;
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    syncWithCwd(state);
    switch (parsed.kind) {
    case dialect::PathKind::Invalid:
        return Error{EINVAL, "not a valid path: \"" + std::string(path) + "\""};
    case dialect::PathKind::Absolute:
        where.drive = parsed.drive;
        break;
    case dialect::PathKind::DriveRelative:
        where.drive = parsed.drive;
        where.parts = state.folders[static_cast<size_t>(parsed.drive - 'a')];
        break;
    case dialect::PathKind::RootRelative:
        where.drive = state.current;
        break;
    case dialect::PathKind::Relative:
        where.drive = state.current;
        where.parts = state.folders[static_cast<size_t>(state.current - 'a')];
        break;
    case dialect::PathKind::Unc: {
        const posix::DriveMap map = posix::loadDriveMap();
        for (const MappedDrive& mapped : map.drives) {
            if (mapped.drive.kind == DriveKind::Network
                && dialect::sameName(mapped.drive.remotePath, parsed.uncRoot)) {
                where.drive = mapped.drive.letter;
                break;
            }
        }
        if (!where.drive)
            return Error{ENOENT, "no drive is mapped to " + parsed.uncRoot};
        break;
    }
    }
    dialect::fold(where.parts, parsed.parts);
    return where;
}

const MappedDrive* mappedDrive(const posix::DriveMap& map, char letter)
{
    if (letter >= 'A' && letter <= 'Z')
        letter = static_cast<char>(letter - 'A' + 'a');
    for (const MappedDrive& mapped : map.drives)
        if (mapped.drive.letter == letter)
            return &mapped;
    return nullptr;
}

bool folderReadable(const std::string& native)
{
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode)
        && ::access(native.c_str(), R_OK | X_OK) == 0;
}

// A folder inside a drive image, or the image's root.
bool imageFolderReadable(const std::string& native)
{
    std::optional<posix::ImageLocation> where = posix::locateInImage(native);
    if (!where)
        return false;
    Result<std::optional<image::Entry>> entry = posix::imageEntry(*where);
    return entry && *entry && (**entry).isFolder();
}

// Why the drive cannot be read: a damaged image names itself and its fault.
Result<void> driveReadiness(const MappedDrive& mapped)
{
    if (!mapped.drive.image.empty()) {
        Result<std::shared_ptr<const image::Volume>> volume = posix::imageVolume(mapped.drive.image);
        if (!volume)
            return volume.error();
        return {};
    }
    if (!folderReadable(mapped.root))
        return Error{ENOMEDIUM, std::string("drive ") + mapped.drive.letter + ": is not ready"};
    return {};
}

bool driveReady(const MappedDrive& mapped)
{
    return driveReadiness(mapped).ok();
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

// The on-disk name in `folder` for `name`: exact when it exists, else the
// first entry equal without regard to case, else empty.
std::string matchElement(const std::string& folder, const std::string& name)
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

std::string driveEntryText(const Drive& drive)
{
    std::string text{drive.letter, ':'};
    if (!drive.image.empty()) {
        if (!drive.label.empty())
            text += " [" + drive.label + "]";
    } else if (drive.kind == DriveKind::Network && !drive.remotePath.empty())
        text += " [" + drive.remotePath + "]";
    else if (drive.kind == DriveKind::Fixed && !drive.label.empty())
        text += " [" + drive.label + "]";
    return text;
}

std::optional<Drive> findDrive(char letter)
{
    for (Drive& drive : drives())
        if (drive.letter == std::tolower(static_cast<unsigned char>(letter)))
            return drive;
    return std::nullopt;
}

bool isDriveReady(char letter)
{
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    return mapped && driveReady(*mapped);
}

Result<std::string> volumeLabel(char letter)
{
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + letter + ": does not exist"};
    if (!driveReady(*mapped))
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

Result<std::string> fullPath(std::string_view path)
{
    Result<Location> where = locate(path);
    if (!where)
        return where.error();
    return dialect::join(where->drive, where->parts);
}

Result<std::string> toNative(std::string_view path)
{
    Result<Location> where = locate(path);
    if (!where)
        return where.error();
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, where->drive);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + where->drive + ": does not exist"};
    if (!mapped->drive.image.empty())
        return posix::imageNative(mapped->drive.image, where->parts);
    std::string native = mapped->root;
    bool resolving = true;
    for (const std::string& part : where->parts) {
        std::string element = part;
        if (resolving) {
            const std::string found = matchElement(native, part);
            if (found.empty())
                resolving = false; // nothing below a missing element exists either
            else
                element = found;
        }
        native = childPath(native, element);
    }
    return native;
}

Result<std::string> toDialect(std::string_view nativePath)
{
    std::string absolute(nativePath);
    if (absolute.empty() || absolute[0] != '/')
        absolute = childPath(nativeCwd(), absolute);
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

// ── Current drive and folder ────────────────────────────────────────────────

char currentDrive()
{
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    syncWithCwd(state);
    return state.current;
}

std::string currentFolder(char letter)
{
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    syncWithCwd(state);
    if (letter >= 'A' && letter <= 'Z')
        letter = static_cast<char>(letter - 'A' + 'a');
    if (letter < 'a' || letter > 'z')
        letter = state.current;
    return dialect::join(letter, state.folders[static_cast<size_t>(letter - 'a')]);
}

Result<void> changeDrive(char letter)
{
    if (letter >= 'A' && letter <= 'Z')
        letter = static_cast<char>(letter - 'A' + 'a');
    if (letter < 'a' || letter > 'z')
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    const posix::DriveMap map = posix::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    if (Result<void> ready = driveReadiness(*mapped); !ready)
        return ready;
    const bool onImage = mapped && !mapped->drive.image.empty();
    auto readable = [&](const std::string& native) {
        return onImage ? imageFolderReadable(native) : folderReadable(native);
    };
    std::string target = currentFolder(letter);
    Result<std::string> native = toNative(target);
    if (!native || !readable(*native)) {
        // The drive's folder has gone (another disk was put in): start at its root.
        target = dialect::join(letter, {});
        native = toNative(target);
    }
    if (!native)
        return native.error();
    if (!onImage && ::chdir(native->c_str()) != 0)
        return systemError(target);
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    state.current = letter;
    state.folders[static_cast<size_t>(letter - 'a')] = dialect::parse(target).parts;
    state.lastNativeCwd = nativeCwd();
    setImageCwd(state, onImage ? target : std::string());
    return {};
}

Result<void> changeFolder(std::string_view path)
{
    Result<Location> where = locate(path);
    if (!where)
        return where.error();
    const std::string full = dialect::join(where->drive, where->parts);
    Result<std::string> native = toNative(full);
    if (!native)
        return native.error();
    const bool onImage = posix::locateInImage(*native).has_value();
    if (onImage) {
        if (!imageFolderReadable(*native))
            return Error{ENOTDIR, full + ": not a folder"};
    } else {
        struct stat info;
        if (::stat(native->c_str(), &info) != 0)
            return systemError(full);
        if (!S_ISDIR(info.st_mode))
            return Error{ENOTDIR, full + ": not a folder"};
    }
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    syncWithCwd(state);
    if (where->drive == state.current) {
        if (!onImage && ::chdir(native->c_str()) != 0)
            return systemError(full);
        state.lastNativeCwd = nativeCwd();
        setImageCwd(state, onImage ? full : std::string());
    }
    state.folders[static_cast<size_t>(where->drive - 'a')] = where->parts;
    return {};
}

} // namespace platform
