// sorvane2-pack --images: a pile of disk images, one archive each, packed in
// child processes: the engine keeps process-wide state (the current drive, the
// attached image, each module's one call at a time), so one process packs one
// image.
#include "image_batch.h"

#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "naming/naming.h"
#include "platform/platform.h"
#include "text/catalogue.h"

namespace app {

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string fileName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// The image's file name without its extension: the name of an image without a label.
std::string stemOf(const std::string& path)
{
    const std::string name = fileName(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// One archive of the batch: an image, or one FAT partition of a hard disk image.
struct Unit {
    std::string image;   // the image file
    unsigned partition;  // 1 on; 0 for an image that cannot be read
    unsigned partitions; // FAT partitions the image holds
    std::string problem; // why the image cannot be read
    std::string address() const
    {
        return partitions > 1 ? image + "#" + std::to_string(partition) : image;
    }
    // As the history names it: "HDD.HDI", "HDD.HDI#2".
    std::string shown() const
    {
        return partitions > 1 ? fileName(image) + "#" + std::to_string(partition) : fileName(image);
    }
    // The archive's name when no label gives one: "HDD", "HDD-2".
    std::string stem() const
    {
        return partitions > 1 ? stemOf(image) + "-" + std::to_string(partition) : stemOf(image);
    }
};


// What the first pass settles for one unit, before any pack starts.
struct Plan {
    std::vector<std::string> lines; // its heading, notes and failure, printed before its run's output
    std::string name;               // the archive's name; empty when it failed before its run
    std::string failedAs;           // as the summary names a failure before its run
};

// The child process that packs one unit, and what it printed.
struct Run {
    enum State { Waiting, Running, Ended };
    State state = Waiting;
    pid_t pid = -1;
    int out = -1; // read ends of its stdout and stderr
    int err = -1;
    std::vector<std::pair<int, std::string>> output; // (1 or 2, bytes) as they came
    int status = 0;                                  // its wait status
    std::string problem;                             // why it could not start
};

// A child's exit code: 0 packed, 1 the pack failed, 2 the image could not be attached.
constexpr int kPackFailed = 1;
constexpr int kNotAttached = 2;

volatile std::sig_atomic_t g_signal = 0;

void noteSignal(int signal)
{
    g_signal = signal;
}

// threadCount: the threads of this process, as the kernel counts them.
unsigned threadCount()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("Threads:", 0) == 0)
            return static_cast<unsigned>(std::stoul(line.substr(8)));
    return 1;
}

// The first pass: each unit attached, walked, named and detached in turn.
std::vector<Plan> plan(const BatchRequest& request, const std::vector<Unit>& units,
                       const std::vector<std::string>& names)
{
    std::vector<Plan> plans(units.size());
    std::set<std::string> used; // archive names of this batch, compared without case
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& unit = units[i];
        Plan& out = plans[i];
        out.lines.push_back("[" + std::to_string(i + 1) + "/" + std::to_string(units.size()) + "] " + unit.address()
            + (unit.partitions > 1 ? " (FAT partition " + std::to_string(unit.partition) + " of "
                      + std::to_string(unit.partitions) + ")"
                                   : ""));
        auto fail = [&](const std::string& why) {
            out.lines.push_back(unit.shown() + ": " + why);
            out.failedAs = unit.shown();
        };
        if (!unit.problem.empty()) {
            fail(unit.problem);
            continue;
        }
        const platform::Result<char> letter = platform::attachImage(unit.address());
        if (!letter) {
            fail(letter.error().message);
            continue;
        }
        // The whole volume is walked first: a damaged one fails here, with its reason.
        const platform::Result<void> walked = platform::walkFolder(std::string{*letter, ':', '\\'}, {},
            [](const platform::WalkEntry&) { return true; });
        if (!walked) {
            fail(walked.error().message);
        } else {
            std::string name = request.label ? naming::trimmed(naming::driveLabel(*letter)) : names[i];
            if (request.label && !name.empty() && !naming::usableAsFileName(name)) {
                out.lines.push_back(unit.shown() + ": the label \"" + name
                    + "\" cannot be a file name; the archive is named after the image file");
                name.clear();
            }
            if (name.empty())
                name = unit.stem();
            if (request.label && !naming::usableAsFileName(name))
                fail("\"" + name + "\" cannot be a file name: rename the image file or give --name");
            else if (!used.insert(lower(name)).second)
                fail("the archive name " + name + " is taken by an earlier image of this run");
            else
                out.name = name;
        }
        platform::detachImage();
    }
    return plans;
}

// The child: its signals as the program started with, its output into the
// pipes, ended with the batch; attaches its unit and packs it.
[[noreturn]] void runChild(const Unit& unit, const std::string& name, const PackOne& packOne,
                           const BatchOutput& output, int out, int err, pid_t parent, const sigset_t& mask,
                           const struct sigaction& onInt, const struct sigaction& onTerm, const std::vector<Run>& runs)
{
    ::sigaction(SIGINT, &onInt, nullptr);
    ::sigaction(SIGTERM, &onTerm, nullptr);
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (::getppid() != parent) // the batch ended before the line above
        ::_exit(kPackFailed);
    for (const Run& run : runs) {
        if (run.out >= 0)
            ::close(run.out);
        if (run.err >= 0)
            ::close(run.err);
    }
    if (::dup2(out, 1) < 0 || ::dup2(err, 2) < 0)
        ::_exit(kPackFailed);
    ::close(out);
    ::close(err);
    if (output.inChild)
        output.inChild();
    int code = 0;
    const platform::Result<char> letter = platform::attachImage(unit.address());
    if (!letter) {
        output.print(unit.shown() + ": " + letter.error().message);
        code = kNotAttached;
    } else {
        code = packOne(*letter, name) == 0 ? 0 : kPackFailed;
        platform::detachImage();
    }
    std::fflush(stdout);
    std::fflush(stderr);
    ::_exit(code);
}

} // namespace

unsigned defaultJobs()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return static_cast<unsigned>(CPU_COUNT(&set));
    return std::max(1u, std::thread::hardware_concurrency());
}

int runImageBatch(const BatchRequest& request, const PackOne& packOne, const BatchOutput& output)
{
    const auto& print = output.print;
    std::vector<std::string> problems;
    const std::vector<std::string> images = platform::imageFiles(request.inputs, problems);
    for (const std::string& problem : problems)
        print(problem);

    // Every FAT partition of a hard disk image packs into its own archive.
    std::vector<Unit> units;
    for (const std::string& image : images) {
        const platform::Result<unsigned> count = platform::imagePartitionCount(image);
        if (!count) {
            units.push_back({image, 0, 1, count.error().message});
            continue;
        }
        for (unsigned p = 1; p <= *count; ++p)
            units.push_back({image, p, *count, {}});
    }

    // The count-up names, all of them before the first run: a name that
    // cannot be counted on would give two images one archive.
    std::vector<std::string> names;
    if (!request.label) {
        std::string name = naming::trimmed(request.name);
        for (size_t i = 0; i < units.size(); ++i) {
            if (name.empty()) {
                print(std::string(resSorvane::ResText(300)));
                return 1;
            }
            names.push_back(name);
            if (i + 1 < units.size()) {
                const naming::CountUp next = naming::countUp(name);
                if (!next.counted) {
                    print(std::string(resSorvane::ResText(next.messageId)));
                    print("Images: none packed; the name " + request.name + " cannot count up to "
                        + std::to_string(units.size()) + (units.size() == images.size() ? " images" : " volumes"));
                    return 1;
                }
                name = next.name;
            }
        }
    }

    // Every name settled (labels read, names taken earlier refused) before
    // the first pack starts, so that no pack depends on another's timing.
    const std::vector<Plan> plans = plan(request, units, names);
    // Each pack opens its image again: none is held open here for them to
    // inherit (its file, and its FAT in their memory).
    platform::closeImages();

    // Each pack runs in a child forked from here; this process must have no
    // other thread then (a lock another thread held would stay held in the
    // child for good).
    if (threadCount() != 1) {
        print("Images: none packed; the program runs more than one thread and cannot start a process for each image");
        return 1;
    }

    // SIGINT and SIGTERM are taken only while waiting (ppoll), so that none
    // comes between a look at the flag and the wait.
    sigset_t stopping, mask;
    ::sigemptyset(&stopping);
    ::sigaddset(&stopping, SIGINT);
    ::sigaddset(&stopping, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &stopping, &mask);
    // (A signal ignored when the program started stays ignored.)
    struct sigaction noted {}, oldInt {}, oldTerm {};
    noted.sa_handler = noteSignal;
    ::sigemptyset(&noted.sa_mask);
    ::sigaction(SIGINT, nullptr, &oldInt);
    ::sigaction(SIGTERM, nullptr, &oldTerm);
    if (oldInt.sa_handler != SIG_IGN)
        ::sigaction(SIGINT, &noted, nullptr);
    if (oldTerm.sa_handler != SIG_IGN)
        ::sigaction(SIGTERM, &noted, nullptr);
    g_signal = 0;
    const pid_t self = ::getpid();
    const size_t jobs = std::max(1u, request.jobs);

    std::vector<Run> runs(units.size());
    size_t next = 0;    // the next unit to start
    size_t printed = 0; // units given out, in order
    size_t running = 0;
    size_t ended = 0;
    bool forwarded = false;
    std::vector<std::string> done, failed, notPacked;

    // takeSignal: a SIGINT or SIGTERM that came while it was blocked.
    auto takeSignal = [&] {
        const struct timespec now {};
        const int signal = ::sigtimedwait(&stopping, nullptr, &now);
        if (signal > 0)
            g_signal = signal;
    };
    auto start = [&](size_t i) {
        Run& run = runs[i];
        int out[2] = {-1, -1}, err[2] = {-1, -1};
        if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
            run.problem = std::string("cannot start its process: ") + std::strerror(errno);
            for (int fd : {out[0], out[1], err[0], err[1]})
                if (fd >= 0)
                    ::close(fd);
            run.state = Run::Ended;
            ++ended;
            return;
        }
        std::fflush(stdout);
        std::fflush(stderr);
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::close(out[0]);
            ::close(err[0]);
            runChild(units[i], plans[i].name, packOne, output, out[1], err[1], self, mask, oldInt, oldTerm, runs);
        }
        ::close(out[1]);
        ::close(err[1]);
        if (pid < 0) {
            run.problem = std::string("cannot start its process: ") + std::strerror(errno);
            ::close(out[0]);
            ::close(err[0]);
            run.state = Run::Ended;
            ++ended;
            return;
        }
        run.pid = pid;
        run.out = out[0];
        run.err = err[0];
        run.state = Run::Running;
        ++running;
    };
    // giveOut: unit i's heading, notes, output and outcome.
    auto giveOut = [&](size_t i) {
        const Unit& unit = units[i];
        const Plan& planned = plans[i];
        Run& run = runs[i];
        for (const std::string& line : planned.lines)
            print(line);
        for (const auto& [fd, bytes] : run.output)
            output.write(fd, bytes);
        run.output.clear();
        const std::string named = unit.shown() + " (" + planned.name + ")";
        if (planned.name.empty()) {
            failed.push_back(planned.failedAs);
        } else if (!run.problem.empty()) {
            print(unit.shown() + ": " + run.problem);
            failed.push_back(named);
        } else if (WIFEXITED(run.status)) {
            const int code = WEXITSTATUS(run.status);
            if (code == 0)
                done.push_back(named);
            else
                failed.push_back(code == kNotAttached ? unit.shown() : named);
        } else {
            const int signal = WIFSIGNALED(run.status) ? WTERMSIG(run.status) : 0;
            if (g_signal && (signal == SIGINT || signal == SIGTERM || forwarded)) {
                print(unit.shown() + ": not packed: the batch was interrupted");
                notPacked.push_back(named);
            } else {
                print(unit.shown() + ": its pack ended by signal " + std::to_string(signal) + " ("
                    + ::strsignal(signal) + ") before it was done; its archive is as it was");
                failed.push_back(named);
            }
        }
    };
    auto reap = [&](Run& run) {
        takeSignal(); // an interrupt that ended the child too is seen as one
        while (::waitpid(run.pid, &run.status, 0) < 0 && errno == EINTR) {
        }
        run.state = Run::Ended;
        --running;
        ++ended;
    };

    size_t shownProgress = SIZE_MAX;
    for (;;) {
        while (!g_signal && running < jobs && next < units.size()) {
            if (plans[next].name.empty()) {
                runs[next].state = Run::Ended;
                ++ended;
            } else {
                start(next);
            }
            ++next;
        }
        while (printed < units.size() && runs[printed].state == Run::Ended) {
            giveOut(printed++);
            shownProgress = SIZE_MAX; // the lines given out ended the progress line
        }
        if (output.progress && ended != shownProgress && printed < units.size()) {
            output.progress(ended, units.size());
            shownProgress = ended;
        }
        if (running == 0 && (g_signal || next == units.size()))
            break;
        if (g_signal && !forwarded) {
            // Ended as the batch is: a stopped child is woken to end.
            for (const Run& run : runs)
                if (run.state == Run::Running) {
                    ::kill(run.pid, g_signal);
                    ::kill(run.pid, SIGCONT);
                }
            forwarded = true;
            continue;
        }
        std::vector<pollfd> waits;
        std::vector<std::pair<size_t, int>> owners; // (unit, 1 or 2)
        for (size_t i = 0; i < runs.size(); ++i) {
            if (runs[i].state != Run::Running)
                continue;
            if (runs[i].out >= 0) {
                waits.push_back({runs[i].out, POLLIN, 0});
                owners.emplace_back(i, 1);
            }
            if (runs[i].err >= 0) {
                waits.push_back({runs[i].err, POLLIN, 0});
                owners.emplace_back(i, 2);
            }
        }
        if (::ppoll(waits.data(), waits.size(), nullptr, &mask) < 0)
            continue; // EINTR: the signal's flag is looked at above
        for (size_t w = 0; w < waits.size(); ++w) {
            if (!(waits[w].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            Run& run = runs[owners[w].first];
            int& fd = owners[w].second == 1 ? run.out : run.err;
            char buffer[65536];
            const ssize_t got = ::read(fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got > 0) {
                if (!run.output.empty() && run.output.back().first == owners[w].second)
                    run.output.back().second.append(buffer, static_cast<size_t>(got));
                else
                    run.output.emplace_back(owners[w].second, std::string(buffer, static_cast<size_t>(got)));
                continue;
            }
            ::close(fd);
            fd = -1;
            if (run.out < 0 && run.err < 0)
                reap(run);
        }
    }
    // Interrupted: what ended, and what failed in the first pass, is given
    // out in order; the rest was not packed.
    for (; printed < units.size(); ++printed) {
        if (runs[printed].state == Run::Ended || plans[printed].name.empty())
            giveOut(printed);
        else
            notPacked.push_back(units[printed].shown() + " (" + plans[printed].name + ")");
    }
    // One that came after the last wait counts too, rather than ending the
    // program without its summary once it is let through.
    takeSignal();
    ::sigaction(SIGINT, &oldInt, nullptr);
    ::sigaction(SIGTERM, &oldTerm, nullptr);
    const int interrupted = g_signal;
    ::sigprocmask(SIG_SETMASK, &mask, nullptr);

    std::string summary = "Images: " + std::to_string(done.size()) + " packed, " + std::to_string(failed.size())
        + " failed";
    if (!failed.empty()) {
        summary += ":";
        for (const std::string& name : failed)
            summary += " " + name;
    }
    if (interrupted) {
        const char* abbreviation = ::sigabbrev_np(interrupted);
        summary += "; interrupted by " + (abbreviation ? "SIG" + std::string(abbreviation) : std::to_string(interrupted))
            + ", " + std::to_string(notPacked.size()) + " not packed";
        if (!notPacked.empty())
            summary += ":";
        for (const std::string& name : notPacked)
            summary += " " + name;
    }
    if (images.empty())
        summary += " (no image found)";
    print(summary);
    if (interrupted)
        return 128 + interrupted;
    return failed.empty() && problems.empty() && !images.empty() ? 0 : 1;
}

} // namespace app
