// basSorvane: the packing engine. PackDrive builds the archiver command lines
// of a run, drives the libraries and writes every step into the history.
#pragma once

#include <cstdint>
#include <string>

#include "archiver_library.h"

namespace engine {

enum PackMode : std::int16_t { Normal = 0, Store = 1, Double = 2 };

// The program settings the engine reads (a Boolean counts as on only when True).
struct PackSettings {
    std::string TmpDir;               // temporary folder, as stored
    std::string Lzh_Option = "u -+";  // opens the LZH command lines
    bool SubDir = true;
    bool Hiddn = false;
    bool UCase = true;
    bool Double = false;
    std::int16_t Pattern = 0;         // 0..3; other values act as 3
    std::int16_t AshukuExe = 0;       // 0 LZH, anything else ZIP
};

// Where the engine's output goes: the execution history, the archive list and
// message boxes (an OK button, no icon, the default title).
class HistorySink {
public:
    virtual ~HistorySink() = default;
    virtual void ListInAdd(const std::string& line) = 0;
};

class ArchiveListSink {
public:
    virtual ~ArchiveListSink() = default;
    virtual void ListInAdd(const std::string& path) = 0;
};

class MessageBoxes {
public:
    virtual ~MessageBoxes() = default;
    virtual void show(const std::string& text) = 0;
};

class Engine {
public:
    Engine(const PackSettings& settings, LibrarySet& libraries, HistorySink& history, ArchiveListSink& archives,
           MessageBoxes& messages)
        : m_settings(settings), m_libraries(libraries), m_history(history), m_archives(archives), m_messages(messages)
    {
    }

    // PackDrive: pack the drive whose root is `sourceRoot` ("a:\") into an
    // archive named `name` in `storageFolder`. 0 success; 1 refused or failed
    // without a specific line; -1 failed with a specific line or an unexpected error.
    std::int16_t PackDrive(const std::string& sourceRoot, const std::string& name, const std::string& storageFolder,
                           std::int16_t mode);

    // CheckSourceFolder: false (after its message) when the storage or the
    // temporary folder lies in the source, or the source cannot be entered.
    bool CheckSourceFolder(const std::string& sourceRoot, const std::string& storageFolder, const std::string& tmpFolder);

    // ResultOutcome: the outcome of a library result code; writes the line of
    // the three specific codes.
    std::int16_t ResultOutcome(std::int32_t code);

    // failureCause: the library's own words on why the last run failed (the
    // file and the cause), or the empty text. The history shows it after the
    // failure line.
    const std::string& failureCause() const { return m_failureCause; }

private:
    int runLibrary(bool lzh, const std::string& commandLine);

    const PackSettings& m_settings;
    LibrarySet& m_libraries;
    HistorySink& m_history;
    ArchiveListSink& m_archives;
    MessageBoxes& m_messages;
    std::string m_failureCause;
};

// The command lines of a run (for the engine and its tests).
struct CommandLines {
    std::string archive;       // {A} or {F}: the archive the run makes
    std::string first;         // normal, store or first-stage line
    std::string second;        // second stage (double mode)
    std::string extraction;    // update extraction (double mode)
    std::string inner;         // {P}: the staging file (double mode)
    bool firstIsLzh = true;
    bool secondIsLzh = true;
};

// buildCommandLines: every command line of a run, byte for byte.
CommandLines buildCommandLines(const PackSettings& settings, const std::string& name, const std::string& storageFolder,
                               std::int16_t mode);

} // namespace engine
