// sorvane2-pack's console on POSIX systems: terminals take UTF-8 as they are.
#include "app/pack_console.h"

#include <unistd.h>

namespace app {

Console::Console() : m_progress(::isatty(2) != 0) {}

Console::~Console() = default;

void write(std::FILE* stream, const std::string& text)
{
    std::fwrite(text.data(), 1, text.size(), stream);
}

const char* pathsHelp()
{
    return "Paths are drive paths (\"C:\\ARC\", never \"/home/me/arc\"): on Linux, drives are\n"
           "mapped folders: z: is /, c: your home folder, mounted volumes the free letters\n"
           "from a:, or what SORVANE2_DRIVES says (\"a=/srv/floppy|LABEL;d=/srv/arc\").\n"
           "A disk image is mapped like a folder; \"IMAGE#N\" maps the N-th FAT partition\n"
           "of a hard disk image (\"a=/srv/HDD.HDI#2\"), the image alone its first.\n";
}

} // namespace app
