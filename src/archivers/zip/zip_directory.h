// The central directory of a ZIP archive: what an update keeps and copies.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "common/file_io.h"

namespace zipfmt {

struct Entry {
    std::string rawName;        // as stored
    std::string name;           // UTF-8 ("SUB/FILE.TXT"; folders end with "/")
    std::uint16_t versionMadeBy = 0;
    std::uint16_t versionNeeded = 0;
    std::uint16_t flags = 0;
    std::uint16_t method = 0;
    std::uint32_t dosTime = 0;  // time in the low word, date in the high word
    std::uint32_t crc = 0;
    std::uint64_t compressedSize = 0;
    std::uint64_t size = 0;
    std::uint64_t localOffset = 0;
    std::uint16_t internalAttributes = 0;
    std::uint32_t externalAttributes = 0;
    std::string extra;          // central extra fields without the Zip64 one
    std::string comment;
    std::uint64_t localRecordSize = 0; // local header + data + descriptor, filled by measureLocal
};

struct Directory {
    std::vector<Entry> entries;
    std::string comment;
};

// readDirectory: every central directory entry. Returns 0 or a result code:
// not a ZIP archive, a directory that runs past the file, offsets that point
// outside it. `why` tells what.
int readDirectory(archivers::RandomReader& archive, Directory& directory, std::string& why);

// measureLocal: the bytes of the entry's local header, data and data
// descriptor, checked against the file. Returns 0 or a result code.
int measureLocal(archivers::RandomReader& archive, Entry& entry, std::string& why);

// How the names without the UTF-8 flag or a Unicode path field are written
// in one archive; decided once for the whole archive, so that one folder
// never comes out under two spellings.
enum class NameEncoding { Cp932, Utf8 };

// unicodeName: the name of a matching Unicode path field, if there is one.
std::optional<std::string> unicodeName(const std::string& raw, const std::string& extra);

// decodeName: the UTF-8 form of a stored name: UTF-8 when flagged, the
// Unicode path field when its CRC matches, else the archive's encoding
// (CP932 or raw UTF-8), else CP437-like bytes.
std::string decodeName(const std::string& raw, std::uint16_t flags, const std::string& extra,
                       NameEncoding encoding = NameEncoding::Cp932);

// findExtra: the payload of extra field `id` in `extra`, or empty.
std::string findExtra(const std::string& extra, std::uint16_t id);

// withoutExtra: `extra` with every field `id` removed.
std::string withoutExtra(const std::string& extra, std::uint16_t id);

} // namespace zipfmt
