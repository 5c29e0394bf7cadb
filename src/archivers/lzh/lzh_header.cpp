// Member headers of LZH archives.
#include "lzh_header.h"

#include <algorithm>
#include <ctime>
#include <optional>

#include "common/archive_target.h"
#include "common/text_codec.h"
#include "crc16.h"
#include "platform/codepage.h"
#include "platform/dialect.h"

namespace lzh {

namespace {

// ═════════════════════════════════════════════════════════════════════════════
// Little-endian fields
// ═════════════════════════════════════════════════════════════════════════════

std::uint64_t getLe(const std::string& bytes, size_t at, unsigned width)
{
    std::uint64_t value = 0;
    for (unsigned i = 0; i < width; ++i)
        value |= static_cast<std::uint64_t>(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
    return value;
}

void putLe(std::string& bytes, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void setLe(std::string& bytes, size_t at, std::uint64_t value, unsigned width)
{
    for (unsigned i = 0; i < width; ++i)
        bytes[at + i] = static_cast<char>((value >> (8 * i)) & 0xFF);
}

// ═════════════════════════════════════════════════════════════════════════════
// Names
// ═════════════════════════════════════════════════════════════════════════════

std::string fromCodePage(const std::string& raw, std::uint32_t codePage)
{
    // Some writers keep a comment after a NUL in the name field.
    const std::string bytes = raw.substr(0, raw.find('\0'));
    if (bytes.empty())
        return {};
    if (codePage == kCodePageUtf8 && archivers::isUtf8(bytes))
        return bytes;
    if (codePage == 0 || codePage == kCodePageShiftJis || codePage == kCodePageUtf8) {
        if (auto text = archivers::cp932ToUtf8(bytes))
            return *text;
        if (archivers::isUtf8(bytes))
            return bytes;
        return archivers::latin1ToUtf8(bytes);
    }
    if (auto text = platform::codepage::toUtf8(bytes, codePage); text && archivers::isUtf8(*text))
        return *text;
    return archivers::latin1ToUtf8(bytes);
}

std::vector<std::string> splitUtf16Dir(const std::string& raw)
{
    std::vector<std::string> parts;
    std::string current;
    for (size_t i = 0; i + 1 < raw.size(); i += 2) {
        if (static_cast<unsigned char>(raw[i]) == 0xFF && static_cast<unsigned char>(raw[i + 1]) == 0xFF) {
            if (!current.empty())
                parts.push_back(std::move(current));
            current.clear();
        } else {
            current += raw[i];
            current += raw[i + 1];
        }
    }
    if (!current.empty())
        parts.push_back(std::move(current));
    return parts;
}

// ═════════════════════════════════════════════════════════════════════════════
// Extended headers
// ═════════════════════════════════════════════════════════════════════════════

struct Extensions {
    bool hasName = false;
    std::string rawName;
    bool hasDir = false;
    std::string rawDir;
    std::string unicodeName;
    std::string unicodeDir;
    bool hasUnicodeName = false;
    bool hasUnicodeDir = false;
    std::uint32_t codePage = 0;
    bool hasAttribute = false;
    std::uint16_t attribute = 0;
    bool hasLargeSizes = false;
    std::uint64_t largeCompressed = 0;
    std::uint64_t largeOriginal = 0;
    bool hasUnixTime = false;
    std::int64_t unixTime = 0;
    bool hasUnixMode = false;
    std::uint16_t unixMode = 0;
    bool hasCommonCrc = false;
    std::uint16_t commonCrc = 0;
    size_t commonCrcAt = 0; // offset of the CRC within the header bytes
};

// Parses the chain of extended headers that starts at `at` in `bytes` with a
// first size of `firstSize`; each size field is `width` bytes. Returns false
// when a size is impossible. `end` receives the offset after the chain.
bool parseExtensions(const std::string& bytes, size_t at, std::uint64_t firstSize, unsigned width,
                     Extensions& ext, size_t& end)
{
    std::uint64_t size = firstSize;
    while (size != 0) {
        if (size < 1 + width || at + size > bytes.size())
            return false;
        const auto type = static_cast<unsigned char>(bytes[at]);
        const size_t payloadAt = at + 1;
        const size_t payloadSize = static_cast<size_t>(size) - 1 - width;
        const std::string payload = bytes.substr(payloadAt, payloadSize);
        switch (type) {
        case kExtCommon:
            if (payloadSize >= 2) {
                ext.hasCommonCrc = true;
                ext.commonCrc = static_cast<std::uint16_t>(getLe(payload, 0, 2));
                ext.commonCrcAt = payloadAt;
            }
            break;
        case kExtFileName:
            ext.hasName = true;
            ext.rawName = payload;
            break;
        case kExtDirectory:
            ext.hasDir = true;
            ext.rawDir = payload;
            break;
        case kExtAttribute:
            if (payloadSize >= 2) {
                ext.hasAttribute = true;
                ext.attribute = static_cast<std::uint16_t>(getLe(payload, 0, 2));
            }
            break;
        case kExtLargeSizes:
            if (payloadSize >= 16) {
                ext.hasLargeSizes = true;
                ext.largeCompressed = getLe(payload, 0, 8);
                ext.largeOriginal = getLe(payload, 8, 8);
            }
            break;
        case kExtUnicodeName:
            ext.hasUnicodeName = true;
            ext.unicodeName = payload;
            break;
        case kExtUnicodeDir:
            ext.hasUnicodeDir = true;
            ext.unicodeDir = payload;
            break;
        case kExtCodePage:
            if (payloadSize >= 4)
                ext.codePage = static_cast<std::uint32_t>(getLe(payload, 0, 4));
            break;
        case kExtUnixPermission:
            if (payloadSize >= 2) {
                ext.hasUnixMode = true;
                ext.unixMode = static_cast<std::uint16_t>(getLe(payload, 0, 2));
            }
            break;
        case kExtUnixTime:
            if (payloadSize >= 4) {
                ext.hasUnixTime = true;
                ext.unixTime = static_cast<std::int64_t>(getLe(payload, 0, 4));
            }
            break;
        default:
            break;
        }
        const size_t nextField = payloadAt + payloadSize;
        size = getLe(bytes, nextField, width);
        at = nextField + width;
    }
    end = at;
    return true;
}

// Reads exactly `size` bytes at `offset`; false when the archive is shorter.
bool readExact(archivers::RandomReader& archive, std::uint64_t offset, size_t size, std::string& bytes)
{
    bytes.assign(size, '\0');
    const long got = archive.readAt(offset, bytes.data(), size);
    return got >= 0 && static_cast<size_t>(got) == size;
}

std::uint8_t checksum8(const std::string& bytes, size_t from, size_t to)
{
    unsigned sum = 0;
    for (size_t i = from; i < to; ++i)
        sum += static_cast<unsigned char>(bytes[i]);
    return static_cast<std::uint8_t>(sum & 0xFF);
}

// Names from the extended headers (Unicode first, then the code page).
void applyNames(const Extensions& ext, MemberHeader& header)
{
    std::optional<std::string> unicodeName;
    if (ext.hasUnicodeName)
        unicodeName = archivers::utf16leToUtf8(ext.unicodeName);
    if (unicodeName)
        header.name = *unicodeName;
    else if (ext.hasName)
        header.name = fromCodePage(ext.rawName, ext.codePage);

    std::vector<std::string> folders;
    bool unicodeFolders = false;
    if (ext.hasUnicodeDir) {
        unicodeFolders = true;
        for (const std::string& part : splitUtf16Dir(ext.unicodeDir)) {
            auto text = archivers::utf16leToUtf8(part);
            if (!text) {
                unicodeFolders = false;
                folders.clear();
                break;
            }
            folders.push_back(*text);
        }
    }
    if (!unicodeFolders && ext.hasDir) {
        const std::string separator(1, static_cast<char>(kDirectorySeparator));
        for (const std::string& part : platform::dialect::splitElements(ext.rawDir, separator))
            for (const std::string& element : platform::dialect::splitElements(fromCodePage(part, ext.codePage)))
                folders.push_back(element);
    }
    header.folders = std::move(folders);
}

void finishMember(MemberHeader& header)
{
    header.method = methodFromId(header.methodId);
    if (header.method == Method::Directory)
        header.isDirectory = true;
    // A name holding a separator is split into folders and name.
    std::vector<std::string> parts = platform::dialect::splitElements(header.name);
    if (parts.size() > 1) {
        header.name = parts.back();
        parts.pop_back();
        header.folders.insert(header.folders.end(), parts.begin(), parts.end());
    } else {
        header.name = parts.empty() ? std::string() : parts[0];
    }
    if (header.isDirectory && !header.name.empty()) {
        header.folders.push_back(header.name);
        header.name.clear();
    }
}

void applyUnixLink(MemberHeader& header, const Extensions& ext)
{
    if (ext.hasUnixMode && (ext.unixMode & 0xF000) == 0xA000) {
        header.isSymlink = true;
        if (const size_t bar = header.name.find('|'); bar != std::string::npos) {
            header.linkTarget = header.name.substr(bar + 1);
            header.name.resize(bar);
        }
    }
}

// Reads the base header of a level 0 or 1 member (size byte, checksum byte, then
// `size` bytes) and checks its checksum and that the name fits with the
// `fixedAroundName` bytes the level keeps besides it.
HeaderStatus readBaseHeader(archivers::RandomReader& archive, std::uint64_t offset, const std::string& start,
                            unsigned minimumSize, unsigned fixedAroundName, std::string& bytes,
                            std::string& why)
{
    const unsigned size = static_cast<unsigned char>(start[0]);
    if (size < minimumSize) {
        why = "header too short";
        return HeaderStatus::Broken;
    }
    if (!readExact(archive, offset, size + 2u, bytes)) {
        why = "archive ends inside a header";
        return HeaderStatus::Truncated;
    }
    if (checksum8(bytes, 2, size + 2u) != static_cast<unsigned char>(bytes[1])) {
        why = "header checksum mismatch";
        return HeaderStatus::BadChecksum;
    }
    if (fixedAroundName + static_cast<unsigned char>(bytes[21]) > size + 2u) {
        why = "name longer than its header";
        return HeaderStatus::Broken;
    }
    return HeaderStatus::Ok;
}

HeaderStatus readLevel0(archivers::RandomReader& archive, std::uint64_t offset, MemberHeader& header,
                        std::string& why, const std::string& start)
{
    std::string bytes;
    if (const HeaderStatus status = readBaseHeader(archive, offset, start, 20, 22, bytes, why);
        status != HeaderStatus::Ok)
        return status;
    const unsigned size = static_cast<unsigned char>(start[0]);
    const unsigned nameLength = static_cast<unsigned char>(bytes[21]);
    header.compressedSize = getLe(bytes, 7, 4);
    header.originalSize = getLe(bytes, 11, 4);
    header.mtime = unixTimeOfDos(static_cast<std::uint32_t>(getLe(bytes, 15, 4)));
    header.attribute = static_cast<unsigned char>(bytes[19]);
    header.name = fromCodePage(bytes.substr(22, nameLength), 0);
    if (22u + nameLength + 2 <= size + 2u)
        header.crc = static_cast<std::uint16_t>(getLe(bytes, 22 + nameLength, 2));
    // LHa for UNIX keeps a Unix time after the CRC: 'U', minor version, time_t, ...
    const size_t extAt = 24u + nameLength;
    if (extAt + 6 <= size + 2u && bytes[extAt] == 'U') {
        header.mtime = static_cast<std::int64_t>(getLe(bytes, extAt + 2, 4));
        if (extAt + 8 <= size + 2u) {
            Extensions ext;
            ext.hasUnixMode = true;
            ext.unixMode = static_cast<std::uint16_t>(getLe(bytes, extAt + 6, 2));
            applyUnixLink(header, ext);
        }
    }
    header.headerSize = size + 2u;
    // The folder attribute makes a folder of a member without data only: a
    // member carrying data (LH/2 keeps a folder's extended attributes so)
    // is a file, its data extracted and its CRC checked.
    if ((header.attribute & kAttrDirectory) && header.compressedSize == 0 && header.originalSize == 0)
        header.isDirectory = true;
    return HeaderStatus::Ok;
}

HeaderStatus readLevel1(archivers::RandomReader& archive, std::uint64_t offset, MemberHeader& header,
                        std::string& why, const std::string& start)
{
    std::string base;
    if (const HeaderStatus status = readBaseHeader(archive, offset, start, 25, 27, base, why);
        status != HeaderStatus::Ok)
        return status;
    const unsigned nameLength = static_cast<unsigned char>(base[21]);
    const std::uint64_t skip = getLe(base, 7, 4);
    header.originalSize = getLe(base, 11, 4);
    header.mtime = unixTimeOfDos(static_cast<std::uint32_t>(getLe(base, 15, 4)));
    header.crc = static_cast<std::uint16_t>(getLe(base, 22 + nameLength, 2));
    header.os = static_cast<std::uint8_t>(base[24 + nameLength]);

    // The extended headers follow, counted in the skip size.
    std::uint64_t next = getLe(base, 25 + nameLength, 2);
    std::string all = base;
    std::uint64_t extTotal = 0;
    unsigned count = 0;
    while (next != 0) {
        if (next < 3 || extTotal + next > skip || ++count > 4096) {
            why = "extended header sizes do not fit the member";
            return HeaderStatus::Broken;
        }
        std::string piece;
        if (!readExact(archive, offset + all.size(), static_cast<size_t>(next), piece)) {
            why = "archive ends inside an extended header";
            return HeaderStatus::Truncated;
        }
        all += piece;
        extTotal += next;
        next = getLe(piece, piece.size() - 2, 2);
    }
    Extensions ext;
    size_t end = 0;
    if (!parseExtensions(all, base.size(), getLe(base, 25 + nameLength, 2), 2, ext, end)) {
        why = "extended headers broken";
        return HeaderStatus::Broken;
    }
    if (ext.hasCommonCrc) {
        std::string zeroed = all;
        setLe(zeroed, ext.commonCrcAt, 0, 2);
        if (crc16Update(0, zeroed.data(), zeroed.size()) != ext.commonCrc) {
            why = "header CRC mismatch";
            return HeaderStatus::BadChecksum;
        }
    }
    header.compressedSize = skip - extTotal;
    header.headerSize = all.size();
    if (nameLength > 0 && !ext.hasName) {
        ext.hasName = true;
        ext.rawName = base.substr(22, nameLength);
    }
    applyNames(ext, header);
    if (ext.hasAttribute)
        header.attribute = ext.attribute;
    if (ext.hasUnixTime)
        header.mtime = ext.unixTime;
    applyUnixLink(header, ext);
    return HeaderStatus::Ok;
}

// Levels 2 and 3: the whole header's size is known up front.
HeaderStatus readLevel23(archivers::RandomReader& archive, std::uint64_t offset, MemberHeader& header,
                         std::string& why, const std::string& start, int level)
{
    const unsigned width = level == 2 ? 2 : 4;
    std::uint64_t total;
    if (level == 2) {
        total = getLe(start, 0, 2);
    } else {
        std::string sizeField;
        if (getLe(start, 0, 2) != 4 || !readExact(archive, offset + 24, 4, sizeField)) {
            why = "level 3 header without its size";
            return HeaderStatus::Broken;
        }
        total = getLe(sizeField, 0, 4);
    }
    const size_t baseSize = level == 2 ? 26 : 32;
    if (total < baseSize || total > (1u << 20)) {
        why = "impossible header size";
        return HeaderStatus::Broken;
    }
    std::string bytes;
    if (!readExact(archive, offset, static_cast<size_t>(total), bytes)) {
        why = "archive ends inside a header";
        return HeaderStatus::Truncated;
    }
    // LHa for OS-9/68k counts its level 2 headers two bytes short; other
    // readers add them back by the OS byte.
    if (level == 2 && static_cast<std::uint8_t>(bytes[23]) == kOsOs9_68k) {
        total += 2;
        if (!readExact(archive, offset, static_cast<size_t>(total), bytes)) {
            why = "archive ends inside a header";
            return HeaderStatus::Truncated;
        }
    }
    header.compressedSize = getLe(bytes, 7, 4);
    header.originalSize = getLe(bytes, 11, 4);
    header.mtime = static_cast<std::int64_t>(getLe(bytes, 15, 4));
    header.crc = static_cast<std::uint16_t>(getLe(bytes, 21, 2));
    header.os = static_cast<std::uint8_t>(bytes[23]);
    Extensions ext;
    size_t end = 0;
    if (!parseExtensions(bytes, baseSize, getLe(bytes, baseSize - width, width), width, ext, end)) {
        why = "extended headers broken";
        return HeaderStatus::Broken;
    }
    if (ext.hasCommonCrc) {
        std::string zeroed = bytes;
        setLe(zeroed, ext.commonCrcAt, 0, 2);
        if (crc16Update(0, zeroed.data(), zeroed.size()) != ext.commonCrc) {
            why = "header CRC mismatch";
            return HeaderStatus::BadChecksum;
        }
    }
    if (ext.hasLargeSizes) {
        header.compressedSize = ext.largeCompressed;
        header.originalSize = ext.largeOriginal;
    }
    header.headerSize = total;
    applyNames(ext, header);
    if (ext.hasAttribute)
        header.attribute = ext.attribute;
    applyUnixLink(header, ext);
    return HeaderStatus::Ok;
}

} // namespace

std::string MemberHeader::path() const
{
    std::string out;
    for (const std::string& folder : folders) {
        if (!out.empty())
            out += '\\';
        out += folder;
    }
    if (!name.empty()) {
        if (!out.empty())
            out += '\\';
        out += name;
    }
    return out;
}

HeaderStatus readHeader(archivers::RandomReader& archive, std::uint64_t offset, MemberHeader& header,
                        std::string& why)
{
    header = MemberHeader{};
    header.headerOffset = offset;
    std::string start;
    start.resize(22);
    const long got = archive.readAt(offset, start.data(), start.size());
    if (got < 0) {
        why = "read error";
        return HeaderStatus::Truncated;
    }
    if (got == 0)
        return HeaderStatus::EndOfFile;
    if (start[0] == 0)
        return HeaderStatus::EndMark;
    if (got < 22) {
        why = "archive ends inside a header";
        return HeaderStatus::Truncated;
    }
    header.methodId = start.substr(2, 5);
    if (header.methodId[0] != '-' || header.methodId[4] != '-') {
        why = "not a member header";
        return HeaderStatus::Broken;
    }
    header.level = static_cast<unsigned char>(start[20]);
    HeaderStatus status;
    switch (header.level) {
    case 0: status = readLevel0(archive, offset, header, why, start); break;
    case 1: status = readLevel1(archive, offset, header, why, start); break;
    case 2:
    case 3: status = readLevel23(archive, offset, header, why, start, header.level); break;
    default:
        why = "header level " + std::to_string(header.level);
        return HeaderStatus::UnknownLevel;
    }
    if (status != HeaderStatus::Ok)
        return status;
    finishMember(header);
    header.dataOffset = offset + header.headerSize;
    if (!header.isDirectory && header.name.empty() && !header.isSymlink) {
        // Some writers stored a folder as an empty -lh0- member with its path only.
        if (header.folders.empty() || header.originalSize != 0 || header.method != Method::Stored) {
            why = "member without a name";
            return HeaderStatus::Broken;
        }
        header.isDirectory = true;
        header.method = Method::Directory;
        header.methodId = "-lhd-";
    }
    return HeaderStatus::Ok;
}

// ═════════════════════════════════════════════════════════════════════════════
// Writing
// ═════════════════════════════════════════════════════════════════════════════

bool isExactInCp932(const std::string& utf8)
{
    const auto bytes = archivers::utf8ToCp932(utf8);
    if (!bytes)
        return false;
    const auto back = archivers::cp932ToUtf8(*bytes);
    return back && *back == utf8;
}

std::uint32_t dosTimeOf(std::int64_t unixTime)
{
    return archivers::dosTimeOf(unixTime);
}

std::int64_t unixTimeOfDos(std::uint32_t dosTime)
{
    return archivers::unixTimeOfDos(dosTime);
}

namespace {

struct Names {
    std::string name;                  // CP932 (closest form)
    std::vector<std::string> folders;  // CP932 (closest form)
    bool exact = true;                 // all of them survive CP932 unchanged
};

Names encodeNames(const NewMember& member)
{
    Names names;
    names.name = archivers::utf8ToCp932Closest(member.name);
    names.exact = isExactInCp932(member.name);
    for (const std::string& folder : member.folders) {
        names.folders.push_back(archivers::utf8ToCp932Closest(folder));
        names.exact = names.exact && isExactInCp932(folder);
    }
    return names;
}

bool isAscii(const Names& names)
{
    auto ascii = [](const std::string& text) {
        return std::all_of(text.begin(), text.end(), [](char c) { return !(static_cast<unsigned char>(c) & 0x80); });
    };
    return ascii(names.name) && std::all_of(names.folders.begin(), names.folders.end(), ascii);
}

void appendExtension(std::string& chain, std::uint8_t type, const std::string& payload)
{
    // The size field in front of each extended header counts type, payload and
    // the next size field.
    putLe(chain, 1 + payload.size() + 2, 2);
    chain += static_cast<char>(type);
    chain += payload;
}

std::string leBytes(std::uint64_t value, unsigned width)
{
    std::string out;
    putLe(out, value, width);
    return out;
}

std::string folderBytes(const std::vector<std::string>& folders)
{
    std::string out;
    for (const std::string& folder : folders) {
        out += folder;
        out += static_cast<char>(kDirectorySeparator);
    }
    return out;
}

std::string unicodeFolderBytes(const std::vector<std::string>& folders)
{
    std::string out;
    for (const std::string& folder : folders) {
        out += archivers::utf8ToUtf16le(folder).value_or(std::string());
        out += "\xFF\xFF";
    }
    return out;
}

BuildStatus buildLevel2(const NewMember& member, const Names& names, std::string& bytes)
{
    // Extended headers, in the order Windows tools write them.
    std::string chain;
    // The code page tells readers how to show names; plain ASCII needs none.
    if (!isAscii(names))
        appendExtension(chain, kExtCodePage, leBytes(kCodePageShiftJis, 4));
    appendExtension(chain, kExtFileName, names.name);
    if (!member.folders.empty())
        appendExtension(chain, kExtDirectory, folderBytes(names.folders));
    if (!names.exact) {
        if (!member.name.empty())
            appendExtension(chain, kExtUnicodeName, archivers::utf8ToUtf16le(member.name).value_or(std::string()));
        if (!member.folders.empty())
            appendExtension(chain, kExtUnicodeDir, unicodeFolderBytes(member.folders));
    }
    if (member.attribute != kAttrArchive)
        appendExtension(chain, kExtAttribute, leBytes(member.attribute, 2));
    // No Windows time header: the base time stamp already holds the second,
    // every reader takes it, and 27 bytes a member add up on a full disk.
    if (member.largeSizes)
        appendExtension(chain, kExtLargeSizes, leBytes(member.compressedSize, 8) + leBytes(member.originalSize, 8));
    // The header CRC goes last; one optional info byte keeps the header's
    // length off multiples of 256 (a first byte of 0 reads as the end mark).
    const size_t base = 24; // up to the first extension size field
    size_t total = base + chain.size() + 2 + 1 + 2 + 2;
    const bool infoByte = (total & 0xFF) == 0;
    appendExtension(chain, kExtCommon, infoByte ? std::string("\0\0\0", 3) : std::string("\0\0", 2));
    chain += std::string("\0\0", 2); // end of the chain
    total = base + chain.size();
    if (total > 0xFFFF)
        return BuildStatus::NameTooLong;

    bytes.clear();
    putLe(bytes, total, 2);                                 // 0: total header size
    bytes += methodId(member.method);                       // 2: method
    putLe(bytes, member.compressedSize & 0xFFFFFFFF, 4);    // 7: compressed size
    putLe(bytes, member.originalSize & 0xFFFFFFFF, 4);      // 11: original size
    putLe(bytes, static_cast<std::uint64_t>(archivers::timeIn32Bits(member.mtime)), 4); // 15: time_t (UTC)
    bytes += static_cast<char>(kReservedByte);              // 19: reserved
    bytes += static_cast<char>(2);                          // 20: level
    putLe(bytes, member.crc, 2);                            // 21: data CRC
    bytes += static_cast<char>(kOsMsdos);                   // 23: OS id
    bytes += chain;                                         // 24: first size, extensions, 0x0000
    // Header CRC over the whole header with its own field zero.
    const size_t crcAt = bytes.size() - 2 - (infoByte ? 3 : 2);
    const std::uint16_t crc = crc16Update(0, bytes.data(), bytes.size());
    setLe(bytes, crcAt, crc, 2);
    return BuildStatus::Ok;
}

BuildStatus buildLevel1(const NewMember& member, const Names& names, std::string& bytes)
{
    if (names.name.size() > 230 || member.largeSizes)
        return member.largeSizes ? BuildStatus::SizeTooLarge : BuildStatus::NameTooLong;
    std::string chain;
    if (!member.folders.empty())
        appendExtension(chain, kExtDirectory, folderBytes(names.folders));
    if (!isAscii(names))
        appendExtension(chain, kExtCodePage, leBytes(kCodePageShiftJis, 4));
    if (!names.exact) {
        if (!member.name.empty())
            appendExtension(chain, kExtUnicodeName, archivers::utf8ToUtf16le(member.name).value_or(std::string()));
        if (!member.folders.empty())
            appendExtension(chain, kExtUnicodeDir, unicodeFolderBytes(member.folders));
    }
    if (member.attribute != kAttrArchive)
        appendExtension(chain, kExtAttribute, leBytes(member.attribute, 2));
    appendExtension(chain, kExtCommon, std::string("\0\0", 2));
    chain += std::string("\0\0", 2);
    // The base header ends with the first extension size, which `chain` starts with.
    const size_t extBytes = chain.size() - 2;
    const std::uint64_t skip = member.compressedSize + extBytes;
    if (skip > 0xFFFFFFFF)
        return BuildStatus::SizeTooLarge;

    bytes.clear();
    bytes += static_cast<char>(25 + names.name.size());     // 0: header size (base)
    bytes += '\0';                                          // 1: checksum, below
    bytes += methodId(member.method);                       // 2: method
    putLe(bytes, skip, 4);                                  // 7: data + extended headers
    putLe(bytes, member.originalSize, 4);                   // 11: original size
    putLe(bytes, dosTimeOf(member.mtime), 4);               // 15: DOS time (local)
    bytes += static_cast<char>(kReservedByte);              // 19: reserved
    bytes += static_cast<char>(1);                          // 20: level
    bytes += static_cast<char>(names.name.size());          // 21: name length
    bytes += names.name;                                    // 22: name
    putLe(bytes, member.crc, 2);                            // data CRC
    bytes += static_cast<char>(kOsMsdos);                   // OS id
    bytes += chain;
    const size_t baseEnd = 27 + names.name.size();
    bytes[1] = static_cast<char>(checksum8(bytes, 2, baseEnd));
    const size_t crcAt = bytes.size() - 2 - 2;
    setLe(bytes, crcAt, crc16Update(0, bytes.data(), bytes.size()), 2);
    return BuildStatus::Ok;
}

BuildStatus buildLevel0(const NewMember& member, const Names& names, std::string& bytes)
{
    if (member.largeSizes)
        return BuildStatus::SizeTooLarge;
    std::string path;
    for (const std::string& folder : names.folders)
        path += folder + "\\";
    path += names.name;
    if (path.size() > 221)
        return BuildStatus::NameTooLong;
    bytes.clear();
    bytes += static_cast<char>(22 + path.size());           // 0: header size
    bytes += '\0';                                          // 1: checksum, below
    bytes += methodId(member.method);                       // 2: method
    putLe(bytes, member.compressedSize, 4);                 // 7: compressed size
    putLe(bytes, member.originalSize, 4);                   // 11: original size
    putLe(bytes, dosTimeOf(member.mtime), 4);               // 15: DOS time (local)
    bytes += static_cast<char>(member.attribute & 0xFF);    // 19: attribute
    bytes += '\0';                                          // 20: level
    bytes += static_cast<char>(path.size());                // 21: path length
    bytes += path;                                          // 22: path with "\"
    putLe(bytes, member.crc, 2);                            // data CRC
    bytes[1] = static_cast<char>(checksum8(bytes, 2, bytes.size()));
    return BuildStatus::Ok;
}

} // namespace

BuildStatus buildHeader(const NewMember& member, int level, std::string& bytes)
{
    const Names names = encodeNames(member);
    switch (level) {
    case 0: return buildLevel0(member, names, bytes);
    case 1: return buildLevel1(member, names, bytes);
    default: return buildLevel2(member, names, bytes);
    }
}

} // namespace lzh
