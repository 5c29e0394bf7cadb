// Loading a module file and finding its functions: dlopen on POSIX systems,
// LoadLibraryExW on Windows.
#pragma once

#include <optional>
#include <string>

namespace engine::modules {

// moduleFile: the native path of the file `name` in the native folder
// `folder`, when a regular file is there.
std::optional<std::string> moduleFile(const std::string& folder, const char* name);

// load: the module at the native path `nativePath`, its own dependencies
// searched for in its folder first; null when it cannot be loaded.
void* load(const std::string& nativePath);

// symbol: the address of the exported function `name`; null when missing.
void* symbol(void* module, const char* name);

void unload(void* module);

} // namespace engine::modules
