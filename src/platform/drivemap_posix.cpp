// The drive map of POSIX systems: SORVANE2_DRIVES, or z:, c: and the mounted volumes.
#include "drivemap_posix.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <unistd.h>

#include "image_drive_posix.h"

namespace platform::posix {

namespace {

constexpr const char* kOverrideVariable = "SORVANE2_DRIVES";

// Mount points below these folders are removable or external volumes.
constexpr std::string_view kVolumeParents[] = {"/media/", "/run/media/", "/mnt/"};

// File systems reached over a network: shown with their remote path.
constexpr std::string_view kNetworkTypes[] = {"cifs", "smb3", "smbfs", "nfs", "nfs4",
                                              "fuse.sshfs", "9p", "afs"};

std::string trim(std::string_view text)
{
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && (text[begin] == ' ' || text[begin] == '\t'))
        ++begin;
    while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t'))
        --end;
    return std::string(text.substr(begin, end - begin));
}

// mountinfo escapes space, tab, newline and backslash as \ooo.
std::string unescapeOctal(std::string_view text)
{
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && text.size() - i >= 4) {
            const char a = text[i + 1], b = text[i + 2], c = text[i + 3];
            if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
                out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
                i += 3;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

// "//server/share/dir" or "server:/export/dir" -> "\\server\share\dir".
std::string remotePathOf(const std::string& source)
{
    std::string path;
    if (source.rfind("//", 0) == 0) {
        path = source.substr(2);
    } else if (size_t colon = source.find(":/"); colon != std::string::npos) {
        path = source.substr(0, colon) + source.substr(colon + 1);
    } else {
        path = source;
    }
    std::replace(path.begin(), path.end(), '/', '\\');
    while (!path.empty() && path.back() == '\\')
        path.pop_back();
    return "\\\\" + path;
}

bool isNetworkType(std::string_view type)
{
    return std::find(std::begin(kNetworkTypes), std::end(kNetworkTypes), type)
        != std::end(kNetworkTypes);
}

void sortByLetter(std::vector<MappedDrive>& map)
{
    std::sort(map.begin(), map.end(), [](const MappedDrive& a, const MappedDrive& b) {
        return a.drive.letter < b.drive.letter;
    });
}

MappedDrive rootDrive()
{
    MappedDrive z;
    z.drive.letter = 'z';
    z.drive.kind = DriveKind::Fixed;
    z.root = "/";
    return z;
}

} // namespace

std::string normalizeNative(std::string_view path)
{
    std::string out;
    for (char c : path) {
        if (c == '/' && !out.empty() && out.back() == '/')
            continue;
        out += c;
    }
    while (out.size() > 1 && out.back() == '/')
        out.pop_back();
    return out;
}

Result<std::vector<MappedDrive>> parseDriveOverride(std::string_view text)
{
    std::vector<MappedDrive> map;
    bool seen[26] = {};
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(';', start);
        if (end == std::string_view::npos)
            end = text.size();
        const std::string entry = trim(text.substr(start, end - start));
        start = end + 1;
        if (entry.empty())
            continue;

        const size_t equals = entry.find('=');
        std::string letterText = trim(std::string_view(entry).substr(0, std::min(equals, entry.size())));
        if (equals == std::string::npos || letterText.size() != 1
            || !std::isalpha(static_cast<unsigned char>(letterText[0])))
            return Error{EINVAL, "\"" + entry + "\": expected letter=folder[|label]"};
        const char letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letterText[0])));
        if (seen[letter - 'a'])
            return Error{EINVAL, "\"" + entry + "\": drive " + letterText + ": is given twice"};
        seen[letter - 'a'] = true;

        std::string value = entry.substr(equals + 1);
        std::string label;
        bool labelGiven = false;
        if (size_t bar = value.find('|'); bar != std::string::npos) {
            label = value.substr(bar + 1);
            value = value.substr(0, bar);
            labelGiven = true;
        }
        value = trim(value);
        if (value.empty() || value[0] != '/')
            return Error{EINVAL, "\"" + entry + "\": the folder must be an absolute path"};

        MappedDrive mapped;
        mapped.drive.letter = letter;
        mapped.root = normalizeNative(value);
        mapped.labelGiven = labelGiven;
        if (label.rfind("\\\\", 0) == 0) {
            mapped.drive.kind = DriveKind::Network;
            mapped.drive.remotePath = label;
        } else {
            mapped.drive.kind = (letter == 'a' || letter == 'b') ? DriveKind::Removable
                                                                 : DriveKind::Fixed;
            mapped.drive.label = label;
        }
        map.push_back(std::move(mapped));
        if (end == text.size())
            break;
    }
    if (!seen['z' - 'a'])
        map.push_back(rootDrive());
    sortByLetter(map);
    return map;
}

std::vector<MappedDrive> automaticDriveMap(std::string_view mountinfo, const std::string& home)
{
    std::vector<MappedDrive> map;
    map.push_back(rootDrive());
    MappedDrive c;
    c.drive.letter = 'c';
    c.root = normalizeNative(home.empty() ? "/" : home);
    map.push_back(c);

    struct Volume {
        std::string mountPoint, type, source;
    };
    std::vector<Volume> volumes;
    std::istringstream lines{std::string(mountinfo)};
    std::string line;
    while (std::getline(lines, line)) {
        // id parent major:minor root mountpoint options [optional...] - type source superoptions
        std::istringstream fields(line);
        std::vector<std::string> parts;
        for (std::string field; fields >> field;)
            parts.push_back(field);
        const auto dash = std::find(parts.begin(), parts.end(), "-");
        if (parts.size() < 5 || dash == parts.end() || parts.end() - dash < 3)
            continue;
        Volume volume{unescapeOctal(parts[4]), *(dash + 1), unescapeOctal(*(dash + 2))};
        const bool below = std::any_of(std::begin(kVolumeParents), std::end(kVolumeParents),
            [&](std::string_view parent) {
                return volume.mountPoint.size() > parent.size()
                    && volume.mountPoint.compare(0, parent.size(), parent) == 0;
            });
        if (!below)
            continue;
        // A later mount on the same point hides the earlier one.
        volumes.erase(std::remove_if(volumes.begin(), volumes.end(),
                          [&](const Volume& v) { return v.mountPoint == volume.mountPoint; }),
            volumes.end());
        volumes.push_back(std::move(volume));
    }
    std::sort(volumes.begin(), volumes.end(),
        [](const Volume& a, const Volume& b) { return a.mountPoint < b.mountPoint; });

    char next = 'a';
    for (const Volume& volume : volumes) {
        while (next == 'c')
            ++next;
        if (next >= 'z')
            break;
        MappedDrive mapped;
        mapped.drive.letter = next++;
        mapped.root = normalizeNative(volume.mountPoint);
        if (isNetworkType(volume.type)) {
            mapped.drive.kind = DriveKind::Network;
            mapped.drive.remotePath = remotePathOf(volume.source);
        } else {
            mapped.drive.kind = DriveKind::Removable;
            mapped.device = volume.source;
        }
        map.push_back(std::move(mapped));
    }
    sortByLetter(map);
    return map;
}

DriveMap loadDriveMap()
{
    DriveMap result;
    if (const char* text = std::getenv(kOverrideVariable); text && *text) {
        Result<std::vector<MappedDrive>> parsed = parseDriveOverride(text);
        if (parsed) {
            result.drives = std::move(parsed).value();
            markImages(result.drives);
            applyAttachedImage(result.drives);
            return result;
        }
        result.problem = std::string(kOverrideVariable) + " ignored: " + parsed.error().message;
    }
    std::string mountinfo;
    if (FILE* file = std::fopen("/proc/self/mountinfo", "re")) {
        char buffer[4096];
        size_t got;
        while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            mountinfo.append(buffer, got);
        std::fclose(file);
    }
    const char* home = std::getenv("HOME");
    result.drives = automaticDriveMap(mountinfo, home ? home : "/");
    applyAttachedImage(result.drives);
    return result;
}

const MappedDrive* findMapped(const std::vector<MappedDrive>& map, std::string_view path,
                              std::string* rest)
{
    const MappedDrive* best = nullptr;
    for (const MappedDrive& mapped : map) {
        const std::string& root = mapped.root;
        bool matches;
        if (root == "/")
            matches = !path.empty() && path[0] == '/';
        else
            matches = path.size() >= root.size() && path.compare(0, root.size(), root) == 0
                && (path.size() == root.size() || path[root.size()] == '/');
        if (matches && (!best || root.size() > best->root.size()))
            best = &mapped;
    }
    if (best && rest) {
        std::string_view tail = path.substr(std::min(path.size(), best->root.size()));
        while (!tail.empty() && tail[0] == '/')
            tail.remove_prefix(1);
        *rest = std::string(tail);
    }
    return best;
}

std::string volumeLabelOf(const std::string& device)
{
    if (device.empty() || device[0] != '/')
        return {};
    std::error_code ec;
    const std::filesystem::path target = std::filesystem::canonical(device, ec);
    if (ec)
        return {};
    for (const auto& entry : std::filesystem::directory_iterator("/dev/disk/by-label", ec)) {
        std::error_code inner;
        if (std::filesystem::canonical(entry.path(), inner) == target && !inner) {
            // udev writes unsafe characters as \xHH.
            const std::string name = entry.path().filename().string();
            std::string label;
            for (size_t i = 0; i < name.size(); ++i) {
                if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x'
                    && std::isxdigit(static_cast<unsigned char>(name[i + 2]))
                    && std::isxdigit(static_cast<unsigned char>(name[i + 3]))) {
                    label += static_cast<char>(std::strtol(name.substr(i + 2, 2).c_str(), nullptr, 16));
                    i += 3;
                } else {
                    label += name[i];
                }
            }
            return label;
        }
    }
    return {};
}

} // namespace platform::posix
