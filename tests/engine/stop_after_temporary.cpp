// stop_after_temporary: preloaded (LD_PRELOAD) into sorvane2-pack by the
// tests of --images --jobs. Every process forked from the one it was loaded
// into stops itself (SIGSTOP) once, just after the archiver module has locked
// its first temporary file (mkostemp, then flock): the module then holds the
// archive's lock and is writing the new archive. A test can hold that pack,
// let others end first, kill it or interrupt the batch at a known point;
// SIGCONT goes on.
#include <csignal>

#include <dlfcn.h>
#include <unistd.h>

namespace {

const pid_t g_loadedInto = ::getpid();
int g_temporary = -1;
bool g_stopped = false;

int made(int fd)
{
    if (fd >= 0 && ::getpid() != g_loadedInto)
        g_temporary = fd;
    return fd;
}

} // namespace

extern "C" int mkostemp(char* pattern, int flags)
{
    static auto real = reinterpret_cast<int (*)(char*, int)>(::dlsym(RTLD_NEXT, "mkostemp"));
    return made(real(pattern, flags));
}

extern "C" int mkostemp64(char* pattern, int flags)
{
    static auto real = reinterpret_cast<int (*)(char*, int)>(::dlsym(RTLD_NEXT, "mkostemp64"));
    return made(real(pattern, flags));
}

extern "C" int flock(int fd, int operation)
{
    static auto real = reinterpret_cast<int (*)(int, int)>(::dlsym(RTLD_NEXT, "flock"));
    const int result = real(fd, operation);
    if (result == 0 && fd == g_temporary && !g_stopped && ::getpid() != g_loadedInto) {
        g_stopped = true;
        ::raise(SIGSTOP);
    }
    return result;
}
