// archiver_cli: runs one command of an archiver module in a process of its own,
// so that tests can starve it of disk space, kill it or take its rights away.
//
//   archiver_cli MODULE FUNCTION COMMAND-LINE
//
// Prints "result=0x...." and the module's report; exits 0 when the call ran.
//
// With ARCHIVER_CLI_STOP_AT_READ="N:PATH" in the environment, the process
// stops itself (SIGSTOP) just before its Nth read (read or pread) of the file
// PATH, so that a test can act while a module is inside that file's read, or
// has its own files open; SIGCONT goes on.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <dlfcn.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

struct StopAtRead {
    bool armed = false;
    dev_t device = 0;
    ino_t inode = 0;
    long at = 0;
    std::atomic<long> seen{0};
} g_stop;

void armStop()
{
    const char* text = std::getenv("ARCHIVER_CLI_STOP_AT_READ");
    const char* colon = text ? std::strchr(text, ':') : nullptr;
    struct stat info;
    if (!colon || ::stat(colon + 1, &info) != 0)
        return;
    g_stop.at = std::atol(text);
    g_stop.device = info.st_dev;
    g_stop.inode = info.st_ino;
    g_stop.armed = g_stop.at > 0;
}

} // namespace

namespace {

void stopAtRead(int fd)
{
    struct stat info;
    if (g_stop.armed && ::fstat(fd, &info) == 0 && info.st_dev == g_stop.device && info.st_ino == g_stop.inode
        && ++g_stop.seen == g_stop.at)
        ::raise(SIGSTOP); // to this thread: it stops before it reads on
}

} // namespace

// These take the place of the C library's for the modules this program loads.
extern "C" ssize_t read(int fd, void* buffer, size_t size)
{
    stopAtRead(fd);
    return ::syscall(SYS_read, fd, buffer, size);
}

extern "C" ssize_t pread(int fd, void* buffer, size_t size, off_t offset)
{
    stopAtRead(fd);
    return ::syscall(SYS_pread64, fd, buffer, size, offset);
}

extern "C" ssize_t pread64(int fd, void* buffer, size_t size, off64_t offset)
{
    return pread(fd, buffer, size, offset);
}

using CommandFunction = int (*)(void*, const char*, char*, unsigned long);

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: archiver_cli MODULE FUNCTION COMMAND-LINE\n");
        return 2;
    }
    armStop();
    void* module = ::dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!module) {
        std::fprintf(stderr, "%s\n", ::dlerror());
        return 2;
    }
    auto function = reinterpret_cast<CommandFunction>(::dlsym(module, argv[2]));
    if (!function) {
        std::fprintf(stderr, "%s: no %s\n", argv[1], argv[2]);
        return 2;
    }
    std::string report(1 << 16, '\0');
    const int result = function(nullptr, argv[3], report.data(), static_cast<unsigned long>(report.size()));
    std::printf("result=0x%04X\n%s", static_cast<unsigned>(result), report.c_str());
    std::fflush(stdout); // before any exit-time checker can end the process
    return 0;
}
