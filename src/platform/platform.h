// What the program asks of the operating system, in the one path dialect.
//
// Every path that crosses this interface is a dialect path: a drive letter,
// "\" separators, names compared without regard to case ("A:\ARC\DISK01.LZH"),
// UTF-8 encoded. Only the implementation (*_posix.cpp and *_win32.cpp files,
// chosen by the build) knows native paths. On POSIX systems a drive map gives
// letters to folders: z: is "/", c: the home folder, mounted removable volumes
// the free letters from a:, or whatever SORVANE2_DRIVES says. On Windows the
// drives are the machine's own and a dialect path is the native path (each
// call takes it to UTF-16); disk images take letters no drive of the machine
// uses.
//
// Unless noted, functions are safe to call from any thread; the current-folder
// state is guarded by one lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace platform {

// ── Drives ──────────────────────────────────────────────────────────────────

enum class DriveKind {
    Removable, // floppy, USB stick, SD card: the list shows the letter alone
    Fixed,     // the list shows the volume label in brackets when there is one
    Network,   // the list shows "[\\server\share]"
};

struct Drive {
    char letter = 0;        // 'a' to 'z'
    DriveKind kind = DriveKind::Fixed;
    std::string label;      // volume label, empty when the volume has none
    std::string remotePath; // "\\server\share" for a network drive
    std::string image;      // native path of the disk image the drive stands for; empty for a folder
};

// drives: every drive of the machine as it is now, in letter order. Drives
// whose medium is missing are listed too (isDriveReady tells them apart).
std::vector<Drive> drives();

// driveEntryText: the text a drive list shows for `drive`: "a:", "c: [SYSTEM]",
// "n: [\\server\share]" (letter always lower case); a disk image shows its
// label when it has one, whatever the letter: "a: [GAME01]".
std::string driveEntryText(const Drive& drive);

// findDrive: the drive with this letter (either case), if the machine has it.
std::optional<Drive> findDrive(char letter);

// isDriveReady: true when the drive exists and its medium can be read.
bool isDriveReady(char letter);

// volumeLabel: the file system's label of the volume in the drive; an empty
// text when it has none; an error when the drive is missing or not ready.
Result<std::string> volumeLabel(char letter);

// driveMapProblem: why the SORVANE2_DRIVES setting was ignored (the automatic
// map is used then), or the empty text when it was taken or is not set. On
// Windows the setting maps disk images only ("a=C:\disks\GAME01.HDM|LABEL;
// b=D:\HDD.HDI#2"), each on a letter no drive of the machine uses.
std::string driveMapProblem();

// ── Disk images as drives ───────────────────────────────────────────────────
// A drive may stand for a disk image file (FAT12/16/32 in a raw sector image,
// a partitioned card or hard disk image, D88/D68/D77/D98, FDI, or the HDI,
// NHD, THD, HDD and SLH hard disk images of PC-98 emulators) instead of a folder:
// SORVANE2_DRIVES takes an image file where it takes a folder, and
// attachImage maps one more. Such a drive is read only (no free space, no
// folder creation, no deletion); its files are walked, found and read through
// this interface (openImageFile), and the image file is never written.

// A hard disk image holds its volumes in partitions (MBR or PC-98 tables).
// The image's path stands for its first FAT partition; "IMAGE#N" stands for
// the N-th FAT partition (counted from 1, in table order) wherever an image
// path is taken: SORVANE2_DRIVES="a=/disks/HDD.HDI#2", attachImage,
// imagePartitionCount. Such a drive's root is "/disks/HDD.HDI/#2" (its files
// "/disks/HDD.HDI/#2/DOS/A.TXT"; on Windows "D:\disks\HDD.HDI\#2\DOS\A.TXT"):
// below the image file, as the files of every image drive are; messages name
// it "/disks/HDD.HDI#2". A file whose own name ends in "#N" is that file.

// imagePartitionCount: how many FAT partitions the image at `nativePath`
// holds (1 for an image that is one volume); why it cannot be a drive else.
Result<unsigned> imagePartitionCount(const std::string& nativePath);

// isDiskImage: true when the native file `nativePath` holds a FAT volume this
// program reads (a quick check of its container and boot sector).
bool isDiskImage(const std::string& nativePath);

// checkDiskImage: why the image at `nativePath` cannot be used as a drive;
// ok when it can.
Result<void> checkDiskImage(const std::string& nativePath);

// attachImage: map the image file `nativePath` as a drive (replacing the
// image attached before): `letter` when given and free of folders (on
// Windows: of the machine's drives), else the first free letter from a:. The
// letter, or why it cannot be attached.
Result<char> attachImage(const std::string& nativePath, char letter = 0);

// detachImage: forget the attached image (a no-op when there is none).
void detachImage();

// closeImages: close every image this process keeps open for the next use
// (their files and tables); a drive of one opens it again when next read.
void closeImages();

// attachedImage: the native path of the attached image; empty when none.
std::string attachedImage();

// imageExtensions: the extensions (lower case, without the dot) that mark a
// file as a disk image this program reads.
const std::vector<std::string>& imageExtensions();

// imageFiles: the image files `inputs` (native paths, relative ones against
// the working folder) name. A file counts as given; a folder gives its files
// (not its subfolders) that carry an image extension or hold a disk this
// program reads, in name order. `problems` receives each input that does not
// exist or cannot be read, with the reason.
std::vector<std::string> imageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& problems);

// A file read front to back.
class FileStream {
public:
    virtual ~FileStream() = default;
    // read: up to `size` bytes; 0 at the end; -1 on failure (error() tells why).
    virtual long read(void* buffer, std::size_t size) = 0;
    virtual int error() const = 0;
};

// openImageFile: a file inside a drive image, by the native path that
// toNative or walkFolder gave for it; null with errno set when the path lies
// in no mapped image or names no file there.
std::unique_ptr<FileStream> openImageFile(const std::string& nativePath);

// ── Paths ───────────────────────────────────────────────────────────────────

// fullPath: the absolute dialect form of `path` ("X:\A\B", "X:\" for a root):
// relative paths resolve against the current folder of the current drive,
// "x:rel" against drive x's current folder, "\rel" against the current
// drive's root; "." and ".." are folded; "/" counts as "\". A UNC path
// "\\server\share\..." resolves through the network drive that maps it.
Result<std::string> fullPath(std::string_view path);

// toNative: the native path of a dialect path. Each existing element is taken
// with its on-disk spelling, matched without regard to case when no exact match
// exists; elements that do not exist (yet) keep the spelling given.
Result<std::string> toNative(std::string_view path);

// toDialect: the dialect path of a native path (the longest mapped folder
// wins). Fails for a name the dialect cannot hold ("\" inside a name, bytes
// that are not UTF-8).
Result<std::string> toDialect(std::string_view nativePath);

// canonicalPath: the native path that `path` really reaches, for telling
// whether two dialect paths (perhaps through other letters, "..", or links)
// lie in one another: resolved like fullPath, then every symbolic link of its
// existing part followed; elements that do not exist yet are appended as given.
Result<std::string> canonicalPath(std::string_view path);

// isInsideOrSame: true when the native path `inner` is `outer` or lies below it
// (both as canonicalPath gives them; on Windows without regard to case).
bool isInsideOrSame(std::string_view inner, std::string_view outer);

// ── Current drive and folder ────────────────────────────────────────────────

// currentDrive: the letter ('a'..'z') of the current drive.
char currentDrive();

// currentFolder: the full dialect path of the current folder of `letter`
// (of the current drive when letter is 0), such as "A:\" or "C:\ARC".
std::string currentFolder(char letter = 0);

// changeDrive: make `letter` the current drive (its own current folder becomes
// the process's working folder). Fails when the drive is missing or not ready;
// for a disk image that cannot be read, the error names the image and why.
Result<void> changeDrive(char letter);

// changeFolder: set the current folder of the drive that `path` names (the
// current drive for a relative path) without changing the current drive.
// Fails when the folder does not exist.
Result<void> changeFolder(std::string_view path);

// ── Special folders and space ───────────────────────────────────────────────

// programArguments: the program's command line as UTF-8 texts, argv[0]
// first. On Windows argv holds the ANSI code page's bytes, which cannot
// carry every name; the wide command line is read instead.
std::vector<std::string> programArguments(int argc, char* argv[]);

// tempFolder: dialect form of $TMPDIR (or /tmp) with a trailing "\"; on
// Windows the folder GetTempPath gives (TMP, TEMP or the user's own).
std::string tempFolder();

// systemFolder: the folder holding the archiver library modules, without a
// trailing "\": SORVANE2_SYSTEM_DIR when set, else the executable's folder
// when UNLHA32.DLL is there, else the installed modules folder beside bin/
// (../lib/sorvane2 or as installed) when it exists, else the executable's folder.
// On Windows the modules sit beside the program: SORVANE2_SYSTEM_DIR when
// set, else the executable's folder.
std::string systemFolder();

// programFile: native path of one of the program's own files (the help page):
// beside the executable when it is there, else in the installed data folder
// beside bin/ (../share/sorvane2) when it is there, else beside the
// executable. On Windows always beside the executable.
std::string programFile(const std::string& name);

struct DiskFree {
    std::uint64_t bytesPerSector = 0;
    std::uint64_t sectorsPerCluster = 0;
    std::uint64_t freeClusters = 0;  // clusters available to this user
    std::uint64_t totalClusters = 0;
};

// diskFree: space of the volume holding `path`. Fails for a drive not ready.
Result<DiskFree> diskFree(std::string_view path);

// ── Files and folders ───────────────────────────────────────────────────────

// canOpenForReading: true when `path` is a file (not a folder) that opens for
// reading now.
bool canOpenForReading(std::string_view path);

// onDiskName: the last element of `path` as the file system spells it
// ("Program Files" for "c:\program files"); an error when it does not exist.
Result<std::string> onDiskName(std::string_view path);

// isFolder: true when `path` names an existing folder.
bool isFolder(std::string_view path);

// makeFolder: create one folder (its parent must exist).
Result<void> makeFolder(std::string_view path);

// checkWritableVolume: why nothing can be written below `path` when it lies on a
// disk image drive or a volume mounted read only; ok otherwise (permissions
// are left to the write itself).
Result<void> checkWritableVolume(std::string_view path);

// deleteFile: remove one file (never a folder).
Result<void> deleteFile(std::string_view path);

// ── Folder walk ─────────────────────────────────────────────────────────────

enum class EntryType { File, Folder, Symlink };

struct WalkEntry {
    std::string relative;      // dialect path below the walked folder, "SUB\FILE.TXT"
    std::string native;        // native path, for opening
    EntryType type = EntryType::File;
    std::uint64_t size = 0;    // bytes, files only
    std::int64_t mtime = 0;    // modification time, seconds since 1970 (UTC)
    std::uint32_t mtimeNanos = 0;
    bool hidden = false;       // name starts with "." or the FAT (Windows) hidden attribute
    bool system = false;       // the FAT (Windows) system attribute
    bool readOnly = false;     // FAT (Windows) read-only attribute, or no write permission
    std::string linkTarget;    // symbolic links only (on Windows also junctions), as stored in the link
};

struct WalkOptions {
    bool recurse = true;       // descend into subfolders
};

// walkFolder: visit every entry below the folder `path` (not the folder
// itself), parents before their contents, names sorted within a folder.
// Symbolic links (on Windows also junctions) are reported as such and never
// followed. Stops and fails at
// the first folder that cannot be read or name that the dialect cannot hold
// (the error names it), or when `visit` returns false (the result is then ok).
Result<void> walkFolder(std::string_view path, const WalkOptions& options,
                        const std::function<bool(const WalkEntry&)>& visit);

// ── Settings store ──────────────────────────────────────────────────────────
// Text values addressed by application, section and key (keys and sections
// compare without regard to ASCII case). POSIX: one store file per
// application, replaced atomically on every write; writers of several
// processes take turns. Windows: the registry, one REG_SZ value per key under
// HKEY_CURRENT_USER\Software\VB and VBA Program Settings\<application>\<section>,
// where earlier versions of the program kept theirs; names there cannot hold "\".

// settingsRead: the stored text, or `fallback` when the key is absent or the
// store cannot be read (then `problem`, when given, receives the reason).
std::string settingsRead(std::string_view application, std::string_view section,
                         std::string_view key, std::string_view fallback,
                         std::optional<Error>* problem = nullptr);

Result<void> settingsWrite(std::string_view application, std::string_view section,
                           std::string_view key, std::string_view value);

// settingsDeleteSection: remove every key of one section of the application.
Result<void> settingsDeleteSection(std::string_view application, std::string_view section);

// settingsDeleteApplication: remove the application's entry with all its sections.
Result<void> settingsDeleteApplication(std::string_view application);

// On Windows the store is the registry key HKEY_CURRENT_USER\Software\VB and
// VBA Program Settings\<application>\<section>; SORVANE2_SETTINGS_KEY, when
// set, replaces the key below HKEY_CURRENT_USER (as SORVANE2_CONFIG_DIR
// replaces the folder on POSIX systems).

// settingsLocation: where the application's settings live (native path; on
// Windows the registry key, "HKEY_CURRENT_USER\Software\..."), for messages
// and the README.
std::string settingsLocation(std::string_view application);

} // namespace platform
