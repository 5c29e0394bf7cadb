// sorvane2-pack --images: a pile of disk images packed one after another,
// each into its own archive, each attached as a drive for its run.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace app {

struct BatchRequest {
    std::vector<std::string> inputs; // files and folders (native paths)
    bool label = false;              // name each archive after its image's label
    std::string name;                // else the first name, counted up for each image
};

// What the batch asks of the program for one image: the run of the drive
// `letter` into an archive named `name` (0 success), with its history printed.
using PackOne = std::function<std::int16_t(char letter, const std::string& name)>;
// Where the batch's own lines go (the history's printer).
using PrintLine = std::function<void(const std::string& line)>;

// runImageBatch: every image in turn: attached as a drive, checked, named,
// packed, detached; a bad image is reported and the batch goes on. Ends with
// one summary line. The exit status: 0 when every image packed, else 1.
int runImageBatch(const BatchRequest& request, const PackOne& packOne, const PrintLine& print);

} // namespace app
