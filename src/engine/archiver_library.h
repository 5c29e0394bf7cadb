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

// loadLibraries: the availability check. LZH is available when UNLHA32.DLL is
// in `systemFolder` (a dialect path) and loads; ZIP and UNZIP when IZIP32J.DLL,
// ZIP32J.DLL and UNZIP32.DLL are all there and load. Any failure during the
// check marks all three unavailable. `progress`, when given, is installed in
// every loaded library.
LibrarySet loadLibraries(const std::string& systemFolder, ProgressHandler progress = nullptr,
                         void* context = nullptr);

} // namespace engine
