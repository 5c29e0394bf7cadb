// What the writers take from a folder walk.
#include "source_walk.h"

#include <cctype>

#include "file_io.h"

namespace archivers {

SourceCheck checkSource(const platform::WalkEntry& entry)
{
    SourceCheck check;
    check.mtime = entry.mtime;
    if (entry.type == platform::EntryType::Folder) {
        check.storable = true;
        return check;
    }
    NodeStatus status;
    if (entry.type == platform::EntryType::Symlink) {
        status = nodeStatus(entry.native, true);
        if (status.type == NodeType::Missing || status.type == NodeType::Folder) {
            check.skipped = entry.relative + ": symbolic link to a folder or nothing, not stored";
            return check;
        }
        if (status.type != NodeType::File) {
            check.skipped = entry.relative + ": symbolic link to " + status.kind + ", not stored";
            return check;
        }
        check.mtime = status.mtime;
    } else if (status = nodeStatus(entry.native, false); status.type == NodeType::Missing) {
        // Gone since the walk saw it: the writer reports it when it opens it.
        check.storable = true;
        check.size = entry.size;
        return check;
    } else if (status.type != NodeType::File) {
        check.skipped = entry.relative + ": " + status.kind + ", not stored";
        return check;
    }
    check.storable = true;
    check.size = status.size;
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
