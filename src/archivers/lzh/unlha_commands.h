// The commands of the LZH library module, behind its C interface.
#pragma once

#include <string>

#include "common/module_state.h"

namespace lzh {

// runCommand: parse and carry out one command line ("u -+ -xra ... "X.LZH" "*.*"").
// Returns 0 or a result code; `report` receives listings and the names of
// files that failed.
int runCommand(const std::string& commandLine, archivers::Report& report, archivers::Progress& progress);

} // namespace lzh
