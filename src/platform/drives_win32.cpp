// Drives and dialect paths on Windows. The dialect path is the native path
// here; what this file adds is the image drives, the on-disk spelling of
// names, and what the per-drive current folders ask of the system.
#include "platform.h"

#include <windows.h>
#include <winnetwk.h>

#include <algorithm>
#include <cctype>
#include <optional>

#include "cwd_os.h"
#include "dialect.h"
#include "drives_win32.h"
#include "image_drive.h"
#include "image_drive_os.h"

namespace platform {

using win32::MappedDrive;

namespace win32 {

Error lastError(const std::string& what, unsigned long code)
{
    int errnoCode = EIO;
    switch (code) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:
        errnoCode = ENOENT;
        break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
        errnoCode = EACCES;
        break;
    case ERROR_NOT_READY:
        errnoCode = ENOMEDIUM;
        break;
    case ERROR_WRITE_PROTECT:
        errnoCode = EROFS;
        break;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
        errnoCode = EEXIST;
        break;
    case ERROR_DIRECTORY:
        errnoCode = ENOTDIR;
        break;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
        errnoCode = ENOSPC;
        break;
    case ERROR_FILENAME_EXCED_RANGE:
        errnoCode = ENAMETOOLONG;
        break;
    case ERROR_INVALID_NAME:
        errnoCode = EINVAL;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
        errnoCode = ENOMEM;
        break;
    default:
        break;
    }
    wchar_t* text = nullptr;
    const DWORD length = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM
                                            | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string reason = length && text ? narrow(std::wstring_view(text, length)) : std::string();
    if (text)
        LocalFree(text);
    while (!reason.empty() && (reason.back() == '\n' || reason.back() == '\r' || reason.back() == ' '
                               || reason.back() == '.'))
        reason.pop_back();
    if (reason.empty())
        reason = "system error " + std::to_string(code);
    return Error{errnoCode, what + ": " + reason};
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/'))
        return folder + name;
    return folder + "\\" + name;
}

std::wstring longPath(std::string_view native)
{
    std::wstring wide = widen(native);
    if (wide.size() < MAX_PATH - 12 || wide.starts_with(L"\\\\?\\"))
        return wide;
    std::replace(wide.begin(), wide.end(), L'/', L'\\');
    if (wide.starts_with(L"\\\\"))
        return L"\\\\?\\UNC\\" + wide.substr(2);
    return L"\\\\?\\" + wide;
}

std::string withoutPrefix(std::string native)
{
    if (native.starts_with("\\\\?\\UNC\\"))
        return "\\\\" + native.substr(8);
    if (native.starts_with("\\\\?\\"))
        return native.substr(4);
    return native;
}

std::vector<char> systemDriveLetters()
{
    std::vector<char> letters;
    const DWORD mask = GetLogicalDrives();
    for (int i = 0; i < 26; ++i)
        if (mask & (1u << i))
            letters.push_back(static_cast<char>('a' + i));
    return letters;
}

namespace {

std::wstring rootOf(char letter)
{
    return {static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(letter))), L':', L'\\'};
}

// The share a network drive stands for, "\\server\share"; empty when unknown.
std::string remoteOf(char letter)
{
    const std::wstring local{static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(letter))), L':'};
    std::wstring remote(MAX_PATH, L'\0');
    DWORD size = static_cast<DWORD>(remote.size());
    DWORD status = WNetGetConnectionW(local.c_str(), remote.data(), &size);
    if (status == ERROR_MORE_DATA) {
        remote.resize(size);
        status = WNetGetConnectionW(local.c_str(), remote.data(), &size);
    }
    if (status != NO_ERROR)
        return {};
    remote.resize(std::wcslen(remote.c_str()));
    return narrow(remote);
}

std::optional<MappedDrive> systemDrive(char letter)
{
    const std::wstring root = rootOf(letter);
    MappedDrive mapped;
    mapped.drive.letter = letter;
    mapped.root = narrow(root);
    switch (GetDriveTypeW(root.c_str())) {
    case DRIVE_REMOVABLE:
    case DRIVE_CDROM:
        mapped.drive.kind = DriveKind::Removable;
        break;
    case DRIVE_FIXED:
    case DRIVE_RAMDISK:
        mapped.drive.kind = DriveKind::Fixed;
        break;
    case DRIVE_REMOTE:
        mapped.drive.kind = DriveKind::Network;
        mapped.drive.remotePath = remoteOf(letter);
        break;
    default:
        return std::nullopt; // no root folder: not a drive after all
    }
    return mapped;
}

} // namespace

bool isAbsoluteNative(std::string_view native)
{
    return (native.size() >= 3 && std::isalpha(static_cast<unsigned char>(native[0])) && native[1] == ':'
               && (native[2] == '\\' || native[2] == '/'))
        || (native.size() > 2 && (native[0] == '\\' || native[0] == '/') && (native[1] == '\\' || native[1] == '/'));
}

namespace {

// The images SORVANE2_DRIVES names: "a=C:\disks\GAME01.HDM|LABEL;b=...".
Result<std::vector<MappedDrive>> parseImageDrives(std::string_view text, const std::vector<char>& taken)
{
    std::vector<MappedDrive> list;
    for (const std::string& entry : dialect::splitElements(text, ";")) {
        if (entry.size() < 3 || entry[1] != '=' || !std::isalpha(static_cast<unsigned char>(entry[0])))
            return Error{EINVAL, "\"" + entry + "\" is not letter=image"};
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(entry[0])));
        std::string image = entry.substr(2);
        std::string label;
        bool labelGiven = false;
        if (const size_t bar = image.find('|'); bar != std::string::npos) {
            label = image.substr(bar + 1);
            image.resize(bar);
            labelGiven = true;
        }
        if (!isAbsoluteNative(image))
            return Error{EINVAL, "\"" + image + "\" is not an absolute path"};
        if (std::find(taken.begin(), taken.end(), letter) != taken.end())
            return Error{EINVAL, std::string("drive ") + letter + ": is a drive of the system"};
        if (std::any_of(list.begin(), list.end(), [&](const MappedDrive& m) { return m.drive.letter == letter; }))
            return Error{EINVAL, std::string("drive ") + letter + ": is given twice"};
        Result<std::string> absolute = images::os::absoluteImagePath(image);
        if (!absolute)
            return absolute.error();
        MappedDrive mapped;
        mapped.drive.letter = letter;
        mapped.drive.kind = (letter == 'a' || letter == 'b') ? DriveKind::Removable : DriveKind::Fixed;
        mapped.drive.label = label;
        mapped.labelGiven = labelGiven;
        mapped.drive.image = mapped.root = images::imageRoot(*absolute);
        list.push_back(std::move(mapped));
    }
    return list;
}

} // namespace

DriveMap loadDriveMap()
{
    DriveMap map;
    const std::vector<char> letters = systemDriveLetters();
    for (char letter : letters)
        if (std::optional<MappedDrive> mapped = systemDrive(letter))
            map.drives.push_back(std::move(*mapped));
    const std::string given = images::os::variable("SORVANE2_DRIVES");
    if (!given.empty()) {
        Result<std::vector<MappedDrive>> parsed = parseImageDrives(given, letters);
        if (parsed)
            map.drives.insert(map.drives.end(), parsed->begin(), parsed->end());
        else
            map.problem = "SORVANE2_DRIVES: " + parsed.error().message;
    }
    const std::string attached = images::os::variable(images::kAttachedVariable);
    if (const char letter = images::attachedLetter();
        letter && std::find(letters.begin(), letters.end(), letter) == letters.end()) {
        MappedDrive mapped;
        mapped.drive.letter = letter;
        mapped.drive.kind = (letter == 'a' || letter == 'b') ? DriveKind::Removable : DriveKind::Fixed;
        mapped.drive.image = mapped.root = attached.substr(2);
        std::erase_if(map.drives, [&](const MappedDrive& old) { return old.drive.letter == letter; });
        map.drives.push_back(std::move(mapped));
    }
    std::sort(map.drives.begin(), map.drives.end(),
        [](const MappedDrive& a, const MappedDrive& b) { return a.drive.letter < b.drive.letter; });
    return map;
}

} // namespace win32

namespace {

const MappedDrive* mappedDrive(const win32::DriveMap& map, char letter)
{
    letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    for (const MappedDrive& mapped : map.drives)
        if (mapped.drive.letter == letter)
            return &mapped;
    return nullptr;
}

std::string imageLabel(const MappedDrive& mapped)
{
    Result<std::shared_ptr<const image::Volume>> volume = images::imageVolume(mapped.drive.image);
    return volume ? (*volume)->label() : std::string();
}

// The label of a drive of the system; an error when it is not ready.
Result<std::string> systemLabel(const MappedDrive& mapped)
{
    win32::ErrorModeGuard quiet;
    wchar_t label[MAX_PATH + 1] = {};
    if (!GetVolumeInformationW(widen(mapped.root).c_str(), label, MAX_PATH + 1, nullptr, nullptr, nullptr,
                               nullptr, 0))
        return win32::lastError(std::string("drive ") + mapped.drive.letter + ":");
    return narrow(label);
}

} // namespace

// ── Drives ──────────────────────────────────────────────────────────────────

std::vector<Drive> drives()
{
    const win32::DriveMap map = win32::loadDriveMap();
    std::vector<Drive> list;
    for (const MappedDrive& mapped : map.drives) {
        Drive drive = mapped.drive;
        // Only fixed drives show their label: asking a floppy or a disc drive
        // for it would spin it up (or wait for it) on every listing.
        if (!mapped.labelGiven && !drive.image.empty())
            drive.label = imageLabel(mapped);
        else if (!mapped.labelGiven && drive.kind == DriveKind::Fixed)
            drive.label = systemLabel(mapped).valueOr(std::string());
        list.push_back(std::move(drive));
    }
    return list;
}

Result<std::string> volumeLabel(char letter)
{
    const win32::DriveMap map = win32::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + letter + ": does not exist"};
    if (!cwd::readyRoot(mapped->drive.letter))
        return Error{ENOMEDIUM, std::string("drive ") + letter + ": is not ready"};
    if (mapped->labelGiven)
        return mapped->drive.label;
    if (!mapped->drive.image.empty())
        return imageLabel(*mapped);
    return systemLabel(*mapped);
}

std::string driveMapProblem()
{
    return win32::loadDriveMap().problem;
}

// ── Paths ───────────────────────────────────────────────────────────────────

Result<std::string> toDialect(std::string_view nativePath)
{
    std::string absolute = win32::withoutPrefix(std::string(nativePath));
    std::replace(absolute.begin(), absolute.end(), '/', '\\');
    if (!win32::isAbsoluteNative(absolute)) {
        const std::wstring wide = widen(absolute);
        const DWORD size = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
        std::wstring full(size, L'\0');
        const DWORD length = size ? GetFullPathNameW(wide.c_str(), size, full.data(), nullptr) : 0;
        if (length == 0 || length >= size)
            return Error{EINVAL, "\"" + absolute + "\" is not a valid path"};
        full.resize(length);
        absolute = narrow(full);
    }
    const win32::DriveMap map = win32::loadDriveMap();
    // An image's files first: their native paths lie below the image file.
    std::vector<std::string> roots;
    for (const MappedDrive& mapped : map.drives)
        if (!mapped.drive.image.empty())
            roots.push_back(mapped.root);
    char letter = 0;
    std::string rest;
    if (std::optional<images::ImageLocation> where = images::locateInImage(roots, absolute)) {
        for (const MappedDrive& mapped : map.drives)
            if (mapped.root == where->image && !mapped.drive.image.empty())
                letter = mapped.drive.letter;
        rest = absolute.substr(where->image.size());
    } else if (absolute.size() >= 2 && absolute[1] == ':') {
        letter = static_cast<char>(std::tolower(static_cast<unsigned char>(absolute[0])));
        rest = absolute.substr(2);
    } else {
        // "\\server\share\...": through the network drive that maps the share.
        const std::vector<std::string> elements = dialect::splitElements(absolute, "\\");
        if (elements.size() >= 2) {
            const std::string share = "\\\\" + elements[0] + "\\" + elements[1];
            for (const MappedDrive& mapped : map.drives)
                if (mapped.drive.kind == DriveKind::Network && dialect::sameName(mapped.drive.remotePath, share))
                    letter = mapped.drive.letter;
            for (size_t i = 2; i < elements.size(); ++i)
                rest += "\\" + elements[i];
        }
    }
    if (letter < 'a' || letter > 'z')
        return Error{ENOENT, "\"" + absolute + "\" lies on no drive"};
    const std::vector<std::string> elements = dialect::splitElements(rest, "\\");
    for (const std::string& element : elements) {
        if (!dialect::isValidUtf8(element))
            return Error{EILSEQ, "\"" + absolute + "\": the name \"" + element
                                     + "\" cannot be written as a drive path"};
    }
    std::vector<std::string> parts;
    dialect::fold(parts, elements);
    return dialect::join(letter, parts);
}

// ── What the per-drive folders ask ─────────────────────────────────────────
// Windows keeps each drive's current folder for the command prompt in the
// hidden "=C:" variables: the folders start from them and are written back,
// so that a program started from here, or a library module, finds the same.

namespace cwd::os {

char startingDrive()
{
    return 'c';
}

std::string nativeCwd()
{
    const DWORD size = GetCurrentDirectoryW(0, nullptr);
    if (size == 0)
        return {};
    std::wstring buffer(size, L'\0');
    const DWORD length = GetCurrentDirectoryW(size, buffer.data());
    if (length == 0 || length >= size)
        return {};
    buffer.resize(length);
    return win32::withoutPrefix(narrow(buffer));
}

std::optional<std::string> startingFolder(char letter)
{
    const std::wstring name{L'=', static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(letter))), L':'};
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name.c_str(), buffer, 32768);
    if (length == 0 || length >= 32768)
        return std::nullopt;
    return narrow(std::wstring_view(buffer, length));
}

void rememberFolder(char letter, const std::string& native)
{
    const std::wstring name{L'=', static_cast<wchar_t>(std::toupper(static_cast<unsigned char>(letter))), L':'};
    SetEnvironmentVariableW(name.c_str(), widen(native).c_str());
}

Result<void> enter(const std::string& native, const std::string& shown)
{
    if (!SetCurrentDirectoryW(win32::longPath(native).c_str()))
        return win32::lastError(shown);
    return {};
}

Result<void> checkFolder(const std::string& native, const std::string& shown)
{
    win32::ErrorModeGuard quiet;
    const DWORD attributes = GetFileAttributesW(win32::longPath(native).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return win32::lastError(shown);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Error{ENOTDIR, shown + ": not a folder"};
    return {};
}

bool folderReadable(const std::string& native)
{
    win32::ErrorModeGuard quiet;
    const DWORD attributes = GetFileAttributesW(win32::longPath(native).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

char networkDrive(const std::string& share)
{
    for (const MappedDrive& mapped : win32::loadDriveMap().drives)
        if (mapped.drive.kind == DriveKind::Network && dialect::sameName(mapped.drive.remotePath, share))
            return mapped.drive.letter;
    return 0;
}

Result<DriveRoot> driveRoot(char letter)
{
    const win32::DriveMap map = win32::loadDriveMap();
    const MappedDrive* mapped = mappedDrive(map, letter);
    if (!mapped)
        return Error{ENODEV, std::string("drive ") + static_cast<char>(std::toupper(letter)) + ": does not exist"};
    if (!mapped->drive.image.empty())
        return DriveRoot{mapped->drive.image, true};
    return DriveRoot{mapped->root, false};
}

// The on-disk name in `folder` for `name` (Windows matches without regard to
// case itself); empty when there is none.
std::string spelling(const std::string& folder, const std::string& name)
{
    if (name.find_first_of("*?") != std::string::npos)
        return {};
    WIN32_FIND_DATAW found;
    win32::ErrorModeGuard quiet;
    HANDLE search = FindFirstFileExW(win32::longPath(win32::joinNative(folder, name)).c_str(), FindExInfoBasic,
                                     &found, FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return {};
    FindClose(search);
    return narrow(found.cFileName);
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    return win32::joinNative(folder, name);
}

} // namespace cwd::os

} // namespace platform
