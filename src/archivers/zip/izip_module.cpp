// IZIP32J.DLL: the ZIP engine both ZIP modules share (loaded by them, so a
// missing IZIP32J.DLL makes ZIP unavailable).
#include "archiver_api.h"

#include <new>
#include <optional>
#include <string>

#include "common/module_state.h"
#include "common/result_codes.h"
#include "izip_api.h"
#include "zip_commands.h"

namespace {

template <typename Command>
int guarded(Command command, const char* commandLine, char* output, unsigned long outputSize,
            ARCHIVER_PROGRESS callback, void* context)
{
    archivers::Report report(output, outputSize);
    archivers::Progress progress(callback, context);
    const std::optional<std::string> line = archivers::fromCaller(commandLine);
    if (!line) {
        report.line("the command line is not in the system's code page");
        return archivers::kErrorCommandName;
    }
    try {
        return command(*line, report, progress);
    } catch (const std::bad_alloc&) {
        report.line("out of memory");
        return 0x801D; // ERROR_MORE_HEAP_MEMORY
    } catch (...) {
        report.line("unexpected failure");
        return archivers::kErrorCannotWrite;
    }
}

} // namespace

extern "C" {

ARCHIVER_API int IZipRunZip(const char* commandLine, char* output, unsigned long outputSize,
                            ARCHIVER_PROGRESS callback, void* context)
{
    return guarded(zipfmt::runZip, commandLine, output, outputSize, callback, context);
}

ARCHIVER_API int IZipRunUnZip(const char* commandLine, char* output, unsigned long outputSize,
                              ARCHIVER_PROGRESS callback, void* context)
{
    return guarded(zipfmt::runUnZip, commandLine, output, outputSize, callback, context);
}

ARCHIVER_API unsigned short IZipGetVersion(void)
{
    return 110;
}

} // extern "C"
