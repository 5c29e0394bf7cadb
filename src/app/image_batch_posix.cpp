// sorvane2-pack --images on POSIX systems: each image packed in a child
// process of its own, several at once: the engine keeps process-wide state
// (the current drive, the attached image, each module's one call at a time),
// so one process packs one image.
#include "image_batch_run.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/platform.h"

namespace app {

namespace batch {

const char* const kPathSeparators = "/";

} // namespace batch

using batch::Plan;
using batch::Unit;

namespace {

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

const char* jobsHelp()
{
    return "  --jobs N             with --images: pack N images at once, each in a\n"
           "                       process of its own (default: the CPUs this program\n"
           "                       may run on). Every name is settled before the first\n"
           "                       pack starts, and each image's lines come out whole\n"
           "                       and in the images' order, so the archives and the\n"
           "                       output are those of --jobs 1\n";
}

const char* interruptHelp()
{
    return "130 (SIGINT) or 143 (SIGTERM)\n"
           "when interrupted: the packs running then end, their archives as they were,\n"
           "and the summary line names the images not packed.\n";
}

namespace batch {

std::string interruptName(int signal)
{
    const char* abbreviation = ::sigabbrev_np(signal);
    return abbreviation ? "SIG" + std::string(abbreviation) : std::to_string(signal);
}

std::string whyPacksCannotStart()
{
    // Each pack runs in a child forked from here; this process must have no
    // other thread then (a lock another thread held would stay held in the
    // child for good).
    if (threadCount() != 1)
        return "the program runs more than one thread and cannot start a process for each image";
    return {};
}

Outcome runPlans(const BatchRequest& request, const std::vector<Unit>& units, const std::vector<Plan>& plans,
                 const PackOne& packOne, const BatchOutput& output)
{
    const auto& print = output.print;

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

    return Outcome{done, failed, notPacked, interrupted};
}

} // namespace batch

} // namespace app
