// sorvane2-pack --images: a pile of disk images, one archive each.
#include "image_batch.h"

#include <algorithm>
#include <cctype>
#include <set>

#include <cstdlib>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include "naming/naming.h"
#include "platform/platform.h"
#include "text/catalogue.h"

namespace app {

namespace {

// Extensions of the image files a folder is searched for; other files count
// when they hold a disk this program reads.
constexpr std::string_view kImageExtensions[] = {"img", "ima", "vfd", "flp", "dsk", "hdm", "xdf", "d88",
                                                 "d68", "d77", "d98", "88d", "98d", "fdi", "fdd",
                                                 "nfd", "dcp", "dcu", "dim", "imd", "td0", "cqm"};

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool hasImageExtension(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    const std::string extension = lower(name.substr(dot + 1));
    return std::find(std::begin(kImageExtensions), std::end(kImageExtensions), extension)
        != std::end(kImageExtensions);
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

std::string absolute(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char* here = ::getcwd(nullptr, 0);
    const std::string cwd = here ? here : "/";
    std::free(here);
    return cwd == "/" ? "/" + path : cwd + "/" + path;
}

} // namespace

std::vector<std::string> imageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& problems)
{
    std::vector<std::string> files;
    for (const std::string& input : inputs) {
        const std::string path = absolute(input);
        struct stat info;
        if (::stat(path.c_str(), &info) != 0) {
            problems.push_back(input + ": no such file or folder");
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            files.push_back(path);
            continue;
        }
        std::vector<std::string> found;
        if (DIR* dir = ::opendir(path.c_str())) {
            while (const dirent* entry = ::readdir(dir)) {
                const std::string name = entry->d_name;
                const std::string child = (path == "/" ? "" : path) + "/" + name;
                struct stat childInfo;
                if (name[0] == '.' || ::stat(child.c_str(), &childInfo) != 0 || !S_ISREG(childInfo.st_mode))
                    continue;
                if (hasImageExtension(name) || platform::isDiskImage(child))
                    found.push_back(child);
            }
            ::closedir(dir);
        } else {
            problems.push_back(input + ": the folder cannot be read");
        }
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

int runImageBatch(const BatchRequest& request, const PackOne& packOne, const PrintLine& print)
{
    std::vector<std::string> problems;
    const std::vector<std::string> images = imageFiles(request.inputs, problems);
    for (const std::string& problem : problems)
        print(problem);

    // The count-up names, all of them before the first run: a name that
    // cannot be counted on would give two images one archive.
    std::vector<std::string> names;
    if (!request.label) {
        std::string name = naming::trimmed(request.name);
        for (size_t i = 0; i < images.size(); ++i) {
            if (name.empty()) {
                print(std::string(resSorvane::ResText(300)));
                return 1;
            }
            names.push_back(name);
            if (i + 1 < images.size()) {
                const naming::CountUp next = naming::countUp(name);
                if (!next.counted) {
                    print(std::string(resSorvane::ResText(next.messageId)));
                    print("Images: none packed; the name " + request.name + " cannot count up to "
                        + std::to_string(images.size()) + " images");
                    return 1;
                }
                name = next.name;
            }
        }
    }

    std::vector<std::string> done, failed;
    std::set<std::string> used; // archive names of this batch, compared without case
    for (size_t i = 0; i < images.size(); ++i) {
        const std::string& image = images[i];
        print("[" + std::to_string(i + 1) + "/" + std::to_string(images.size()) + "] " + image);
        auto fail = [&](const std::string& why) {
            print(fileName(image) + ": " + why);
            failed.push_back(fileName(image));
        };
        const platform::Result<char> letter = platform::attachImage(image);
        if (!letter) {
            fail(letter.error().message);
            continue;
        }
        // The whole image is walked first: a damaged one fails here, with its reason.
        const platform::Result<void> walked = platform::walkFolder(std::string{*letter, ':', '\\'}, {},
            [](const platform::WalkEntry&) { return true; });
        std::string name;
        if (!walked) {
            fail(walked.error().message);
        } else {
            name = request.label ? naming::trimmed(naming::driveLabel(*letter)) : names[i];
            if (request.label && !name.empty() && !naming::usableAsFileName(name)) {
                print(fileName(image) + ": the label \"" + name
                    + "\" cannot be a file name; the archive is named after the image file");
                name.clear();
            }
            if (name.empty())
                name = stemOf(image);
            if (request.label && !naming::usableAsFileName(name)) {
                fail("\"" + name + "\" cannot be a file name: rename the image file or give --name");
            } else if (!used.insert(lower(name)).second) {
                fail("the archive name " + name + " is taken by an earlier image of this run");
            } else if (packOne(*letter, name) == 0) {
                done.push_back(fileName(image) + " (" + name + ")");
            } else {
                failed.push_back(fileName(image) + " (" + name + ")");
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
