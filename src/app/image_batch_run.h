// The two halves of sorvane2-pack --images: the first pass that settles every
// archive's name (image_batch.cpp, the same everywhere) and the packs
// themselves, run as each system allows (image_batch_posix.cpp: a child
// process per image, several at once; image_batch_win32.cpp: one image after
// another in this process).
#pragma once

#include <string>
#include <vector>

#include "image_batch.h"

namespace app::batch {

// One archive of the batch: an image, or one FAT partition of a hard disk image.
struct Unit {
    std::string image;   // the image file
    unsigned partition;  // 1 on; 0 for an image that cannot be read
    unsigned partitions; // FAT partitions the image holds
    std::string problem; // why the image cannot be read
    // As attachImage takes it: "HDD.HDI", "HDD.HDI#2".
    std::string address() const;
    // As the history names it: the file name, "HDD.HDI#2".
    std::string shown() const;
    // The archive's name when no label gives one: "HDD", "HDD-2".
    std::string stem() const;
};

// What the first pass settles for one unit, before any pack starts.
struct Plan {
    std::vector<std::string> lines; // its heading, notes and failure, printed before its run's output
    std::string name;               // the archive's name; empty when it failed before its run
    std::string failedAs;           // as the summary names a failure before its run
};

// How the packs went, for the summary line.
struct Outcome {
    std::vector<std::string> done;      // "IMAGE (NAME)" of each archive packed
    std::vector<std::string> failed;    // of each that failed
    std::vector<std::string> notPacked; // of each not packed because the batch was interrupted
    int interrupted = 0;                // the signal that interrupted the batch; 0 when none
};

// whyPacksCannotStart: why no pack can start now (the batch then packs
// none); empty when they can.
std::string whyPacksCannotStart();

// runPlans: pack every unit whose plan has a name, giving out each unit's
// lines and output whole and in the units' order; a unit without a name is
// given out as failed.
Outcome runPlans(const BatchRequest& request, const std::vector<Unit>& units, const std::vector<Plan>& plans,
                 const PackOne& packOne, const BatchOutput& output);

// interruptName: how the summary names the signal that interrupted the batch ("SIGINT").
std::string interruptName(int signal);

// The characters that end a folder's part of a native path.
extern const char* const kPathSeparators;

} // namespace app::batch
