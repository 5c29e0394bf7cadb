// sorvane2-pack --images on Windows: the images packed one after another in
// this process. Windows has no fork(), and the engine keeps process-wide state
// (the current drive, the attached image), so there is one pack at a time:
// --jobs is taken as 1, and the output is that of --jobs 1 everywhere.
#include "image_batch_run.h"

#include <windows.h>

#include <csignal>
#include <cstdio>

#include "platform/platform.h"

namespace app {

namespace batch {

const char* const kPathSeparators = "\\/";

} // namespace batch

namespace {

// A pack's exit codes, as a child's would be on POSIX.
constexpr std::int16_t kPacked = 0;

volatile LONG g_interrupted = 0;

// The first Ctrl+C (or Ctrl+Break) lets the running pack end as it would and
// starts no more; a second one ends the program as Windows does (the archive
// being written then stays as it was: writers replace it only when done).
BOOL WINAPI onControl(DWORD type)
{
    if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT)
        return FALSE;
    return InterlockedExchange(&g_interrupted, 1) == 0 ? TRUE : FALSE;
}

} // namespace

unsigned defaultJobs()
{
    return 1;
}

const char* jobsHelp()
{
    return "  --jobs N             with --images: taken as 1 on Windows, where the images\n"
           "                       pack one after another in this process\n";
}

const char* interruptHelp()
{
    return "130 when\n"
           "interrupted (Ctrl+C or Ctrl+Break): the pack running goes on to its end, no\n"
           "other starts, and the summary line names the images not packed.\n";
}

namespace batch {

std::string interruptName(int)
{
    return "Ctrl+C";
}

std::string whyPacksCannotStart()
{
    return {};
}

Outcome runPlans(const BatchRequest&, const std::vector<Unit>& units, const std::vector<Plan>& plans,
                 const PackOne& packOne, const BatchOutput& output)
{
    Outcome outcome;
    g_interrupted = 0;
    SetConsoleCtrlHandler(onControl, TRUE);
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& unit = units[i];
        const Plan& planned = plans[i];
        const std::string named = unit.shown() + " (" + planned.name + ")";
        if (planned.name.empty()) {
            for (const std::string& line : planned.lines)
                output.print(line);
            outcome.failed.push_back(planned.failedAs);
            continue;
        }
        if (g_interrupted) {
            outcome.notPacked.push_back(named);
            continue;
        }
        if (output.progress)
            output.progress(i, units.size());
        for (const std::string& line : planned.lines)
            output.print(line);
        const platform::Result<char> letter = platform::attachImage(unit.address());
        if (!letter) {
            output.print(unit.shown() + ": " + letter.error().message);
            outcome.failed.push_back(unit.shown());
            continue;
        }
        const bool packed = packOne(*letter, planned.name) == kPacked;
        platform::detachImage();
        // Each image opens its own again, as a process of its own would.
        platform::closeImages();
        std::fflush(stdout);
        std::fflush(stderr);
        (packed ? outcome.done : outcome.failed).push_back(named);
    }
    SetConsoleCtrlHandler(onControl, FALSE);
    outcome.interrupted = g_interrupted ? SIGINT : 0;
    return outcome;
}

} // namespace batch

} // namespace app
