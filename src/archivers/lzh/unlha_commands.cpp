// The commands of the LZH library module: a/u (add, update), x/e (extract),
// t (test), l/v (list).
#include "unlha_commands.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <map>
#include <optional>

#include "common/archive_target.h"
#include "common/background_check.h"
#include "common/command_line.h"
#include "common/file_io.h"
#include "common/read_ahead.h"
#include "common/result_codes.h"
#include "common/source_walk.h"
#include "common/text_codec.h"
#include "lzh_archive.h"
#include "platform/dialect.h"
#include "platform/platform.h"

namespace lzh {

using namespace archivers;

namespace {

// Temporary archives start with this; a killed writer's are removed by the next call.
constexpr const char* kTempPrefix = kLzhTempPrefix;

struct Options {
    bool paths = false;     // -x: store and restore folder paths
    bool recurse = false;   // -r: descend into subfolders
    bool hidden = false;    // -a: include hidden and system files
    bool store = false;     // -z1: no compression
    Method method = Method::Lh5;
    int level = 2;
    std::string workFolder; // -w: accepted; temporary archives live beside the target
    std::vector<std::string> excludes;
};

std::string lower(std::string text)
{
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// Returns the offending switch, or nullopt when all were understood.
std::optional<std::string> parseSwitches(const std::vector<std::string>& switches, Options& options)
{
    for (const std::string& raw : switches) {
        const std::string sw = lower(raw);
        if (sw[0] == '+') {
            if (sw != "+" && sw != "+0" && sw != "+1")
                return raw;
        } else if (sw[0] == 'w') {
            options.workFolder = raw.substr(1);
        } else if (sw.rfind("jx", 0) == 0 && sw.size() > 2) {
            options.excludes.push_back(raw.substr(2));
        } else if (sw.rfind("jm", 0) == 0) {
            if (sw == "jm0")
                options.method = Method::Stored;
            else if (sw == "jm2")
                options.method = Method::Lh5;
            else if (sw == "jm3")
                options.method = Method::Lh6;
            else if (sw == "jm4")
                options.method = Method::Lh7;
            else
                return raw;
        } else if (sw == "h0" || sw == "h1" || sw == "h2") {
            options.level = sw[1] - '0';
        } else {
            // Letters x, r, a, z, each with an optional digit: "-xra", "-x1", "-z1".
            for (size_t i = 0; i < sw.size(); ++i) {
                const char letter = sw[i];
                int value = -1;
                if (i + 1 < sw.size() && std::isdigit(static_cast<unsigned char>(sw[i + 1])))
                    value = sw[++i] - '0';
                if (value > 2 || (letter == 'x' && value == 2) || (letter == 'z' && value == 2))
                    return raw;
                const bool on = value != 0;
                switch (letter) {
                case 'x': options.paths = on; break;
                case 'r': options.recurse = on; break;
                case 'a': options.hidden = on; break;
                case 'z': options.store = on; break;
                default: return raw;
                }
            }
        }
    }
    return std::nullopt;
}

// "X" -> "X.LZH": an archive name without an extension gets one.
std::string withExtension(const std::string& archive)
{
    const size_t slash = archive.find_last_of("\\/:");
    const std::string last = slash == std::string::npos ? archive : archive.substr(slash + 1);
    return last.find('.') == std::string::npos ? archive + ".LZH" : archive;
}

// Stored names are told apart exactly, as a Unix disk tells its files apart
// (a FAT disk cannot hold two names that differ in case only).
std::string keyOf(const std::string& path)
{
    return path;
}

std::string joinFolders(const std::vector<std::string>& parts, size_t count)
{
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        if (i)
            out += '\\';
        out += parts[i];
    }
    return out;
}

std::string nameOf(const std::string& path)
{
    const size_t slash = path.rfind('\\');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// ═════════════════════════════════════════════════════════════════════════════
// a, u: add or update
// ═════════════════════════════════════════════════════════════════════════════

struct Source {
    std::string stored;    // path as stored, "SUB\FILE.TXT" (UTF-8)
    std::string native;
    bool folder = false;
    std::uint64_t size = 0;
    std::int64_t mtime = 0;
    std::uint16_t attribute = kAttrArchive;
};

std::uint16_t attributeOf(const platform::WalkEntry& entry)
{
    std::uint16_t attribute = entry.type == platform::EntryType::Folder ? kAttrDirectory : kAttrArchive;
    if (entry.hidden)
        attribute |= kAttrHidden;
    if (entry.system)
        attribute |= kAttrSystem;
    if (entry.readOnly && entry.type != platform::EntryType::Folder)
        attribute |= kAttrReadOnly;
    return attribute;
}

bool excluded(const Options& options, const std::string& name)
{
    return std::any_of(options.excludes.begin(), options.excludes.end(),
        [&](const std::string& pattern) { return wildcardMatch(pattern, name); });
}

// Collects the sources that `names` select below `base`.
int collectSources(const std::string& base, const std::vector<std::string>& names, const Options& options,
                   const std::string& archiveNative, std::vector<Source>& sources, Report& report)
{
    std::map<std::string, size_t> seen; // stored name (folded) -> index
    for (const std::string& pattern : names) {
        // "SUB\*.TXT": the folder part is walked, the last part matches names.
        const size_t slash = pattern.find_last_of("\\/");
        const std::string folderPart = slash == std::string::npos ? std::string() : pattern.substr(0, slash);
        const std::string namePattern = slash == std::string::npos ? pattern : pattern.substr(slash + 1);
        std::string root = base;
        if (!folderPart.empty())
            root = (root.back() == '\\' ? root : root + "\\") + folderPart;
        std::vector<std::string> prefix;
        if (options.paths)
            prefix = platform::dialect::splitElements(folderPart);

        std::vector<std::string> skippedFolders; // hidden folders left out, with their contents
        platform::WalkOptions walk;
        walk.recurse = options.recurse;
        int failure = kOk;
        const platform::Result<void> walked = platform::walkFolder(root, walk, [&](const platform::WalkEntry& entry) {
            for (const std::string& skipped : skippedFolders)
                if (entry.relative.rfind(skipped + "\\", 0) == 0)
                    return true;
            const std::string name = nameOf(entry.relative);
            if ((entry.hidden || entry.system) && !options.hidden) {
                if (entry.type == platform::EntryType::Folder)
                    skippedFolders.push_back(entry.relative);
                return true;
            }
            if (entry.native == archiveNative)
                return true;
            if (entry.type != platform::EntryType::Folder && isTemporaryName(name))
                return true; // a module's temporary file, never a disk's own

            Source source;
            source.native = entry.native;
            source.mtime = entry.mtime;
            source.attribute = attributeOf(entry);
            if (entry.type == platform::EntryType::Folder) {
                if (excluded(options, name)) {
                    skippedFolders.push_back(entry.relative);
                    return true;
                }
                if (!(options.recurse && options.paths))
                    return true;
                source.folder = true;
            } else {
                if (excluded(options, name) || !wildcardMatch(namePattern, name))
                    return true;
                const SourceCheck check = checkSource(entry);
                if (!check.storable) {
                    report.line(check.skipped);
                    return true;
                }
                source.size = check.size;
                source.mtime = check.mtime;
            }
            std::vector<std::string> parts = prefix;
            if (options.paths) {
                for (const std::string& part : platform::dialect::splitElements(entry.relative))
                    parts.push_back(part);
            } else {
                parts.push_back(name);
            }
            source.stored = joinFolders(parts, parts.size());
            const std::string key = keyOf(source.stored);
            if (const auto found = seen.find(key); found != seen.end()) {
                if (sources[found->second].native == source.native)
                    return true; // named twice on the command line
                report.line(source.stored + ": stored under the same name as " + sources[found->second].native
                    + " (" + source.native + ")");
                failure = kErrorSameNameFile;
                return false;
            }
            seen.emplace(key, sources.size());
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

    // Names that CP932 cannot hold are stored in their closest form beside a
    // Unicode copy; two of them must not meet in one closest form either.
    std::map<std::string, std::string> closest;
    for (const Source& source : sources) {
        const std::string bytes = utf8ToCp932Closest(source.stored);
        if (const auto found = closest.find(bytes); found != closest.end() && found->second != source.stored) {
            report.line(source.stored + ": stored under the same name as " + found->second);
            return kErrorSameNameFile;
        }
        closest.emplace(bytes, source.stored);
    }
    return kOk;
}

NewMember newMemberFor(const Source& source, const Options& options)
{
    NewMember member;
    std::vector<std::string> parts = platform::dialect::splitElements(source.stored);
    if (!source.folder) {
        member.name = parts.back();
        parts.pop_back();
    }
    member.folders = parts;
    member.isDirectory = source.folder;
    member.method = options.store ? Method::Stored : options.method;
    member.mtime = source.mtime;
    member.attribute = source.attribute;
    return member;
}

// The member time compared the way the header stores it.
std::int64_t storedTime(std::int64_t mtime, int level)
{
    return level >= 2 ? timeIn32Bits(mtime) : unixTimeOfDos(dosTimeOf(mtime));
}

// Decodes a member written by this call again.
int checkMember(RandomReader& reader, std::uint64_t offset, std::string& why)
{
    MemberHeader header;
    std::string reason;
    if (readHeader(reader, offset, header, reason) != HeaderStatus::Ok) {
        why = "the new archive does not read back: " + reason;
        return kErrorHeaderBroken;
    }
    return decodeMember(reader, header, [](const unsigned char*, size_t) { return true; }, nullptr, why);
}

int pack(const ParsedCommandLine& line, const Options& options, bool update, Report& report, Progress& progress)
{
    const std::string archive = withExtension(line.archive);
    platform::Result<std::string> archiveNative = platform::toNative(archive);
    if (!archiveNative) {
        report.line(archive + ": " + archiveNative.error().message);
        return kErrorArcFileOpen;
    }
    const std::string base = line.baseFolder.empty() ? platform::currentFolder() : line.baseFolder;
    std::vector<std::string> names = line.names;
    if (names.empty())
        names.push_back("*.*");

    std::vector<Source> sources;
    if (const int code = collectSources(base, names, options, *archiveNative, sources, report); code != kOk)
        return code;

    ArchiveUpdate target(*archiveNative, archive, kTempPrefix, report);
    if (const int code = target.begin(); code != kOk)
        return code;
    RandomReader* old = target.old();
    Listing listing;
    if (old) {
        std::string why;
        if (const int code = listArchive(*old, listing, why); code != kOk)
            return target.readFailure(code, why);
    }

    // Plan: old members in their order, replaced where a source is newer (u)
    // or named (a); new sources after them.
    std::map<std::string, size_t> sourceByKey;
    for (size_t i = 0; i < sources.size(); ++i)
        sourceByKey.emplace(keyOf(sources[i].stored), i);
    std::vector<bool> placed(sources.size(), false);
    struct Step {
        const MemberHeader* member = nullptr; // copy this
        const Source* source = nullptr;       // or write this
    };
    std::vector<Step> steps;
    bool changed = !old; // a new archive is always written
    for (const MemberHeader& member : listing.members) {
        const auto found = sourceByKey.find(keyOf(member.path()));
        if (found == sourceByKey.end()) {
            steps.push_back({&member, nullptr});
            continue;
        }
        const Source& source = sources[found->second];
        placed[found->second] = true;
        // Newer replaces; so does a file of another size with the same time
        // (changed twice within one time step), which "newer" alone would miss.
        const std::int64_t sourceTime = storedTime(source.mtime, options.level);
        const bool replace = !source.folder && !member.isDirectory
            && (!update || sourceTime > member.mtime
                || (sourceTime == member.mtime && source.size != member.originalSize));
        if (replace) {
            steps.push_back({nullptr, &source});
            changed = true;
        } else {
            steps.push_back({&member, nullptr});
        }
    }
    for (size_t i = 0; i < sources.size(); ++i)
        if (!placed[i]) {
            steps.push_back({nullptr, &sources[i]});
            changed = true;
        }
    if (steps.empty()) {
        report.line("no files to archive");
        return kErrorNotFindFile;
    }
    if (!changed)
        return kOk; // nothing newer: the archive stays as it is, byte for byte

    std::uint64_t total = 0;
    for (const Step& step : steps)
        if (step.source)
            total += step.source->size;
    progress.setTotal(total);

    if (const int code = target.start(); code != kOk)
        return code;
    ArchiveWriter writer(target.sink(), options.level);
    BackgroundCheck verifier(target.tempPath(), checkMember);
    // Files that fit in memory are read and compressed ahead by other threads.
    std::vector<std::optional<std::uint64_t>> aheadSizes(steps.size());
    for (size_t i = 0; i < steps.size(); ++i) {
        const Source* source = steps[i].source;
        if (source && !source->folder && !options.store && source->size > 0 && source->size <= kBufferedFileSize)
            aheadSizes[i] = source->size;
    }
    ReadAhead<PreparedMember> ahead(std::move(aheadSizes), [&steps, method = options.method]() {
        auto preparer = std::make_shared<MemberPreparer>(method);
        return [&steps, preparer](size_t index) { return preparer->prepare(steps[index].source->native); };
    });
    size_t submitted = 0;
    for (size_t index = 0; index < steps.size(); ++index) {
        const Step& step = steps[index];
        ahead.reached(index);
        std::string why;
        int code;
        if (step.member) {
            code = writer.copyMember(*old, *step.member, why);
        } else if (step.source->folder) {
            code = writer.addFolder(newMemberFor(*step.source, options), why);
        } else if (ahead.handles(index)) {
            code = writer.addPrepared(step.source->size, newMemberFor(*step.source, options), ahead.take(index),
                progress, step.source->stored, why);
        } else {
            code = writer.addFile(step.source->native, step.source->size, newMemberFor(*step.source, options),
                progress, step.source->stored, why);
        }
        if (code != kOk) {
            if (!why.empty())
                report.line(why);
            return code; // the temporary file goes with `target`
        }
        if (writer.newMembers().size() > submitted) {
            if (const int flushed = target.flush(); flushed != kOk)
                return flushed;
            while (submitted < writer.newMembers().size())
                verifier.submit(writer.newMembers()[submitted++]);
        }
    }
    std::string why;
    if (int code = writer.finish(why); code != kOk) {
        report.line(why);
        return code;
    }
    if (const int code = target.flush(); code != kOk)
        return code;
    if (int code = verifier.finish(why); code != kOk) {
        report.line(archive + ": " + why);
        return code;
    }
    return target.commit();
}

// ═════════════════════════════════════════════════════════════════════════════
// x, e: extract; t: test; l, v: list
// ═════════════════════════════════════════════════════════════════════════════

bool selected(const MemberHeader& member, const std::vector<std::string>& names)
{
    if (names.empty())
        return true;
    const std::string path = member.path();
    return std::any_of(names.begin(), names.end(), [&](const std::string& pattern) {
        return wildcardMatch(pattern, path) || (!member.name.empty() && wildcardMatch(pattern, member.name));
    });
}

// A member's path as safe native elements, or false when it would leave the
// extraction folder or cannot be a file name here.
bool safeElements(const MemberHeader& member, bool paths, std::vector<std::string>& elements)
{
    elements.clear();
    std::vector<std::string> parts = member.folders;
    if (!member.name.empty())
        parts.push_back(member.name);
    if (!paths && !parts.empty())
        parts = {parts.back()};
    for (const std::string& part : parts) {
        if (part == "." || part == ".." || part.find(':') != std::string::npos || !isUtf8(part))
            return false;
        for (unsigned char c : part)
            if (c < 0x20 || c == 0x7F)
                return false;
        elements.push_back(part);
    }
    return !elements.empty();
}

int extractOne(RandomReader& reader, const MemberHeader& member, ExtractionTarget& root, bool paths,
               Progress& progress, Report& report)
{
    std::vector<std::string> elements;
    const std::string shown = member.path();
    if (member.isSymlink) {
        report.line(shown + ": symbolic link, not extracted");
        return kErrorNotConfirmName;
    }
    if (!safeElements(member, paths, elements)) {
        report.line(shown + ": unsafe name, not extracted");
        return kErrorInvalidPath;
    }
    if (member.isDirectory) {
        if (!paths)
            return kOk;
        const std::string folder = root.folderFor(elements, elements.size());
        if (folder.empty()) {
            report.line(shown + ": cannot make the folder");
            return kErrorMakeDirectory;
        }
        root.setFolderTime(folder, member.mtime);
        return kOk;
    }
    const std::string folder = root.folderFor(elements, elements.size() - 1);
    if (folder.empty()) {
        report.line(shown + ": cannot make its folder");
        return kErrorMakeDirectory;
    }
    const std::string target = joinPath(folder, elements.back());
    if (const NodeType existing = nodeStatus(target, false).type;
        existing != NodeType::Missing && existing != NodeType::File) {
        report.line(shown + ": a folder or link of that name is in the way");
        return kErrorInvalidPath;
    }
    AtomicFile output;
    AtomicFile::CreateOptions once;
    once.sync = false; // the extraction syncs once at its end
    if (!output.create(target, kTempPrefix, once)) {
        report.line(shown + ": " + std::strerror(output.error()));
        return resultCodeForWrite(output.error());
    }
    std::string why;
    ByteSink& sink = output.sink();
    const int code = decodeMember(reader, member,
        [&](const unsigned char* data, size_t size) { return sink.write(data, size); }, &progress, why);
    if (code != kOk) {
        if (code == kErrorCannotWrite) {
            report.line(shown + ": " + std::strerror(sink.error()));
            return resultCodeForWrite(sink.error());
        }
        if (!why.empty())
            report.line(why);
        return code;
    }
    if (const int committed = commitOutput(output, shown, report); committed != kOk)
        return committed;
    setFileTime(target, member.mtime);
    if (member.attribute & kAttrReadOnly)
        makeReadOnly(target);
    return kOk;
}

int openArchive(const std::string& archive, std::unique_ptr<RandomReader>& reader, Listing& listing, Report& report)
{
    platform::Result<std::string> native = platform::toNative(archive);
    if (!native || nodeStatus(*native, true).type == NodeType::Missing) {
        report.line(archive + ": no such archive");
        return kErrorNotFindArcFile;
    }
    reader = openReader(*native);
    if (!reader) {
        report.line(archive + ": " + std::strerror(errno));
        return kErrorArcFileOpen;
    }
    std::string why;
    const int code = listArchive(*reader, listing, why);
    if (code != kOk && reader->error() != 0) {
        report.line(archive + ": reading the archive: " + std::strerror(reader->error()));
        return kErrorCannotRead;
    }
    if (code != kOk)
        report.line(archive + ": " + why);
    return code;
}

int extract(const ParsedCommandLine& line, bool paths, Report& report, Progress& progress)
{
    std::unique_ptr<RandomReader> reader;
    Listing listing;
    if (const int code = openArchive(withExtension(line.archive), reader, listing, report); code != kOk)
        return code;
    const std::string folder = line.baseFolder.empty() ? platform::currentFolder() : line.baseFolder;
    platform::Result<std::string> root = platform::toNative(folder);
    if (!root || nodeStatus(*root, true).type != NodeType::Folder) {
        report.line(folder + ": the folder does not exist");
        return kErrorMakeDirectory;
    }
    std::uint64_t total = 0;
    for (const MemberHeader& member : listing.members)
        if (selected(member, line.names))
            total += member.originalSize;
    progress.setTotal(total);
    int result = kOk;
    bool any = false;
    ExtractionTarget target(*root);
    for (const MemberHeader& member : listing.members) {
        if (!selected(member, line.names))
            continue;
        any = true;
        const int code = extractOne(*reader, member, target, paths, progress, report);
        if (code == kErrorUserCancel || code == kErrorDiskSpace)
            return code;
        if (code != kOk && result == kOk)
            result = code;
    }
    if (!any) {
        report.line("no member matches");
        return kErrorNotFindFile;
    }
    if (!target.finish() && result == kOk) {
        report.line(folder + ": " + std::strerror(errno));
        return kErrorCannotWrite;
    }
    return result;
}

int test(const ParsedCommandLine& line, Report& report, Progress& progress)
{
    std::unique_ptr<RandomReader> reader;
    Listing listing;
    if (const int code = openArchive(withExtension(line.archive), reader, listing, report); code != kOk)
        return code;
    int result = kOk;
    for (const MemberHeader& member : listing.members) {
        if (!selected(member, line.names))
            continue;
        std::string why;
        const int code = decodeMember(*reader, member, [](const unsigned char*, size_t) { return true; },
            &progress, why);
        if (code == kErrorUserCancel)
            return code;
        report.line(member.path() + (code == kOk ? " - Tested" : " - " + why));
        if (code != kOk && result == kOk)
            result = code;
    }
    return result;
}

int list(const ParsedCommandLine& line, Report& report)
{
    std::unique_ptr<RandomReader> reader;
    Listing listing;
    if (const int code = openArchive(withExtension(line.archive), reader, listing, report); code != kOk)
        return code;
    for (const MemberHeader& member : listing.members) {
        if (!selected(member, line.names))
            continue;
        char crc[8];
        std::snprintf(crc, sizeof crc, "%04X", member.crc);
        report.line(std::to_string(member.originalSize) + "\t" + std::to_string(member.compressedSize) + "\t"
            + std::string(member.methodId) + "\t" + crc + "\t" + std::to_string(member.mtime) + "\t"
            + member.path() + (member.isDirectory ? "\\" : ""));
    }
    return kOk;
}

} // namespace

int runCommand(const std::string& commandLine, Report& report, Progress& progress)
{
    const ParsedCommandLine line = parseCommandLine(commandLine, {"a", "u", "x", "e", "t", "l", "v"});
    const std::vector<std::string> tokens = tokenize(commandLine);
    if (line.command.empty() && !tokens.empty() && tokens[0][0] != '-' && tokens[0].size() == 1) {
        report.line(tokens[0] + ": unknown command");
        return kErrorCommandName;
    }
    Options options;
    if (const auto bad = parseSwitches(line.switches, options)) {
        report.line("-" + *bad + ": unknown switch");
        return kErrorInvalidValue;
    }
    if (line.archive.empty()) {
        report.line("no archive named");
        return kErrorNotArcFile;
    }
    const std::string command = line.command.empty() ? "l" : line.command;
    if (command == "a" || command == "u")
        return pack(line, options, command == "u", report, progress);
    if (command == "x" || command == "e")
        return extract(line, command == "x", report, progress);
    if (command == "t")
        return test(line, report, progress);
    return list(line, report);
}

} // namespace lzh
