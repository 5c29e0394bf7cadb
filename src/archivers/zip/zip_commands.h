// The commands of the ZIP library modules: Zip (create and update) and UnZip
// (extract, test, list), shared by ZIP32J.DLL and UNZIP32.DLL.
#pragma once

#include <string>

#include "common/module_state.h"

namespace zipfmt {

// runZip: " -r -S -9 "D:\ARC\X.ZIP" "*.*"": add or replace the named files,
// keep the other entries. Returns 0 or a result code.
int runZip(const std::string& commandLine, archivers::Report& report, archivers::Progress& progress);

// runUnZip: "-x "X.ZIP" "C:\TEMP\" "NAME"" extracts (with paths), "-t" tests,
// "-l" lists. Returns 0 or a result code.
int runUnZip(const std::string& commandLine, archivers::Report& report, archivers::Progress& progress);

} // namespace zipfmt
