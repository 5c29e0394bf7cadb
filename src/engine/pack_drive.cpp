// basSorvane: the packing engine.
#include "pack_drive.h"

#include <cctype>
#include <stdexcept>

#include "basvelt.h"
#include "platform/platform.h"
#include "text/catalogue.h"

namespace engine {

namespace {

constexpr std::int32_t kNoSpace = 32773;   // 0x8005
constexpr std::int32_t kReadOnly = 32774;  // 0x8006
constexpr std::int32_t kBusy = 32799;      // 0x801F
constexpr std::int32_t kCancelled = 32800; // 0x8020

// Swap files that a disk of the old days may hold; never packed.
constexpr const char* kExclusions = "-jx386SPART.PAR -jxWIN386.SWP -jxPAGEFILE.SYS";

constexpr const char* kIdeographicSpace = "\u3000";

// The last non-empty line of a library's report: the failure's file and cause.
std::string lastLine(const std::string& report)
{
    const size_t end = report.find_last_not_of("\r\n \t");
    if (end == std::string::npos)
        return {};
    const size_t newline = report.find_last_of('\n', end);
    const size_t start = newline == std::string::npos ? 0 : newline + 1;
    return report.substr(start, end + 1 - start);
}

std::string text(std::int16_t id)
{
    return std::string(resSorvane::ResText(id));
}

std::string withSeparator(const std::string& folder)
{
    return !folder.empty() && folder.back() == '\\' ? folder : folder + "\\";
}

// The switch part of normal, store and first-stage lines.
std::string lzhSwitch(const PackSettings& s)
{
    if (s.SubDir)
        return s.Hiddn ? " -xra " : " -xr ";
    return s.Hiddn ? " -xa " : " -x ";
}

std::string zipSwitch(const PackSettings& s)
{
    if (s.SubDir)
        return s.Hiddn ? " -r -S " : " -r ";
    return s.Hiddn ? " -D -S " : " -D ";
}

bool sameIgnoringCase(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

char driveLetter(const std::string& path)
{
    return path.size() >= 2 && path[1] == ':' ? static_cast<char>(std::tolower(static_cast<unsigned char>(path[0]))) : 0;
}

// Makes `folder` current: its drive, then the folder. Throws on failure.
void enter(const std::string& folder)
{
    const char letter = driveLetter(folder);
    if (!letter || !platform::changeDrive(letter).ok() || !platform::changeFolder(folder).ok())
        throw std::runtime_error(folder);
}

} // namespace

CommandLines buildCommandLines(const PackSettings& s, const std::string& name, const std::string& storageFolder,
                               std::int16_t mode)
{
    CommandLines lines;
    const std::string S = withSeparator(storageFolder);
    const std::string N = s.UCase ? basVelt::UpperCaseName(name) : name;
    const std::string T = s.TmpDir;
    const std::string D = withSeparator(s.TmpDir);
    const std::string work = "\"-w" + T + "\"";
    if (mode != Double) {
        const bool lzh = s.AshukuExe == 0;
        lines.firstIsLzh = lzh;
        const std::string A = S + N + (lzh ? ".LZH" : ".ZIP");
        lines.archive = A;
        if (lzh) {
            const std::string L = s.Lzh_Option + lzhSwitch(s);
            lines.first = mode == Normal
                ? L + " " + work + "  " + kExclusions + " \"" + A + "\" \"*.*\""
                : L + " -z1  " + work + "  " + kExclusions + " \"" + A + "\" \"*.*\"";
        } else {
            lines.first = zipSwitch(s) + (mode == Normal ? " -9 \"" : " -0 \"") + A + "\" \"*.*\"";
        }
        return lines;
    }
    const bool firstLzh = s.Pattern == 0 || s.Pattern == 1;
    const bool secondLzh = s.Pattern == 0 || s.Pattern == 2;
    lines.firstIsLzh = firstLzh;
    lines.secondIsLzh = secondLzh;
    const std::string I = N + (firstLzh ? ".LZH" : ".ZIP");
    const std::string P = D + I;
    const std::string F = S + I + (secondLzh ? ".LZH" : ".ZIP");
    lines.inner = P;
    lines.archive = F;
    lines.first = firstLzh ? s.Lzh_Option + lzhSwitch(s) + " -z1 " + work + "  " + kExclusions + " \"" + P + "\" \"*.*\""
                           : zipSwitch(s) + " -0 \"" + P + "\" \"*.*\"";
    lines.second = secondLzh ? "u -+ " + work + " \"" + F + "\" \"" + I + "\"" : "-r -9 \"" + F + "\" \"" + I + "\"";
    lines.extraction = secondLzh ? "x -+ \"" + F + "\" \"" + D + "\" \"" + I + "\""
                                 : "-x \"" + F + "\" \"" + D + "\" \"" + I + "\"";
    return lines;
}

bool Engine::CheckSourceFolder(const std::string& sourceRoot, const std::string& storageFolder,
                               const std::string& tmpFolder)
{
    const size_t n = sourceRoot.size();
    auto inside = [&](const std::string& folder) {
        return sameIgnoringCase(m_settings.SubDir ? folder.substr(0, n) : folder, sourceRoot);
    };
    if (inside(storageFolder)) {
        m_messages.show(text(20200));
        return false;
    }
    if (inside(tmpFolder)) {
        m_messages.show(text(20201));
        return false;
    }
    try {
        enter(sourceRoot);
    } catch (const std::exception&) {
        m_messages.show(text(20202));
        return false;
    }
    // The texts may still lead into the source: a relative folder (the
    // libraries resolve it against the source root, which is current now),
    // "a:" alone, "..", another letter whose folder holds the source's, a link.
    // So compare where the folders really are.
    const platform::Result<std::string> source = platform::canonicalPath(sourceRoot);
    if (!source) {
        m_messages.show(text(20202));
        return false;
    }
    if (const platform::Result<std::string> storage = platform::canonicalPath(storageFolder); storage) {
        if (m_settings.SubDir ? platform::isInsideOrSame(*storage, *source) : *storage == *source) {
            m_messages.show(text(20200));
            return false;
        }
    }
    // The temporary folder receives the staging archive of a double run; it
    // must be a folder that exists, named absolutely, and off the source disk.
    const bool absolute = (tmpFolder.size() >= 3 && tmpFolder[1] == ':' && tmpFolder[2] == '\\')
        || tmpFolder.starts_with("\\\\");
    const platform::Result<std::string> temp =
        absolute ? platform::canonicalPath(tmpFolder) : platform::Result<std::string>(platform::Error{});
    if (!absolute || !temp || !platform::isFolder(tmpFolder)) {
        m_messages.show(tmpFolder.empty() ? text(20203) : text(20203) + "\n" + tmpFolder);
        return false;
    }
    if (platform::isInsideOrSame(*temp, *source)) {
        m_messages.show(text(20201));
        return false;
    }
    // A disk image drive or a read-only volume cannot take the archive: say so
    // before a module tries and fails.
    if (!platform::checkWritableVolume(storageFolder)) {
        m_messages.show(text(20207) + "\n" + storageFolder);
        return false;
    }
    return true;
}

std::int16_t Engine::ResultOutcome(std::int32_t code)
{
    switch (code) {
    case 0:
        return 0;
    case kNoSpace:
        m_history.ListInAdd(text(20040));
        return -1;
    case kReadOnly:
        m_history.ListInAdd(text(20041));
        return -1;
    case kCancelled:
        m_history.ListInAdd(text(20042));
        return -1;
    default:
        return 1;
    }
}

// One call with the busy rule: a busy library shows its message and counts as busy.
int Engine::runLibrary(bool lzh, const std::string& commandLine)
{
    ArchiverLibrary* library = lzh ? m_libraries.lzh.get() : m_libraries.zip.get();
    if (!library)
        throw std::runtime_error("library not loaded");
    if (library->running()) {
        m_messages.show(text(lzh ? 20100 : 20101));
        return kBusy;
    }
    const int code = library->command(commandLine);
    m_failureCause = code == 0 ? std::string() : lastLine(library->report());
    return code;
}

std::int16_t Engine::PackDrive(const std::string& sourceRoot, const std::string& name, const std::string& storageFolder,
                               std::int16_t mode)
{
    m_failureCause.clear();
    bool checked = false;
    try {
        // A quotation mark would end a quoted name of the command line early
        // and turn the rest into other arguments; no Windows name holds one.
        if (storageFolder.find('"') != std::string::npos || m_settings.TmpDir.find('"') != std::string::npos
            || name.find('"') != std::string::npos)
            m_messages.show(text(20205));
        else
            checked = CheckSourceFolder(sourceRoot, storageFolder, m_settings.TmpDir);
    } catch (...) {
        checked = false;
    }
    if (!checked) {
        m_history.ListInAdd(text(20005));
        return 1;
    }
    try {
        const std::string remembered = platform::currentFolder();
        enter(sourceRoot);
        if (name.empty())
            throw std::runtime_error("no archive name");
        const CommandLines lines = buildCommandLines(m_settings, name, storageFolder, mode);
        // The staging file is made, updated and deleted by this run alone: a
        // file already there (another disk's leftover, the normal archive of
        // the same name when the storage folder is the temporary folder) is
        // someone else's and is never touched.
        if (mode == Double && platform::onDiskName(lines.inner).ok()) {
            m_messages.show(text(20204) + "\n" + lines.inner);
            m_history.ListInAdd(text(20005));
            return 1;
        }
        const std::string sourceLine = "[ " + basVelt::ShortenPath(sourceRoot) + " ]";
        std::int32_t code = 0;
        if (mode != Double) {
            const bool lzh = lines.firstIsLzh;
            const bool available = lzh ? m_libraries.availability.lzh : m_libraries.availability.zip;
            if (!available) {
                code = -1;
            } else {
                m_history.ListInAdd(sourceLine);
                m_history.ListInAdd(text(mode == Normal ? (lzh ? 20010 : 20011) : (lzh ? 20012 : 20013)));
                code = runLibrary(lzh, lines.first);
            }
        } else {
            // The staging file goes at the end of every double run, whatever happened.
            struct Staging {
                std::string path;
                ~Staging() { (void)platform::deleteFile(path); }
            } staging{lines.inner};
            m_history.ListInAdd(sourceLine);
            if (m_settings.Double && basVelt::FileExists(lines.archive)) {
                m_history.ListInAdd(text(20020));
                ArchiverLibrary* extractor = lines.secondIsLzh ? m_libraries.lzh.get() : m_libraries.unzip.get();
                if (!extractor)
                    throw std::runtime_error("extraction library not loaded");
                if (!extractor->running())
                    extractor->command(lines.extraction); // its result is not looked at
            }
            m_history.ListInAdd(text(lines.firstIsLzh ? 20001 : 20006));
            code = runLibrary(lines.firstIsLzh, lines.first);
            if (ResultOutcome(code) == 0) {
                m_history.ListInAdd(text(lines.secondIsLzh ? 20002 : 20007));
                enter(withSeparator(m_settings.TmpDir));
                code = runLibrary(lines.secondIsLzh, lines.second);
            }
        }
        try {
            enter(remembered);
        } catch (...) {
        }
        const std::int16_t outcome = ResultOutcome(code);
        if (outcome != 0) {
            m_history.ListInAdd(text(20004));
            if (!m_failureCause.empty())
                m_history.ListInAdd(kIdeographicSpace + m_failureCause);
            return outcome;
        }
        m_history.ListInAdd(text(20003));
        m_archives.ListInAdd(lines.archive);
        return 0;
    } catch (...) {
        m_history.ListInAdd(text(20004));
        return -1;
    }
}

} // namespace engine
