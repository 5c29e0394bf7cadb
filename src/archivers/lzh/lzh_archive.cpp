// LZH archives as a whole: listing, decoding and writing members.
#include "lzh_archive.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "common/archive_target.h"
#include "common/result_codes.h"
#include "crc16.h"
#include "lzh_estimate.h"

namespace lzh {

using namespace archivers;

namespace {

// More members than this is not a disk's archive but a crafted one.
constexpr size_t kMaxMembers = 1u << 20;

// Bytes copied per call when storing or copying.
constexpr size_t kCopyChunk = 256 * 1024;

int codeOfHeaderStatus(HeaderStatus status)
{
    switch (status) {
    case HeaderStatus::Truncated: return kErrorEof;
    case HeaderStatus::BadChecksum: return kErrorHeaderCrc;
    case HeaderStatus::UnknownLevel: return kErrorUnknownLevel;
    default: return kErrorHeaderBroken;
    }
}

// A read buffer of at most kCopyChunk bytes, left uninitialised.
class ChunkBuffer {
public:
    explicit ChunkBuffer(std::uint64_t wanted)
        : m_size(static_cast<size_t>(std::clamp<std::uint64_t>(wanted, 1, kCopyChunk)))
        , m_data(new unsigned char[m_size])
    {
    }
    unsigned char* data() { return m_data.get(); }
    size_t size() const { return m_size; }

private:
    size_t m_size;
    std::unique_ptr<unsigned char[]> m_data;
};

std::string errnoText(int error)
{
    return readErrorText(error);
}

} // namespace

int listArchive(RandomReader& archive, Listing& listing, std::string& why)
{
    listing = Listing{};
    std::uint64_t offset = 0;
    const std::uint64_t size = archive.size();
    for (;;) {
        MemberHeader header;
        std::string reason;
        const HeaderStatus status = readHeader(archive, offset, header, reason);
        if (status == HeaderStatus::EndMark) {
            // An empty archive is the end mark alone; a longer file that
            // starts with it holds no archive (or a damaged one, whose
            // members must not be lost to an update).
            if (offset == 0 && size > 1) {
                why = "no member header at the start: not an archive, or a damaged one";
                return kErrorFileStyle;
            }
            listing.endMark = true;
            return kOk;
        }
        if (status == HeaderStatus::EndOfFile)
            return listing.members.empty() ? (why = "empty file", kErrorFileStyle) : kOk;
        if (status != HeaderStatus::Ok) {
            why = "at offset " + std::to_string(offset) + ": " + reason;
            return listing.members.empty() && status == HeaderStatus::Broken ? kErrorFileStyle
                                                                              : codeOfHeaderStatus(status);
        }
        if (header.dataOffset > size || header.compressedSize > size - header.dataOffset) {
            why = header.path() + ": data runs past the end of the archive";
            return kErrorEof;
        }
        offset = header.dataOffset + header.compressedSize;
        listing.members.push_back(std::move(header));
        if (listing.members.size() > kMaxMembers) {
            why = "too many members";
            return kErrorHeaderBroken;
        }
    }
}

int decodeMember(RandomReader& archive, const MemberHeader& member, const ByteConsumer& consume,
                 Progress* progress, std::string& why)
{
    const std::string name = member.path();
    std::uint16_t crc = 0;
    if (member.isDirectory || member.isSymlink)
        return kOk;
    if (const std::uint64_t ratio = bombRatio(member.originalSize, member.compressedSize, kLzhBombRatio)) {
        why = name + ": expands " + std::to_string(ratio) + " times: refused as a decompression bomb";
        return kErrorTooBig;
    }
    if (member.method == Method::Stored) {
        if (member.compressedSize != member.originalSize) {
            why = name + ": stored sizes differ";
            return kErrorBrokenData;
        }
        ChunkBuffer buffer(member.originalSize);
        std::uint64_t left = member.originalSize;
        std::uint64_t offset = member.dataOffset;
        while (left > 0) {
            const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, buffer.size()));
            const long got = archive.readAt(offset, buffer.data(), want);
            if (got <= 0) {
                why = name + ": " + errnoText(got < 0 ? archive.error() : 0);
                return got < 0 ? kErrorCannotRead : kErrorEof;
            }
            crc = crc16Update(crc, buffer.data(), static_cast<size_t>(got));
            if (!consume(buffer.data(), static_cast<size_t>(got))) {
                why = name;
                return kErrorCannotWrite;
            }
            if (progress && !progress->advance(static_cast<std::uint64_t>(got), name))
                return kErrorUserCancel;
            left -= static_cast<std::uint64_t>(got);
            offset += static_cast<std::uint64_t>(got);
        }
    } else if (member.method == Method::Lh4 || member.method == Method::Lh5 || member.method == Method::Lh6
               || member.method == Method::Lh7) {
        int error = 0;
        std::uint64_t ratio = 0;
        const ExpansionCheck allowed = [&](std::uint64_t produced, std::uint64_t consumed) {
            ratio = expansionRatio(member.originalSize, produced, consumed, kLzhBombRatio);
            return ratio == 0;
        };
        const CodecStatus status = decodeStream(member.method, archive, member.dataOffset, member.compressedSize,
            member.originalSize, consume, progress, name, crc, error, allowed);
        switch (status) {
        case CodecStatus::Ok: break;
        case CodecStatus::Expands:
            why = name + ": expands " + std::to_string(ratio) + " times: refused as a decompression bomb";
            return kErrorTooBig;
        case CodecStatus::Cancelled: return kErrorUserCancel;
        case CodecStatus::WriteError: why = name; return kErrorCannotWrite;
        case CodecStatus::ReadError: why = name + ": " + errnoText(error); return kErrorCannotRead;
        case CodecStatus::BadTables: why = name + ": broken Huffman tables"; return kErrorHuffmanCode;
        case CodecStatus::Truncated: why = name + ": compressed data ends early"; return kErrorBrokenData;
        default: why = name + ": broken compressed data"; return kErrorBrokenData;
        }
    } else {
        why = name + ": method " + member.methodId + " is not supported";
        return kErrorMethod;
    }
    if (crc != member.crc) {
        why = name + ": CRC error";
        return kErrorFileCrc;
    }
    return kOk;
}

int ArchiveWriter::writeError(std::string& why)
{
    why = std::string("writing the archive: ") + errnoText(m_sink.error());
    return resultCodeForWrite(m_sink.error());
}

int ArchiveWriter::copyMember(RandomReader& from, const MemberHeader& member, std::string& why)
{
    ChunkBuffer buffer(member.headerSize + member.compressedSize);
    std::uint64_t left = member.headerSize + member.compressedSize;
    std::uint64_t offset = member.headerOffset;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, buffer.size()));
        const long got = from.readAt(offset, buffer.data(), want);
        if (got <= 0) {
            why = member.path() + ": reading the old archive: " + errnoText(got < 0 ? from.error() : 0);
            return got < 0 ? kErrorCannotRead : kErrorEof;
        }
        if (!m_sink.write(buffer.data(), static_cast<size_t>(got)))
            return writeError(why);
        left -= static_cast<std::uint64_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    return kOk;
}

int ArchiveWriter::addFolder(const NewMember& member, std::string& why)
{
    NewMember folder = member;
    folder.method = Method::Directory;
    folder.isDirectory = true;
    folder.compressedSize = folder.originalSize = 0;
    folder.crc = 0;
    folder.attribute = static_cast<std::uint16_t>(folder.attribute | kAttrDirectory);
    folder.attribute = static_cast<std::uint16_t>(folder.attribute & ~kAttrArchive);
    std::string bytes;
    if (buildHeader(folder, m_level, bytes) != BuildStatus::Ok) {
        why = "a folder name too long for the header";
        return kErrorLongFileName;
    }
    m_newMembers.push_back(m_sink.position());
    if (!m_sink.write(bytes.data(), bytes.size()))
        return writeError(why);
    return kOk;
}

namespace {

// Copies a source into the archive unchanged, with its CRC.
struct StoreResult {
    std::uint64_t size = 0;
    std::uint16_t crc = 0;
    int error = 0;
    bool readFailed = false;
    bool cancelled = false;
};

// Progress counts only the bytes past `counted`: those were counted by an
// earlier pass over the same file. An `estimator` sees every byte stored.
StoreResult storeStream(ByteSource& source, ByteSink& sink, Progress& progress, const std::string& name,
                        std::uint64_t counted, std::uint64_t expected, SizeEstimator* estimator)
{
    StoreResult result;
    // One byte more than expected, so that a grown file is seen.
    ChunkBuffer buffer(expected + 1);
    for (;;) {
        const long got = source.read(buffer.data(), buffer.size());
        if (got < 0) {
            result.readFailed = true;
            result.error = source.error();
            return result;
        }
        if (got == 0)
            return result;
        result.crc = crc16Update(result.crc, buffer.data(), static_cast<size_t>(got));
        result.size += static_cast<std::uint64_t>(got);
        if (!sink.write(buffer.data(), static_cast<size_t>(got))) {
            result.error = sink.error();
            return result;
        }
        if (estimator)
            estimator->add(buffer.data(), static_cast<size_t>(got));
        const std::uint64_t fresh = result.size > counted ? std::min<std::uint64_t>(result.size - counted, got) : 0;
        if (fresh && !progress.advance(fresh, name)) {
            result.cancelled = true;
            return result;
        }
    }
}

} // namespace

int ArchiveWriter::addFile(const std::string& nativePath, std::uint64_t expectedSize, NewMember member,
                           Progress& progress, const std::string& displayName, std::string& why)
{
    auto cannotRead = [&](int error) {
        why = displayName + ": cannot be read: " + errnoText(error);
        return kErrorCannotRead;
    };
    std::unique_ptr<ByteSource> source = openNamedSource(nativePath, displayName, why);
    if (!source)
        return kErrorFileOpen;
    // Headers of level 0 and 1 hold 32-bit sizes; level 2 adds 64-bit ones
    // when a file comes near 4 GiB.
    member.largeSizes = expectedSize >= 0xF0000000ull;
    if (member.largeSizes && m_level < 2) {
        why = displayName + ": too large for header level " + std::to_string(m_level);
        return kErrorTooBig;
    }
    if (expectedSize == 0)
        member.method = Method::Stored;
    member.compressedSize = member.originalSize = 0;
    member.crc = 0;

    const std::uint64_t headerAt = m_sink.position();
    std::string header;
    if (buildHeader(member, m_level, header) != BuildStatus::Ok) {
        why = displayName + ": the name is too long for header level " + std::to_string(m_level);
        return kErrorLongFileName;
    }
    if (!m_sink.write(header.data(), header.size()))
        return writeError(why);
    const std::uint64_t dataAt = m_sink.position();

    // Every pass reads the file from its start into the member's data; the
    // first one reads the source opened above.
    bool started = false;
    auto restart = [&]() -> int {
        if (!started) {
            started = true;
            return kOk;
        }
        if (!m_sink.truncate(dataAt))
            return writeError(why);
        source = openNamedSource(nativePath, displayName, why);
        if (!source)
            return kErrorFileOpen;
        return kOk;
    };
    auto changed = [&]() {
        why = displayName + ": the file changed while it was read";
        return kErrorCannotRead;
    };
    std::uint64_t compressedSize = 0;
    std::uint16_t crc = 0;
    std::uint64_t counted = 0; // bytes the progress has seen already
    bool whole = false;        // a pass read the whole file: a later one must find the same CRC

    // A compressing pass; `probe`: it ends early when the first stretch does
    // not shrink. `kept`: its result is smaller than the file.
    auto compressPass = [&](bool probe, bool& kept) -> int {
        kept = false;
        if (const int failed = restart(); failed != kOk)
            return failed;
        EncodeOptions options;
        options.sizeHint = expectedSize;
        options.probe = probe;
        options.counted = counted;
        EncodeResult encoded;
        const CodecStatus status = encodeStream(member.method, *source, m_sink, progress, displayName, encoded, options);
        if (status == CodecStatus::Cancelled)
            return kErrorUserCancel;
        if (status == CodecStatus::ReadError)
            return cannotRead(encoded.error);
        counted = std::max(counted, encoded.originalSize);
        if (status == CodecStatus::Incompressible)
            return kOk;
        if (status != CodecStatus::Ok)
            return writeError(why);
        if (encoded.originalSize != expectedSize || (whole && encoded.crc != crc))
            return changed();
        whole = true;
        crc = encoded.crc;
        compressedSize = encoded.compressedSize;
        kept = compressedSize < expectedSize;
        return kOk;
    };
    auto storePass = [&](SizeEstimator* estimator) -> int {
        if (const int failed = restart(); failed != kOk)
            return failed;
        const StoreResult stored = storeStream(*source, m_sink, progress, displayName, counted, expectedSize, estimator);
        if (stored.cancelled)
            return kErrorUserCancel;
        if (stored.readFailed)
            return cannotRead(stored.error);
        if (stored.error)
            return writeError(why);
        if (stored.size != expectedSize || (whole && stored.crc != crc))
            return changed();
        counted = std::max(counted, stored.size);
        whole = true;
        crc = stored.crc;
        compressedSize = stored.size;
        return kOk;
    };

    bool compressed = false;
    bool stored = false;
    if (member.method != Method::Stored) {
        if (const int failed = compressPass(true, compressed); failed != kOk)
            return failed;
        if (!compressed && !whole) {
            // The first stretch did not shrink: the file is stored, and the
            // whole of it weighed on the way. Compressed after all when that
            // clearly pays, and kept so only when smaller.
            SizeEstimator estimator(member.method);
            if (const int failed = storePass(&estimator); failed != kOk)
                return failed;
            stored = true;
            if (estimator.worthCompressing()) {
                if (const int failed = compressPass(false, compressed); failed != kOk)
                    return failed;
                stored = false;
            }
        }
    }
    if (!compressed && !stored) {
        if (const int failed = storePass(nullptr); failed != kOk)
            return failed;
    }
    if (!compressed)
        member.method = Method::Stored;

    member.originalSize = expectedSize;
    member.compressedSize = compressedSize;
    member.crc = crc;
    std::string finalHeader;
    if (buildHeader(member, m_level, finalHeader) != BuildStatus::Ok || finalHeader.size() != header.size()) {
        why = displayName + ": too large for header level " + std::to_string(m_level);
        return kErrorTooBig;
    }
    if (!m_sink.writeAt(headerAt, finalHeader.data(), finalHeader.size()))
        return writeError(why);
    m_newMembers.push_back(headerAt);
    return kOk;
}

PreparedMember MemberPreparer::prepare(const std::string& nativePath)
{
    PreparedMember prepared;
    // One byte more than a buffered file may hold, so that a grown file shows.
    unsigned char* bytes = m_input.reserve(kBufferedFileSize + 1);
    prepared.file = readWhole(nativePath, bytes, kBufferedFileSize + 1);
    if (!prepared.file.opened || prepared.file.readFailed)
        return prepared;
    const size_t size = prepared.file.size;
    bool counted = false; // the encoder went over every byte and has their CRC
    if (size > 0 && size <= kBufferedFileSize && m_method != Method::Stored) {
        MemorySource source(bytes, size);
        StringSink sink(prepared.data);
        Progress quiet;
        EncodeOptions options;
        options.sizeHint = size;
        EncodeResult encoded;
        CodecStatus status = encodeStream(m_method, source, sink, quiet, nativePath, encoded, options);
        if (status == CodecStatus::Incompressible) {
            // The first stretch did not shrink; the rest may, by a guess at the whole.
            SizeEstimator estimator(m_method);
            estimator.add(bytes, size);
            if (estimator.worthCompressing()) {
                prepared.data.clear();
                MemorySource again(bytes, size);
                options.probe = false;
                status = encodeStream(m_method, again, sink, quiet, nativePath, encoded, options);
            }
        }
        counted = status == CodecStatus::Ok && encoded.originalSize == size;
        prepared.crc = encoded.crc;
        prepared.compressed = counted && encoded.compressedSize < size;
    }
    if (!counted)
        prepared.crc = crc16Update(0, bytes, size);
    if (!prepared.compressed)
        prepared.data.assign(reinterpret_cast<const char*>(bytes), size);
    return prepared;
}

int ArchiveWriter::addPrepared(std::uint64_t expectedSize, NewMember member, const PreparedMember& prepared,
                               Progress& progress, const std::string& displayName, std::string& why)
{
    if (const int failed = wholeFileFailure(prepared.file, displayName, why); failed != kOk)
        return failed;
    if (prepared.file.size != expectedSize) {
        why = displayName + ": the file changed while it was read";
        return kErrorCannotRead;
    }
    if (!progress.advance(expectedSize, displayName))
        return kErrorUserCancel;
    if (!prepared.compressed)
        member.method = Method::Stored;
    member.largeSizes = false;
    member.originalSize = expectedSize;
    member.compressedSize = prepared.data.size();
    member.crc = prepared.crc;
    std::string header;
    if (buildHeader(member, m_level, header) != BuildStatus::Ok) {
        why = displayName + ": the name is too long for header level " + std::to_string(m_level);
        return kErrorLongFileName;
    }
    const std::uint64_t headerAt = m_sink.position();
    if (!m_sink.write(header.data(), header.size()) || !m_sink.write(prepared.data.data(), prepared.data.size()))
        return writeError(why);
    m_newMembers.push_back(headerAt);
    return kOk;
}

int ArchiveWriter::finish(std::string& why)
{
    const char end = 0;
    if (!m_sink.write(&end, 1))
        return writeError(why);
    return kOk;
}

} // namespace lzh
