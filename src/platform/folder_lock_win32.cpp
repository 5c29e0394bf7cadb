// Folder locks on Windows: a lock on a file in the folder (LockFileEx), since
// Windows locks byte ranges of files, not folders.
#include "folder_lock.h"

#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include "win32_text.h"

namespace platform {

namespace {

// Left in place between uses: deleting it on unlock would let a writer that
// just opened the old file lock something no other writer sees.
constexpr const wchar_t* kLockName = L"\\.sorvane2-lock";

} // namespace

FolderLock::FolderLock(const std::string& folder)
{
    HANDLE file = CreateFileW((widen(folder) + kLockName).c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_HIDDEN, nullptr);
    if (file == INVALID_HANDLE_VALUE)
        return;
    OVERLAPPED whole{};
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK, 0, 1, 0, &whole)) {
        CloseHandle(file);
        return;
    }
    // The descriptor owns the handle from here: closing it releases the lock.
    m_fd = _open_osfhandle(reinterpret_cast<intptr_t>(file), _O_RDWR);
    if (m_fd < 0)
        CloseHandle(file);
}

FolderLock::~FolderLock()
{
    if (m_fd >= 0)
        _close(m_fd);
}

void removeStaleTemps(const std::string& folder, const std::string& prefix)
{
    const std::wstring base = widen(folder) + L"\\";
    const std::wstring wanted = widen(prefix);
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileExW((base + wanted + L"*").c_str(), FindExInfoBasic, &found,
                                     FindExSearchNameMatch, nullptr, 0);
    if (search == INVALID_HANDLE_VALUE)
        return;
    do {
        // The pattern matches short names too: only names that really start so.
        if (std::wstring_view(found.cFileName).starts_with(wanted)
            && !(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            DeleteFileW((base + found.cFileName).c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
}

} // namespace platform
