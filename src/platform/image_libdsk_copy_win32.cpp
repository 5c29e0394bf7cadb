// libdsk's copy of an image on Windows: a temporary file, deleted when done.
// libdsk opens it with the C library's fopen(), which takes names in the
// ANSI code page, so the name given is the file's short (8.3) name, which
// that code page can always hold.
#include "image_libdsk_copy.h"

#include <algorithm>
#include <cerrno>

#include "win32_text.h"

namespace platform::image::libdsk {

namespace {

// The short name of `wide` in the ANSI code page; empty when it has none
// that the code page holds.
std::string ansiShortName(const std::wstring& wide)
{
    const DWORD size = GetShortPathNameW(wide.c_str(), nullptr, 0);
    if (size == 0)
        return {};
    std::wstring shortName(size, L'\0');
    const DWORD length = GetShortPathNameW(wide.c_str(), shortName.data(), size);
    if (length == 0 || length >= size)
        return {};
    shortName.resize(length);
    BOOL lossy = FALSE;
    const int count = WideCharToMultiByte(CP_ACP, 0, shortName.data(), static_cast<int>(length), nullptr, 0,
                                          nullptr, &lossy);
    if (count <= 0 || lossy)
        return {};
    std::string ansi(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_ACP, 0, shortName.data(), static_cast<int>(length), ansi.data(), count, nullptr,
                        &lossy);
    return lossy ? std::string() : ansi;
}

} // namespace

PrivateCopy::PrivateCopy(const std::string& bytes)
{
    wchar_t folder[MAX_PATH + 1];
    wchar_t name[MAX_PATH + 1];
    const DWORD folderLength = GetTempPathW(MAX_PATH + 1, folder);
    if (folderLength == 0 || folderLength > MAX_PATH || GetTempFileNameW(folder, L"sv2", 0, name) == 0) {
        errno = ENOSPC;
        return;
    }
    // Only this process can open it while it is written; libdsk reads it after.
    HANDLE file = CreateFileW(name, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                              FILE_ATTRIBUTE_TEMPORARY, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DeleteFileW(name);
        errno = EACCES;
        return;
    }
    std::size_t done = 0;
    bool written = true;
    while (written && done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 20));
        DWORD wrote = 0;
        written = WriteFile(file, bytes.data() + done, chunk, &wrote, nullptr) && wrote == chunk;
        done += wrote;
    }
    CloseHandle(file);
    m_removeOnClose = narrow(name);
    if (!written) {
        errno = ENOSPC;
        return;
    }
    m_path = ansiShortName(name);
    if (m_path.empty())
        errno = ENAMETOOLONG;
}

PrivateCopy::~PrivateCopy()
{
    if (!m_removeOnClose.empty())
        DeleteFileW(widen(m_removeOnClose).c_str());
}

} // namespace platform::image::libdsk
