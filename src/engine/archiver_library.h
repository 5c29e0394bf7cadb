// The archiver libraries as the engine sees them: one command function, a
// busy query and a version each, and the availability record of start-up.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace engine {

// One archiver library (UNLHA32.DLL's Unlha, ZIP32J.DLL's Zip, UNZIP32.DLL's UnZip).
class ArchiverLibrary {
public:
    virtual ~ArchiverLibrary() = default;
    // command: run one command line; the library's result code.
    virtual int command(const std::string& commandLine) = 0;
    // running: nonzero while a call of the library is in progress.
    virtual bool running() = 0;
    // version: 100 times the version number.
    virtual std::int16_t version() = 0;
    // report: what the library wrote about its last command (the file and the
    // cause of a failure among it); empty when it wrote nothing.
    virtual std::string report() const { return {}; }
};

// Availability record, filled once at start-up.
struct Availability {
    bool lzh = false;
    std::int16_t lzhVersion = 0;
    bool zip = false;
    std::int16_t zipVersion = 0;
    bool unzip = false;
    std::int16_t unzipVersion = 0;
};

// The three libraries; a null pointer is a library that is not there.
struct LibrarySet {
    std::shared_ptr<ArchiverLibrary> lzh;
    std::shared_ptr<ArchiverLibrary> zip;
    std::shared_ptr<ArchiverLibrary> unzip;
    Availability availability;
};

// versionText: 100 times a version as the About box shows it: 104 -> "1.04".
std::string versionText(std::int16_t version);

// AboutLine: a library name and its version text, for the About box.
struct AboutLine {
    std::string name;
    std::string version;
};

// aboutLines: three lines, the available libraries first in the order
// UNLHA32.DLL, UNZIP32.DLL, ZIP32J.DLL, the rest empty.
std::vector<AboutLine> aboutLines(const Availability& availability);

// Progress of a library call: done and total bytes, entry; return true to cancel.
using ProgressHandler = bool (*)(void* context, unsigned long long done, unsigned long long total, const char* entry);

// loadLibraries: the availability check. `systemFolder` must be an absolute
// dialect path ("C:\SORVANE2"); otherwise nothing is available. Each library
// is decided on its own: LZH when UNLHA32.DLL is there and loads; ZIP when
// ZIP32J.DLL loads and IZIP32J.DLL is there; UNZIP when UNZIP32.DLL loads and
// IZIP32J.DLL is there. `progress`, when given, is installed in every loaded
// library.
LibrarySet loadLibraries(const std::string& systemFolder, ProgressHandler progress = nullptr,
                         void* context = nullptr);

} // namespace engine
