// What the per-drive current folders (drive_folders.cpp) ask of the system;
// each system's drives_*.cpp answers.
#pragma once

#include <optional>
#include <string>

#include "result.h"

namespace platform::cwd {

// A drive image has no native folder to make the working folder, so while an
// image drive is current its folder is kept in the environment, where every
// copy of this code in the process (the library modules have their own) sees
// it: "<process>\t<working folder>\t<dialect folder>". It counts only while the
// working folder is still the one it names and only in the process that set it.
constexpr const char* kImageCwdVariable = "SORVANE2_IMAGE_CWD";

namespace os {

// startingDrive: the current drive before the working folder says another.
char startingDrive();
// nativeCwd: the process's working folder, empty when it cannot be read.
std::string nativeCwd();
// startingFolder: the native folder the system kept for `letter` before this
// program ran (the "=X:" variables of Windows); nullopt when it keeps none.
std::optional<std::string> startingFolder(char letter);
// rememberFolder: tell the system that `native` is now the folder of
// `letter`, for the programs started from here.
void rememberFolder(char letter, const std::string& native);
// enter: make `native` the working folder; errors name `shown`.
Result<void> enter(const std::string& native, const std::string& shown);
// checkFolder: `native` is a folder; an error naming `shown` when it is
// missing or not a folder.
Result<void> checkFolder(const std::string& native, const std::string& shown);
// folderReadable: `native` is a folder this process can list.
bool folderReadable(const std::string& native);
// networkDrive: the letter of the network drive that maps the share
// "\\server\share"; 0 when none does.
char networkDrive(const std::string& share);
// Where a drive's files are: its native root folder, or the image file of a
// drive that is a disk image.
struct DriveRoot {
    std::string native;
    bool image = false;
};
// driveRoot: the root of drive `letter`; an Error when there is no such drive.
Result<DriveRoot> driveRoot(char letter);
// spelling: the name in the native folder `folder` that `name` stands
// for, in its on-disk spelling; empty when there is none.
std::string spelling(const std::string& folder, const std::string& name);
// joinNative: the native path of `name` in the native folder `folder`.
std::string joinNative(const std::string& folder, const std::string& name);

} // namespace os

// readyRoot (drive_folders.cpp): the root of drive `letter` when it can be
// read; an Error when it is not ready (no such drive, no medium, a damaged
// image: its fault).
Result<os::DriveRoot> readyRoot(char letter);

} // namespace platform::cwd
