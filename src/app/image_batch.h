// sorvane2-pack --images: a pile of disk images, each packed into its own
// archive: on POSIX systems in a process of its own, several at once; on
// Windows one after another in this process.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace app {

struct BatchRequest {
    std::vector<std::string> inputs; // files and folders (native paths)
    bool label = false;              // name each archive after its image's label
    std::string name;                // else the first name, counted up for each image
    unsigned jobs = 1;               // images packed at once (1 or more)
};

// What the batch asks of the program for one image: the run of the drive
// `letter` into an archive named `name` (0 success), with its history printed
// on stdout and its messages on stderr. Called in a process of its own, made
// for that image alone (on Windows in this process, one image after another).
using PackOne = std::function<std::int16_t(char letter, const std::string& name)>;

// Where the batch's output goes.
struct BatchOutput {
    // A line of the batch's own (the history's printer, stdout).
    std::function<void(const std::string& line)> print;
    // Bytes an image's process wrote to its stdout (fd 1) or stderr (fd 2).
    std::function<void(int fd, const std::string& bytes)> write;
    // `done` of `total` images have ended (their output may wait for earlier
    // ones); may be empty.
    std::function<void(std::size_t done, std::size_t total)> progress;
    // Called first in each image's process (which shows no progress); may be empty.
    std::function<void()> inChild;
};

// defaultJobs: the CPUs this process may run on (at least 1); 1 on Windows.
unsigned defaultJobs();

// jobsHelp: the lines of --help on --jobs, as this system runs the packs.
const char* jobsHelp();
// interruptHelp: the end of --help's exit status paragraph: how an
// interrupted batch ends on this system.
const char* interruptHelp();

// runImageBatch: every image (each FAT partition of a hard disk image) is
// first attached, walked and named in turn, so that every archive name is
// settled before any pack starts; a bad image is reported and the batch goes
// on. Then up to `jobs` images pack at once, each in a child process that
// attaches it again and calls packOne; what each one printed is given out
// whole and in the images' order, whichever ends first. Ends with one summary
// line. SIGINT or SIGTERM ends the running packs (their archives stay as they
// were), starts no more and names the images not packed. On Windows the
// images pack in order in this process (jobs is not used): Ctrl+C lets the
// running pack end, starts no more and names the images not packed.
// The exit status: 0 when every image packed, 128 + the signal when
// interrupted (SIGINT for Ctrl+C), else 1.
int runImageBatch(const BatchRequest& request, const PackOne& packOne, const BatchOutput& output);

} // namespace app
