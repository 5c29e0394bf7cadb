// The program's start before the main window: the "/U" switch, the settings,
// the archiver check and its two messages.
#pragma once

#include <QStringList>

#include "engine/archiver_library.h"
#include "settings/settings.h"

namespace ui {

class Prompts;
struct RunProgress;

// Run: the window opens; End: the program ends, its work done (/U);
// Failed: the program ends without the means to run (no LZH library).
enum class Start { Run, End, Failed };

// startUp: "/U" alone (any case) asks whether to delete the settings and
// ends either way; then LoadSettings and the library check: without
// UNLHA32.DLL its message and the end, below 1.04 a warning and on.
Start startUp(const QStringList& arguments, Prompts& prompts, settings::ProgramSettings& record,
              engine::LibrarySet& libraries, RunProgress& progress);

} // namespace ui
