// Member headers of LZH archives: reading levels 0 to 3, writing levels 0 to 2.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "lzh_constants.h"

namespace lzh {

// One member as its header describes it.
struct MemberHeader {
    int level = 2;
    Method method = Method::Stored;
    std::string methodId;             // the five characters, as stored
    std::uint64_t compressedSize = 0; // bytes of data after the header
    std::uint64_t originalSize = 0;
    std::int64_t mtime = 0;           // seconds since 1970, UTC
    std::uint16_t attribute = kAttrArchive;
    std::uint16_t crc = 0;
    std::uint8_t os = 0;
    std::vector<std::string> folders; // UTF-8 folder elements, outermost first
    std::string name;                 // UTF-8 file name; empty for a folder entry
    bool isDirectory = false;
    bool isSymlink = false;           // a Unix symbolic link ("name|target")
    std::string linkTarget;
    std::uint64_t headerOffset = 0;   // where the header starts in the archive
    std::uint64_t headerSize = 0;     // bytes of header, extended headers included
    std::uint64_t dataOffset = 0;

    // path: folders and name joined with "\" ("SUB\FILE.TXT", "SUB" for a folder).
    std::string path() const;
};

enum class HeaderStatus {
    Ok,
    EndMark,      // the 0x00 byte that ends an archive
    EndOfFile,    // the file ends where a header should start (no end mark)
    Truncated,    // the file ends inside a header
    Broken,       // sizes or fields that make no sense
    BadChecksum,  // header checksum or CRC mismatch
    UnknownLevel,
};

// readHeader: the member header at `offset`; `why` explains a failure.
HeaderStatus readHeader(archivers::RandomReader& archive, std::uint64_t offset, MemberHeader& header,
                        std::string& why);

// What a writer knows of a member before its data is written.
struct NewMember {
    std::vector<std::string> folders; // UTF-8
    std::string name;                 // UTF-8; empty for a folder
    bool isDirectory = false;
    Method method = Method::Lh5;
    std::uint64_t compressedSize = 0;
    std::uint64_t originalSize = 0;
    bool largeSizes = false;          // write 64-bit sizes (fixes the header length)
    std::int64_t mtime = 0;
    std::uint16_t attribute = kAttrArchive;
    std::uint16_t crc = 0;
};

enum class BuildStatus { Ok, NameTooLong, SizeTooLarge };

// buildHeader: the bytes of a header at `level` (0, 1 or 2). Names go in
// CP932; a name CP932 cannot hold gets its closest CP932 form plus the
// UTF-16 name headers. The length depends only on names, level and
// largeSizes, so a header can be written first and patched later.
BuildStatus buildHeader(const NewMember& member, int level, std::string& bytes);

// isExactInCp932: the name survives CP932 unchanged.
bool isExactInCp932(const std::string& utf8);

// DOS date and time (local) of a Unix time, and back.
std::uint32_t dosTimeOf(std::int64_t unixTime);
std::int64_t unixTimeOfDos(std::uint32_t dosTime);

} // namespace lzh
