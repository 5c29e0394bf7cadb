// The current drive and each drive's current folder, and the dialect paths
// that lean on them, alike on every system: what differs (the working
// folder, the system's own record of folders, the drive map) is asked of
// cwd_os.h.
#include "platform.h"

#include <array>
#include <cctype>
#include <mutex>
#include <optional>

#include "cwd_os.h"
#include "dialect.h"
#include "image_drive.h"
#include "image_drive_os.h"

namespace platform {

namespace {

// ── Current folders ─────────────────────────────────────────────────────────
// Each drive keeps its own current folder. The process's working folder is
// the current folder of the current drive; when it changes behind our back
// (another copy of this code in a library module, a chdir elsewhere), the
// current drive and its folder are taken from it again.

struct FolderState {
    std::mutex lock;
    bool initialized = false;
    char current = cwd::os::startingDrive();
    std::array<std::vector<std::string>, 26> folders;
    std::string lastNativeCwd;
    std::string lastImageCwd;
};

FolderState& folderState()
{
    static FolderState state;
    return state;
}

std::vector<std::string>& folderOf(FolderState& state, char letter)
{
    return state.folders[static_cast<size_t>(letter - 'a')];
}

char lowerLetter(char letter)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
}

// The dialect folder the environment holds for the working folder `cwd`, if any.
std::optional<std::string> imageCwd(const std::string& text, const std::string& cwd)
{
    const size_t first = text.find('\t');
    const size_t second = first == std::string::npos ? first : text.find('\t', first + 1);
    if (second == std::string::npos || text.substr(0, first) != images::os::processTag()
        || text.substr(first + 1, second - first - 1) != cwd)
        return std::nullopt;
    return text.substr(second + 1);
}

void setImageCwd(FolderState& state, const std::string& folder)
{
    const std::string text = folder.empty() ? std::string()
        : images::os::processTag() + "\t" + state.lastNativeCwd + "\t" + folder;
    if (text != images::os::variable(cwd::kImageCwdVariable))
        images::os::setVariable(cwd::kImageCwdVariable, text);
    state.lastImageCwd = text;
}

// Sets `letter`'s folder from the absolute dialect path `path`; false when it is none.
bool takeFolder(FolderState& state, const std::string& path, bool makeCurrent)
{
    const dialect::ParsedPath parsed = dialect::parse(path);
    if (parsed.kind != dialect::PathKind::Absolute)
        return false;
    if (makeCurrent)
        state.current = parsed.drive;
    folderOf(state, parsed.drive) = parsed.parts;
    return true;
}

// Syncs the state with the process's working folder. Caller holds the lock.
void syncWithCwd(FolderState& state)
{
    const std::string cwd = cwd::os::nativeCwd();
    const std::string imageText = images::os::variable(cwd::kImageCwdVariable);
    if (state.initialized && cwd == state.lastNativeCwd && imageText == state.lastImageCwd)
        return;
    if (!state.initialized) {
        for (char letter = 'a'; letter <= 'z'; ++letter) {
            const std::optional<std::string> folder = cwd::os::startingFolder(letter);
            if (folder && dialect::parse(*folder).drive == letter)
                takeFolder(state, *folder, false);
        }
    }
    state.initialized = true;
    state.lastNativeCwd = cwd;
    state.lastImageCwd = imageText;
    if (std::optional<std::string> onImage = imageCwd(imageText, cwd); onImage && takeFolder(state, *onImage, true))
        return;
    if (Result<std::string> dialectCwd = toDialect(cwd))
        takeFolder(state, *dialectCwd, true);
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
        where.parts = folderOf(state, parsed.drive);
        break;
    case dialect::PathKind::RootRelative:
        where.drive = state.current;
        break;
    case dialect::PathKind::Relative:
        where.drive = state.current;
        where.parts = folderOf(state, state.current);
        break;
    case dialect::PathKind::Unc:
        where.drive = cwd::os::networkDrive(parsed.uncRoot);
        if (!where.drive)
            return Error{ENOENT, "no drive is mapped to " + parsed.uncRoot};
        break;
    }
    dialect::fold(where.parts, parsed.parts);
    return where;
}

// A folder inside a drive image, or the image's root.
bool imageFolderReadable(const std::string& native)
{
    std::optional<images::ImageLocation> where = images::locateInImage(native);
    if (!where)
        return false;
    Result<std::optional<image::Entry>> entry = images::imageEntry(*where);
    return entry && *entry && (**entry).isFolder();
}

} // namespace

namespace cwd {

Result<os::DriveRoot> readyRoot(char letter)
{
    Result<os::DriveRoot> root = os::driveRoot(letter);
    if (!root)
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    if (root->image) {
        // A damaged image names itself and its fault.
        if (Result<std::shared_ptr<const image::Volume>> volume = images::imageVolume(root->native); !volume)
            return volume.error();
    } else if (!os::folderReadable(root->native)) {
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    }
    return root;
}

} // namespace cwd

// ── Drives ──────────────────────────────────────────────────────────────────

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
        if (drive.letter == lowerLetter(letter))
            return drive;
    return std::nullopt;
}

bool isDriveReady(char letter)
{
    return cwd::readyRoot(lowerLetter(letter)).ok();
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
    const Result<cwd::os::DriveRoot> root = cwd::os::driveRoot(where->drive);
    if (!root)
        return root.error();
    if (root->image)
        return images::imageNative(root->native, where->parts);
    std::string native = root->native;
    bool resolving = true;
    for (const std::string& part : where->parts) {
        std::string element = part;
        if (resolving) {
            const std::string found = cwd::os::spelling(native, part);
            if (found.empty())
                resolving = false; // nothing below a missing element exists either
            else
                element = found;
        }
        native = cwd::os::joinNative(native, element);
    }
    return native;
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
    letter = lowerLetter(letter);
    if (letter < 'a' || letter > 'z')
        letter = state.current;
    return dialect::join(letter, folderOf(state, letter));
}

Result<void> changeDrive(char letter)
{
    letter = lowerLetter(letter);
    if (letter < 'a' || letter > 'z')
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    const Result<cwd::os::DriveRoot> root = cwd::readyRoot(letter);
    if (!root)
        return root.error();
    const bool onImage = root->image;
    auto readable = [&](const std::string& native) {
        return onImage ? imageFolderReadable(native) : cwd::os::folderReadable(native);
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
    if (!onImage)
        if (Result<void> entered = cwd::os::enter(*native, target); !entered)
            return entered;
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    state.current = letter;
    folderOf(state, letter) = dialect::parse(target).parts;
    state.lastNativeCwd = cwd::os::nativeCwd();
    if (!onImage)
        cwd::os::rememberFolder(letter, *native);
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
    const bool onImage = images::locateInImage(*native).has_value();
    if (onImage) {
        if (!imageFolderReadable(*native))
            return Error{ENOTDIR, full + ": not a folder"};
    } else if (Result<void> folder = cwd::os::checkFolder(*native, full); !folder) {
        return folder;
    }
    FolderState& state = folderState();
    std::lock_guard guard(state.lock);
    syncWithCwd(state);
    if (where->drive == state.current) {
        if (!onImage)
            if (Result<void> entered = cwd::os::enter(*native, full); !entered)
                return entered;
        state.lastNativeCwd = cwd::os::nativeCwd();
        setImageCwd(state, onImage ? full : std::string());
    }
    if (!onImage)
        cwd::os::rememberFolder(where->drive, *native);
    folderOf(state, where->drive) = where->parts;
    return {};
}

} // namespace platform
