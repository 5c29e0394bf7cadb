// Free space, files and the folder walk of drive paths, alike on every
// system: a path on a disk image is answered from the image (read only,
// never written), any other from the system (files_os.h).
#include "platform.h"

#include <cstring>

#include "files_os.h"
#include "image_drive.h"

namespace platform {

Error systemError(const std::string& what, int code)
{
    return Error{code, what + ": " + std::strerror(code)};
}

namespace {

// The native path of a drive path that may be written to: none on a disk image.
Result<std::string> writableNative(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (native && images::locateInImage(*native))
        return Error{EROFS, std::string(path) + ": the drive is a disk image, read only"};
    return native;
}

} // namespace

Result<DiskFree> diskFree(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return native.error();
    if (std::optional<images::ImageLocation> where = images::locateInImage(*native)) {
        // An image is read only: its clusters, none of them free.
        Result<std::shared_ptr<const image::Volume>> volume = images::imageVolume(where->image);
        if (!volume)
            return volume.error();
        DiskFree space;
        space.bytesPerSector = (*volume)->geometry().bytesPerSector;
        space.sectorsPerCluster = (*volume)->geometry().sectorsPerCluster;
        space.totalClusters = (*volume)->geometry().clusterCount;
        return space;
    }
    return sys::diskFree(*native, std::string(path));
}

// ── Files and folders ───────────────────────────────────────────────────────

bool canOpenForReading(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return false;
    if (std::optional<images::ImageLocation> where = images::locateInImage(*native)) {
        Result<std::optional<image::Entry>> entry = images::imageEntry(*where);
        return entry && *entry && !(**entry).isFolder() && !where->parts.empty();
    }
    return sys::canOpenForReading(*native);
}

Result<std::string> onDiskName(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return native.error();
    if (std::optional<images::ImageLocation> where = images::locateInImage(*native)) {
        Result<std::optional<image::Entry>> entry = images::imageEntry(*where);
        if (!entry)
            return entry.error();
        if (!*entry)
            return Error{ENOENT, std::string(path) + ": " + std::strerror(ENOENT)};
        return where->parts.empty() ? std::string() : (**entry).name;
    }
    return sys::onDiskName(*native, std::string(path));
}

bool isFolder(std::string_view path)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return false;
    if (std::optional<images::ImageLocation> where = images::locateInImage(*native)) {
        Result<std::optional<image::Entry>> entry = images::imageEntry(*where);
        return entry && *entry && (**entry).isFolder();
    }
    return sys::isFolder(*native);
}

Result<void> checkWritableVolume(std::string_view path)
{
    Result<std::string> native = writableNative(path);
    if (!native)
        return native.error();
    return sys::checkWritableVolume(*native, std::string(path));
}

Result<void> makeFolder(std::string_view path)
{
    Result<std::string> native = writableNative(path);
    if (!native)
        return native.error();
    return sys::makeFolder(*native, std::string(path));
}

Result<void> deleteFile(std::string_view path)
{
    Result<std::string> native = writableNative(path);
    if (!native)
        return native.error();
    return sys::deleteFile(*native, std::string(path));
}

// ── Folder walk ─────────────────────────────────────────────────────────────

Result<void> walkFolder(std::string_view path, const WalkOptions& options,
                        const std::function<bool(const WalkEntry&)>& visit)
{
    Result<std::string> native = toNative(path);
    if (!native)
        return native.error();
    if (std::optional<images::ImageLocation> where = images::locateInImage(*native))
        return images::walkImage(*where, options, visit);
    return sys::walkFolder(*native, std::string(path), options, visit);
}

} // namespace platform
