// UNZIP32.DLL: the C interface of the ZIP extraction module; the work is done by IZIP32J.DLL.
#include "archiver_api.h"

#include "common/module_state.h"
#include "common/result_codes.h"
#include "izip_api.h"

namespace {

archivers::ModuleState& state()
{
    static archivers::ModuleState instance;
    return instance;
}

} // namespace

extern "C" {

ARCHIVER_API int UnZip(void* /*owner*/, const char* commandLine, char* output, unsigned long outputSize)
{
    archivers::RunGuard guard(state());
    if (!guard.entered())
        return archivers::kErrorAlreadyRunning;
    ARCHIVER_PROGRESS callback = nullptr;
    void* context = nullptr;
    state().progress(&callback, &context);
    return IZipRunUnZip(commandLine, output, outputSize, callback, context);
}

ARCHIVER_API unsigned short UnZipGetVersion(void)
{
    return IZipGetVersion();
}

ARCHIVER_API int UnZipGetRunning(void)
{
    return state().running() ? 1 : 0;
}

ARCHIVER_API int UnZipSetProgress(ARCHIVER_PROGRESS callback, void* context)
{
    state().setProgress(callback, context);
    return 0;
}

} // extern "C"
