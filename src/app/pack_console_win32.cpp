// sorvane2-pack's console on Windows. A console shows the bytes a program
// writes in its output code page (932 on a Japanese system), which cannot
// show every name and garbles UTF-8, so text for a console goes to it as
// UTF-16 characters (WriteConsoleW); to a file or a pipe it stays UTF-8
// bytes. The progress line needs the console's terminal sequences, set for
// the run and set back after.
#include "app/pack_console.h"

#include <io.h>

#include <algorithm>

#include "platform/win32_text.h"

namespace app {

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
constexpr DWORD ENABLE_VIRTUAL_TERMINAL_PROCESSING = 0x0004;
#endif

// The console that `stream` goes to; nullptr when it goes elsewhere.
HANDLE consoleOf(std::FILE* stream, DWORD* mode)
{
    const intptr_t os = _get_osfhandle(_fileno(stream));
    const HANDLE handle = reinterpret_cast<HANDLE>(os);
    if (os == -1 || handle == nullptr || !GetConsoleMode(handle, mode))
        return nullptr;
    return handle;
}

} // namespace

Console::Console()
{
    DWORD mode = 0;
    const HANDLE console = consoleOf(stderr, &mode);
    if (!console)
        return;
    m_mode = mode;
    // A console that takes no terminal sequences (before Windows 10) gets no progress line.
    m_progress = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING)
        || SetConsoleMode(console, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
}

Console::~Console()
{
    DWORD mode = 0;
    if (const HANDLE console = consoleOf(stderr, &mode); console && m_progress)
        SetConsoleMode(console, m_mode);
}

void write(std::FILE* stream, const std::string& text)
{
    DWORD mode = 0;
    const HANDLE console = consoleOf(stream, &mode);
    if (!console) {
        std::fwrite(text.data(), 1, text.size(), stream);
        return;
    }
    std::fflush(stream); // what went before through the stream stays before
    const std::wstring wide = platform::widen(text);
    constexpr size_t kChunk = 8192;
    for (size_t at = 0; at < wide.size();) {
        size_t count = std::min(kChunk, wide.size() - at);
        if (at + count < wide.size() && IS_HIGH_SURROGATE(wide[at + count - 1]))
            --count; // a surrogate pair stays whole
        DWORD written = 0;
        if (!WriteConsoleW(console, wide.data() + at, static_cast<DWORD>(count), &written, nullptr) || written == 0)
            return;
        at += written;
    }
}

const char* pathsHelp()
{
    return "Paths are drive paths, as Windows writes them (\"C:\\ARC\"). A disk image\n"
           "stands for a drive on a letter no drive of the system uses: SORVANE2_DRIVES\n"
           "maps it (\"a=C:\\DISKS\\GAME01.HDM\"), and \"IMAGE#N\" the N-th FAT partition of\n"
           "a hard disk image (\"b=C:\\DISKS\\HDD.HDI#2\"), the image alone its first.\n";
}

} // namespace app
