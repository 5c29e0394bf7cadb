// Loading the archiver library modules and the availability check.
#include "archiver_library.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include <dlfcn.h>
#include <sys/stat.h>

#include "basvelt.h"
#include "platform/platform.h"

namespace engine {

namespace {

using CommandFunction = int (*)(void*, const char*, char*, unsigned long);
using VersionFunction = unsigned short (*)();
using RunningFunction = int (*)();
using ProgressCallback = int (*)(void*, unsigned long long, unsigned long long, const char*);
using SetProgressFunction = int (*)(ProgressCallback, void*);

// Room for a library's report of one call; a longer report is cut.
constexpr unsigned long kReportSize = 64 * 1024;

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
        // The report names the file and the cause of a failure; kept for the caller.
        std::string buffer(kReportSize, '\0');
        const int code = m_command(nullptr, commandLine.c_str(), buffer.data(), kReportSize);
        buffer.resize(std::strlen(buffer.c_str()));
        m_report = std::move(buffer);
        return code;
    }
    std::string report() const override { return m_report; }
    bool running() override { return m_running() != 0; }
    std::int16_t version() override { return static_cast<std::int16_t>(m_version()); }

private:
    explicit LoadedLibrary(void* handle) : m_handle(handle) {}

    void* m_handle;
    CommandFunction m_command = nullptr;
    VersionFunction m_version = nullptr;
    RunningFunction m_running = nullptr;
    ProgressBridge m_bridge{};
    std::string m_report;
};

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

namespace {

// A module file of the system folder (a native folder), when it is there.
std::optional<std::string> moduleFile(const std::string& folder, const char* name)
{
    const std::string path = folder + "/" + name;
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    return path;
}

} // namespace

LibrarySet loadLibraries(const std::string& systemFolder, ProgressHandler progress, void* context)
{
    LibrarySet set;
    // Modules are code: they load only from an absolute folder, resolved to
    // where it really is, never from a relative or empty one (that would be
    // the current folder, which is the disk being packed during a run).
    if (systemFolder.size() < 3 || systemFolder[1] != ':' || systemFolder[2] != '\\')
        return set;
    const platform::Result<std::string> folder = platform::canonicalPath(systemFolder);
    if (!folder)
        return set;
    // Each library stands or falls on its own files.
    if (auto file = moduleFile(*folder, "UNLHA32.DLL")) {
        set.lzh = LoadedLibrary::load(*file, "Unlha", progress, context);
        if (set.lzh) {
            set.availability.lzh = true;
            set.availability.lzhVersion = set.lzh->version();
        }
    }
    if (!moduleFile(*folder, "IZIP32J.DLL"))
        return set; // the ZIP engine both ZIP modules need
    if (auto file = moduleFile(*folder, "ZIP32J.DLL")) {
        set.zip = LoadedLibrary::load(*file, "Zip", progress, context);
        if (set.zip) {
            set.availability.zip = true;
            set.availability.zipVersion = set.zip->version();
        }
    }
    if (auto file = moduleFile(*folder, "UNZIP32.DLL")) {
        set.unzip = LoadedLibrary::load(*file, "UnZip", progress, context);
        if (set.unzip) {
            set.availability.unzip = true;
            set.availability.unzipVersion = set.unzip->version();
        }
    }
    return set;
}

} // namespace engine
