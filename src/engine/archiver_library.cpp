// Loading the archiver library modules and the availability check.
#include "archiver_library.h"

#include <cstdio>
#include <cstring>
#include <optional>

#include "basvelt.h"
#include "module_loader.h"
#include "platform/codepage.h"
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
// The result of a command line that the modules' code page cannot carry
// (a name that cannot be given to the library: ERROR_NOT_CONFIRM_NAME).
constexpr int kNameNotPassable = 0x8041;

// The engine speaks UTF-8; the modules take and give the platform's narrow
// code page (UTF-8 on POSIX systems, the ANSI code page on Windows).
std::optional<std::string> toModuleText(const std::string& utf8)
{
    const unsigned page = platform::codepage::narrow();
    if (page == platform::codepage::kUtf8)
        return utf8;
    return platform::codepage::fromUtf8(utf8, page);
}

std::string fromModuleText(const char* text)
{
    const unsigned page = platform::codepage::narrow();
    if (page == platform::codepage::kUtf8 || !text)
        return text ? text : "";
    // A library that gives bytes its code page does not hold is shown as it came.
    return platform::codepage::toUtf8(text, page).value_or(text);
}

struct ProgressBridge {
    ProgressHandler handler;
    void* context;
};

int forwardProgress(void* bridge, unsigned long long done, unsigned long long total, const char* entry)
{
    auto* b = static_cast<ProgressBridge*>(bridge);
    return b->handler(b->context, done, total, fromModuleText(entry).c_str()) ? 1 : 0;
}

// A loaded module; the functions are resolved by its prefix.
class LoadedLibrary final : public ArchiverLibrary {
public:
    static std::shared_ptr<LoadedLibrary> load(const std::string& nativePath, const std::string& prefix,
                                               ProgressHandler progress, void* context)
    {
        void* handle = modules::load(nativePath);
        if (!handle)
            return nullptr;
        auto library = std::shared_ptr<LoadedLibrary>(new LoadedLibrary(handle));
        library->m_command = reinterpret_cast<CommandFunction>(modules::symbol(handle, prefix.c_str()));
        library->m_version = reinterpret_cast<VersionFunction>(modules::symbol(handle, (prefix + "GetVersion").c_str()));
        library->m_running = reinterpret_cast<RunningFunction>(modules::symbol(handle, (prefix + "GetRunning").c_str()));
        auto setProgress
            = reinterpret_cast<SetProgressFunction>(modules::symbol(handle, (prefix + "SetProgress").c_str()));
        if (!library->m_command || !library->m_version || !library->m_running)
            return nullptr;
        if (progress && setProgress) {
            library->m_bridge = {progress, context};
            setProgress(forwardProgress, &library->m_bridge);
        }
        return library;
    }

    ~LoadedLibrary() override { modules::unload(m_handle); }

    int command(const std::string& commandLine) override
    {
        const std::optional<std::string> line = toModuleText(commandLine);
        if (!line) {
            m_report = commandLine + ": a name the system's code page cannot hold cannot be given to the library\n";
            return kNameNotPassable;
        }
        // The report names the file and the cause of a failure; kept for the caller.
        std::string buffer(kReportSize, '\0');
        const int code = m_command(nullptr, line->c_str(), buffer.data(), kReportSize);
        m_report = fromModuleText(buffer.c_str());
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
    if (auto file = modules::moduleFile(*folder, "UNLHA32.DLL")) {
        set.lzh = LoadedLibrary::load(*file, "Unlha", progress, context);
        if (set.lzh) {
            set.availability.lzh = true;
            set.availability.lzhVersion = set.lzh->version();
        }
    }
    if (!modules::moduleFile(*folder, "IZIP32J.DLL"))
        return set; // the ZIP engine both ZIP modules need
    if (auto file = modules::moduleFile(*folder, "ZIP32J.DLL")) {
        set.zip = LoadedLibrary::load(*file, "Zip", progress, context);
        if (set.zip) {
            set.availability.zip = true;
            set.availability.zipVersion = set.zip->version();
        }
    }
    if (auto file = modules::moduleFile(*folder, "UNZIP32.DLL")) {
        set.unzip = LoadedLibrary::load(*file, "UnZip", progress, context);
        if (set.unzip) {
            set.availability.unzip = true;
            set.availability.unzipVersion = set.unzip->version();
        }
    }
    return set;
}

} // namespace engine
