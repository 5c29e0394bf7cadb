// The commands of the ZIP library modules.
#include "zip_commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>

#include "common/archive_target.h"
#include "common/background_check.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/read_ahead.h"
#include "common/result_codes.h"
#include "common/source_walk.h"
#include "common/text_codec.h"
#include "platform/platform.h"
#include "zip_data.h"
#include "zip_format.h"

namespace zipfmt {

using namespace archivers;

namespace {

// Temporary archives and extracted files start with this; a killed writer's
// are removed by the next call.
constexpr const char* kTempPrefix = kZipTempPrefix;


struct ZipOptions {
    bool recurse = false;   // -r
    bool hidden = false;    // -S: hidden and system files too
    bool folders = true;    // no -D: folder entries
    int level = 6;          // -0 .. -9
};

std::optional<std::string> parseZipSwitches(const std::vector<std::string>& switches, ZipOptions& options)
{
    for (const std::string& sw : switches) {
        for (char c : sw) {
            if (c == 'r')
                options.recurse = true;
            else if (c == 'S')
                options.hidden = true;
            else if (c == 'D')
                options.folders = false;
            else if (c == 'q')
                continue;
            else if (c >= '0' && c <= '9')
                options.level = c - '0';
            else
                return sw;
        }
    }
    return std::nullopt;
}

std::string withZipExtension(const std::string& archive)
{
    const size_t slash = archive.find_last_of("\\/:");
    const std::string last = slash == std::string::npos ? archive : archive.substr(slash + 1);
    return last.find('.') == std::string::npos ? archive + ".zip" : archive;
}

struct Source {
    std::string stored;  // "SUB/FILE.TXT", folders "SUB/"
    std::string native;
    bool folder = false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    std::uint32_t attributes = kDosArchive;
};

std::string lastElement(const std::string& relative)
{
    const size_t slash = relative.rfind('\\');
    return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

int collectSources(const std::vector<std::string>& patterns, const ZipOptions& options, const std::string& archiveNative,
                   std::vector<Source>& sources, Report& report)
{
    std::map<std::string, std::string> seen; // stored name -> native
    for (const std::string& pattern : patterns) {
        const size_t slash = pattern.find_last_of("\\/");
        const std::string folderPart = slash == std::string::npos ? std::string() : pattern.substr(0, slash);
        const std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
        const std::string root = folderPart.empty() ? platform::currentFolder() : folderPart;
        std::string prefix = folderPart;
        std::replace(prefix.begin(), prefix.end(), '\\', '/');
        if (!prefix.empty())
            prefix += '/';
        std::vector<std::string> skipped;
        platform::WalkOptions walk;
        walk.recurse = options.recurse;
        int failure = kOk;
        const auto walked = platform::walkFolder(root, walk, [&](const platform::WalkEntry& entry) {
            for (const std::string& folder : skipped)
                if (entry.relative.rfind(folder + "\\", 0) == 0)
                    return true;
            const std::string name = lastElement(entry.relative);
            if ((entry.hidden || entry.system) && !options.hidden) {
                if (entry.type == platform::EntryType::Folder)
                    skipped.push_back(entry.relative);
                return true;
            }
            if (entry.native == archiveNative || (entry.type != platform::EntryType::Folder && isTemporaryName(name)))
                return true; // the archive itself, or a module's temporary file
            Source source;
            source.native = entry.native;
            source.mtime = entry.mtime;
            if (entry.hidden)
                source.attributes |= kDosHidden;
            if (entry.system)
                source.attributes |= kDosSystem;
            std::string stored = prefix + entry.relative;
            std::replace(stored.begin(), stored.end(), '\\', '/');
            if (entry.type == platform::EntryType::Folder) {
                if (!(options.recurse && options.folders))
                    return true;
                source.folder = true;
                source.attributes = kDosDirectory | (entry.hidden ? kDosHidden : 0u);
                stored += '/';
            } else {
                if (!wildcardMatch(namePattern, name))
                    return true;
                if (entry.readOnly)
                    source.attributes |= kDosReadOnly;
                const SourceCheck check = checkSource(entry);
                if (!check.storable) {
                    report.line(check.skipped);
                    return true;
                }
                source.size = check.size;
                source.mtime = check.mtime;
            }
            source.stored = stored;
            if (const auto found = seen.find(stored); found != seen.end()) {
                if (found->second == source.native)
                    return true;
                report.line(stored + ": stored under the same name as " + found->second);
                failure = kErrorSameNameFile;
                return false;
            }
            seen.emplace(stored, source.native);
            sources.push_back(std::move(source));
            return true;
        });
        if (failure != kOk)
            return failure;
        if (!walked) {
            report.line(walked.error().message);
            return walked.error().code == EILSEQ ? kErrorNotConfirmName : kErrorNotFindFile;
        }
    }
    return kOk;
}

int checkEntry(RandomReader& reader, const Entry& entry, std::string& why)
{
    if (!entry.name.empty() && entry.name.back() == '/')
        return kOk;
    return readEntryData(reader, entry, [](const unsigned char*, size_t) { return true; }, nullptr, why);
}

} // namespace

int runZip(const std::string& commandLine, Report& report, Progress& progress)
{
    const ParsedCommandLine line = parseCommandLine(commandLine, {});
    ZipOptions options;
    if (const auto bad = parseZipSwitches(line.switches, options)) {
        report.line("-" + *bad + ": unknown switch");
        return kErrorInvalidValue;
    }
    if (line.archive.empty()) {
        report.line("no archive named");
        return kErrorNotArcFile;
    }
    const std::string archive = withZipExtension(line.archive);
    auto archiveNative = platform::toNative(archive);
    if (!archiveNative) {
        report.line(archive + ": " + archiveNative.error().message);
        return kErrorArcFileOpen;
    }
    std::vector<std::string> patterns = line.names;
    if (!line.baseFolder.empty())
        patterns.insert(patterns.begin(), line.baseFolder + "*.*");
    if (patterns.empty()) {
        report.line("no files named");
        return kErrorNotFindFile;
    }
    std::vector<Source> sources;
    if (const int code = collectSources(patterns, options, *archiveNative, sources, report); code != kOk)
        return code;

    ArchiveUpdate update(*archiveNative, archive, kTempPrefix, report);
    if (const int code = update.begin(); code != kOk)
        return code;
    RandomReader* old = update.old();
    Directory directory;
    if (old) {
        std::string why;
        if (const int code = readDirectory(*old, directory, why); code != kOk)
            return update.readFailure(code, why);
        for (Entry& entry : directory.entries)
            if (const int code = measureLocal(*old, entry, why); code != kOk)
                return update.readFailure(code, why);
    }

    // Named files replace their entries whatever the dates; the rest stay.
    std::set<std::string> named;
    for (const Source& source : sources)
        named.insert(source.stored);
    if (sources.empty() && !old) {
        report.line("no files to archive");
        return kErrorNotFindFile;
    }
    std::uint64_t total = 0;
    for (const Source& source : sources)
        total += source.size;
    progress.setTotal(total);

    if (const int code = update.start(); code != kOk)
        return code;
    ZipWriter writer(update.sink());
    // New entries are checked in a second thread while later ones are written;
    // it gets copies, since the writer's list grows meanwhile.
    std::mutex checkLock;
    std::vector<std::unique_ptr<Entry>> toCheck;
    BackgroundCheck verifier(update.tempPath(), [&](RandomReader& reader, std::uint64_t index, std::string& why) {
        const Entry* entry;
        {
            std::lock_guard guard(checkLock);
            entry = toCheck[static_cast<size_t>(index)].get();
        }
        return checkEntry(reader, *entry, why);
    });
    std::string why;
    for (const Entry& entry : directory.entries) {
        if (named.count(entry.name))
            continue;
        if (const int code = writer.copyEntry(*old, entry, why); code != kOk) {
            report.line(why);
            return code;
        }
    }
    size_t submitted = 0;
    // Files that fit the deflater's buffer are read and deflated ahead.
    std::vector<std::optional<std::uint64_t>> aheadSizes(sources.size());
    for (size_t i = 0; i < sources.size(); ++i)
        if (!sources[i].folder && options.level > 0 && sources[i].size > 0 && sources[i].size <= kBufferedFileSize)
            aheadSizes[i] = sources[i].size;
    ReadAhead<Prepared> ahead(std::move(aheadSizes), [&sources, level = options.level]() {
        auto deflater = std::make_shared<BufferDeflater>(level);
        return [&sources, deflater](size_t index) { return prepareFile(sources[index].native, *deflater); };
    });
    for (size_t index = 0; index < sources.size(); ++index) {
        const Source& source = sources[index];
        ahead.reached(index);
        NewEntry entry;
        entry.name = source.stored;
        entry.folder = source.folder;
        entry.mtime = source.mtime;
        entry.dosAttributes = source.attributes;
        entry.level = options.level;
        int code;
        if (source.folder)
            code = writer.addFolder(entry, why);
        else if (ahead.handles(index))
            code = writer.addPrepared(source.native, source.size, entry, ahead.take(index), progress, source.stored, why);
        else
            code = writer.addFile(source.native, source.size, entry, progress, source.stored, why);
        if (code != kOk) {
            if (!why.empty())
                report.line(why);
            return code;
        }
        if (const int flushed = update.flush(); flushed != kOk)
            return flushed;
        while (submitted < writer.newEntries().size()) {
            size_t index;
            {
                std::lock_guard guard(checkLock);
                toCheck.push_back(std::make_unique<Entry>(writer.entries()[writer.newEntries()[submitted++]]));
                index = toCheck.size() - 1;
            }
            verifier.submit(index);
        }
    }
    if (const int code = writer.finish(why); code != kOk) {
        report.line(why);
        return code;
    }
    if (const int code = update.flush(); code != kOk)
        return code;
    if (const int code = verifier.finish(why); code != kOk) {
        report.line(archive + ": " + why);
        return code;
    }
    return update.commit();
}

// ═════════════════════════════════════════════════════════════════════════════
// UnZip
// ═════════════════════════════════════════════════════════════════════════════

namespace {

bool selected(const Entry& entry, const std::vector<std::string>& names)
{
    if (names.empty())
        return true;
    std::string path = entry.name;
    std::replace(path.begin(), path.end(), '/', '\\');
    const std::string last = lastElement(path.back() == '\\' ? path.substr(0, path.size() - 1) : path);
    return std::any_of(names.begin(), names.end(),
        [&](const std::string& pattern) { return wildcardMatch(pattern, path) || wildcardMatch(pattern, last); });
}

// entryTime: the extended time stamp when there is one, else the DOS time.
std::int64_t entryTime(const Entry& entry)
{
    const std::string stamp = findExtra(entry.extra, kExtraTimestamp);
    if (stamp.size() >= 5 && (stamp[0] & 1))
        return static_cast<std::int64_t>(getLe(reinterpret_cast<const unsigned char*>(stamp.data()) + 1, 4));
    return unixTimeOfDos(entry.dosTime);
}

bool isLink(const Entry& entry)
{
    // Unix file type in the high half of the external attributes.
    return (entry.versionMadeBy >> 8) == 3 && ((entry.externalAttributes >> 16) & 0xF000) == 0xA000;
}

// The entry's path as safe elements, or false when it would leave the folder.
bool safeElements(const std::string& name, std::vector<std::string>& elements)
{
    elements.clear();
    std::string current;
    for (char c : name + "/") {
        if (c == '/' || c == '\\') {
            if (current == "..")
                return false;
            if (!current.empty() && current != ".")
                elements.push_back(current);
            current.clear();
            continue;
        }
        if (static_cast<unsigned char>(c) < 0x20 || c == ':')
            return false;
        current += c;
    }
    return !elements.empty();
}

int extractEntry(RandomReader& reader, const Entry& entry, ExtractionTarget& root, Progress& progress, Report& report)
{
    if (isLink(entry)) {
        report.line(entry.name + ": symbolic link, not extracted");
        return kErrorNotConfirmName;
    }
    std::vector<std::string> elements;
    if (!safeElements(entry.name, elements)) {
        report.line(entry.name + ": unsafe name, not extracted");
        return kErrorInvalidPath;
    }
    const bool folderEntry = entry.name.back() == '/';
    if (folderEntry) {
        const std::string folder = root.folderFor(elements, elements.size());
        if (folder.empty()) {
            report.line(entry.name + ": cannot make the folder");
            return kErrorMakeDirectory;
        }
        root.setFolderTime(folder, entryTime(entry));
        return kOk;
    }
    const std::string folder = root.folderFor(elements, elements.size() - 1);
    if (folder.empty()) {
        report.line(entry.name + ": cannot make its folder");
        return kErrorMakeDirectory;
    }
    const std::string target = joinPath(folder, elements.back());
    if (const NodeType existing = nodeStatus(target, false).type;
        existing != NodeType::Missing && existing != NodeType::File) {
        report.line(entry.name + ": a folder or link of that name is in the way");
        return kErrorInvalidPath;
    }
    AtomicFile output;
    AtomicFile::CreateOptions once;
    once.sync = false; // the extraction syncs once at its end
    if (!output.create(target, kTempPrefix, once)) {
        report.line(entry.name + ": " + std::strerror(output.error()));
        return resultCodeForWrite(output.error());
    }
    ByteSink& sink = output.sink();
    std::string why;
    const int code = readEntryData(reader, entry, [&](const unsigned char* data, size_t size) { return sink.write(data, size); },
        &progress, why);
    if (code == kErrorCannotWrite) {
        report.line(entry.name + ": " + std::strerror(sink.error()));
        return resultCodeForWrite(sink.error());
    }
    if (code != kOk) {
        report.line(why);
        return code;
    }
    if (const int committed = commitOutput(output, entry.name, report); committed != kOk)
        return committed;
    setFileTime(target, entryTime(entry));
    return kOk;
}

} // namespace

int runUnZip(const std::string& commandLine, Report& report, Progress& progress)
{
    const ParsedCommandLine line = parseCommandLine(commandLine, {});
    char mode = 'x';
    for (const std::string& sw : line.switches) {
        if (sw == "x" || sw == "t" || sw == "l")
            mode = sw[0];
        else if (sw != "o" && sw != "q") {
            report.line("-" + sw + ": unknown switch");
            return kErrorInvalidValue;
        }
    }
    if (line.archive.empty()) {
        report.line("no archive named");
        return kErrorNotArcFile;
    }
    const std::string archive = withZipExtension(line.archive);
    auto native = platform::toNative(archive);
    if (!native || nodeStatus(*native, true).type == NodeType::Missing) {
        report.line(archive + ": no such archive");
        return kErrorNotFindArcFile;
    }
    std::unique_ptr<RandomReader> reader = openReader(*native);
    if (!reader) {
        report.line(archive + ": " + std::strerror(errno));
        return kErrorArcFileOpen;
    }
    Directory directory;
    std::string why;
    auto readFailure = [&](int code) {
        if (reader->error() != 0) {
            report.line(archive + ": reading the archive: " + std::strerror(reader->error()));
            return static_cast<int>(kErrorCannotRead);
        }
        report.line(archive + ": " + why);
        return code;
    };
    if (const int code = readDirectory(*reader, directory, why); code != kOk)
        return readFailure(code);
    // Entries that share their data (overlapping records) are a bomb's trick.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> spans;
    for (Entry& entry : directory.entries) {
        if (const int code = measureLocal(*reader, entry, why); code != kOk)
            return readFailure(code);
        spans.emplace_back(entry.localOffset, entry.localOffset + entry.localRecordSize);
    }
    std::sort(spans.begin(), spans.end());
    for (size_t i = 1; i < spans.size(); ++i)
        if (spans[i].first < spans[i - 1].second) {
            report.line(archive + ": entries overlap");
            return kErrorHeaderBroken;
        }

    if (mode == 'l') {
        for (const Entry& entry : directory.entries)
            if (selected(entry, line.names))
                report.line(std::to_string(entry.size) + "\t" + std::to_string(entry.compressedSize) + "\t" + entry.name);
        return kOk;
    }
    std::uint64_t total = 0;
    for (const Entry& entry : directory.entries)
        if (selected(entry, line.names))
            total += entry.size;
    progress.setTotal(total);
    std::string root;
    if (mode == 'x') {
        const std::string folder = line.baseFolder.empty() ? platform::currentFolder() : line.baseFolder;
        auto rootNative = platform::toNative(folder);
        if (!rootNative || nodeStatus(*rootNative, true).type != NodeType::Folder) {
            report.line(folder + ": the folder does not exist");
            return kErrorMakeDirectory;
        }
        root = *rootNative;
    }
    int result = kOk;
    bool any = false;
    ExtractionTarget target(root);
    for (const Entry& entry : directory.entries) {
        if (!selected(entry, line.names))
            continue;
        any = true;
        int code;
        if (mode == 't') {
            code = checkEntry(*reader, entry, why);
            report.line(entry.name + (code == kOk ? " - OK" : " - " + why));
        } else {
            code = extractEntry(*reader, entry, target, progress, report);
        }
        if (code == kErrorUserCancel || code == kErrorDiskSpace)
            return code;
        if (code != kOk && result == kOk)
            result = code;
    }
    if (!any) {
        report.line("no entry matches");
        return kErrorNotFindFile;
    }
    if (mode == 'x' && !target.finish() && result == kOk) {
        report.line(root + ": " + std::strerror(errno));
        return kErrorCannotWrite;
    }
    return result;
}

} // namespace zipfmt
