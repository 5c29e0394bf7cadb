// sorvane2-pack --images: a pile of disk images, one archive each.
#include "image_batch.h"

#include <cctype>
#include <set>

#include "naming/naming.h"
#include "platform/platform.h"
#include "text/catalogue.h"

namespace app {

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string fileName(const std::string& path)
{
    return path.substr(path.rfind('/') + 1);
}

// The image's file name without its extension: the name of an image without a label.
std::string stemOf(const std::string& path)
{
    const std::string name = fileName(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// One archive of the batch: an image, or one FAT partition of a hard disk image.
struct Unit {
    std::string image;   // the image file
    unsigned partition;  // 1 on; 0 for an image that cannot be read
    unsigned partitions; // FAT partitions the image holds
    std::string problem; // why the image cannot be read
    std::string address() const
    {
        return partitions > 1 ? image + "#" + std::to_string(partition) : image;
    }
    // As the history names it: "HDD.HDI", "HDD.HDI#2".
    std::string shown() const
    {
        return partitions > 1 ? fileName(image) + "#" + std::to_string(partition) : fileName(image);
    }
    // The archive's name when no label gives one: "HDD", "HDD-2".
    std::string stem() const
    {
        return partitions > 1 ? stemOf(image) + "-" + std::to_string(partition) : stemOf(image);
    }
};

} // namespace

int runImageBatch(const BatchRequest& request, const PackOne& packOne, const PrintLine& print)
{
    std::vector<std::string> problems;
    const std::vector<std::string> images = platform::imageFiles(request.inputs, problems);
    for (const std::string& problem : problems)
        print(problem);

    // Every FAT partition of a hard disk image packs into its own archive.
    std::vector<Unit> units;
    for (const std::string& image : images) {
        const platform::Result<unsigned> count = platform::imagePartitionCount(image);
        if (!count) {
            units.push_back({image, 0, 1, count.error().message});
            continue;
        }
        for (unsigned p = 1; p <= *count; ++p)
            units.push_back({image, p, *count, {}});
    }

    // The count-up names, all of them before the first run: a name that
    // cannot be counted on would give two images one archive.
    std::vector<std::string> names;
    if (!request.label) {
        std::string name = naming::trimmed(request.name);
        for (size_t i = 0; i < units.size(); ++i) {
            if (name.empty()) {
                print(std::string(resSorvane::ResText(300)));
                return 1;
            }
            names.push_back(name);
            if (i + 1 < units.size()) {
                const naming::CountUp next = naming::countUp(name);
                if (!next.counted) {
                    print(std::string(resSorvane::ResText(next.messageId)));
                    print("Images: none packed; the name " + request.name + " cannot count up to "
                        + std::to_string(units.size()) + (units.size() == images.size() ? " images" : " volumes"));
                    return 1;
                }
                name = next.name;
            }
        }
    }

    std::vector<std::string> done, failed;
    std::set<std::string> used; // archive names of this batch, compared without case
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& unit = units[i];
        print("[" + std::to_string(i + 1) + "/" + std::to_string(units.size()) + "] " + unit.address()
            + (unit.partitions > 1 ? " (FAT partition " + std::to_string(unit.partition) + " of "
                      + std::to_string(unit.partitions) + ")"
                                   : ""));
        auto fail = [&](const std::string& why) {
            print(unit.shown() + ": " + why);
            failed.push_back(unit.shown());
        };
        if (!unit.problem.empty()) {
            fail(unit.problem);
            continue;
        }
        const platform::Result<char> letter = platform::attachImage(unit.address());
        if (!letter) {
            fail(letter.error().message);
            continue;
        }
        // The whole volume is walked first: a damaged one fails here, with its reason.
        const platform::Result<void> walked = platform::walkFolder(std::string{*letter, ':', '\\'}, {},
            [](const platform::WalkEntry&) { return true; });
        std::string name;
        if (!walked) {
            fail(walked.error().message);
        } else {
            name = request.label ? naming::trimmed(naming::driveLabel(*letter)) : names[i];
            if (request.label && !name.empty() && !naming::usableAsFileName(name)) {
                print(unit.shown() + ": the label \"" + name
                    + "\" cannot be a file name; the archive is named after the image file");
                name.clear();
            }
            if (name.empty())
                name = unit.stem();
            if (request.label && !naming::usableAsFileName(name)) {
                fail("\"" + name + "\" cannot be a file name: rename the image file or give --name");
            } else if (!used.insert(lower(name)).second) {
                fail("the archive name " + name + " is taken by an earlier image of this run");
            } else if (packOne(*letter, name) == 0) {
                done.push_back(unit.shown() + " (" + name + ")");
            } else {
                failed.push_back(unit.shown() + " (" + name + ")");
            }
        }
        platform::detachImage();
    }

    std::string summary = "Images: " + std::to_string(done.size()) + " packed, " + std::to_string(failed.size())
        + " failed";
    if (!failed.empty()) {
        summary += ":";
        for (const std::string& name : failed)
            summary += " " + name;
    }
    if (images.empty())
        summary += " (no image found)";
    print(summary);
    return failed.empty() && problems.empty() && !images.empty() ? 0 : 1;
}

} // namespace app
