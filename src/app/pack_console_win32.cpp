// sorvane2-pack's console on Windows: a console shows the bytes it is given
// in its output code page (the ANSI one, 932 on a Japanese system), so while
// the program runs it is set to UTF-8, with the terminal sequences on that
// redraw the progress line. Output to a file or a pipe stays UTF-8 bytes.
#include "app/pack_console.h"

#include <windows.h>

namespace app {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif

bool isConsole(DWORD which, DWORD* mode)
{
    const HANDLE handle = GetStdHandle(which);
    return handle != INVALID_HANDLE_VALUE && handle != nullptr && GetConsoleMode(handle, mode);
}

} // namespace

Console::Console()
{
    DWORD outMode = 0, errorMode = 0;
    const bool out = isConsole(STD_OUTPUT_HANDLE, &outMode);
    const bool error = isConsole(STD_ERROR_HANDLE, &errorMode);
    if (!out && !error)
        return;
    m_codePage = GetConsoleOutputCP();
    m_restore = SetConsoleOutputCP(CP_UTF8) != 0;
    if (error) {
        m_mode = errorMode;
        const HANDLE handle = GetStdHandle(STD_ERROR_HANDLE);
        // A console that takes no terminal sequences (before Windows 10) gets no progress line.
        m_progress = (errorMode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
            || SetConsoleMode(handle, errorMode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    }
}

Console::~Console()
{
    DWORD mode = 0;
    if (m_progress && isConsole(STD_ERROR_HANDLE, &mode))
        SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), m_mode);
    if (m_restore)
        SetConsoleOutputCP(m_codePage);
}

const char* pathsHelp()
{
    return "Paths are drive paths, as Windows writes them (\"C:\\ARC\"). A disk image\n"
           "stands for a drive on a letter no drive of the system uses: SORVANE2_DRIVES\n"
           "maps it (\"a=C:\\DISKS\\GAME01.HDM\"), and \"IMAGE#N\" the N-th FAT partition of\n"
           "a hard disk image (\"b=C:\\DISKS\\HDD.HDI#2\"), the image alone its first.\n";
}

const char* interruptHelp()
{
    return "130 when\n"
           "interrupted (Ctrl+C or Ctrl+Break): the pack running goes on to its end, no\n"
           "other starts, and the summary line names the images not packed.\n";
}

} // namespace app
