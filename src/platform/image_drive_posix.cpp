// Disk images as drives on POSIX systems.
#include "image_drive_posix.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <list>
#include <mutex>

#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "dialect.h"
#include "partitions.h"

namespace platform {

namespace {

constexpr const char* kAttachedVariable = "SORVANE2_ATTACHED_IMAGE";
// The open images kept for the next look-up hold their FAT tables: no more
// than this together, beside the one in use, so that a batch of large images
// holds one of them at a time.
constexpr std::uint64_t kOpenImageBytes = 64ull << 20;
// And at most this many images are held open: each holds its file open, and a
// pile of thousands of small images would use up the process's descriptors.
constexpr std::size_t kOpenImageCount = 16;

// Made present before threads start, so that attaching later only replaces its value.
[[maybe_unused]] const bool g_attachedPresent = ::setenv(kAttachedVariable, "", 0) == 0;

// The image file, opened read only; reading it never changes its access time
// where the system lets us ask for that.
class ImageFile final : public image::ByteFile {
public:
    ImageFile(int fd, std::uint64_t size) : m_fd(fd), m_size(size) {}
    ~ImageFile() override { ::close(m_fd); }
    long readAt(std::uint64_t offset, void* buffer, std::size_t size) const override
    {
        std::size_t done = 0;
        while (done < size) {
            const ssize_t got = ::pread(m_fd, static_cast<char*>(buffer) + done, size - done,
                static_cast<off_t>(offset + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                return -1;
            if (got == 0)
                break;
            done += static_cast<std::size_t>(got);
        }
        return static_cast<long>(done);
    }
    std::uint64_t size() const override { return m_size; }

private:
    int m_fd;
    std::uint64_t m_size;
};

struct OpenImage {
    std::string native;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
    timespec modified{};
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

bool sameFile(const OpenImage& image, const struct stat& info)
{
    return image.device == info.st_dev && image.inode == info.st_ino && image.size == info.st_size
        && image.modified.tv_sec == info.st_mtim.tv_sec && image.modified.tv_nsec == info.st_mtim.tv_nsec;
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
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
    std::string root() const { return numbered ? file + "/#" + std::to_string(partition) : file; }
    // As messages name it.
    std::string shown() const { return numbered ? file + "#" + std::to_string(partition) : file; }
};

std::optional<ImageAddress> splitAddress(const std::string& native)
{
    const size_t hash = native.rfind('#');
    if (hash == std::string::npos || hash + 1 >= native.size() || native.size() - hash > 6
        || native.find('/', hash) != std::string::npos)
        return std::nullopt;
    unsigned number = 0;
    for (size_t i = hash + 1; i < native.size(); ++i) {
        if (native[i] < '0' || native[i] > '9')
            return std::nullopt;
        number = number * 10 + static_cast<unsigned>(native[i] - '0');
    }
    if (hash > 0 && native[hash - 1] == '/')
        return ImageAddress{native.substr(0, hash - 1), number, true};
    struct stat info;
    if (::stat(native.c_str(), &info) == 0)
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
// this process's (by its pid), and the modules' copies open images through
// it: one cache, and one FAT, in the process.
struct ImageOpener {
    std::uint64_t layout; // of what passes between the copies
    Result<std::shared_ptr<const image::Volume>> (*open)(const std::string& native);
};

constexpr const char* kOpenerVariable = "SORVANE2_IMAGE_OPENER";
constexpr std::uint64_t kOpenerLayout = 0x534F52564F4C0001ull ^ (std::uint64_t{sizeof(image::Volume)} << 40)
    ^ (std::uint64_t{sizeof(image::Geometry)} << 28) ^ (std::uint64_t{sizeof(image::Entry)} << 16)
    ^ std::uint64_t{sizeof(Result<std::shared_ptr<const image::Volume>>)};

// Whether `address` lies in the program itself (not in a module it loaded).
bool inProgram(const void* address)
{
    struct Search {
        std::uintptr_t address;
        bool found = false;
    } search{reinterpret_cast<std::uintptr_t>(address)};
    ::dl_iterate_phdr(
        [](dl_phdr_info* info, std::size_t, void* data) {
            auto* s = static_cast<Search*>(data);
            for (int i = 0; i < info->dlpi_phnum; ++i) {
                const ElfW(Phdr)& segment = info->dlpi_phdr[i];
                const std::uintptr_t start = info->dlpi_addr + segment.p_vaddr;
                if (segment.p_type == PT_LOAD && s->address >= start && s->address < start + segment.p_memsz)
                    s->found = true;
            }
            return 1; // the program comes first: no further
        },
        &search);
    return search.found;
}

const ImageOpener g_ownOpener{kOpenerLayout, &openImage};

// Run as each copy starts (for the program's, before its threads do).
const ImageOpener* shareOpener()
{
    const std::string self = std::to_string(::getpid()) + ":";
    if (inProgram(&g_ownOpener)) {
        char value[64];
        std::snprintf(value, sizeof value, "%s%p", self.c_str(), static_cast<const void*>(&g_ownOpener));
        ::setenv(kOpenerVariable, value, 1);
        return &g_ownOpener;
    }
    // A module: the program's opener when this process's program published one.
    const char* text = std::getenv(kOpenerVariable);
    if (!text || std::strncmp(text, self.c_str(), self.size()) != 0)
        return &g_ownOpener;
    const void* address = nullptr;
    if (std::sscanf(text + self.size(), "%p", &address) != 1 || !address || !inProgram(address))
        return &g_ownOpener;
    const auto* published = static_cast<const ImageOpener*>(address);
    return published->layout == kOpenerLayout ? published : &g_ownOpener;
}

const ImageOpener* const g_opener = shareOpener();

} // namespace

namespace posix {

Result<std::shared_ptr<const image::Volume>> imageVolume(const std::string& native)
{
    return g_opener->open(native);
}

} // namespace posix

namespace {

Result<std::shared_ptr<const image::Volume>> openImage(const std::string& native)
{
    const ImageAddress address = addressOf(native);
    const std::string shown = address.shown();
    struct stat info;
    if (::stat(address.file.c_str(), &info) != 0)
        return systemError(shown);
    if (!S_ISREG(info.st_mode))
        return Error{EINVAL, shown + ": not a disk image file"};
    if (address.numbered && address.partition == 0)
        return Error{EINVAL, shown + ": partitions count from #1"};
    ImageCache& cache = imageCache();
    {
        std::lock_guard guard(cache.lock);
        for (auto it = cache.open.begin(); it != cache.open.end(); ++it) {
            if (it->native == native && sameFile(*it, info)) {
                cache.open.splice(cache.open.begin(), cache.open, it);
                return cache.open.front().volume;
            }
        }
    }
    int fd = ::open(address.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(address.file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return systemError(shown);
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return Error{EINVAL, shown + ": not a disk image file"};
    }
    auto file = std::make_shared<ImageFile>(fd, static_cast<std::uint64_t>(opened.st_size));
    Result<std::shared_ptr<const image::Disk>> disk = image::openDisk(file);
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
    OpenImage entry{native, opened.st_dev, opened.st_ino, opened.st_size, opened.st_mtim, *volume, bytes};
    std::lock_guard guard(cache.lock);
    cache.forget(native);
    cache.open.push_front(entry);
    cache.bytes += bytes;
    cache.makeRoom(0, 0, 1);
    return entry.volume;
}

} // namespace

namespace posix {

std::optional<ImageLocation> locateInImage(const DriveMap& map, std::string_view native)
{
    const MappedDrive* best = nullptr;
    for (const MappedDrive& mapped : map.drives) {
        const std::string& root = mapped.drive.image;
        if (root.empty() || native.size() < root.size() || native.compare(0, root.size(), root) != 0
            || (native.size() > root.size() && native[root.size()] != '/'))
            continue;
        if (!best || root.size() > best->drive.image.size())
            best = &mapped;
    }
    if (!best)
        return std::nullopt;
    ImageLocation where;
    where.image = best->drive.image;
    where.parts = dialect::splitElements(native.substr(where.image.size()), "/");
    return where;
}

std::optional<ImageLocation> locateInImage(std::string_view native)
{
    return locateInImage(loadDriveMap(), native);
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

void markImages(std::vector<MappedDrive>& map)
{
    for (MappedDrive& mapped : map) {
        struct stat info;
        if (mapped.root == "/")
            continue;
        const ImageAddress address = addressOf(mapped.root);
        if (::stat(address.file.c_str(), &info) == 0 && S_ISREG(info.st_mode))
            mapped.drive.image = mapped.root = address.root();
    }
}

void applyAttachedImage(std::vector<MappedDrive>& map)
{
    const char* text = std::getenv(kAttachedVariable);
    if (!text || std::strlen(text) < 4 || text[1] != '=' || text[0] < 'a' || text[0] > 'z' || text[2] != '/')
        return;
    MappedDrive mapped;
    mapped.drive.letter = text[0];
    mapped.drive.kind = (text[0] == 'a' || text[0] == 'b') ? DriveKind::Removable : DriveKind::Fixed;
    mapped.root = normalizeNative(text + 2);
    mapped.drive.image = mapped.root;
    map.erase(std::remove_if(map.begin(), map.end(),
                  [&](const MappedDrive& old) { return old.drive.letter == mapped.drive.letter; }),
        map.end());
    map.push_back(std::move(mapped));
    std::sort(map.begin(), map.end(),
        [](const MappedDrive& a, const MappedDrive& b) { return a.drive.letter < b.drive.letter; });
}

} // namespace posix

// ── The public calls ────────────────────────────────────────────────────────

Result<void> checkDiskImage(const std::string& nativePath)
{
    Result<std::shared_ptr<const image::Volume>> volume = posix::imageVolume(nativePath);
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
    const std::string& file = address.file;
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    struct stat opened;
    if (fd < 0)
        return systemError(address.shown());
    if (::fstat(fd, &opened) != 0) {
        const int code = errno;
        ::close(fd);
        return systemError(address.shown(), code);
    }
    auto bytes = std::make_shared<ImageFile>(fd, static_cast<std::uint64_t>(opened.st_size));
    Result<std::shared_ptr<const image::Disk>> disk = image::openDisk(bytes);
    if (!disk)
        return Error{disk.error().code, address.shown() + ": " + disk.error().message};
    Result<unsigned> count = image::fatPartitionCount(**disk);
    if (!count)
        return Error{count.error().code, address.shown() + ": " + count.error().message};
    return std::max(1u, *count);
}

Result<char> attachImage(const std::string& nativePath, char letter)
{
    if (nativePath.empty() || nativePath[0] != '/')
        return Error{EINVAL, nativePath + ": the image must be given by an absolute path"};
    const std::string native = addressOf(posix::normalizeNative(nativePath)).root();
    if (Result<void> usable = checkDiskImage(native); !usable)
        return usable.error();
    detachImage();
    const posix::DriveMap map = posix::loadDriveMap();
    auto taken = [&](char c) {
        return std::any_of(map.drives.begin(), map.drives.end(),
            [&](const posix::MappedDrive& m) { return m.drive.letter == c && m.drive.image.empty(); });
    };
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
    const std::string value = std::string{letter, '='} + native;
    ::setenv(kAttachedVariable, value.c_str(), 1);
    return letter;
}

void detachImage()
{
    if (std::getenv(kAttachedVariable))
        ::setenv(kAttachedVariable, "", 1);
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
    const char* text = std::getenv(kAttachedVariable);
    return text && std::strlen(text) > 2 ? std::string(text + 2) : std::string();
}

const std::vector<std::string>& imageExtensions()
{
    static const std::vector<std::string> extensions = {"img", "ima", "vfd", "flp", "dsk", "hdm", "xdf", "d88",
        "d68", "d77", "d98", "88d", "98d", "fdi", "fdd", "nfd", "dcp", "dcu", "dim", "imd", "td0", "cqm", "hdi",
        "nhd", "thd", "hdd", "cfi"};
    return extensions;
}

std::vector<std::string> imageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& problems)
{
    auto hasImageExtension = [](const std::string& name) {
        const size_t dot = name.rfind('.');
        if (dot == std::string::npos)
            return false;
        std::string extension = name.substr(dot + 1);
        for (char& c : extension)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const std::vector<std::string>& known = imageExtensions();
        return std::find(known.begin(), known.end(), extension) != known.end();
    };
    std::string cwd = "/";
    if (char* here = ::getcwd(nullptr, 0)) {
        cwd = here;
        std::free(here);
    }
    std::vector<std::string> files;
    for (const std::string& input : inputs) {
        const std::string path = !input.empty() && input[0] == '/' ? input : joinNative(cwd, input);
        struct stat info;
        if (::stat(path.c_str(), &info) != 0) {
            problems.push_back(input + ": " + std::strerror(errno));
            continue;
        }
        if (!S_ISDIR(info.st_mode)) {
            files.push_back(path);
            continue;
        }
        DIR* dir = ::opendir(path.c_str());
        if (!dir) {
            problems.push_back(input + ": the folder cannot be read: " + std::strerror(errno));
            continue;
        }
        std::vector<std::string> found;
        while (const dirent* entry = ::readdir(dir)) {
            const std::string name = entry->d_name;
            const std::string child = joinNative(path, name);
            struct stat childInfo;
            if (name[0] == '.' || ::stat(child.c_str(), &childInfo) != 0 || !S_ISREG(childInfo.st_mode))
                continue;
            if (hasImageExtension(name) || isDiskImage(child))
                found.push_back(child);
        }
        ::closedir(dir);
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

std::unique_ptr<FileStream> openImageFile(const std::string& nativePath)
{
    std::optional<posix::ImageLocation> where = posix::locateInImage(nativePath);
    if (!where) {
        errno = ENOENT;
        return nullptr;
    }
    Result<std::shared_ptr<const image::Volume>> volume = posix::imageVolume(where->image);
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
