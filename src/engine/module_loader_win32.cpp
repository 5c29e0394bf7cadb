// Loading a module file with LoadLibraryExW.
#include "module_loader.h"

#include <windows.h>

#include "platform/win32_text.h"

namespace engine::modules {

std::optional<std::string> moduleFile(const std::string& folder, const char* name)
{
    const bool separated = !folder.empty() && (folder.back() == '\\' || folder.back() == '/');
    const std::string path = folder + (separated ? "" : "\\") + name;
    const DWORD attributes = ::GetFileAttributesW(platform::widen(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY))
        return std::nullopt;
    return path;
}

void* load(const std::string& nativePath)
{
    // The altered search path starts in the module's own folder, where
    // ZIP32J.DLL and UNZIP32.DLL find IZIP32J.DLL, rather than in the
    // program's. No message box for a module that is not a DLL.
    DWORD previous = 0;
    const bool quiet = ::SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous);
    HMODULE module = ::LoadLibraryExW(platform::widen(nativePath).c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (quiet)
        ::SetThreadErrorMode(previous, nullptr);
    return reinterpret_cast<void*>(module);
}

void* symbol(void* module, const char* name)
{
    return reinterpret_cast<void*>(::GetProcAddress(static_cast<HMODULE>(module), name));
}

void unload(void* module)
{
    ::FreeLibrary(static_cast<HMODULE>(module));
}

} // namespace engine::modules
