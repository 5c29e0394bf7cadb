// LZH archives as a whole: listing members, decoding one, writing new ones.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "common/file_io.h"
#include "common/module_state.h"
#include "lzh_codec.h"
#include "lzh_header.h"

namespace lzh {

struct Listing {
    std::vector<MemberHeader> members;
    bool endMark = false;       // the archive ends with its 0x00 byte
};

// listArchive: every member header, in order. Returns 0 or a result code
// (not an archive, broken or truncated header, data running past the end);
// `why` tells what and where.
int listArchive(archivers::RandomReader& archive, Listing& listing, std::string& why);

// decodeMember: the member's data for `consume`, its CRC checked. Returns 0
// or a result code (unknown method, broken data, CRC mismatch, read failure,
// a failing consumer as a write error, cancel).
int decodeMember(archivers::RandomReader& archive, const MemberHeader& member, const ByteConsumer& consume,
                 archivers::Progress* progress, std::string& why);

// Files up to this size may be read whole and compressed in memory, ahead of
// the writer, by other threads.
constexpr std::uint64_t kBufferedFileSize = 4u << 20;

// A file read and compressed ahead.
struct PreparedMember {
    archivers::WholeFile file;
    std::uint16_t crc = 0;
    bool compressed = false; // `data` holds the compressed stream, else the file's own bytes
    std::string data;
};

// Compresses whole files of up to kBufferedFileSize bytes in memory; one per
// thread (it keeps its buffers from file to file).
class MemberPreparer {
public:
    explicit MemberPreparer(Method method) : m_method(method) {}
    PreparedMember prepare(const std::string& nativePath);

private:
    Method m_method;
    archivers::Room m_input;
};

// Writes members one after the other into an archive being built.
class ArchiveWriter {
public:
    ArchiveWriter(archivers::ByteSink& sink, int headerLevel) : m_sink(sink), m_level(headerLevel) {}

    // copyMember: the member's header and data exactly as they are in `from`.
    int copyMember(archivers::RandomReader& from, const MemberHeader& member, std::string& why);

    // addFolder: a folder entry (-lhd-).
    int addFolder(const NewMember& member, std::string& why);

    // addFile: the file at `nativePath` compressed with member.method, stored
    // (-lh0-) instead when that is not smaller. `expectedSize` is the size the
    // file had when it was found: a file that reads shorter or longer, or that
    // changes between two reads, fails the call. The name in messages is
    // `displayName`.
    int addFile(const std::string& nativePath, std::uint64_t expectedSize, NewMember member,
                archivers::Progress& progress, const std::string& displayName, std::string& why);

    // addPrepared: a file that was read and compressed ahead (see addFile).
    int addPrepared(std::uint64_t expectedSize, NewMember member, const PreparedMember& prepared,
                    archivers::Progress& progress, const std::string& displayName, std::string& why);

    // finish: the end mark.
    int finish(std::string& why);

    // Offsets of the members written by addFile/addFolder, for checking them afterwards.
    const std::vector<std::uint64_t>& newMembers() const { return m_newMembers; }

private:
    int writeError(std::string& why);

    archivers::ByteSink& m_sink;
    int m_level;
    std::vector<std::uint64_t> m_newMembers;
};

} // namespace lzh
