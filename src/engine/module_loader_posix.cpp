// Loading a module file with dlopen.
#include "module_loader.h"

#include <dlfcn.h>
#include <sys/stat.h>

namespace engine::modules {

std::optional<std::string> moduleFile(const std::string& folder, const char* name)
{
    const std::string path = folder + "/" + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return path;
}

void* load(const std::string& nativePath)
{
    // ZIP32J.DLL and UNZIP32.DLL find IZIP32J.DLL through their $ORIGIN run path.
    return ::dlopen(nativePath.c_str(), RTLD_NOW | RTLD_LOCAL);
}

void* symbol(void* module, const char* name)
{
    return ::dlsym(module, name);
}

void unload(void* module)
{
    ::dlclose(module);
}

} // namespace engine::modules
