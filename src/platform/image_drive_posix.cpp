// Disk images as drives on POSIX systems: the image files, and the images in
// the drive map.
#include "image_drive_posix.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <dirent.h>
#include <fcntl.h>
#include <link.h>
#include <sys/stat.h>
#include <unistd.h>

#include "image_drive_os.h"

namespace platform {

namespace {

// Made present before threads start, so that attaching later only replaces its value.
[[maybe_unused]] const bool g_attachedPresent = ::setenv(images::kAttachedVariable, "", 0) == 0;

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

images::os::FileStamp stampFrom(const struct stat& info)
{
    return {static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
        static_cast<std::uint64_t>(info.st_size), info.st_mtim.tv_sec, info.st_mtim.tv_nsec};
}

std::string joinNative(const std::string& folder, const std::string& name)
{
    return folder == "/" ? "/" + name : folder + "/" + name;
}

} // namespace

namespace images::os {

const char* separators()
{
    return "/";
}

Result<FileStamp> stampOf(const std::string& file, const std::string& shown)
{
    struct stat info;
    if (::stat(file.c_str(), &info) != 0)
        return systemError(shown);
    if (!S_ISREG(info.st_mode))
        return Error{EINVAL, shown + ": not a disk image file"};
    return stampFrom(info);
}

bool exists(const std::string& path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0;
}

Result<OpenedFile> openReadOnly(const std::string& file, const std::string& shown)
{
    int fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NOATIME);
    if (fd < 0 && errno == EPERM)
        fd = ::open(file.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    if (fd < 0)
        return systemError(shown);
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
        ::close(fd);
        return Error{EINVAL, shown + ": not a disk image file"};
    }
    return OpenedFile{std::make_shared<ImageFile>(fd, static_cast<std::uint64_t>(opened.st_size)),
        stampFrom(opened)};
}

std::vector<std::string> imageRoots()
{
    std::vector<std::string> roots;
    for (const posix::MappedDrive& mapped : posix::loadDriveMap().drives)
        if (!mapped.drive.image.empty())
            roots.push_back(mapped.drive.image);
    return roots;
}

std::vector<char> folderLetters()
{
    std::vector<char> letters;
    for (const posix::MappedDrive& mapped : posix::loadDriveMap().drives)
        if (mapped.drive.image.empty())
            letters.push_back(mapped.drive.letter);
    return letters;
}

Result<std::string> absoluteImagePath(const std::string& native)
{
    if (native.empty() || native[0] != '/')
        return Error{EINVAL, native + ": the image must be given by an absolute path"};
    return posix::normalizeNative(native);
}

std::string variable(const char* name)
{
    const char* text = std::getenv(name);
    return text ? text : "";
}

void setVariable(const char* name, const std::string& value)
{
    ::setenv(name, value.c_str(), 1);
}

std::string processTag()
{
    return std::to_string(::getpid()) + ":";
}

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

} // namespace images::os

namespace posix {

void markImages(std::vector<MappedDrive>& map)
{
    for (MappedDrive& mapped : map) {
        struct stat info;
        if (mapped.root == "/")
            continue;
        if (::stat(images::imageFileOf(mapped.root).c_str(), &info) == 0 && S_ISREG(info.st_mode))
            mapped.drive.image = mapped.root = images::imageRoot(mapped.root);
    }
}

void applyAttachedImage(std::vector<MappedDrive>& map)
{
    const std::string text = images::os::variable(images::kAttachedVariable);
    if (!images::attachedLetter() || text[2] != '/')
        return;
    MappedDrive mapped;
    mapped.drive.letter = text[0];
    mapped.drive.kind = (text[0] == 'a' || text[0] == 'b') ? DriveKind::Removable : DriveKind::Fixed;
    mapped.root = normalizeNative(text.substr(2));
    mapped.drive.image = mapped.root;
    map.erase(std::remove_if(map.begin(), map.end(),
                  [&](const MappedDrive& old) { return old.drive.letter == mapped.drive.letter; }),
        map.end());
    map.push_back(std::move(mapped));
    std::sort(map.begin(), map.end(),
        [](const MappedDrive& a, const MappedDrive& b) { return a.drive.letter < b.drive.letter; });
}

} // namespace posix

std::vector<std::string> imageFiles(const std::vector<std::string>& inputs, std::vector<std::string>& problems)
{
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
            if (images::hasImageExtension(name) || isDiskImage(child))
                found.push_back(child);
        }
        ::closedir(dir);
        std::sort(found.begin(), found.end());
        files.insert(files.end(), found.begin(), found.end());
    }
    return files;
}

} // namespace platform
