// Disk images as drives: the part that is the same on every system.
#include "image_drive.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include "dialect.h"
#include "image_drive_os.h"
#include "partitions.h"

namespace platform {

namespace {

// The open images kept for the next look-up hold their FAT tables: no more
// than this together, beside the one in use, so that a batch of large images
// holds one of them at a time.
constexpr std::uint64_t kOpenImageBytes = 64ull << 20;
// And at most this many images are held open: each holds its file open, and a
// pile of thousands of small images would use up the process's descriptors.
constexpr std::size_t kOpenImageCount = 16;

struct OpenImage {
    std::string native;
    images::os::FileStamp stamp;
    std::shared_ptr<const image::Volume> volume;
    std::uint64_t bytes = 0; // its tables
};

struct ImageCache {
    std::mutex lock;
    std::list<OpenImage> open; // most recently used first
    std::uint64_t bytes = 0;   // their tables together

    // Drops the least recently used images until `more` bytes and `coming`
    // images fit beside the rest (keeping `keep` images at the front). Called
    // with the lock held.
    void makeRoom(std::uint64_t more, std::size_t coming, std::size_t keep)
    {
        while (open.size() > keep && (bytes + more > kOpenImageBytes || open.size() + coming > kOpenImageCount)) {
            bytes -= open.back().bytes;
            open.pop_back();
        }
    }
    void forget(const std::string& native)
    {
        for (auto it = open.begin(); it != open.end();) {
            if (it->native == native) {
                bytes -= it->bytes;
                it = open.erase(it);
            } else {
                ++it;
            }
        }
    }
};

ImageCache& imageCache()
{
    static ImageCache cache;
    return cache;
}

char separator()
{
    return images::os::separators()[0];
}

bool isSeparator(char c)
{
    return std::strchr(images::os::separators(), c) != nullptr && c != '\0';
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    if (!folder.empty() && isSeparator(folder.back()))
        return folder + name;
    return folder + separator() + name;
}

class ImageStream final : public FileStream {
public:
    ImageStream(std::shared_ptr<const image::Volume> volume, const image::Entry& entry)
        : m_reader(std::move(volume), entry)
    {
    }
    long read(void* buffer, std::size_t size) override { return m_reader.read(buffer, size); }
    int error() const override { return m_reader.error(); }

private:
    image::FileReader m_reader;
};

// An image's address: the file, and which of its FAT partitions ("HDD.HDI#2",
// or "HDD.HDI/#2" as the drive's root; 0 when none is named: the first, or
// the whole disk). A file whose own name ends in "#N" is that file.
struct ImageAddress {
    std::string file;
    unsigned partition = 0;
    bool numbered = false;
    // The drive's root: below the image file, as every path inside an image
    // is, so that whatever opens such a path meets a file where a folder
    // should be and turns to the image.
    std::string root() const { return numbered ? joinNative(file, "#" + std::to_string(partition)) : file; }
    // As messages name it.
    std::string shown() const { return numbered ? file + "#" + std::to_string(partition) : file; }
};

std::optional<ImageAddress> splitAddress(const std::string& native)
{
    const size_t hash = native.rfind('#');
    if (hash == std::string::npos || hash + 1 >= native.size() || native.size() - hash > 6
        || native.find_first_of(images::os::separators(), hash) != std::string::npos)
        return std::nullopt;
    unsigned number = 0;
    for (size_t i = hash + 1; i < native.size(); ++i) {
        if (native[i] < '0' || native[i] > '9')
            return std::nullopt;
        number = number * 10 + static_cast<unsigned>(native[i] - '0');
    }
    if (hash > 0 && isSeparator(native[hash - 1]))
        return ImageAddress{native.substr(0, hash - 1), number, true};
    if (images::os::exists(native))
        return std::nullopt; // a file of that very name
    return ImageAddress{native.substr(0, hash), number, true};
}

ImageAddress addressOf(const std::string& native)
{
    if (std::optional<ImageAddress> split = splitAddress(native))
        return *split;
    return ImageAddress{native, 0};
}

Result<std::shared_ptr<const image::Volume>> openImage(const std::string& native);

// The program and each archiver module it loads hold a copy of this layer of
// their own (it is linked into each of them). Left alone, the program's copy
// and a module's would each open the image a run packs, and hold its FAT
// twice. So the program's copy publishes its opener in the environment, as
// this process's, and the modules' copies open images through it: one
// cache, and one FAT, in the process.
struct ImageOpener {
    std::uint64_t layout; // of what passes between the copies
    Result<std::shared_ptr<const image::Volume>> (*open)(const std::string& native);
};

constexpr const char* kOpenerVariable = "SORVANE2_IMAGE_OPENER";
constexpr std::uint64_t kOpenerLayout = 0x534F52564F4C0001ull ^ (std::uint64_t{sizeof(image::Volume)} << 40)
    ^ (std::uint64_t{sizeof(image::Geometry)} << 28) ^ (std::uint64_t{sizeof(image::Entry)} << 16)
    ^ std::uint64_t{sizeof(Result<std::shared_ptr<const image::Volume>>)};

const ImageOpener g_ownOpener{kOpenerLayout, &openImage};

// Run as each copy starts (for the program's, before its threads do).
const ImageOpener* shareOpener()
{
    const std::string self = images::os::processTag();
    if (images::os::inProgram(&g_ownOpener)) {
        char value[64];
        std::snprintf(value, sizeof value, "%p", static_cast<const void*>(&g_ownOpener));
        images::os::setVariable(kOpenerVariable, self + value);
        return &g_ownOpener;
    }
    // A module: the program's opener when this process's program published one.
    const std::string text = images::os::variable(kOpenerVariable);
    if (text.compare(0, self.size(), self) != 0)
        return &g_ownOpener;
    void* address = nullptr;
    if (std::sscanf(text.c_str() + self.size(), "%p", &address) != 1 || !address || !images::os::inProgram(address))
        return &g_ownOpener;
    const auto* published = static_cast<const ImageOpener*>(address);
    return published->layout == kOpenerLayout ? published : &g_ownOpener;
}

const ImageOpener* const g_opener = shareOpener();

Result<std::shared_ptr<const image::Volume>> openImage(const std::string& native)
{
    const ImageAddress address = addressOf(native);
    const std::string shown = address.shown();
    Result<images::os::FileStamp> stamp = images::os::stampOf(address.file, shown);
    if (!stamp)
        return stamp.error();
    if (address.numbered && address.partition == 0)
        return Error{EINVAL, shown + ": partitions count from #1"};
    ImageCache& cache = imageCache();
    {
        std::lock_guard guard(cache.lock);
        for (auto it = cache.open.begin(); it != cache.open.end(); ++it) {
            if (it->native == native && it->stamp == *stamp) {
                cache.open.splice(cache.open.begin(), cache.open, it);
                return cache.open.front().volume;
            }
        }
    }
    Result<images::os::OpenedFile> opened = images::os::openReadOnly(address.file, shown);
    if (!opened)
        return opened.error();
    Result<std::shared_ptr<const image::Disk>> disk = image::openDisk(opened->bytes);
    if (!disk)
        return Error{disk.error().code, shown + ": " + disk.error().message};
    Result<std::uint64_t> needed = image::Volume::memoryNeeded(**disk, address.partition);
    if (!needed)
        return Error{needed.error().code, shown + ": " + needed.error().message};
    const std::uint64_t bytes = *needed;
    {
        // Room first: the tables given up go before the new one is read.
        std::lock_guard guard(cache.lock);
        cache.forget(native);
        cache.makeRoom(bytes, 1, 0);
    }
    Result<std::shared_ptr<image::Volume>> volume = image::Volume::open(*disk, address.partition);
    if (!volume)
        return Error{volume.error().code, shown + ": " + volume.error().message};
    OpenImage entry{native, opened->stamp, *volume, bytes};
    std::lock_guard guard(cache.lock);
    cache.forget(native);
    cache.open.push_front(entry);
    cache.bytes += bytes;
    cache.makeRoom(0, 0, 1);
    return entry.volume;
}

} // namespace

namespace images {

Result<std::shared_ptr<const image::Volume>> imageVolume(const std::string& native)
{
    return g_opener->open(native);
}

std::optional<ImageLocation> locateInImage(const std::vector<std::string>& roots, std::string_view native)
{
    const std::string* best = nullptr;
    for (const std::string& root : roots) {
        if (root.empty() || native.size() < root.size() || native.compare(0, root.size(), root) != 0
            || (native.size() > root.size() && !isSeparator(native[root.size()])))
            continue;
        if (!best || root.size() > best->size())
            best = &root;
    }
    if (!best)
        return std::nullopt;
    ImageLocation where;
    where.image = *best;
    where.parts = dialect::splitElements(native.substr(where.image.size()), os::separators());
    return where;
}

std::optional<ImageLocation> locateInImage(std::string_view native)
{
    return locateInImage(os::imageRoots(), native);
}

std::string imageNative(const std::string& image, const std::vector<std::string>& parts)
{
    std::string native = image;
    Result<std::shared_ptr<const image::Volume>> volume = imageVolume(image);
    std::vector<std::string> found;
    bool resolving = volume.ok();
    for (const std::string& part : parts) {
        std::string element = part;
        if (resolving) {
            found.push_back(part);
            Result<std::optional<image::Entry>> entry = (*volume)->find(found);
            if (entry && *entry)
                element = found.back() = (**entry).name;
            else
                resolving = false; // nothing below a missing element exists either
        }
        native = joinNative(native, element);
    }
    return native;
}

Result<std::optional<image::Entry>> imageEntry(const ImageLocation& where)
{
    Result<std::shared_ptr<const image::Volume>> volume = imageVolume(where.image);
    if (!volume)
        return volume.error();
    Result<std::optional<image::Entry>> entry = (*volume)->find(where.parts);
    if (!entry)
        return Error{entry.error().code, where.image + ": " + entry.error().message};
    return entry;
}

Result<void> walkImage(const ImageLocation& where, const WalkOptions& options,
                       const std::function<bool(const WalkEntry&)>& visit)
{
    Result<std::shared_ptr<const image::Volume>> volume = imageVolume(where.image);
    if (!volume)
        return volume.error();
    Result<std::optional<image::Entry>> start = (*volume)->find(where.parts);
    if (!start)
        return Error{start.error().code, where.image + ": " + start.error().message};
    if (!*start || !(**start).isFolder())
        return Error{ENOTDIR, imageNative(where.image, where.parts) + ": not a folder in the image"};
    std::string base = where.image;
    for (const std::string& part : where.parts)
        base = joinNative(base, part);
    Result<void> walked = image::walk(**volume, **start, options.recurse, [&](const image::WalkItem& item) {
        WalkEntry entry;
        std::string native = base;
        for (const std::string& part : item.relative) {
            entry.relative += (entry.relative.empty() ? "" : "\\") + part;
            native = joinNative(native, part);
        }
        entry.native = native;
        entry.type = item.entry.isFolder() ? EntryType::Folder : EntryType::File;
        entry.size = item.entry.size;
        entry.mtime = item.entry.mtime;
        entry.hidden = (item.entry.attributes & image::kAttrHidden) || item.entry.name[0] == '.';
        entry.system = (item.entry.attributes & image::kAttrSystem) != 0;
        entry.readOnly = (item.entry.attributes & image::kAttrReadOnly) != 0;
        return visit(entry);
    });
    if (!walked)
        return Error{walked.error().code, where.image + ": " + walked.error().message};
    return {};
}

std::string imageRoot(const std::string& native)
{
    return addressOf(native).root();
}

std::string imageFileOf(const std::string& native)
{
    return addressOf(native).file;
}

bool hasImageExtension(const std::string& name)
{
    const size_t dot = name.rfind('.');
    if (dot == std::string::npos)
        return false;
    std::string extension = name.substr(dot + 1);
    for (char& c : extension)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::vector<std::string>& known = imageExtensions();
    return std::find(known.begin(), known.end(), extension) != known.end();
}

char attachedLetter()
{
    const std::string text = os::variable(kAttachedVariable);
    if (text.size() < 4 || text[1] != '=' || text[0] < 'a' || text[0] > 'z')
        return 0;
    return text[0];
}

} // namespace images

// ── The public calls ────────────────────────────────────────────────────────

Result<void> checkDiskImage(const std::string& nativePath)
{
    Result<std::shared_ptr<const image::Volume>> volume = images::imageVolume(nativePath);
    if (!volume)
        return volume.error();
    return {};
}

bool isDiskImage(const std::string& nativePath)
{
    return checkDiskImage(nativePath).ok();
}

Result<unsigned> imagePartitionCount(const std::string& nativePath)
{
    // The first volume opens as a drive would, so that an image that cannot
    // be one fails here with the same reason.
    if (Result<void> usable = checkDiskImage(nativePath); !usable)
        return usable.error();
    const ImageAddress address = addressOf(nativePath);
    Result<images::os::OpenedFile> opened = images::os::openReadOnly(address.file, address.shown());
    if (!opened)
        return opened.error();
    Result<std::shared_ptr<const image::Disk>> disk = image::openDisk(opened->bytes);
    if (!disk)
        return Error{disk.error().code, address.shown() + ": " + disk.error().message};
    Result<unsigned> count = image::fatPartitionCount(**disk);
    if (!count)
        return Error{count.error().code, address.shown() + ": " + count.error().message};
    return std::max(1u, *count);
}

Result<char> attachImage(const std::string& nativePath, char letter)
{
    Result<std::string> absolute = images::os::absoluteImagePath(nativePath);
    if (!absolute)
        return absolute.error();
    const std::string native = addressOf(*absolute).root();
    if (Result<void> usable = checkDiskImage(native); !usable)
        return usable.error();
    detachImage();
    const std::vector<char> used = images::os::folderLetters();
    auto taken = [&](char c) { return std::find(used.begin(), used.end(), c) != used.end(); };
    if (letter >= 'A' && letter <= 'Z')
        letter = static_cast<char>(letter - 'A' + 'a');
    if (letter < 'a' || letter > 'z' || taken(letter)) {
        letter = 0;
        for (char c = 'a'; c < 'z' && !letter; ++c)
            if (!taken(c))
                letter = c;
    }
    if (!letter)
        return Error{ENOSPC, "no drive letter is free for the image"};
    images::os::setVariable(images::kAttachedVariable, std::string{letter, '='} + native);
    return letter;
}

void detachImage()
{
    if (!images::os::variable(images::kAttachedVariable).empty())
        images::os::setVariable(images::kAttachedVariable, "");
}

void closeImages()
{
    ImageCache& cache = imageCache();
    std::lock_guard guard(cache.lock);
    cache.open.clear();
    cache.bytes = 0;
}

std::string attachedImage()
{
    const std::string text = images::os::variable(images::kAttachedVariable);
    return text.size() > 2 ? text.substr(2) : std::string();
}

const std::vector<std::string>& imageExtensions()
{
    static const std::vector<std::string> extensions = {"img", "ima", "vfd", "flp", "dsk", "hdm", "xdf", "d88",
        "d68", "d77", "d98", "88d", "98d", "fdi", "fdd", "nfd", "dcp", "dcu", "dim", "imd", "td0", "cqm", "hdi",
        "nhd", "thd", "hdd", "slh", "cfi"};
    return extensions;
}

std::unique_ptr<FileStream> openImageFile(const std::string& nativePath)
{
    std::optional<images::ImageLocation> where = images::locateInImage(nativePath);
    if (!where) {
        errno = ENOENT;
        return nullptr;
    }
    Result<std::shared_ptr<const image::Volume>> volume = images::imageVolume(where->image);
    if (!volume) {
        errno = volume.error().code ? volume.error().code : EIO;
        return nullptr;
    }
    Result<std::optional<image::Entry>> entry = (*volume)->find(where->parts);
    if (!entry || !*entry) {
        errno = entry ? ENOENT : EIO;
        return nullptr;
    }
    if ((**entry).isFolder() || where->parts.empty()) {
        errno = EISDIR;
        return nullptr;
    }
    return std::make_unique<ImageStream>(*volume, **entry);
}

} // namespace platform
