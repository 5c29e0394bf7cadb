// The settings store on POSIX systems: one file per application, replaced atomically.
//
// Readers never lock: a store file is only ever replaced whole by rename(), so
// a reader sees the old or the new file. Writers lock the store folder (flock)
// for their read-modify-write, so two instances never lose each other's keys.
#include "platform.h"

#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialect.h"
#include "folder_lock.h"
#include "settings_ini.h"

namespace platform {

namespace {

// A store file beyond this size is not one we wrote (a few KB is typical);
// refusing it keeps a damaged or hostile file from exhausting memory.
constexpr off_t kMaxStoreBytes = 4 << 20;

constexpr const char* kHeader =
    "; Settings of Sorvane2 and the programs of its series. UTF-8; values escaped with \\.\n";

std::string configFolder()
{
    if (const char* dir = std::getenv("SORVANE2_CONFIG_DIR"); dir && *dir)
        return dir;
    if (const char* dir = std::getenv("XDG_CONFIG_HOME"); dir && *dir == '/')
        return dir;
    const char* home = std::getenv("HOME");
    return std::string(home && *home ? home : "/tmp") + "/.config";
}

Result<std::string> storeFile(std::string_view application)
{
    if (application.empty() || application.size() > 200 || application == "." || application == ".."
        || application.find('/') != std::string_view::npos || application[0] == '.'
        || !dialect::isValidUtf8(application))
        return Error{EINVAL, "\"" + std::string(application) + "\" is not a usable application name"};
    // Application names ignore case, as the other programs of the series expect.
    const std::string folder = configFolder();
    const std::string wanted = std::string(application) + ".ini";
    if (DIR* dir = ::opendir(folder.c_str())) {
        std::string found;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            if (name == wanted) {
                found = name;
                break;
            }
            if (found.empty() && dialect::sameName(name, wanted))
                found = name;
        }
        ::closedir(dir);
        if (!found.empty())
            return folder + "/" + found;
    }
    return folder + "/" + wanted;
}

std::string tempPrefix(std::string_view application)
{
    return "." + std::string(application) + ".ini.tmp-";
}

// Reads a whole store file. `missing` is set (and the result empty) when
// there is no file.
Result<std::string> readWhole(const std::string& path, bool* missing)
{
    *missing = false;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT) {
            *missing = true;
            return std::string();
        }
        return systemError(path);
    }
    struct stat info;
    if (::fstat(fd, &info) != 0) {
        const Error error = systemError(path);
        ::close(fd);
        return error;
    }
    if (!S_ISREG(info.st_mode) || info.st_size > kMaxStoreBytes) {
        ::close(fd);
        return Error{EFBIG, path + ": not a settings file (not a regular file, or too large)"};
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t got = ::read(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0) {
            const Error error = systemError(path);
            ::close(fd);
            return error;
        }
        if (got == 0)
            break;
        text.append(buffer, static_cast<size_t>(got));
        if (text.size() > static_cast<size_t>(kMaxStoreBytes)) {
            ::close(fd);
            return Error{EFBIG, path + ": too large for a settings file"};
        }
    }
    ::close(fd);
    return text;
}

Result<void> makeFolders(const std::string& folder)
{
    std::string partial;
    size_t start = 0;
    while (start <= folder.size()) {
        size_t end = folder.find('/', start);
        if (end == std::string::npos)
            end = folder.size();
        partial = folder.substr(0, end);
        start = end + 1;
        if (partial.empty())
            continue;
        if (::mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST)
            return systemError(partial);
    }
    return {};
}

bool writeAll(int fd, std::string_view text)
{
    while (!text.empty()) {
        const ssize_t put = ::write(fd, text.data(), text.size());
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            return false;
        text.remove_prefix(static_cast<size_t>(put));
    }
    return true;
}

// Writes `text` to a temporary file in `folder` and renames it over `target`.
Result<void> replaceFile(const std::string& folder, std::string_view application,
                         const std::string& target, std::string_view text)
{
    std::string temp = folder + "/" + tempPrefix(application) + "XXXXXX";
    const int fd = ::mkstemp(temp.data());
    if (fd < 0)
        return systemError(folder);
    const bool written = writeAll(fd, text) && ::fsync(fd) == 0;
    const int writeError = errno;
    if (::close(fd) != 0 || !written) {
        const int code = written ? errno : writeError;
        ::unlink(temp.c_str());
        return systemError(target, code);
    }
    if (::rename(temp.c_str(), target.c_str()) != 0) {
        const Error error = systemError(target);
        ::unlink(temp.c_str());
        return error;
    }
    if (const int dirFd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return {};
}

// Read-modify-write of one application's store under the folder lock.
// `change` returns false when it changed nothing (no write then).
template <typename Change>
Result<void> modifyStore(std::string_view application, Change change)
{
    Result<std::string> file = storeFile(application);
    if (!file)
        return file.error();
    const std::string folder = configFolder();
    if (Result<void> made = makeFolders(folder); !made)
        return made;
    FolderLock lock(folder);
    if (!lock.held())
        return systemError(folder);
    removeStaleTemps(folder, tempPrefix(application));

    bool missing = false;
    Result<std::string> text = readWhole(*file, &missing);
    if (!text)
        return text.error();
    ini::ParseResult parsed = ini::parse(*text);
    if (!parsed.badLines.empty()) {
        // Keep the damaged file as it was before the good part is rewritten.
        if (Result<void> kept = replaceFile(folder, application, *file + ".bad", *text); !kept)
            return kept;
    }
    if (!change(parsed.document) && parsed.badLines.empty())
        return {};
    if (parsed.document.sections.empty()) {
        if (!missing && ::unlink(file->c_str()) != 0 && errno != ENOENT)
            return systemError(*file);
        return {};
    }
    return replaceFile(folder, application, *file, kHeader + ini::serialize(parsed.document));
}

} // namespace

std::string settingsRead(std::string_view application, std::string_view section,
                         std::string_view key, std::string_view fallback,
                         std::optional<Error>* problem)
{
    if (problem)
        problem->reset();
    Result<std::string> file = storeFile(application);
    if (!file) {
        if (problem)
            *problem = file.error();
        return std::string(fallback);
    }
    bool missing = false;
    Result<std::string> text = readWhole(*file, &missing);
    if (!text) {
        if (problem)
            *problem = text.error();
        return std::string(fallback);
    }
    const ini::ParseResult parsed = ini::parse(*text);
    if (problem && !parsed.badLines.empty())
        *problem = Error{EILSEQ, *file + ": damaged at line " + std::to_string(parsed.badLines.front())
                                     + "; unreadable lines are ignored"};
    const std::string* value = parsed.document.find(section, key);
    return value ? *value : std::string(fallback);
}

Result<void> settingsWrite(std::string_view application, std::string_view section,
                           std::string_view key, std::string_view value)
{
    return modifyStore(application, [&](ini::Document& document) {
        const std::string* old = document.find(section, key);
        if (old && *old == value)
            return false;
        document.set(section, key, value);
        return true;
    });
}

Result<void> settingsDeleteSection(std::string_view application, std::string_view section)
{
    return modifyStore(application,
        [&](ini::Document& document) { return document.removeSection(section); });
}

Result<void> settingsDeleteApplication(std::string_view application)
{
    Result<std::string> file = storeFile(application);
    if (!file)
        return file.error();
    const std::string folder = configFolder();
    FolderLock lock(folder);
    if (::unlink(file->c_str()) != 0 && errno != ENOENT)
        return systemError(*file);
    return {};
}

std::string settingsLocation(std::string_view application)
{
    Result<std::string> file = storeFile(application);
    return file ? *file : std::string();
}

} // namespace platform
