// An exclusive lock on a folder, and the sweep of what killed writers left in it.
#pragma once

#include <string>

namespace platform {

// An exclusive lock on a folder, held while a file in it is rewritten, so that
// two writers of one file take turns (POSIX: flock on the folder; Windows:
// LockFileEx on a hidden lock file in it, as folders cannot be locked there).
// held() is false when the folder could not be opened or locked.
class FolderLock {
public:
    explicit FolderLock(const std::string& folder);
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1; // a C library descriptor of the locked file or folder
};

// removeStaleTemps: delete files in `folder` whose names start with
// `prefix`: what a killed writer left. Call only while holding the folder's lock.
void removeStaleTemps(const std::string& folder, const std::string& prefix);

} // namespace platform
