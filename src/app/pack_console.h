// What sorvane2-pack does and says differently on each system: the console
// it writes to, and the parts of --help that speak of the system's paths
// and signals.
#pragma once

namespace app {

// Console: while it lives, the console the program writes to (when its
// output goes to one) shows UTF-8 text; on Windows its code page and mode
// are set for that and set back as they were when it ends.
class Console {
public:
    Console();
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;
    // showsProgress: stderr is a terminal that takes the escape sequences
    // the progress line is redrawn with.
    bool showsProgress() const { return m_progress; }

private:
    bool m_progress = false;
    unsigned m_codePage = 0;   // Windows: the console's output code page before
    unsigned long m_mode = 0;  // Windows: stderr's console mode before
    bool m_restore = false;
};

// pathsHelp: the paragraph of --help on drive paths and disk images.
const char* pathsHelp();
// interruptHelp: the end of --help's exit status paragraph: how an
// interrupted batch ends.
const char* interruptHelp();

} // namespace app
