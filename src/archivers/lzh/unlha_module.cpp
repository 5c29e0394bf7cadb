// UNLHA32.DLL: the C interface of the LZH library module.
#include "archiver_api.h"

#include <new>
#include <optional>
#include <string>

#include "common/module_state.h"
#include "common/result_codes.h"
#include "unlha_commands.h"

namespace {

// 100 times the version of this library: 1.10.
constexpr unsigned short kVersion = 110;

archivers::ModuleState& state()
{
    static archivers::ModuleState instance;
    return instance;
}

} // namespace

extern "C" {

ARCHIVER_API int Unlha(void* /*owner*/, const char* commandLine, char* output, unsigned long outputSize)
{
    archivers::RunGuard guard(state());
    if (!guard.entered())
        return archivers::kErrorAlreadyRunning;
    archivers::Report report(output, outputSize);
    ARCHIVER_PROGRESS callback = nullptr;
    void* context = nullptr;
    state().progress(&callback, &context);
    archivers::Progress progress(callback, context);
    const std::optional<std::string> line = archivers::fromCaller(commandLine);
    if (!line) {
        report.line("the command line is not in the system's code page");
        return archivers::kErrorCommandName;
    }
    try {
        return lzh::runCommand(*line, report, progress);
    } catch (const std::bad_alloc&) {
        report.line("out of memory");
        return 0x801D; // ERROR_MORE_HEAP_MEMORY
    } catch (...) {
        report.line("unexpected failure");
        return archivers::kErrorCannotWrite;
    }
}

ARCHIVER_API unsigned short UnlhaGetVersion(void)
{
    return kVersion;
}

ARCHIVER_API int UnlhaGetRunning(void)
{
    return state().running() ? 1 : 0;
}

ARCHIVER_API int UnlhaSetProgress(ARCHIVER_PROGRESS callback, void* context)
{
    state().setProgress(callback, context);
    return 0;
}

} // extern "C"
