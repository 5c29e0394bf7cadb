// Special folders and canonical paths on Windows, and what files.cpp asks
// of it: free space, files and the folder walk of native paths.
#include "platform.h"

#include <windows.h>
#include <winioctl.h>
#include <shellapi.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "dialect.h"
#include "drives_win32.h"
#include "files_os.h"
#include "image_drive.h"
#include "image_drive_os.h"

namespace platform {

namespace {

std::string executableFolder()
{
    std::wstring buffer(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
        if (length == 0)
            return {};
        if (length < buffer.size()) {
            buffer.resize(length);
            break;
        }
        buffer.resize(buffer.size() * 2);
    }
    const std::string path = win32::withoutPrefix(narrow(buffer));
    const size_t slash = path.rfind('\\');
    if (slash == std::string::npos)
        return {};
    return slash == 2 ? path.substr(0, 3) : path.substr(0, slash);
}

DWORD attributesOf(const std::string& native)
{
    win32::ErrorModeGuard quiet;
    return GetFileAttributesW(win32::longPath(native).c_str());
}

// The parent of a native path; the path itself for a root ("C:\", "\\srv\share").
std::string parentOf(const std::string& native)
{
    const size_t slash = native.find_last_of("\\/");
    if (slash == std::string::npos)
        return native;
    if (slash == 2 && native[1] == ':')
        return native.substr(0, 3);
    if (native.starts_with("\\\\") && std::count(native.begin(), native.end(), '\\') <= 3)
        return native;
    return native.substr(0, slash);
}

// The folder the volume holding `native` is mounted at ("C:\", or a folder a
// volume is mounted on), from the nearest part of the path that exists.
std::wstring volumeRoot(const std::string& native)
{
    std::string existing = native;
    while (attributesOf(existing) == INVALID_FILE_ATTRIBUTES) {
        const std::string parent = parentOf(existing);
        if (parent == existing)
            break;
        existing = parent;
    }
    wchar_t root[MAX_PATH + 1];
    if (!GetVolumePathNameW(win32::longPath(existing).c_str(), root, MAX_PATH + 1))
        return {};
    return root;
}

std::int64_t unixTime(const FILETIME& time, std::uint32_t* nanos)
{
    // 100 ns steps since 1601.
    const std::int64_t ticks = static_cast<std::int64_t>((std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime)
        - 116444736000000000ll;
    const std::int64_t rest = (ticks % 10000000 + 10000000) % 10000000;
    *nanos = static_cast<std::uint32_t>(rest * 100);
    return (ticks - rest) / 10000000;
}

// The final path of an existing file or folder, every link followed.
std::optional<std::string> finalPath(const std::string& native)
{
    win32::ErrorModeGuard quiet;
    HANDLE handle = CreateFileW(win32::longPath(native).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return std::nullopt;
    std::wstring buffer(MAX_PATH, L'\0');
    DWORD length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    if (length >= buffer.size()) {
        buffer.resize(length + 1);
        length = GetFinalPathNameByHandleW(handle, buffer.data(), static_cast<DWORD>(buffer.size()),
                                           FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    }
    CloseHandle(handle);
    if (length == 0 || length >= buffer.size())
        return std::nullopt;
    buffer.resize(length);
    return win32::withoutPrefix(narrow(buffer));
}

} // namespace

// ── Canonical paths ─────────────────────────────────────────────────────────

Result<std::string> canonicalPath(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return native.error();
    if (images::locateInImage(*native))
        return native; // an image holds no links
    // Follow the links of the longest part that exists; keep the rest as given.
    std::string existing = *native;
    std::string rest;
    while (true) {
        if (std::optional<std::string> resolved = finalPath(existing))
            return rest.empty() ? *resolved : win32::joinNative(*resolved, rest);
        const std::string parent = parentOf(existing);
        if (parent == existing)
            return win32::lastError(std::string(path));
        const std::string element = existing.substr(existing.find_last_of("\\/") + 1);
        rest = rest.empty() ? element : element + "\\" + rest;
        existing = parent;
    }
}

bool isInsideOrSame(std::string_view inner, std::string_view outer)
{
    // Windows names match without regard to case.
    const std::u32string in = dialect::caseFolded(inner);
    std::u32string out = dialect::caseFolded(outer);
    if (in == out)
        return true;
    if (!out.empty() && out.back() == U'\\')
        out.pop_back();
    return in.size() > out.size() && in.compare(0, out.size(), out) == 0 && in[out.size()] == U'\\';
}

// ── Special folders and space ───────────────────────────────────────────────

std::string tempFolder()
{
    wchar_t buffer[MAX_PATH + 2];
    const DWORD length = GetTempPathW(MAX_PATH + 2, buffer);
    if (length == 0 || length > MAX_PATH + 1)
        return {};
    Result<std::string> dialectPath = toDialect(narrow(std::wstring_view(buffer, length)));
    if (!dialectPath)
        return {};
    std::string folder = *dialectPath;
    if (folder.back() != '\\')
        folder += '\\';
    return folder;
}

std::string systemFolder()
{
    // The modules sit beside the program on Windows, installed or not.
    const std::string variable = images::os::variable("SORVANE2_SYSTEM_DIR");
    Result<std::string> folder = variable.empty() ? toDialect(executableFolder()) : fullPath(variable);
    if (!folder)
        return {};
    std::string text = *folder;
    if (text.size() > 3 && text.back() == '\\')
        text.pop_back();
    return text;
}

std::string programFile(const std::string& name)
{
    return win32::joinNative(executableFolder(), name);
}

// ── What files.cpp asks of the system ───────────────────────────────────────

namespace sys {

Result<DiskFree> diskFree(const std::string& native, const std::string& shown)
{
    const std::wstring root = volumeRoot(native);
    DWORD sectorsPerCluster = 0, bytesPerSector = 0, freeClusters = 0, totalClusters = 0;
    win32::ErrorModeGuard quiet;
    if (root.empty()
        || !GetDiskFreeSpaceW(root.c_str(), &sectorsPerCluster, &bytesPerSector, &freeClusters, &totalClusters))
        return win32::lastError(shown);
    DiskFree space;
    space.bytesPerSector = bytesPerSector;
    space.sectorsPerCluster = sectorsPerCluster;
    space.freeClusters = freeClusters;
    space.totalClusters = totalClusters;
    // Volumes past what the cluster counts can hold: the byte counts of the
    // larger call, in clusters.
    ULARGE_INTEGER available, total;
    const std::uint64_t cluster = std::uint64_t{bytesPerSector} * sectorsPerCluster;
    if (cluster && GetDiskFreeSpaceExW(root.c_str(), &available, &total, nullptr)) {
        space.freeClusters = available.QuadPart / cluster;
        space.totalClusters = total.QuadPart / cluster;
    }
    return space;
}

bool canOpenForReading(const std::string& native)
{
    win32::ErrorModeGuard quiet;
    // Without backup semantics a folder does not open.
    HANDLE handle = CreateFileW(win32::longPath(native).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return false;
    CloseHandle(handle);
    return !(attributesOf(native) & FILE_ATTRIBUTE_DIRECTORY);
}

Result<std::string> onDiskName(const std::string& native, const std::string& shown)
{
    if (parentOf(native) == native) {
        if (attributesOf(native) == INVALID_FILE_ATTRIBUTES)
            return win32::lastError(shown);
        return std::string();
    }
    if (native.find_first_of("*?") != std::string::npos)
        return Error{ENOENT, shown + ": " + std::strerror(ENOENT)};
    WIN32_FIND_DATAW found;
    win32::ErrorModeGuard quiet;
    HANDLE search = FindFirstFileExW(win32::longPath(native).c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return win32::lastError(shown);
    FindClose(search);
    return narrow(found.cFileName);
}

bool isFolder(const std::string& native)
{
    const DWORD attributes = attributesOf(native);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Result<void> checkWritableVolume(const std::string& native, const std::string& shown)
{
    const std::wstring root = volumeRoot(native);
    DWORD flags = 0;
    win32::ErrorModeGuard quiet;
    if (root.empty() || !GetVolumeInformationW(root.c_str(), nullptr, 0, nullptr, nullptr, &flags, nullptr, 0))
        return {}; // the write itself will tell
    if (flags & FILE_READ_ONLY_VOLUME)
        return Error{EROFS, shown + ": the volume is read only"};
    return {};
}

Result<void> makeFolder(const std::string& native, const std::string& shown)
{
    win32::ErrorModeGuard quiet;
    if (!CreateDirectoryW(win32::longPath(native).c_str(), nullptr))
        return win32::lastError(shown);
    return {};
}

Result<void> deleteFile(const std::string& native, const std::string& shown)
{
    const DWORD attributes = attributesOf(native);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return win32::lastError(shown);
    // A link to a folder is a folder's entry too: removed with RemoveDirectory, never here.
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return Error{EISDIR, shown + ": is a folder"};
    if (!DeleteFileW(win32::longPath(native).c_str()))
        return win32::lastError(shown);
    return {};
}

} // namespace sys

// ── Folder walk ─────────────────────────────────────────────────────────────

namespace {

// What a symbolic link or junction points at, as stored in it (its print
// name); empty when it cannot be read.
std::string linkTargetOf(const std::string& native)
{
    HANDLE handle = CreateFileW(win32::longPath(native).c_str(), FILE_READ_ATTRIBUTES,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return {};
    std::vector<unsigned char> data(MAXIMUM_REPARSE_DATA_BUFFER_SIZE);
    DWORD got = 0;
    const BOOL read = DeviceIoControl(handle, FSCTL_GET_REPARSE_POINT, nullptr, 0, data.data(),
                                      static_cast<DWORD>(data.size()), &got, nullptr);
    CloseHandle(handle);
    // The reparse data: tag, length, reserved, then for links and junctions
    // the offsets and lengths of the substitute and print names, a flags
    // word for links only, and the names.
    if (!read || got < 16)
        return {};
    auto word = [&](size_t at) { return static_cast<size_t>(data[at] | (data[at + 1] << 8)); };
    std::uint32_t tag;
    std::memcpy(&tag, data.data(), sizeof tag);
    size_t names;
    if (tag == IO_REPARSE_TAG_SYMLINK)
        names = 20;
    else if (tag == IO_REPARSE_TAG_MOUNT_POINT)
        names = 16;
    else
        return {};
    size_t offset = word(12), length = word(14); // the print name
    if (length == 0) {
        offset = word(8); // no print name: the substitute name
        length = word(10);
    }
    if (names + offset + length > got || length % 2)
        return {};
    std::wstring target(length / 2, L'\0');
    std::memcpy(target.data(), data.data() + names + offset, length);
    return win32::withoutPrefix(narrow(target));
}

struct Walker {
    const WalkOptions& options;
    const std::function<bool(const WalkEntry&)>& visit;
    bool stopped = false;

    Result<void> walk(const std::string& native, const std::string& relative)
    {
        struct Found {
            std::string name;
            WIN32_FIND_DATAW data;
        };
        std::vector<Found> entries;
        WIN32_FIND_DATAW data;
        win32::ErrorModeGuard quiet;
        HANDLE search = FindFirstFileExW(win32::longPath(win32::joinNative(native, "*")).c_str(), FindExInfoBasic,
                                         &data, FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (search == INVALID_HANDLE_VALUE) {
            if (GetLastError() == ERROR_FILE_NOT_FOUND)
                return {}; // an empty root
            return win32::lastError(relative.empty() ? native : relative);
        }
        do {
            if (std::wcscmp(data.cFileName, L".") != 0 && std::wcscmp(data.cFileName, L"..") != 0)
                entries.push_back({narrow(data.cFileName), data});
        } while (FindNextFileW(search, &data));
        const DWORD readError = GetLastError();
        FindClose(search);
        if (readError != ERROR_NO_MORE_FILES)
            return win32::lastError(relative.empty() ? native : relative, readError);
        std::sort(entries.begin(), entries.end(), [](const Found& a, const Found& b) { return a.name < b.name; });

        for (const Found& found : entries) {
            const std::string& name = found.name;
            const std::string path = win32::joinNative(native, name);
            if (name.find("\xEF\xBF\xBD") != std::string::npos
                && std::wstring_view(found.data.cFileName).find(L'\xFFFD') == std::wstring_view::npos)
                return Error{EILSEQ, path + ": the name cannot be written as a drive path"};
            const DWORD attributes = found.data.dwFileAttributes;
            WalkEntry entry;
            entry.relative = relative.empty() ? name : relative + "\\" + name;
            entry.native = path;
            entry.mtime = unixTime(found.data.ftLastWriteTime, &entry.mtimeNanos);
            entry.hidden = name[0] == '.' || (attributes & FILE_ATTRIBUTE_HIDDEN);
            entry.system = (attributes & FILE_ATTRIBUTE_SYSTEM) != 0;
            entry.readOnly = (attributes & FILE_ATTRIBUTE_READONLY) != 0;
            if (attributes & FILE_ATTRIBUTE_REPARSE_POINT
                && (found.data.dwReserved0 == IO_REPARSE_TAG_SYMLINK
                    || found.data.dwReserved0 == IO_REPARSE_TAG_MOUNT_POINT)) {
                entry.type = EntryType::Symlink;
                entry.linkTarget = linkTargetOf(path);
            } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                entry.type = EntryType::Folder;
            } else {
                entry.type = EntryType::File;
                entry.size = (std::uint64_t{found.data.nFileSizeHigh} << 32) | found.data.nFileSizeLow;
            }
            if (!visit(entry)) {
                stopped = true;
                return {};
            }
            if (entry.type == EntryType::Folder && options.recurse) {
                Result<void> inner = walk(path, entry.relative);
                if (!inner || stopped)
                    return inner;
            }
        }
        return {};
    }
};

} // namespace

Result<void> sys::walkFolder(const std::string& native, const std::string& shown, const WalkOptions& options,
                             const std::function<bool(const WalkEntry&)>& visit)
{
    const DWORD attributes = attributesOf(native);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return win32::lastError(shown);
    if (!(attributes & FILE_ATTRIBUTE_DIRECTORY))
        return Error{ENOTDIR, shown + ": not a folder"};
    Walker walker{options, visit};
    return walker.walk(native, {});
}

std::vector<std::string> programArguments(int argc, char* argv[])
{
    int count = 0;
    LPWSTR* wide = ::CommandLineToArgvW(::GetCommandLineW(), &count);
    if (!wide)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> arguments;
    for (int i = 0; i < count; ++i)
        arguments.push_back(narrow(wide[i]));
    ::LocalFree(wide);
    return arguments;
}

} // namespace platform
