// Loading the archiver library modules and the availability check.
#include "archiver_library.h"

#include <cstdio>

#include <dlfcn.h>

#include "basvelt.h"
#include "platform/platform.h"

namespace engine {

namespace {

using CommandFunction = int (*)(void*, const char*, char*, unsigned long);
using VersionFunction = unsigned short (*)();
using RunningFunction = int (*)();
using ProgressCallback = int (*)(void*, unsigned long long, unsigned long long, const char*);
using SetProgressFunction = int (*)(ProgressCallback, void*);

struct ProgressBridge {
    ProgressHandler handler;
    void* context;
};

int forwardProgress(void* bridge, unsigned long long done, unsigned long long total, const char* entry)
{
    auto* b = static_cast<ProgressBridge*>(bridge);
    return b->handler(b->context, done, total, entry) ? 1 : 0;
}

// A module loaded with dlopen; the functions are resolved by its prefix.
class LoadedLibrary final : public ArchiverLibrary {
public:
    static std::shared_ptr<LoadedLibrary> load(const std::string& nativePath, const std::string& prefix,
                                               ProgressHandler progress, void* context)
    {
        void* handle = ::dlopen(nativePath.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle)
            return nullptr;
        auto library = std::shared_ptr<LoadedLibrary>(new LoadedLibrary(handle));
        library->m_command = reinterpret_cast<CommandFunction>(::dlsym(handle, prefix.c_str()));
        library->m_version = reinterpret_cast<VersionFunction>(::dlsym(handle, (prefix + "GetVersion").c_str()));
        library->m_running = reinterpret_cast<RunningFunction>(::dlsym(handle, (prefix + "GetRunning").c_str()));
        auto setProgress = reinterpret_cast<SetProgressFunction>(::dlsym(handle, (prefix + "SetProgress").c_str()));
        if (!library->m_command || !library->m_version || !library->m_running)
            return nullptr;
        if (progress && setProgress) {
            library->m_bridge = {progress, context};
            setProgress(forwardProgress, &library->m_bridge);
        }
        return library;
    }

    ~LoadedLibrary() override { ::dlclose(m_handle); }

    int command(const std::string& commandLine) override
    {
        // The program never reads the library's report: an empty buffer.
        return m_command(nullptr, commandLine.c_str(), nullptr, 0);
    }
    bool running() override { return m_running() != 0; }
    std::int16_t version() override { return static_cast<std::int16_t>(m_version()); }

private:
    explicit LoadedLibrary(void* handle) : m_handle(handle) {}

    void* m_handle;
    CommandFunction m_command = nullptr;
    VersionFunction m_version = nullptr;
    RunningFunction m_running = nullptr;
    ProgressBridge m_bridge{};
};

std::string nativeOf(const std::string& dialectPath)
{
    return platform::toNative(dialectPath).valueOr(std::string());
}

} // namespace

std::string versionText(std::int16_t version)
{
    char text[16];
    std::snprintf(text, sizeof text, "%.2f", static_cast<double>(static_cast<float>(version) / 100.0f));
    return text;
}

std::vector<AboutLine> aboutLines(const Availability& availability)
{
    std::vector<AboutLine> lines;
    if (availability.lzh)
        lines.push_back({"UNLHA32.DLL", versionText(availability.lzhVersion)});
    if (availability.unzip)
        lines.push_back({"UNZIP32.DLL", versionText(availability.unzipVersion)});
    if (availability.zip)
        lines.push_back({"ZIP32J.DLL", versionText(availability.zipVersion)});
    lines.resize(3);
    return lines;
}

LibrarySet loadLibraries(const std::string& systemFolder, ProgressHandler progress, void* context)
{
    LibrarySet set;
    const std::string folder = systemFolder;
    if (basVelt::FileExists(folder + "\\UNLHA32.DLL")) {
        set.lzh = LoadedLibrary::load(nativeOf(folder + "\\UNLHA32.DLL"), "Unlha", progress, context);
        if (!set.lzh)
            return LibrarySet{}; // a failure during the check: nothing is available
        set.availability.lzh = true;
        set.availability.lzhVersion = set.lzh->version();
    }
    if (basVelt::FileExists(folder + "\\IZIP32J.DLL") && basVelt::FileExists(folder + "\\ZIP32J.DLL")
        && basVelt::FileExists(folder + "\\UNZIP32.DLL")) {
        set.zip = LoadedLibrary::load(nativeOf(folder + "\\ZIP32J.DLL"), "Zip", progress, context);
        set.unzip = LoadedLibrary::load(nativeOf(folder + "\\UNZIP32.DLL"), "UnZip", progress, context);
        if (!set.zip || !set.unzip)
            return LibrarySet{};
        set.availability.zip = true;
        set.availability.zipVersion = set.zip->version();
        set.availability.unzip = true;
        set.availability.unzipVersion = set.unzip->version();
    }
    return set;
}

} // namespace engine
