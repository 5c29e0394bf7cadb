// sorvane2-pack --images: a pile of disk images, one archive each. This file
// settles every archive's name before any pack starts and writes the summary;
// the packs run as the system allows (see image_batch_run.h).
#include "image_batch.h"

#include <cctype>
#include <set>

#include "image_batch_run.h"
#include "naming/naming.h"
#include "platform/platform.h"
#include "text/catalogue.h"

namespace app {

using batch::Plan;
using batch::Unit;

namespace {

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

std::string fileName(const std::string& path)
{
    return path.substr(path.find_last_of(batch::kPathSeparators) + 1);
}

// The image's file name without its extension: the name of an image without a label.
std::string stemOf(const std::string& path)
{
    const std::string name = fileName(path);
    const size_t dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// The first pass: each unit attached, walked, named and detached in turn.
std::vector<Plan> plan(const BatchRequest& request, const std::vector<Unit>& units,
                       const std::vector<std::string>& names)
{
    std::vector<Plan> plans(units.size());
    std::set<std::string> used; // archive names of this batch, compared without case
    for (size_t i = 0; i < units.size(); ++i) {
        const Unit& unit = units[i];
        Plan& out = plans[i];
        out.lines.push_back("[" + std::to_string(i + 1) + "/" + std::to_string(units.size()) + "] " + unit.address()
            + (unit.partitions > 1 ? " (FAT partition " + std::to_string(unit.partition) + " of "
                      + std::to_string(unit.partitions) + ")"
                                   : ""));
        auto fail = [&](const std::string& why) {
            out.lines.push_back(unit.shown() + ": " + why);
            out.failedAs = unit.shown();
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
        if (!walked) {
            fail(walked.error().message);
        } else {
            std::string name = request.label ? naming::trimmed(naming::driveLabel(*letter)) : names[i];
            if (request.label && !name.empty() && !naming::usableAsFileName(name)) {
                out.lines.push_back(unit.shown() + ": the label \"" + name
                    + "\" cannot be a file name; the archive is named after the image file");
                name.clear();
            }
            if (name.empty())
                name = unit.stem();
            if (request.label && !naming::usableAsFileName(name))
                fail("\"" + name + "\" cannot be a file name: rename the image file or give --name");
            else if (!used.insert(lower(name)).second)
                fail("the archive name " + name + " is taken by an earlier image of this run");
            else
                out.name = name;
        }
        platform::detachImage();
    }
    return plans;
}

} // namespace

namespace batch {

std::string Unit::address() const
{
    return partitions > 1 ? image + "#" + std::to_string(partition) : image;
}

std::string Unit::shown() const
{
    return partitions > 1 ? fileName(image) + "#" + std::to_string(partition) : fileName(image);
}

std::string Unit::stem() const
{
    return partitions > 1 ? stemOf(image) + "-" + std::to_string(partition) : stemOf(image);
}

} // namespace batch

int runImageBatch(const BatchRequest& request, const PackOne& packOne, const BatchOutput& output)
{
    const auto& print = output.print;
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

    // Every name settled (labels read, names taken earlier refused) before
    // the first pack starts, so that no pack depends on another's timing.
    const std::vector<Plan> plans = plan(request, units, names);
    // Each pack opens its image again: none is held open here for them to
    // inherit (its file, and its FAT in their memory).
    platform::closeImages();

    if (const std::string why = batch::whyPacksCannotStart(); !why.empty()) {
        print("Images: none packed; " + why);
        return 1;
    }
    const batch::Outcome outcome = batch::runPlans(request, units, plans, packOne, output);
    const std::vector<std::string>& done = outcome.done;
    const std::vector<std::string>& failed = outcome.failed;
    const std::vector<std::string>& notPacked = outcome.notPacked;
    const int interrupted = outcome.interrupted;

    std::string summary = "Images: " + std::to_string(done.size()) + " packed, " + std::to_string(failed.size())
        + " failed";
    if (!failed.empty()) {
        summary += ":";
        for (const std::string& name : failed)
            summary += " " + name;
    }
    if (interrupted) {
        summary += "; interrupted by " + batch::interruptName(interrupted) + ", " + std::to_string(notPacked.size())
            + " not packed";
        if (!notPacked.empty())
            summary += ":";
        for (const std::string& name : notPacked)
            summary += " " + name;
    }
    if (images.empty())
        summary += " (no image found)";
    print(summary);
    if (interrupted)
        return 128 + interrupted;
    return failed.empty() && problems.empty() && !images.empty() ? 0 : 1;
}

} // namespace app
