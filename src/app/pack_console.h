// What sorvane2-pack does and says differently on each system: how its text
// reaches a console, and the paragraph of --help on the system's paths.
#pragma once

#include <cstdio>
#include <string>

namespace app {

// Console: while it lives, a console that stderr goes to takes the escape
// sequences the progress line is redrawn with (Windows: the console's mode
// is set for them and set back when it ends).
class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    // showsProgress: stderr is a terminal that redraws the progress line.
    bool showsProgress() const { return m_progress; }

private:
    bool m_progress = false;
    unsigned long m_mode = 0; // Windows: stderr's console mode before
};

// write: UTF-8 `text` to `stream` (stdout or stderr): to a Windows console
// as its characters, whatever the console's code page; elsewhere (a
// terminal, a file, a pipe) as the UTF-8 bytes.
void write(std::FILE* stream, const std::string& text);

// pathsHelp: the paragraph of --help on drive paths and disk images.
const char* pathsHelp();

} // namespace app
