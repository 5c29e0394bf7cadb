// What the writers take from a folder walk.
#include "source_walk.h"

#include <cctype>

#include <sys/stat.h>

namespace archivers {

namespace {

const char* kindOf(mode_t mode)
{
    if (S_ISFIFO(mode))
        return "a FIFO";
    if (S_ISSOCK(mode))
        return "a socket";
    if (S_ISCHR(mode))
        return "a character device";
    if (S_ISBLK(mode))
        return "a block device";
    return "not a regular file";
}

} // namespace

SourceCheck checkSource(const platform::WalkEntry& entry)
{
    SourceCheck check;
    check.mtime = entry.mtime;
    if (entry.type == platform::EntryType::Folder) {
        check.storable = true;
        return check;
    }
    struct stat info;
    if (entry.type == platform::EntryType::Symlink) {
        if (::stat(entry.native.c_str(), &info) != 0 || S_ISDIR(info.st_mode)) {
            check.skipped = entry.relative + ": symbolic link to a folder or nothing, not stored";
            return check;
        }
        if (!S_ISREG(info.st_mode)) {
            check.skipped = entry.relative + ": symbolic link to " + kindOf(info.st_mode) + ", not stored";
            return check;
        }
        check.mtime = info.st_mtim.tv_sec;
    } else if (::lstat(entry.native.c_str(), &info) != 0) {
        // Gone since the walk saw it: the writer reports it when it opens it.
        check.storable = true;
        check.size = entry.size;
        return check;
    } else if (!S_ISREG(info.st_mode)) {
        check.skipped = entry.relative + ": " + kindOf(info.st_mode) + ", not stored";
        return check;
    }
    check.storable = true;
    check.size = static_cast<std::uint64_t>(info.st_size);
    return check;
}

bool isTemporaryName(const std::string& name)
{
    for (const char* prefix : {kLzhTempPrefix, kZipTempPrefix}) {
        const std::string start = prefix;
        if (name.size() != start.size() + 6 || name.compare(0, start.size(), start) != 0)
            continue;
        bool random = true;
        for (size_t i = start.size(); i < name.size(); ++i)
            random = random && std::isalnum(static_cast<unsigned char>(name[i]));
        if (random)
            return true;
    }
    return false;
}

} // namespace archivers
