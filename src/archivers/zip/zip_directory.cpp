// The central directory of a ZIP archive.
#include "zip_directory.h"

#include <optional>

#include <zlib.h>

#include "common/result_codes.h"
#include "common/text_codec.h"
#include "zip_format.h"

namespace zipfmt {

using namespace archivers;

namespace {

// The end record is at most this far from the end (22 bytes + a 64 KiB comment).
constexpr size_t kEndSearch = 22 + 0xFFFF;

// A directory larger than this is not a disk's archive.
constexpr std::uint64_t kMaxDirectory = 256u << 20;

bool readExact(RandomReader& archive, std::uint64_t offset, size_t size, std::string& bytes)
{
    bytes.assign(size, '\0');
    const long got = archive.readAt(offset, bytes.data(), size);
    return got >= 0 && static_cast<size_t>(got) == size;
}

const unsigned char* bytesOf(const std::string& text, size_t at = 0)
{
    return reinterpret_cast<const unsigned char*>(text.data()) + at;
}

// Calls visit(tag, at, size) for each whole field of `extra` (its head at
// `at`, `size` bytes of payload after it) until visit returns false; a field
// that runs past the end stops the walk.
template <typename Visit>
void forEachExtra(const std::string& extra, Visit visit)
{
    size_t at = 0;
    while (at + 4 <= extra.size()) {
        const auto tag = static_cast<std::uint16_t>(getLe(bytesOf(extra, at), 2));
        const auto size = static_cast<size_t>(getLe(bytesOf(extra, at + 2), 2));
        if (at + 4 + size > extra.size() || !visit(tag, at, size))
            return;
        at += 4 + size;
    }
}

// Systems whose names are stored in the code page of the machine (CP932 on
// Japanese ones): MS-DOS, OS/2 HPFS, Windows NTFS and VFAT. The others (Unix,
// macOS and the rest) store the bytes their file systems hold, UTF-8 today.
bool namesInCodePage(std::uint16_t versionMadeBy)
{
    switch (versionMadeBy >> 8) {
    case 0: case 6: case 10: case 14: return true;
    default: return false;
    }
}

// The encoding of the names an archive stores without the UTF-8 flag or a
// Unicode path field, judged over all of them at once. UTF-8 when every one
// reads as UTF-8 and either one does not read as CP932 (a writer that stored
// UTF-8 without saying so), or most of those that read differently in the two
// come from systems that store their own bytes. Else CP932.
class PlainNames {
public:
    void add(const Entry& entry)
    {
        const bool utf8 = isUtf8(entry.rawName);
        const std::optional<std::string> cp932 = cp932ToUtf8(entry.rawName);
        m_allUtf8 = m_allUtf8 && utf8;
        m_allCp932 = m_allCp932 && cp932.has_value();
        if (utf8 && cp932 && *cp932 != entry.rawName)
            ++(namesInCodePage(entry.versionMadeBy) ? m_fromCodePage : m_fromOwnBytes);
    }

    NameEncoding encoding() const
    {
        return m_allUtf8 && (!m_allCp932 || m_fromOwnBytes > m_fromCodePage) ? NameEncoding::Utf8
                                                                              : NameEncoding::Cp932;
    }

private:
    bool m_allUtf8 = true;
    bool m_allCp932 = true;
    size_t m_fromCodePage = 0; // names that read both ways, by where they were made
    size_t m_fromOwnBytes = 0;
};

} // namespace

std::string findExtra(const std::string& extra, std::uint16_t id)
{
    std::string found;
    forEachExtra(extra, [&](std::uint16_t tag, size_t at, size_t size) {
        if (tag != id)
            return true;
        found = extra.substr(at + 4, size);
        return false;
    });
    return found;
}

std::string withoutExtra(const std::string& extra, std::uint16_t id)
{
    std::string out;
    forEachExtra(extra, [&](std::uint16_t tag, size_t at, size_t size) {
        if (tag != id)
            out += extra.substr(at, 4 + size);
        return true;
    });
    return out;
}

std::optional<std::string> unicodeName(const std::string& raw, const std::string& extra)
{
    const std::string unicode = findExtra(extra, kExtraUnicodePath);
    if (unicode.size() > 5 && unicode[0] == 1) {
        const auto crc = static_cast<std::uint32_t>(getLe(bytesOf(unicode, 1), 4));
        const std::string text = unicode.substr(5);
        if (crc == ::crc32(0, bytesOf(raw), static_cast<uInt>(raw.size())) && isUtf8(text))
            return text;
    }
    return std::nullopt;
}

std::string decodeName(const std::string& raw, std::uint16_t flags, const std::string& extra, NameEncoding encoding)
{
    if ((flags & kFlagUtf8) && isUtf8(raw))
        return raw;
    if (auto text = unicodeName(raw, extra))
        return *text;
    if (encoding == NameEncoding::Utf8 && isUtf8(raw))
        return raw;
    if (auto text = cp932ToUtf8(raw))
        return *text;
    if (isUtf8(raw))
        return raw;
    return latin1ToUtf8(raw);
}

int readDirectory(RandomReader& archive, Directory& directory, std::string& why)
{
    directory = Directory{};
    const std::uint64_t fileSize = archive.size();
    if (fileSize < 22) {
        why = "too short for a ZIP archive";
        return kErrorFileStyle;
    }
    const size_t tail = static_cast<size_t>(std::min<std::uint64_t>(fileSize, kEndSearch));
    std::string end;
    if (!readExact(archive, fileSize - tail, tail, end)) {
        why = "cannot read the end of the archive";
        return kErrorCannotRead;
    }
    size_t at = std::string::npos;
    for (size_t i = tail - 22 + 1; i-- > 0;) {
        if (getLe(bytesOf(end, i), 4) == kEndSignature && i + 22 + getLe(bytesOf(end, i + 20), 2) <= tail) {
            at = i;
            break;
        }
    }
    if (at == std::string::npos) {
        why = "no end of central directory: not a ZIP archive";
        return kErrorFileStyle;
    }
    const std::uint64_t endOffset = fileSize - tail + at;
    std::uint64_t count = getLe(bytesOf(end, at + 10), 2);
    std::uint64_t size = getLe(bytesOf(end, at + 12), 4);
    std::uint64_t offset = getLe(bytesOf(end, at + 16), 4);
    directory.comment = end.substr(at + 22, static_cast<size_t>(getLe(bytesOf(end, at + 20), 2)));

    // Zip64: a locator right before the end record points at the larger record.
    if (endOffset >= 20) {
        std::string locator;
        if (readExact(archive, endOffset - 20, 20, locator) && getLe(bytesOf(locator), 4) == kZip64LocatorSignature) {
            const std::uint64_t recordAt = getLe(bytesOf(locator, 8), 8);
            std::string record;
            if (recordAt + 56 > endOffset || !readExact(archive, recordAt, 56, record)
                || getLe(bytesOf(record), 4) != kZip64EndSignature) {
                why = "broken Zip64 end record";
                return kErrorHeaderBroken;
            }
            count = getLe(bytesOf(record, 32), 8);
            size = getLe(bytesOf(record, 40), 8);
            offset = getLe(bytesOf(record, 48), 8);
        }
    }
    if (size > kMaxDirectory || offset > endOffset || size > endOffset - offset || count > size / 46 + 1) {
        why = "the central directory does not fit the file";
        return kErrorHeaderBroken;
    }
    std::string central;
    if (!readExact(archive, offset, static_cast<size_t>(size), central)) {
        why = "cannot read the central directory";
        return kErrorCannotRead;
    }
    size_t p = 0;
    // Entries named without the flag or a Unicode field, and what their names could be.
    std::vector<size_t> plain;
    PlainNames plainNames;
    for (std::uint64_t n = 0; n < count; ++n) {
        if (p + 46 > central.size() || getLe(bytesOf(central, p), 4) != kCentralSignature) {
            why = "central directory entry " + std::to_string(n) + " is broken";
            return kErrorHeaderBroken;
        }
        const unsigned char* h = bytesOf(central, p);
        Entry entry;
        entry.versionMadeBy = static_cast<std::uint16_t>(getLe(h + 4, 2));
        entry.versionNeeded = static_cast<std::uint16_t>(getLe(h + 6, 2));
        entry.flags = static_cast<std::uint16_t>(getLe(h + 8, 2));
        entry.method = static_cast<std::uint16_t>(getLe(h + 10, 2));
        entry.dosTime = static_cast<std::uint32_t>(getLe(h + 12, 4));
        entry.crc = static_cast<std::uint32_t>(getLe(h + 16, 4));
        entry.compressedSize = getLe(h + 20, 4);
        entry.size = getLe(h + 24, 4);
        const size_t nameLength = static_cast<size_t>(getLe(h + 28, 2));
        const size_t extraLength = static_cast<size_t>(getLe(h + 30, 2));
        const size_t commentLength = static_cast<size_t>(getLe(h + 32, 2));
        entry.internalAttributes = static_cast<std::uint16_t>(getLe(h + 36, 2));
        entry.externalAttributes = static_cast<std::uint32_t>(getLe(h + 38, 4));
        entry.localOffset = getLe(h + 42, 4);
        if (p + 46 + nameLength + extraLength + commentLength > central.size()) {
            why = "central directory entry " + std::to_string(n) + " runs past the directory";
            return kErrorHeaderBroken;
        }
        entry.rawName = central.substr(p + 46, nameLength);
        const std::string extra = central.substr(p + 46 + nameLength, extraLength);
        entry.comment = central.substr(p + 46 + nameLength + extraLength, commentLength);
        // Zip64 values appear in order for each field that holds all ones.
        const std::string zip64 = findExtra(extra, kExtraZip64);
        size_t z = 0;
        auto take64 = [&](std::uint64_t& field, std::uint64_t marker) {
            if (field != marker)
                return true;
            if (z + 8 > zip64.size())
                return false;
            field = getLe(bytesOf(zip64, z), 8);
            z += 8;
            return true;
        };
        if (!take64(entry.size, 0xFFFFFFFF) || !take64(entry.compressedSize, 0xFFFFFFFF)
            || !take64(entry.localOffset, 0xFFFFFFFF)) {
            why = "central directory entry " + std::to_string(n) + ": Zip64 field missing";
            return kErrorHeaderBroken;
        }
        entry.extra = withoutExtra(extra, kExtraZip64);
        entry.name = decodeName(entry.rawName, entry.flags, extra);
        if (!(entry.flags & kFlagUtf8) && !unicodeName(entry.rawName, extra)) {
            plain.push_back(directory.entries.size());
            plainNames.add(entry);
        }
        if (entry.localOffset >= offset || entry.compressedSize > offset - entry.localOffset) {
            why = entry.name + ": data outside the archive's entries";
            return kErrorHeaderBroken;
        }
        directory.entries.push_back(std::move(entry));
        p += 46 + nameLength + extraLength + commentLength;
    }
    // One encoding for all of them, so that a folder never comes out under two spellings.
    const NameEncoding encoding = plainNames.encoding();
    for (size_t index : plain) {
        Entry& entry = directory.entries[index];
        entry.name = decodeName(entry.rawName, entry.flags, entry.extra, encoding);
    }
    return kOk;
}

int measureLocal(RandomReader& archive, Entry& entry, std::string& why)
{
    std::string header;
    if (!readExact(archive, entry.localOffset, 30, header) || getLe(bytesOf(header), 4) != kLocalSignature) {
        why = entry.name + ": local header missing";
        return kErrorHeaderBroken;
    }
    std::uint64_t size = 30 + getLe(bytesOf(header, 26), 2) + getLe(bytesOf(header, 28), 2) + entry.compressedSize;
    if (entry.flags & kFlagDescriptor) {
        // Optional signature, CRC, then 4- or 8-byte sizes.
        std::string descriptor;
        const std::uint64_t at = entry.localOffset + size;
        if (!readExact(archive, at, 4, descriptor)) {
            why = entry.name + ": data descriptor missing";
            return kErrorEof;
        }
        const bool signature = getLe(bytesOf(descriptor), 4) == kDescriptorSignature;
        const bool large = entry.size >= 0xFFFFFFFF || entry.compressedSize >= 0xFFFFFFFF;
        size += (signature ? 4 : 0) + 4 + (large ? 16 : 8);
    }
    if (entry.localOffset + size > archive.size()) {
        why = entry.name + ": data runs past the end";
        return kErrorEof;
    }
    entry.localRecordSize = size;
    return kOk;
}

} // namespace zipfmt
