// basVelt: drive, folder and file-name procedures on top of the platform layer.
#include "basvelt.h"

#include <cmath>
#include <cstdio>
#include <vector>

#include <QChar>
#include <QList>
#include <QString>

#include "platform/platform.h"

namespace basVelt {

namespace {

// The platform calls behind these procedures fill buffers of 255 characters
// (UTF-16 units, as the platform counts them; not UTF-8 bytes).
constexpr qsizetype kFolderBufferLength = 255;

// A path of more elements than this is not one the file system can hold.
constexpr size_t kMaxPathElements = 256;

std::string limitFolder(std::string folder)
{
    return QString::fromStdString(folder).size() < kFolderBufferLength ? folder : std::string();
}

} // namespace

std::string GetTempFolder()
{
    return limitFolder(platform::tempFolder());
}

std::string GetSystemFolder()
{
    return limitFolder(platform::systemFolder());
}

std::string FormatFreeSpace(std::uint64_t freeBytes)
{
    if (freeBytes < 1)
        return {};
    // Megabytes to one decimal, as a single-precision value is shown.
    const float megabytes = static_cast<float>(static_cast<double>(freeBytes) / 1048576.0);
    const auto tenths = static_cast<std::uint64_t>(std::llround(static_cast<double>(megabytes) * 10.0));
    std::string whole = std::to_string(tenths / 10);
    for (int at = static_cast<int>(whole.size()) - 3; at > 0; at -= 3)
        whole.insert(static_cast<size_t>(at), ",");
    return " (" + whole + "." + std::to_string(tenths % 10) + "M Free)";
}

std::string FreeSpaceText(std::string_view path)
{
    if (path.size() < 2)
        return {};
    const std::string root = std::string(path.substr(0, 2)) + "\\";
    platform::Result<platform::DiskFree> space = platform::diskFree(root);
    if (!space || space->sectorsPerCluster == 0 || space->bytesPerSector == 0
        || space->freeClusters == 0)
        return {};
    // A 64-bit product: today's volumes hold far more than 2 GiB.
    return FormatFreeSpace(space->bytesPerSector * space->sectorsPerCluster * space->freeClusters);
}

std::string ShortenPath(std::string_view path)
{
    std::vector<std::string_view> pieces;
    size_t start = 0;
    for (size_t i = 0; i < path.size(); ++i) {
        if (path[i] == '\\') {
            pieces.push_back(path.substr(start, i + 1 - start));
            start = i + 1;
        }
    }
    if (!path.empty())
        pieces.push_back(path.substr(start));
    if (pieces.size() <= 4)
        return std::string(path);
    std::string out;
    out += pieces[0];
    out += pieces[1];
    out += "...\\";
    out += pieces[pieces.size() - 2];
    out += pieces.back();
    return out;
}

std::string LastPathElement(std::string_view path)
{
    const size_t slash = path.rfind('\\');
    if (slash == std::string_view::npos || slash + 1 == path.size())
        return {};
    return std::string(path.substr(slash + 1));
}

std::string LongPathName(std::string_view path)
{
    if (path.size() < 3 || path[1] != ':' || path[2] != '\\')
        return {};
    const auto upperAscii = [](char c) {
        return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    };
    if (path.size() == 3)
        return std::string{upperAscii(path[0]), ':', '\\'};

    std::vector<std::string> elements{std::string{upperAscii(path[0]), ':'}};
    const auto lookUp = [&](std::string_view prefix) {
        platform::Result<std::string> name = platform::onDiskName(prefix);
        if (!name || name->empty())
            return false;
        elements.push_back(*name);
        return elements.size() <= kMaxPathElements;
    };
    for (size_t i = 3; i < path.size(); ++i) {
        if (path[i] != '\\')
            continue;
        if (path[i - 1] == '\\' || !lookUp(path.substr(0, i)))
            return {}; // an empty element names nothing
    }
    if (path.back() != '\\' && !lookUp(path))
        return {};

    std::string out;
    for (size_t i = 0; i < elements.size(); ++i) {
        if (i)
            out += '\\';
        out += elements[i];
    }
    return out;
}

std::string UpperCaseName(std::string_view text)
{
    const QString source = QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
    QString out;
    out.reserve(source.size());
    const QList<uint> codePoints = source.toUcs4();
    for (const uint point : codePoints) {
        const auto c = static_cast<char32_t>(point);
        const bool kept = (c >= U'ａ' && c <= U'ｚ') || (c >= U'α' && c <= U'ω')
            || (c >= U'а' && c <= U'я');
        const char32_t mapped = kept ? c : QChar::toUpper(c);
        out.append(QString::fromUcs4(&mapped, 1));
    }
    return out.toStdString();
}

bool FileExists(std::string_view path)
{
    return platform::canOpenForReading(path);
}

} // namespace basVelt
