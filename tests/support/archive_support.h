// Helpers of the archive tests: folder trees, shell commands, loaded modules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

#include <sys/types.h>

namespace testsupport {

struct CommandResult {
    int exitCode = -1;
    std::string output; // stdout and stderr together
};

// shell: run `command` with /bin/sh, capturing its output.
CommandResult shell(const std::string& command);

// quote: `text` as one shell word.
std::string quote(const std::string& text);

struct TreeFile {
    std::string content;
    std::int64_t mtime = 0;
    bool folder = false;
    bool operator==(const TreeFile&) const = default;
};

// readTree: every file and folder below `root` by relative path ("SUB/x").
std::map<std::string, TreeFile> readTree(const std::string& root);

// unpacked: the files (not folders) of `archive` as bsdtar extracts them into
// `out` (made here), by relative path; a failed extraction fails the test.
std::map<std::string, TreeFile> unpacked(const std::string& archive, const std::string& out);

// makeSampleTree: subfolders, an empty folder, empty and one-byte files,
// Japanese names (with 0x5C trail bytes in CP932), a hidden file, window-edge
// sizes and a file of several MB; modification times on odd seconds.
void makeSampleTree(const std::string& root);

// setMtime: set a file's modification time (seconds since 1970).
void setMtime(const std::string& path, std::int64_t seconds);

// An archiver module loaded with dlopen, and its command function.
class LoadedModule {
public:
    LoadedModule(const std::string& path, const std::string& prefix);
    ~LoadedModule();
    LoadedModule(const LoadedModule&) = delete;
    LoadedModule& operator=(const LoadedModule&) = delete;

    bool loaded() const { return m_handle != nullptr; }
    // run: the command function ("Unlha", "Zip", "UnZip") with a report buffer.
    int run(const std::string& commandLine, std::string* report = nullptr);
    void* symbol(const std::string& name) const;

private:
    void* m_handle = nullptr;
    std::string m_prefix;
};

// lhasaSpelling: the name lhasa gives an extracted MS-DOS entry: a path
// without any small ASCII letter comes out in small letters (README.TXT gives
// readme.txt, SUB/lower.TXT stays).
std::string lhasaSpelling(const std::string& path);

// sevenZipAttributes: what `7zz l -slt` lists of an archive or a disk image:
// every entry's path and its attribute letters ("" when none are shown).
std::map<std::string, std::string> sevenZipAttributes(const std::string& path);

// leaseBreaking: a process waits at its open of the file `inode` for a read
// lease on it to be given back (as /proc/locks shows).
bool leaseBreaking(std::uint64_t inode);

// noise: random bytes, as in pictures and archives: they do not shrink.
std::string noise(size_t size, unsigned seed);

// paragraphText: text of paragraphs drawn from sixteen, as a log or a listing
// repeats itself: it shrinks to a tenth or less, and fast (long matches).
std::string paragraphText(size_t size, unsigned seed);

// processState: the state letter of a process: 'T' when every thread of it
// is stopped, 'Z' when it has ended, 0 when it is gone, else that of a
// thread running.
char processState(pid_t pid);

// binaryDir: the folder holding the program, the modules and the test tools.
std::string binaryDir();

} // namespace testsupport
