// archiver_cli: runs one command of an archiver module in a process of its own,
// so that tests can starve it of disk space, kill it or take its rights away.
//
//   archiver_cli MODULE FUNCTION COMMAND-LINE
//
// Prints "result=0x...." and the module's report; exits 0 when the call ran.
#include <cstdio>
#include <string>

#include <dlfcn.h>

using CommandFunction = int (*)(void*, const char*, char*, unsigned long);

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: archiver_cli MODULE FUNCTION COMMAND-LINE\n");
        return 2;
    }
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
