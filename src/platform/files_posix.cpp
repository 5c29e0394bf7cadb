// Special folders and canonical paths on POSIX systems, and what files.cpp
// asks of them: free space, files and the folder walk of native paths.
#include "platform.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include "dialect.h"
#include "files_os.h"

namespace platform {

namespace {

// FAT file systems keep the MS-DOS attributes; Linux reports them through an ioctl.
constexpr long kMsdosMagic = 0x4d44;

std::string executableFolder()
{
    std::string buffer(4096, '\0');
    const ssize_t length = ::readlink("/proc/self/exe", buffer.data(), buffer.size() - 1);
    if (length <= 0)
        return {};
    buffer.resize(static_cast<size_t>(length));
    const size_t slash = buffer.rfind('/');
    return slash == 0 ? "/" : buffer.substr(0, slash);
}

std::string childPath(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

// Where an installed program keeps its own files, relative to the folder of
// the executable (bin/): the archiver modules and the shared data (the help
// page). The build sets both from its install layout.
#ifndef SORVANE2_MODULES_FROM_BIN
#define SORVANE2_MODULES_FROM_BIN "../lib/sorvane2"
#endif
#ifndef SORVANE2_DATA_FROM_BIN
#define SORVANE2_DATA_FROM_BIN "../share/sorvane2"
#endif

bool isFileAt(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The folder `relative` names from the executable's folder, absolute and
// resolved, or empty when there is no such folder.
std::string installedFolder(const char* relative)
{
    const std::string candidate = childPath(executableFolder(), relative);
    char* resolved = ::realpath(candidate.c_str(), nullptr);
    if (!resolved)
        return {};
    std::string folder(resolved);
    std::free(resolved);
    struct stat info;
    return ::stat(folder.c_str(), &info) == 0 && S_ISDIR(info.st_mode) ? folder : std::string();
}

// The modules' folder when none is given: the executable's own folder when
// UNLHA32.DLL is there (the build tree, a folder copied as a whole), else the
// installed modules folder, else the executable's folder again.
std::string defaultModuleFolder()
{
    const std::string own = executableFolder();
    if (isFileAt(childPath(own, "UNLHA32.DLL")))
        return own;
    const std::string installed = installedFolder(SORVANE2_MODULES_FROM_BIN);
    return installed.empty() ? own : installed;
}

} // namespace

// ── Canonical paths ─────────────────────────────────────────────────────────

Result<std::string> canonicalPath(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return native.error();
    // Follow the links of the longest part that exists; keep the rest as given.
    std::string existing = *native;
    std::string rest;
    while (true) {
        if (char* real = ::realpath(existing.c_str(), nullptr)) {
            std::string resolved = real;
            std::free(real);
            return rest.empty() ? resolved : childPath(resolved, rest);
        }
        if (errno != ENOENT && errno != ENOTDIR)
            return systemError(existing);
        const size_t slash = existing.rfind('/');
        if (slash == std::string::npos || existing == "/")
            return systemError(*native);
        const std::string element = existing.substr(slash + 1);
        rest = rest.empty() ? element : element + "/" + rest;
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
}

bool isInsideOrSame(std::string_view inner, std::string_view outer)
{
    if (inner == outer || outer == "/")
        return true;
    return inner.size() > outer.size() && inner.substr(0, outer.size()) == outer && inner[outer.size()] == '/';
}

// ── Special folders and space ───────────────────────────────────────────────

std::string tempFolder()
{
    const char* variable = std::getenv("TMPDIR");
    const std::string native = (variable && *variable == '/') ? variable : "/tmp";
    Result<std::string> dialectPath = toDialect(native);
    if (!dialectPath)
        return {};
    std::string folder = *dialectPath;
    if (folder.back() != '\\')
        folder += '\\';
    return folder;
}

std::string systemFolder()
{
    const char* variable = std::getenv("SORVANE2_SYSTEM_DIR");
    Result<std::string> folder = (variable && *variable)
        ? (*variable == '/' ? toDialect(variable) : fullPath(variable))
        : toDialect(defaultModuleFolder());
    if (!folder)
        return {};
    std::string text = *folder;
    if (text.size() > 3 && text.back() == '\\')
        text.pop_back();
    return text;
}

std::string programFile(const std::string& name)
{
    const std::string own = childPath(executableFolder(), name);
    if (isFileAt(own))
        return own;
    const std::string installed = installedFolder(SORVANE2_DATA_FROM_BIN);
    if (!installed.empty() && isFileAt(childPath(installed, name)))
        return childPath(installed, name);
    return own;
}

// ── What files.cpp asks of the system ───────────────────────────────────────

namespace sys {

Result<DiskFree> diskFree(const std::string& native, const std::string& shown)
{
    struct statvfs info;
    if (::statvfs(native.c_str(), &info) != 0)
        return systemError(shown);
    DiskFree space;
    space.bytesPerSector = info.f_frsize ? info.f_frsize : info.f_bsize;
    space.sectorsPerCluster = 1;
    space.freeClusters = info.f_bavail;
    space.totalClusters = info.f_blocks;
    return space;
}

bool canOpenForReading(const std::string& native)
{
    const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    struct stat info;
    const bool isFile = ::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode);
    ::close(fd);
    return isFile;
}

Result<std::string> onDiskName(const std::string& native, const std::string& shown)
{
    struct stat info;
    if (::lstat(native.c_str(), &info) != 0)
        return systemError(shown);
    if (native == "/")
        return std::string();
    return native.substr(native.rfind('/') + 1);
}

bool isFolder(const std::string& native)
{
    struct stat info;
    return ::stat(native.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

Result<void> checkWritableVolume(const std::string& native, const std::string& shown)
{
    // The nearest existing folder tells the volume.
    std::string existing = native;
    struct statvfs volume;
    while (::statvfs(existing.c_str(), &volume) != 0) {
        const size_t slash = existing.rfind('/');
        if (slash == std::string::npos || existing == "/")
            return {};
        existing = slash == 0 ? "/" : existing.substr(0, slash);
    }
    if (volume.f_flag & ST_RDONLY)
        return Error{EROFS, shown + ": the volume is mounted read only"};
    return {};
}

Result<void> makeFolder(const std::string& native, const std::string& shown)
{
    if (::mkdir(native.c_str(), 0777) != 0)
        return systemError(shown);
    return {};
}

Result<void> deleteFile(const std::string& native, const std::string& shown)
{
    struct stat info;
    if (::lstat(native.c_str(), &info) != 0)
        return systemError(shown);
    if (S_ISDIR(info.st_mode))
        return Error{EISDIR, shown + ": is a folder"};
    if (::unlink(native.c_str()) != 0)
        return systemError(shown);
    return {};
}

} // namespace sys

// ── Folder walk ─────────────────────────────────────────────────────────────

namespace {

struct Walker {
    const WalkOptions& options;
    const std::function<bool(const WalkEntry&)>& visit;
    bool onFat = false;
    bool stopped = false;

    void readFatAttributes(const std::string& native, WalkEntry& entry) const
    {
        const int fd = ::open(native.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW);
        if (fd < 0)
            return;
        __u32 attributes = 0;
        if (::ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0) {
            entry.hidden = entry.hidden || (attributes & ATTR_HIDDEN);
            entry.system = (attributes & ATTR_SYS) != 0;
            entry.readOnly = (attributes & ATTR_RO) != 0;
        }
        ::close(fd);
    }

    Result<void> walk(const std::string& native, const std::string& relative)
    {
        DIR* dir = ::opendir(native.c_str());
        if (!dir)
            return systemError(relative.empty() ? native : relative);
        std::vector<std::string> names;
        errno = 0;
        while (const dirent* item = ::readdir(dir)) {
            if (std::strcmp(item->d_name, ".") != 0 && std::strcmp(item->d_name, "..") != 0)
                names.emplace_back(item->d_name);
            errno = 0;
        }
        const int readError = errno;
        ::closedir(dir);
        if (readError)
            return systemError(relative.empty() ? native : relative, readError);
        std::sort(names.begin(), names.end());

        for (const std::string& name : names) {
            const std::string path = childPath(native, name);
            if (name.find('\\') != std::string::npos || !dialect::isValidUtf8(name))
                return Error{EILSEQ, path + ": the name cannot be written as a drive path"};
            struct stat info;
            if (::lstat(path.c_str(), &info) != 0)
                return systemError(path);
            WalkEntry entry;
            entry.relative = relative.empty() ? name : relative + "\\" + name;
            entry.native = path;
            entry.mtime = info.st_mtim.tv_sec;
            entry.mtimeNanos = static_cast<std::uint32_t>(info.st_mtim.tv_nsec);
            entry.hidden = name[0] == '.';
            entry.readOnly = (info.st_mode & S_IWUSR) == 0;
            if (S_ISDIR(info.st_mode)) {
                entry.type = EntryType::Folder;
            } else if (S_ISLNK(info.st_mode)) {
                entry.type = EntryType::Symlink;
                std::string target(4096, '\0');
                const ssize_t length = ::readlink(path.c_str(), target.data(), target.size());
                target.resize(length > 0 ? static_cast<size_t>(length) : 0);
                entry.linkTarget = target;
            } else {
                entry.type = EntryType::File;
                entry.size = static_cast<std::uint64_t>(info.st_size);
            }
            if (onFat && entry.type != EntryType::Symlink)
                readFatAttributes(path, entry);
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

Result<void> sys::walkFolder(const std::string& native, const std::string&, const WalkOptions& options,
                             const std::function<bool(const WalkEntry&)>& visit)
{
    Walker walker{options, visit};
    struct statfs fs;
    walker.onFat = ::statfs(native.c_str(), &fs) == 0 && fs.f_type == kMsdosMagic;
    return walker.walk(native, {});
}

std::vector<std::string> programArguments(int argc, char* argv[])
{
    return std::vector<std::string>(argv, argv + argc);
}

} // namespace platform
