// What the archiver modules promise whatever they are given: every valid
// archive reads, every bomb is refused, nothing that is not a regular file is
// opened or stored, no file is stored as a mix of two versions, and nothing a
// call did not make is changed. Each case runs the real modules, in a process
// of their own where a kill, a stop or a time limit is needed, and checks the
// results with readers of other projects.
#include <chrono>
#include <filesystem>
#include <random>
#include <regex>
#include <sstream>
#include <thread>

#include <cstring>

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "common/segments.h"
#include "crc16.h"
#include "lzh_header.h"
#include "support/archive_support.h"
#include "support/testsupport.h"

namespace {

namespace fs = std::filesystem;
using namespace testsupport;

// One archive format as the program drives it.
struct Format {
    const char* name;
    const char* packModule;     // module and function that write archives
    const char* packFunction;
    const char* readModule;     // module and function that extract and test
    const char* readFunction;
    const char* extension;
    const char* packLine;       // %s = archive (D:\...)
    const char* extractLine;    // %s = archive; extracts into C:\ (the x folder)
    const char* testLine;       // %s = archive
    const char* tempPrefix;
};

const Format kFormats[] = {
    {"lzh", "UNLHA32.DLL", "Unlha", "UNLHA32.DLL", "Unlha", "LZH", "u -+ -xra \"%s\" \"*.*\"",
        "x \"%s\" \"C:\\\"", "t \"%s\"", ".~lzh-"},
    {"zip", "ZIP32J.DLL", "Zip", "UNZIP32.DLL", "UnZip", "ZIP", " -r -S  -9 \"%s\" \"*.*\"",
        "-x \"%s\" \"C:\\\"", "-t \"%s\"", ".~zip-"},
};

void PrintTo(const Format& format, std::ostream* out)
{
    *out << format.name;
}

std::string fill(const char* pattern, const std::string& value)
{
    return std::regex_replace(pattern, std::regex("%s"), value);
}

struct CliResult {
    int code = -1; // the module's result; -1 when the process did not finish
    std::string output;
};

// Every entry below `root`: its kind, and for regular files content, time and
// mode. Never opens anything but regular files and folders.
std::map<std::string, std::string> snapshot(const std::string& root)
{
    std::map<std::string, std::string> tree;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator(); ++it) {
        struct stat info;
        ::lstat(it->path().c_str(), &info);
        std::string state = std::to_string(info.st_mode) + " " + std::to_string(info.st_mtim.tv_sec);
        if (S_ISREG(info.st_mode))
            state += " " + std::to_string(std::hash<std::string>{}(readFile(it->path().string())));
        tree[fs::relative(it->path(), root).string()] = state;
    }
    return tree;
}

// One version of a file of `size` bytes; `mark` tells the versions apart on
// every line, so that any mix of two shows.
std::string version(size_t size, char mark)
{
    std::string text;
    for (std::uint64_t i = 0; text.size() < size; ++i)
        text += "record " + std::to_string(i * 7919 % 100003) + " of version " + mark + "\n";
    text.resize(size);
    return text;
}

class ArchivePromises : public ::testing::TestWithParam<Format> {
protected:
    void SetUp() override
    {
        m_format = GetParam();
        makeDirs(m_dir / "src");
        makeDirs(m_dir / "out");
        makeDirs(m_dir / "x");
        m_env.emplace("SORVANE2_DRIVES",
            "a=" + m_dir.path() + "/src;c=" + m_dir.path() + "/x;d=" + m_dir.path() + "/out");
        ASSERT_EQ(::chdir((m_dir / "src").c_str()), 0);
    }

    std::string archive(const std::string& name = "DISK01") const
    {
        return m_dir / ("out/" + name + "." + m_format.extension);
    }
    std::string shown(const std::string& name = "DISK01") const
    {
        return "D:\\" + name + "." + m_format.extension;
    }

    // A call of a module in a process of its own, ended after `seconds`.
    CliResult cli(const std::string& module, const std::string& function, const std::string& line,
                  int seconds = 120, const std::string& wrapper = "")
    {
        const CommandResult run = shell("export ASAN_OPTIONS=detect_leaks=0; " + wrapper + " timeout -s KILL "
            + std::to_string(seconds) + " " + quote(binaryDir() + "/archiver_cli") + " "
            + quote(binaryDir() + "/" + module) + " " + function + " " + quote(line));
        CliResult result;
        result.output = run.output;
        std::smatch match;
        if (std::regex_search(run.output, match, std::regex("result=0x([0-9A-F]{4})")))
            result.code = std::stoi(match[1], nullptr, 16);
        return result;
    }
    CliResult pack(const std::string& name = "DISK01", int seconds = 120)
    {
        return cli(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown(name)), seconds);
    }
    CliResult extract(const std::string& name = "DISK01")
    {
        return cli(m_format.readModule, m_format.readFunction, fill(m_format.extractLine, shown(name)));
    }
    CliResult test(const std::string& name = "DISK01")
    {
        return cli(m_format.readModule, m_format.readFunction, fill(m_format.testLine, shown(name)));
    }

    // A call of a module in a process of its own that stops itself just
    // before its `stopAt`th read of `stopFile` (see archiver_cli), its output
    // going to `log`; run as nobody when `asNobody`. The process id, or -1.
    // The call runs in `cwd` when one is given.
    pid_t startStopping(const std::string& module, const std::string& function, const std::string& line,
                        const std::string& stopFile, int stopAt, const std::string& log, bool asNobody = false,
                        const std::string& cwd = "")
    {
        const pid_t child = ::fork();
        if (child != 0)
            return child;
        if (!cwd.empty() && ::chdir(cwd.c_str()) != 0)
            ::_exit(126);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::setenv("ARCHIVER_CLI_STOP_AT_READ", (std::to_string(stopAt) + ":" + stopFile).c_str(), 1);
        ::setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        if (asNobody && (::setgroups(0, nullptr) != 0 || ::setresgid(65534, 65534, 65534) != 0
                            || ::setresuid(65534, 65534, 65534) != 0))
            ::_exit(126);
        const std::string cli = binaryDir() + "/archiver_cli";
        const std::string path = binaryDir() + "/" + module;
        ::execl(cli.c_str(), "archiver_cli", path.c_str(), function.c_str(), line.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }

    // waitStopped: true once every thread of `pid` is stopped, false when
    // it ended instead.
    static bool waitStopped(pid_t pid)
    {
        char state = 0;
        while ((state = processState(pid)) != 'T' && state != 'Z' && state != 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return state == 'T';
    }

    static CliResult resultIn(const std::string& log)
    {
        CliResult result;
        result.output = readFile(log);
        std::smatch match;
        if (std::regex_search(result.output, match, std::regex("result=0x([0-9A-F]{4})")))
            result.code = std::stoi(match[1], nullptr, 16);
        return result;
    }

    // packFirstVersion: `live` (of `size` bytes) and OTHER.TXT packed, then
    // `live` made newer than its stored copy, so that the next pack reads it.
    void packFirstVersion(const std::string& live, size_t size)
    {
        writeFile(live, version(size, 'a'));
        setMtime(live, 1000000000);
        writeFile(m_dir / "src/OTHER.TXT", "stays\n");
        ASSERT_EQ(pack().code, 0);
        setMtime(live, 1100000000);
    }

    // expectRefusedAsBeingWritten: the call failed naming LIVE.DAT as being
    // written by another program, and the archive is still `old`.
    void expectRefusedAsBeingWritten(const CliResult& result, const std::string& old)
    {
        EXPECT_EQ(result.code, 0x801A) << result.output;
        EXPECT_NE(result.output.find("LIVE.DAT: cannot be read: another program is writing it"), std::string::npos)
            << result.output;
        EXPECT_EQ(readFile(archive()), old);
    }

    bool lzh() const { return std::string(m_format.name) == "lzh"; }

    std::vector<std::string> temporaries(const std::string& folder) const
    {
        std::vector<std::string> names;
        for (const auto& entry : fs::recursive_directory_iterator(folder))
            if (entry.path().filename().string().rfind(".~", 0) == 0)
                names.push_back(entry.path().string());
        return names;
    }

    Format m_format{};
    TempDir m_dir;
    ScopedCwd m_cwd;
    std::optional<ScopedEnv> m_env;
};

// ── The walk: only regular files and folders ───────────────────────────────

TEST_P(ArchivePromises, FifosSocketsAndDevicesAreNamedAndNeverOpened)
{
    writeFile(m_dir / "src/GOOD.TXT", "a regular file\n");
    makeDirs(m_dir / "src/SUB");
    writeFile(m_dir / "src/SUB/ALSO.TXT", "another\n");
    ASSERT_EQ(::mkfifo((m_dir / "src/SUB/PIPE").c_str(), 0644), 0);
    fs::create_symlink("/dev/zero", m_dir / "src/ZERO.LNK");
    const bool device = ::mknod((m_dir / "src/CHAR.DEV").c_str(), S_IFCHR | 0644, makedev(1, 5)) == 0;
    const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const std::string socketPath = m_dir / "src/SOCK";
    ASSERT_LT(socketPath.size(), sizeof address.sun_path);
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size() + 1);
    ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    const auto before = snapshot(m_dir / "src");

    // A FIFO blocked the call for good, a device made the archive grow
    // without end: the call must end, well within the limit.
    const CliResult result = pack("DISK01", 60);
    ::close(sock);
    ASSERT_EQ(result.code, 0) << result.output;
    for (const char* name : {"PIPE", "ZERO.LNK", "SOCK"})
        EXPECT_NE(result.output.find(name), std::string::npos) << name << "\n" << result.output;
    if (device) {
        EXPECT_NE(result.output.find("CHAR.DEV"), std::string::npos) << result.output;
    }
    EXPECT_EQ(snapshot(m_dir / "src"), before);

    const CommandResult listing = shell("bsdtar -tf " + quote(archive()));
    EXPECT_NE(listing.output.find("GOOD.TXT"), std::string::npos) << listing.output;
    EXPECT_NE(listing.output.find("SUB/ALSO.TXT"), std::string::npos) << listing.output;
    for (const char* name : {"PIPE", "ZERO", "SOCK", "CHAR"})
        EXPECT_EQ(listing.output.find(name), std::string::npos) << name << "\n" << listing.output;
}

// ── A file another program writes ──────────────────────────────────────────

// Read whole ahead of the writer, and streamed through it.
const size_t kFileSizes[] = {3u << 20, 5u << 20};

// leasesWork: whether this process can take a read lease on a new file in `folder`.
bool leasesWork(const std::string& folder)
{
    const std::string probe = folder + "/lease.probe";
    writeFile(probe, "probe");
    const int fd = ::open(probe.c_str(), O_RDONLY);
    const bool taken = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_RDLCK) == 0;
    if (fd >= 0)
        ::close(fd);
    fs::remove(probe);
    return taken;
}

TEST_P(ArchivePromises, AFileHeldOpenForWritingIsNeitherStoredNorWaitedForWithoutEnd)
{
    for (const size_t size : kFileSizes) {
        SCOPED_TRACE(size);
        const std::string live = m_dir / "src/LIVE.DAT";
        ASSERT_NO_FATAL_FAILURE(packFirstVersion(live, size));
        const std::string old = readFile(archive());

        // Another program is halfway through writing the next version and
        // keeps the file open: what is on the disk is a mix of the two, and
        // stays one however long it is read.
        const int writer = ::open(live.c_str(), O_WRONLY);
        ASSERT_GE(writer, 0);
        const std::string next = version(size, 'b');
        ASSERT_EQ(::pwrite(writer, next.data(), size / 2, 0), static_cast<ssize_t>(size / 2));
        setMtime(live, 1100000000);
        const auto before = snapshot(m_dir / "src");
        const CliResult result = pack();
        expectRefusedAsBeingWritten(result, old);
        EXPECT_EQ(snapshot(m_dir / "src"), before);
        EXPECT_TRUE(temporaries(m_dir / "out").empty());

        // Closed, it is a version at rest: stored as it stands.
        ::close(writer);
        const std::string atRest = readFile(live);
        ASSERT_EQ(pack().code, 0);
        const std::string out = m_dir / ("bsd" + std::to_string(size));
        makeDirs(out);
        ASSERT_EQ(shell("bsdtar -xf " + quote(archive()) + " -C " + quote(out)).exitCode, 0);
        EXPECT_TRUE(readFile(out + "/LIVE.DAT") == atRest) << "not the file as it stands";
        EXPECT_EQ(readFile(out + "/OTHER.TXT"), "stays\n");
    }
}

// A writer that comes while the module is inside the file's read: the module
// is stopped just before its second read of the file, the writer opens the
// file and writes the whole next version, and the module goes on once the
// writer is done or waits for the module's lease.
class WriterDuringTheRead : public ArchivePromises {
protected:
    struct Race {
        CliResult result;
        bool writerWaited = false; // held at its open until the module let go
        bool moduleEnded = false;  // the module's process ended by itself, not by a signal
    };

    Race packWhileAWriterComes(const std::string& file, const std::string& next, bool asNobody)
    {
        Race race;
        const std::string log = m_dir / "cli.out";
        const pid_t module = startStopping(m_format.packModule, m_format.packFunction,
            fill(m_format.packLine, shown()), file, 2, log, asNobody);
        if (module < 0)
            return race;
        // The module stops inside the file's read; if it ends instead, the
        // checks below show its output.
        const bool stopped = waitStopped(module);
        if (stopped) {
            const pid_t writer = ::fork();
            if (writer == 0) {
                const int fd = ::open(file.c_str(), O_WRONLY);
                const bool whole = fd >= 0 && ::pwrite(fd, next.data(), next.size(), 0) == static_cast<ssize_t>(next.size());
                ::_exit(whole && ::close(fd) == 0 ? 0 : 1);
            }
            struct stat info;
            ::stat(file.c_str(), &info);
            int status = 0;
            bool done = false;
            while (!(done = ::waitpid(writer, &status, WNOHANG) == writer) && !leaseBreaking(info.st_ino))
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            race.writerWaited = !done;
            ::kill(module, SIGCONT);
            if (!done)
                ::waitpid(writer, &status, 0);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the writer could not write";
        }
        int status = 0;
        ::waitpid(module, &status, 0);
        race.moduleEnded = WIFEXITED(status) && WEXITSTATUS(status) == 0;
        race.result = resultIn(log);
        return race;
    }

    // What was stored of LIVE.DAT, as bsdtar extracts it.
    std::string stored(const std::string& folder)
    {
        const std::string out = m_dir / folder;
        makeDirs(out);
        EXPECT_EQ(shell("bsdtar -xf " + quote(archive()) + " -C " + quote(out)).exitCode, 0);
        return readFile(out + "/LIVE.DAT");
    }
};

TEST_P(WriterDuringTheRead, WaitsForTheLeaseAndNeverGetsAMixStored)
{
    const bool leases = leasesWork(m_dir / "src");
    for (const size_t size : kFileSizes) {
        SCOPED_TRACE(size);
        const std::string live = m_dir / "src/LIVE.DAT";
        ASSERT_NO_FATAL_FAILURE(packFirstVersion(live, size));
        const std::string old = readFile(archive());
        const std::string next = version(size, 'b');

        const Race race = packWhileAWriterComes(live, next, false);
        // The lease's break is announced by SIGIO unless told otherwise,
        // which would have ended the module's process.
        EXPECT_TRUE(race.moduleEnded) << race.result.output;
        if (leases) {
            EXPECT_TRUE(race.writerWaited) << "the writer got in while the file was read";
        }
        // The writer was only delayed.
        EXPECT_TRUE(readFile(live) == next);
        if (race.result.code == 0) {
            // Read again once the writer was done: its version, whole.
            EXPECT_LE(size, 4u << 20) << race.result.output;
            EXPECT_TRUE(stored("x" + std::to_string(size)) == next) << "not one whole version";
        } else {
            expectRefusedAsBeingWritten(race.result, old);
        }
        EXPECT_TRUE(temporaries(m_dir / "out").empty());
    }
}

TEST_P(WriterDuringTheRead, IsSeenInAFileOfAnotherUserWithoutALease)
{
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root, to read as another user";
    // The module runs as nobody: it may read the files and write the
    // archive, but cannot take a lease on a file it does not own.
    for (const std::string& folder : {m_dir.path(), m_dir / "src", m_dir / "out"})
        ::chmod(folder.c_str(), 0777);
    for (const size_t size : kFileSizes) {
        SCOPED_TRACE(size);
        const std::string live = m_dir / "src/LIVE.DAT";
        ASSERT_NO_FATAL_FAILURE(packFirstVersion(live, size));
        ASSERT_EQ(::chmod(archive().c_str(), 0666), 0);
        const std::string old = readFile(archive());
        const std::string next = version(size, 'b');

        const Race race = packWhileAWriterComes(live, next, true);
        EXPECT_TRUE(race.moduleEnded) << race.result.output;
        EXPECT_FALSE(race.writerWaited);
        if (size <= (4u << 20)) {
            // The write was seen, and the file read again: the new version.
            ASSERT_EQ(race.result.code, 0) << race.result.output;
            EXPECT_TRUE(stored("x" + std::to_string(size)) == next) << "not one whole version";
        } else {
            // Half of it is in the archive already: the call fails.
            expectRefusedAsBeingWritten(race.result, old);
        }
        EXPECT_TRUE(temporaries(m_dir / "out").empty());
    }
}

// ── Large members, compressed on every core ────────────────────────────────

// Source bytes per segment of a large member, and the shortest last stretch
// that is a segment of its own.
constexpr size_t kSegment = archivers::kSegmentBytes;
constexpr size_t kTail = archivers::kSegmentTail;

// `size` bytes of zeros, which cost little to compress, but for text over the cut at `cut`.
std::string textOverCut(size_t size, size_t cut, unsigned seed)
{
    const size_t around = 256 * 1024;
    std::string bytes(cut - around, '\0');
    bytes += paragraphText(2 * around, seed);
    bytes.resize(size, '\0');
    return bytes;
}

// The files the segment cuts are tested on, by name.
std::map<std::string, std::string> largeMembers()
{
    const size_t around = 256 * 1024;
    auto overCut = textOverCut;
    std::map<std::string, std::string> files;
    // One byte past a segment: a segment and a tail that joins it.
    files["EDGE.TXT"] = overCut(kSegment + 1, kSegment, 1);
    // A tail one byte short of a segment of its own, random bytes after the cut.
    std::string tail = overCut(2 * kSegment + kTail - 1, kSegment, 2);
    tail.replace(kSegment + around, 300000, noise(300000, 3));
    files["TAIL.BIN"] = tail;
    // Exactly two segments: the read after the last one finds nothing.
    files["EXACT.DAT"] = overCut(2 * kSegment, kSegment, 5);
    // Nothing to compress: stored.
    files["NOISE.BIN"] = noise(kSegment + 100000, 6);
    // A first stretch that does not shrink, then what does.
    files["LATE.DAT"] = noise(512 * 1024, 7) + overCut(kSegment, kSegment - 512 * 1024, 8);
    return files;
}

// The archive's members as bsdtar and the format's other readers extract them.
void expectEveryReaderReads(const std::string& archive, const std::map<std::string, std::string>& files,
                            const std::string& scratch, bool lzh)
{
    const auto bsd = unpacked(archive, scratch + "/bsdtar");
    ASSERT_EQ(bsd.size(), files.size());
    for (const auto& [name, content] : files)
        EXPECT_TRUE(bsd.count(name) && bsd.at(name).content == content) << "bsdtar: " << name;
    const CommandResult tested = shell("7zz t " + quote(archive));
    EXPECT_EQ(tested.exitCode, 0) << tested.output;
    const std::string other = scratch + "/other";
    makeDirs(other);
    const CommandResult extracted = lzh ? shell("cd " + quote(other) + " && lhasa xq " + quote(archive))
                                        : shell("unzip -q " + quote(archive) + " -d " + quote(other));
    ASSERT_EQ(extracted.exitCode, 0) << extracted.output;
    for (const auto& [name, content] : files) {
        const std::string path = other + "/" + (lzh ? lhasaSpelling(name) : name);
        EXPECT_TRUE(readFile(path) == content) << (lzh ? "lhasa: " : "unzip: ") << name;
    }
    if (!lzh) {
        const CommandResult python = shell("python3 -c " + quote("import sys, zipfile\n"
            "assert zipfile.ZipFile(sys.argv[1]).testzip() is None") + " " + quote(archive));
        EXPECT_EQ(python.exitCode, 0) << python.output;
    }
}

// methodsOf: each member's method as 7-Zip lists it ("-lh5-", "Deflate", "Store").
std::map<std::string, std::string> methodsOf(const std::string& archive)
{
    std::map<std::string, std::string> methods;
    std::string path;
    std::istringstream lines(shell("7zz l -slt " + quote(archive)).output);
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("Path = ", 0) == 0)
            path = line.substr(7);
        else if (line.rfind("Method = ", 0) == 0)
            methods[path] = line.substr(9);
    }
    return methods;
}

TEST_P(ArchivePromises, LargeMembersAreTheSameOnOneCoreAsOnAllAndEveryReaderReadsThem)
{
    const auto files = largeMembers();
    for (const auto& [name, content] : files)
        writeFile(m_dir / ("src/" + name), content);
    const auto sources = snapshot(m_dir / "src");

    const CliResult one = cli(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown("ONE")), 600,
        "taskset -c 0");
    ASSERT_EQ(one.code, 0) << one.output;
    const CliResult all = cli(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown("ALL")), 600);
    ASSERT_EQ(all.code, 0) << all.output;
    EXPECT_TRUE(readFile(archive("ONE")) == readFile(archive("ALL"))) << "the archive depends on the cores";

    const CliResult tested = test("ALL");
    EXPECT_EQ(tested.code, 0) << tested.output;
    expectEveryReaderReads(archive("ALL"), files, m_dir / "read", lzh());
    const auto methods = methodsOf(archive("ALL"));
    const std::string stored = lzh() ? "-lh0-" : "Store";
    EXPECT_EQ(methods.at("NOISE.BIN"), stored);
    for (const char* name : {"EDGE.TXT", "TAIL.BIN", "EXACT.DAT"})
        EXPECT_EQ(methods.at(name), lzh() ? "-lh5-" : "Deflate") << name;
    EXPECT_EQ(snapshot(m_dir / "src"), sources);
}

// Every -lh7- segment reaches 64 KiB back into the one before.
TEST(LargeLh7Members, ReachBackAWholeWindowAcrossEveryCut)
{
    TempDir dir;
    makeDirs(dir / "src");
    makeDirs(dir / "out");
    // Blocks of random bytes that come back 40 to 60 KiB later: only a
    // window of 64 KiB finds them, on both sides of every cut.
    std::string content;
    std::mt19937 random(9);
    while (content.size() < 2 * kSegment + kTail) {
        const std::string block = noise(1000 + random() % 3000, static_cast<unsigned>(random()));
        content += block + noise(40000 + random() % 20000, static_cast<unsigned>(random())) + block;
    }
    writeFile(dir / "src/FAR.BIN", content);
    ScopedEnv drives("SORVANE2_DRIVES", "a=" + dir.path() + "/src;d=" + dir.path() + "/out");
    ScopedCwd cwd;
    ASSERT_EQ(::chdir((dir / "src").c_str()), 0);
    const CommandResult packed = shell("export ASAN_OPTIONS=detect_leaks=0; " + quote(binaryDir() + "/archiver_cli")
        + " " + quote(binaryDir() + "/UNLHA32.DLL") + " Unlha " + quote("a -jm4 \"D:\\FAR.LZH\" \"*.*\""));
    ASSERT_NE(packed.output.find("result=0x0000"), std::string::npos) << packed.output;
    const std::string archive = dir / "out/FAR.LZH";
    EXPECT_NE(shell("lhasa v " + quote(archive)).output.find("-lh7-"), std::string::npos);
    expectEveryReaderReads(archive, {{"FAR.BIN", content}}, dir / "read", true);
}

TEST_P(ArchivePromises, ACancelInsideALargeMemberStopsEveryWorkerAndKeepsTheOldArchive)
{
    writeFile(m_dir / "src/A.TXT", "a\n");
    ASSERT_EQ(pack().code, 0);
    const std::string old = readFile(archive());
    writeFile(m_dir / "src/BIG.TXT", textOverCut(3 * kSegment + 5, kSegment, 10));
    const auto sources = snapshot(m_dir / "src");

    LoadedModule module(binaryDir() + "/" + m_format.packModule, m_format.packFunction);
    ASSERT_TRUE(module.loaded());
    using Callback = int (*)(void*, unsigned long long, unsigned long long, const char*);
    auto setProgress = reinterpret_cast<int (*)(Callback, void*)>(
        module.symbol(std::string(m_format.packFunction) + "SetProgress"));
    ASSERT_TRUE(setProgress);
    struct Seen {
        unsigned long long cancelledAt = 0;
        int afterCancel = 0;
    } seen;
    // Cancelled once half a segment is done: other segments are being
    // compressed then, and the call must not wait for the rest of the file.
    setProgress(
        [](void* context, unsigned long long done, unsigned long long, const char*) {
            auto* s = static_cast<Seen*>(context);
            if (s->cancelledAt) {
                ++s->afterCancel;
                return 1;
            }
            if (done > kSegment / 2)
                s->cancelledAt = done;
            return s->cancelledAt ? 1 : 0;
        },
        &seen);
    std::string report;
    const int code = module.run(fill(m_format.packLine, shown()), &report);
    setProgress(nullptr, nullptr);
    EXPECT_EQ(code, 0x8020) << report;
    EXPECT_GT(seen.cancelledAt, 0u);
    EXPECT_LT(seen.cancelledAt, 3 * kSegment);
    EXPECT_EQ(seen.afterCancel, 0);
    EXPECT_TRUE(readFile(archive()) == old);
    EXPECT_TRUE(temporaries(m_dir / "out").empty());
    EXPECT_EQ(snapshot(m_dir / "src"), sources);
    // The module is free for the next call, which packs the file whole.
    ASSERT_EQ(module.run(fill(m_format.packLine, shown()), &report), 0) << report;
    expectEveryReaderReads(archive(), {{"A.TXT", "a\n"}, {"BIG.TXT", readFile(m_dir / "src/BIG.TXT")}},
        m_dir / "read", lzh());
}

TEST_P(ArchivePromises, AKilledPackOfALargeMemberLeavesTheOldArchiveAndNothingTheNextPackKeeps)
{
    writeFile(m_dir / "src/A.TXT", "a\n");
    ASSERT_EQ(pack().code, 0);
    const std::string old = readFile(archive());
    const std::string big = m_dir / "src/BIG.TXT";
    writeFile(big, textOverCut(3 * kSegment + 5, 2 * kSegment, 11));
    const auto sources = snapshot(m_dir / "src");
    // Stopped before its third read of the file: the first segment is with
    // a worker, the second read; then killed.
    const pid_t child = startStopping(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown()),
        big, 3, m_dir / "pack.out");
    ASSERT_GT(child, 0);
    const bool stopped = waitStopped(child);
    const std::vector<std::string> left = temporaries(m_dir / "out");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(stopped) << readFile(m_dir / "pack.out");
    EXPECT_EQ(left.size(), 2u) << "the new archive's temporary file and the archive's lock";
    EXPECT_TRUE(readFile(archive()) == old);
    EXPECT_EQ(snapshot(m_dir / "src"), sources);

    const CliResult again = pack();
    ASSERT_EQ(again.code, 0) << again.output;
    EXPECT_TRUE(temporaries(m_dir / "out").empty());
    expectEveryReaderReads(archive(), {{"A.TXT", "a\n"}, {"BIG.TXT", readFile(big)}}, m_dir / "read", lzh());
}

// ── Temporary files ────────────────────────────────────────────────────────

std::string largeText(size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "line " + std::to_string(static_cast<std::uint64_t>(i) * 7919 % 1000003) + " of a long listing, for a slow extraction\n";
    return text;
}

// The archive's 8th read is one of the big member's data: the header reads
// come first, and the member's temporary file is made before its data is read.
constexpr int kReadInsideTheData = 8;

TEST_P(ArchivePromises, AKilledExtractionLeavesNothingTheNextCallKeeps)
{
    writeFile(m_dir / "src/BIG.TXT", largeText(24u << 20));
    writeFile(m_dir / "src/SMALL.TXT", "small\n");
    ASSERT_EQ(pack().code, 0);
    fs::remove(m_dir / "src/BIG.TXT");

    // Stop the extraction inside the big member's data, where its
    // temporary file exists, then kill it.
    const pid_t child = startStopping(m_format.readModule, m_format.readFunction,
        fill(m_format.extractLine, shown()), archive(), kReadInsideTheData, m_dir / "extract.out");
    ASSERT_GT(child, 0);
    const bool stopped = waitStopped(child);
    const std::vector<std::string> left = temporaries(m_dir / "x");
    ::kill(child, SIGKILL);
    ::waitpid(child, nullptr, 0);
    ASSERT_TRUE(stopped) << readFile(m_dir / "extract.out");
    ASSERT_EQ(left.size(), 1u);
    ASSERT_FALSE(temporaries(m_dir / "x").empty());

    // A pack of the folder never stores it; the next extraction removes it.
    writeFile(m_dir / "x/PLACED.TXT", "placed\n");
    ASSERT_EQ(::chdir((m_dir / "x").c_str()), 0);
    const CliResult packed = pack("OFX", 60);
    ASSERT_EQ(packed.code, 0) << packed.output;
    EXPECT_EQ(shell("bsdtar -tf " + quote(archive("OFX"))).output.find(".~"), std::string::npos);
    fs::remove(archive("OFX"));
    const CliResult again = extract();
    EXPECT_EQ(again.code, 0) << again.output;
    EXPECT_TRUE(temporaries(m_dir / "x").empty());
    EXPECT_EQ(readFile(m_dir / "x/SMALL.TXT"), "small\n");
}

TEST_P(ArchivePromises, ASweepNeverTakesTheTemporaryFileOfARunningCall)
{
    writeFile(m_dir / "src/BIG.TXT", largeText(24u << 20));
    const std::string big = readFile(m_dir / "src/BIG.TXT");
    ASSERT_EQ(pack().code, 0);
    fs::remove(m_dir / "src/BIG.TXT");
    // The extraction goes into the storage folder itself, where packs sweep.
    m_env.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/src;c=" + m_dir.path() + "/out;d=" + m_dir.path() + "/out");
    const std::string outFile = m_dir / "extract.out";
    const pid_t child = startStopping(m_format.readModule, m_format.readFunction,
        fill(m_format.extractLine, shown()), archive(), kReadInsideTheData, outFile);
    ASSERT_GT(child, 0);
    ASSERT_TRUE(waitStopped(child)) << readFile(outFile);
    const std::vector<std::string> running = temporaries(m_dir / "out");
    ASSERT_EQ(running.size(), 1u);
    // Another archive written into the same folder meanwhile: its sweep
    // must leave the stopped extraction's file alone.
    writeFile(m_dir / "src/OTHER.TXT", "other\n");
    const CliResult other = cli(m_format.packModule, m_format.packFunction,
        fill(m_format.packLine, shown("OTHER")), 60);
    EXPECT_EQ(other.code, 0) << other.output;
    EXPECT_TRUE(exists(running[0])) << "the sweep took a running call's file";
    ::kill(child, SIGCONT);
    int status = 0;
    ::waitpid(child, &status, 0);
    EXPECT_NE(readFile(outFile).find("result=0x0000"), std::string::npos) << readFile(outFile);
    EXPECT_EQ(readFile(m_dir / "out/BIG.TXT"), big);
    EXPECT_TRUE(temporaries(m_dir / "out").empty());
}

// ── Writers of one folder ──────────────────────────────────────────────────

// waitEndedOrBlocked: waits until `pid` has ended (true; its status in
// `status`) or waits for a file lock, as the kernel lists it (false).
bool waitEndedOrBlocked(pid_t pid, int* status)
{
    const std::regex waiting("-> FLOCK +ADVISORY +WRITE +" + std::to_string(pid) + " ");
    for (;;) {
        if (::waitpid(pid, status, WNOHANG) == pid)
            return true;
        if (std::regex_search(readFile("/proc/locks"), waiting))
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

// Two writers of two archives in one folder: the second runs to its end while
// the first is held inside a file's read, its archive open. Two writers of
// one archive: the second waits for the first, then adds to what the first
// wrote, so that neither update is lost.
TEST_P(ArchivePromises, WritersOfOtherArchivesGoOnWhileWritersOfOneTakeTurns)
{
    const std::string big = m_dir / "src/BIG.DAT";
    writeFile(big, largeText(3u << 20));
    writeFile(m_dir / "src/A.TXT", "from the first writer\n");
    makeDirs(m_dir / "more");
    writeFile(m_dir / "more/B.TXT", "from the second writer\n");
    const auto sources = snapshot(m_dir / "src");
    const auto moreSources = snapshot(m_dir / "more");

    // Held inside BIG.DAT's read, writing ONE; TWO is written meanwhile.
    const pid_t first = startStopping(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown("ONE")),
        big, 2, m_dir / "one.out");
    ASSERT_GT(first, 0);
    ASSERT_TRUE(waitStopped(first)) << readFile(m_dir / "one.out");
    const pid_t second = startStopping(m_format.packModule, m_format.packFunction,
        fill(m_format.packLine, shown("TWO")), big, 0, m_dir / "two.out", false, m_dir / "more");
    ASSERT_GT(second, 0);
    int status = 0;
    const bool ended = waitEndedOrBlocked(second, &status);
    EXPECT_TRUE(ended) << "the writer of another archive waited for the first";
    ::kill(first, SIGCONT);
    if (!ended)
        ::waitpid(second, &status, 0);
    ::waitpid(first, nullptr, 0);
    EXPECT_EQ(resultIn(m_dir / "one.out").code, 0) << readFile(m_dir / "one.out");
    EXPECT_EQ(resultIn(m_dir / "two.out").code, 0) << readFile(m_dir / "two.out");
    const std::map<std::string, TreeFile> one = unpacked(archive("ONE"), m_dir / "x-one");
    ASSERT_EQ(one.count("BIG.DAT"), 1u);
    EXPECT_TRUE(one.at("BIG.DAT").content == readFile(big));
    EXPECT_EQ(one.count("B.TXT"), 0u);
    const std::map<std::string, TreeFile> two = unpacked(archive("TWO"), m_dir / "x-two");
    ASSERT_EQ(two.count("B.TXT"), 1u);
    EXPECT_EQ(two.at("B.TXT").content, "from the second writer\n");
    EXPECT_EQ(two.size(), 1u);

    // Both into DISK01: the second waits on the archive's lock while the
    // first is held, and finds the first's archive once it may go on.
    const pid_t writer = startStopping(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown()),
        big, 2, m_dir / "one.out");
    ASSERT_GT(writer, 0);
    ASSERT_TRUE(waitStopped(writer)) << readFile(m_dir / "one.out");
    const pid_t adder = startStopping(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown()),
        big, 0, m_dir / "two.out", false, m_dir / "more");
    ASSERT_GT(adder, 0);
    const bool adderEnded = waitEndedOrBlocked(adder, &status);
    EXPECT_FALSE(adderEnded) << "the second writer of one archive did not wait: " << readFile(m_dir / "two.out");
    ::kill(writer, SIGCONT);
    ::waitpid(writer, nullptr, 0);
    if (!adderEnded)
        ::waitpid(adder, &status, 0);
    EXPECT_EQ(resultIn(m_dir / "one.out").code, 0) << readFile(m_dir / "one.out");
    EXPECT_EQ(resultIn(m_dir / "two.out").code, 0) << readFile(m_dir / "two.out");
    const std::map<std::string, TreeFile> both = unpacked(archive(), m_dir / "x-both");
    EXPECT_EQ(both.size(), 3u);
    ASSERT_EQ(both.count("BIG.DAT"), 1u);
    EXPECT_TRUE(both.at("BIG.DAT").content == readFile(big));
    ASSERT_EQ(both.count("A.TXT"), 1u);
    EXPECT_EQ(both.at("A.TXT").content, "from the first writer\n");
    ASSERT_EQ(both.count("B.TXT"), 1u);
    EXPECT_EQ(both.at("B.TXT").content, "from the second writer\n");
    const CommandResult tested = shell(lzh() ? "lhasa t " + quote(archive()) + " 2>&1"
                                             : "unzip -tq " + quote(archive()) + " 2>&1");
    EXPECT_EQ(tested.exitCode, 0) << tested.output;

    EXPECT_TRUE(temporaries(m_dir / "out").empty()) << "a lock or temporary file was left";
    EXPECT_EQ(snapshot(m_dir / "src"), sources);
    EXPECT_EQ(snapshot(m_dir / "more"), moreSources);
}

// ── The old archive ────────────────────────────────────────────────────────

TEST_P(ArchivePromises, AnUpdateKeepsTheArchiveModeAndRespectsReadOnly)
{
    writeFile(m_dir / "src/A.TXT", "a\n");
    ASSERT_EQ(pack().code, 0);
    ::chmod(archive().c_str(), 0600);
    writeFile(m_dir / "src/B.TXT", "b\n");
    ASSERT_EQ(pack().code, 0);
    struct stat info;
    ASSERT_EQ(::stat(archive().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0600u);
    EXPECT_NE(shell("bsdtar -tf " + quote(archive())).output.find("B.TXT"), std::string::npos);

    ::chmod(archive().c_str(), 0444);
    const std::string before = readFile(archive());
    writeFile(m_dir / "src/C.TXT", "c\n");
    const CliResult result = pack();
    EXPECT_EQ(result.code, 0x8006) << result.output;
    EXPECT_EQ(readFile(archive()), before);
    ASSERT_EQ(::stat(archive().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0444u);
    EXPECT_TRUE(temporaries(m_dir / "out").empty());
}

TEST_P(ArchivePromises, AFileThatHoldsNoArchiveIsNeverReplaced)
{
    writeFile(m_dir / "src/KEEP1.TXT", "first member\n");
    writeFile(m_dir / "src/KEEP2.TXT", "second member\n");
    ASSERT_EQ(pack().code, 0);
    const std::string good = readFile(archive());
    // The damaged archives: first byte zeroed, first four bytes zeroed, and
    // a file of other content starting with a zero byte.
    const std::vector<std::string> damaged = {
        std::string(1, '\0') + good.substr(1),
        std::string(4, '\0') + good.substr(4),
        std::string(1, '\0') + "some other file's content",
    };
    for (const std::string& bytes : damaged) {
        writeFile(archive(), bytes);
        writeFile(m_dir / "src/KEEP1.TXT", "changed\n");
        setMtime(m_dir / "src/KEEP1.TXT", 1950000000);
        const CliResult tested = test();
        EXPECT_NE(tested.code, 0) << tested.output;
        const CliResult updated = pack();
        EXPECT_NE(updated.code, 0) << updated.output;
        EXPECT_EQ(readFile(archive()), bytes) << "the damaged archive was replaced";
        EXPECT_TRUE(temporaries(m_dir / "out").empty());
    }
}

TEST_P(ArchivePromises, AReadErrorInTheOldArchiveIsAReadError)
{
    writeFile(m_dir / "src/A.TXT", "a\n");
    ASSERT_EQ(pack().code, 0);
    const std::string before = readFile(archive());
    writeFile(m_dir / "src/B.TXT", "b\n");
    const CliResult result = cli(m_format.packModule, m_format.packFunction, fill(m_format.packLine, shown()), 60,
        "strace -f -o /dev/null -P " + quote(archive()) + " -e trace=pread64 -e inject=pread64:error=EIO:when=1");
    if (result.output.find("strace:") != std::string::npos && result.code < 0)
        GTEST_SKIP() << result.output;
    EXPECT_EQ(result.code, 0x801A) << result.output;
    EXPECT_NE(result.output.find("Input/output error"), std::string::npos) << result.output;
    EXPECT_EQ(readFile(archive()), before);
}

// ── Times ──────────────────────────────────────────────────────────────────

TEST_P(ArchivePromises, TimesOutsideTheFormatAreHeldToItsRange)
{
    writeFile(m_dir / "src/OLD.TXT", "before 1970\n");
    setMtime(m_dir / "src/OLD.TXT", -86400LL * 400);
    writeFile(m_dir / "src/FAR.TXT", "after 2106\n");
    setMtime(m_dir / "src/FAR.TXT", 5000000000LL);
    writeFile(m_dir / "src/NOW.TXT", "now\n");
    setMtime(m_dir / "src/NOW.TXT", 1700000000);
    ASSERT_EQ(pack().code, 0);
    const std::string first = readFile(archive());

    // What others read: the nearest time the field can hold.
    const std::string out = m_dir / "bsd";
    makeDirs(out);
    ASSERT_EQ(shell("bsdtar -xf " + quote(archive()) + " -C " + quote(out)).exitCode, 0);
    const auto tree = readTree(out);
    EXPECT_EQ(tree.at("NOW.TXT").mtime, 1700000000);
    if (lzh()) {
        EXPECT_EQ(tree.at("OLD.TXT").mtime, 0);
        EXPECT_EQ(tree.at("FAR.TXT").mtime, 0xFFFFFFFFll);
        // Nothing changed: an update leaves the archive as it is.
        ASSERT_EQ(pack().code, 0);
        EXPECT_EQ(readFile(archive()), first) << "an unchanged file was stored again";
    } else {
        EXPECT_LE(tree.at("OLD.TXT").mtime, 86400 * 366 * 10) << "a time before 1970 came back in the future";
        EXPECT_GE(tree.at("FAR.TXT").mtime, 4102444800ll) << "a time after 2106 came back in the past";
    }
}

// ── Extraction restores folder times ───────────────────────────────────────

TEST_P(ArchivePromises, ExtractionRestoresFolderTimesAfterTheirContents)
{
    makeDirs(m_dir / "src/SUB/DEEP");
    writeFile(m_dir / "src/SUB/DEEP/F.TXT", "f\n");
    writeFile(m_dir / "src/SUB/G.TXT", "g\n");
    setMtime(m_dir / "src/SUB/DEEP/F.TXT", 1600000000);
    setMtime(m_dir / "src/SUB/G.TXT", 1600000000);
    setMtime(m_dir / "src/SUB/DEEP", 1500000002);
    setMtime(m_dir / "src/SUB", 1400000002);
    ASSERT_EQ(pack().code, 0);
    const CliResult result = extract();
    ASSERT_EQ(result.code, 0) << result.output;
    const auto tree = readTree(m_dir / "x");
    EXPECT_EQ(tree.at("SUB/DEEP/F.TXT").content, "f\n");
    EXPECT_EQ(tree.at("SUB").mtime, 1400000002);
    EXPECT_EQ(tree.at("SUB/DEEP").mtime, 1500000002);
}

TEST_P(ArchivePromises, ExtractionSyncsOncePerCall)
{
    for (int i = 0; i < 40; ++i)
        writeFile(m_dir / ("src/F" + std::to_string(i) + ".TXT"), std::to_string(i));
    ASSERT_EQ(pack().code, 0);
    const CliResult result = cli(m_format.readModule, m_format.readFunction, fill(m_format.extractLine, shown()), 120,
        "strace -f -o " + quote(m_dir / "trace") + " -e trace=fsync,fdatasync,syncfs,sync");
    if (result.code < 0)
        GTEST_SKIP() << result.output;
    ASSERT_EQ(result.code, 0) << result.output;
    const std::string trace = readFile(m_dir / "trace");
    const std::regex call("(fsync|fdatasync|syncfs|sync)\\(");
    const auto calls = std::distance(std::sregex_iterator(trace.begin(), trace.end(), call), std::sregex_iterator());
    EXPECT_LE(calls, 2) << trace;
    EXPECT_EQ(readTree(m_dir / "x").size(), 40u);
}

INSTANTIATE_TEST_SUITE_P(Formats, ArchivePromises, ::testing::ValuesIn(kFormats),
    [](const auto& info) { return std::string(info.param.name); });
INSTANTIATE_TEST_SUITE_P(Formats, WriterDuringTheRead, ::testing::ValuesIn(kFormats),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
