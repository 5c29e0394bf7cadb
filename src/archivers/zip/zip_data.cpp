// Writing and reading ZIP entries.
#include "zip_data.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>

#include <libdeflate.h>
#include <zlib.h>

#include "common/archive_target.h"
#include "common/segments.h"
#include "common/result_codes.h"
#include "common/text_codec.h"
#include "zip_format.h"

namespace zipfmt {

using namespace archivers;

namespace {

// Bytes read or written per step.
constexpr size_t kChunk = 256 * 1024;

// A file whose first stretch does not shrink is stored instead.
constexpr std::uint64_t kIncompressibleProbe = 256 * 1024;

// libdeflate's near-optimal parse with three passes: on disk contents it makes
// archives within 0.05 % of its strongest level (12) in four fifths of the time.
constexpr int kStrongestLevel = 11;

// Sizes from here on need the Zip64 fields (with room for deflate's growth).
constexpr std::uint64_t kZip64Threshold = 0xFFFFFFFFull - (64u << 20);

std::string errnoText(int error)
{
    return readErrorText(error);
}

const unsigned char* bytesOf(const std::string& text, size_t at = 0)
{
    return reinterpret_cast<const unsigned char*>(text.data()) + at;
}

// The name as stored, its flags and extra fields: CP932 when it can hold the
// name (with a UTF-8 copy for readers that know it), else UTF-8.
struct StoredName {
    std::string raw;
    std::uint16_t flags = 0;
    std::string extra;
};

StoredName storedName(const std::string& utf8)
{
    StoredName stored;
    const auto cp932 = utf8ToCp932(utf8);
    const bool exact = cp932 && cp932ToUtf8(*cp932).value_or(std::string()) == utf8;
    if (!exact) {
        stored.raw = utf8;
        stored.flags = kFlagUtf8;
        return stored;
    }
    stored.raw = *cp932;
    if (stored.raw != utf8) {
        // Unicode path field: version 1, CRC-32 of the stored name, the UTF-8 name.
        std::string field;
        field += '\1';
        putLe(field, ::crc32(0, bytesOf(stored.raw), static_cast<uInt>(stored.raw.size())), 4);
        field += utf8;
        putLe(stored.extra, kExtraUnicodePath, 2);
        putLe(stored.extra, field.size(), 2);
        stored.extra += field;
    }
    return stored;
}

std::string timestampField(std::int64_t mtime)
{
    // Extended timestamp: flags (modification time present), then the time.
    std::string field;
    putLe(field, kExtraTimestamp, 2);
    putLe(field, 5, 2);
    field += '\1';
    putLe(field, static_cast<std::uint64_t>(timeIn32Bits(mtime)), 4);
    return field;
}

std::string localHeader(const Entry& entry, bool zip64)
{
    std::string extra = entry.extra;
    if (zip64) {
        putLe(extra, kExtraZip64, 2);
        putLe(extra, 16, 2);
        putLe(extra, entry.size, 8);
        putLe(extra, entry.compressedSize, 8);
    }
    std::string out;
    putLe(out, kLocalSignature, 4);                               // signature
    putLe(out, zip64 ? kVersionNeededZip64 : kVersionNeeded, 2);  // version needed
    putLe(out, entry.flags, 2);                                   // flags
    putLe(out, entry.method, 2);                                  // method
    putLe(out, entry.dosTime, 4);                                 // DOS time and date
    putLe(out, entry.crc, 4);                                     // CRC-32
    putLe(out, zip64 ? 0xFFFFFFFF : entry.compressedSize, 4);     // compressed size
    putLe(out, zip64 ? 0xFFFFFFFF : entry.size, 4);               // size
    putLe(out, entry.rawName.size(), 2);                          // name length
    putLe(out, extra.size(), 2);                                  // extra length
    out += entry.rawName;
    out += extra;
    return out;
}

std::string centralRecord(const Entry& entry)
{
    std::string zip64;
    const bool bigSize = entry.size >= 0xFFFFFFFF;
    const bool bigCompressed = entry.compressedSize >= 0xFFFFFFFF;
    const bool bigOffset = entry.localOffset >= 0xFFFFFFFF;
    if (bigSize)
        putLe(zip64, entry.size, 8);
    if (bigCompressed)
        putLe(zip64, entry.compressedSize, 8);
    if (bigOffset)
        putLe(zip64, entry.localOffset, 8);
    std::string extra = entry.extra;
    if (!zip64.empty()) {
        putLe(extra, kExtraZip64, 2);
        putLe(extra, zip64.size(), 2);
        extra += zip64;
    }
    std::string out;
    putLe(out, kCentralSignature, 4);                            // signature
    putLe(out, entry.versionMadeBy, 2);                          // version made by
    putLe(out, zip64.empty() ? entry.versionNeeded : std::max(entry.versionNeeded, kVersionNeededZip64), 2);
    putLe(out, entry.flags, 2);                                  // flags
    putLe(out, entry.method, 2);                                 // method
    putLe(out, entry.dosTime, 4);                                // DOS time and date
    putLe(out, entry.crc, 4);                                    // CRC-32
    putLe(out, bigCompressed ? 0xFFFFFFFF : entry.compressedSize, 4);
    putLe(out, bigSize ? 0xFFFFFFFF : entry.size, 4);
    putLe(out, entry.rawName.size(), 2);                         // name length
    putLe(out, extra.size(), 2);                                 // extra length
    putLe(out, entry.comment.size(), 2);                         // comment length
    putLe(out, 0, 2);                                            // disk number
    putLe(out, entry.internalAttributes, 2);                     // internal attributes
    putLe(out, entry.externalAttributes, 4);                     // external attributes
    putLe(out, bigOffset ? 0xFFFFFFFF : entry.localOffset, 4);   // local header offset
    out += entry.rawName;
    out += extra;
    out += entry.comment;
    return out;
}

Entry entryFor(const NewEntry& entry)
{
    const StoredName stored = storedName(entry.name);
    Entry out;
    out.rawName = stored.raw;
    out.name = entry.name;
    out.flags = stored.flags;
    out.versionMadeBy = kVersionMadeBy;
    out.versionNeeded = kVersionNeeded;
    out.dosTime = dosTimeOf(entry.mtime);
    out.externalAttributes = entry.dosAttributes;
    out.extra = stored.extra + timestampField(entry.mtime);
    return out;
}

// A read buffer, left uninitialised.
std::unique_ptr<unsigned char[]> buffer(size_t size)
{
    return std::unique_ptr<unsigned char[]>(new unsigned char[size]);
}

} // namespace

std::uint32_t dosTimeOf(std::int64_t unixTime)
{
    return archivers::dosTimeOf(unixTime);
}

std::int64_t unixTimeOfDos(std::uint32_t dosTime)
{
    return archivers::unixTimeOfDos(dosTime);
}

int ZipWriter::writeError(std::string& why)
{
    why = "writing the archive: " + errnoText(m_sink.error());
    return resultCodeForWrite(m_sink.error());
}

int ZipWriter::copyEntry(RandomReader& from, const Entry& entry, std::string& why)
{
    Entry copied = entry;
    copied.localOffset = m_sink.position();
    auto chunk = buffer(kChunk);
    std::uint64_t left = entry.localRecordSize;
    std::uint64_t offset = entry.localOffset;
    while (left > 0) {
        const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, kChunk));
        const long got = from.readAt(offset, chunk.get(), want);
        if (got <= 0) {
            why = entry.name + ": reading the old archive: " + errnoText(got < 0 ? from.error() : 0);
            return got < 0 ? kErrorCannotRead : kErrorEof;
        }
        if (!m_sink.write(chunk.get(), static_cast<size_t>(got)))
            return writeError(why);
        left -= static_cast<std::uint64_t>(got);
        offset += static_cast<std::uint64_t>(got);
    }
    m_entries.push_back(std::move(copied));
    return kOk;
}

int ZipWriter::addFolder(const NewEntry& entry, std::string& why)
{
    Entry out = entryFor(entry);
    out.method = kMethodStored;
    out.externalAttributes |= kDosDirectory;
    out.localOffset = m_sink.position();
    const std::string header = localHeader(out, false);
    if (!m_sink.write(header.data(), header.size()))
        return writeError(why);
    m_new.push_back(m_entries.size());
    m_entries.push_back(std::move(out));
    return kOk;
}

namespace {

struct Pass {
    std::uint64_t size = 0;
    std::uint64_t written = 0;
    std::uint32_t crc = 0;
    int readError = 0;
    bool readFailed = false;
    bool writeFailed = false;
    bool cancelled = false;
    bool incompressible = false;
    int coderError = 0; // the deflater failed (not the sink)
};

// One pass over the source, stored into the sink.
Pass storeData(ByteSource& source, ByteSink& sink, Progress& progress, const std::string& name, std::uint64_t counted)
{
    Pass pass;
    pass.crc = static_cast<std::uint32_t>(::crc32(0, nullptr, 0));
    auto in = buffer(kChunk);
    for (;;) {
        const long got = source.read(in.get(), kChunk);
        if (got < 0) {
            pass.readFailed = true;
            pass.readError = source.error();
            return pass;
        }
        pass.crc = static_cast<std::uint32_t>(::crc32(pass.crc, in.get(), static_cast<uInt>(got)));
        pass.size += static_cast<std::uint64_t>(got);
        const std::uint64_t fresh = pass.size > counted ? std::min<std::uint64_t>(pass.size - counted, got) : 0;
        if (fresh && !progress.advance(fresh, name)) {
            pass.cancelled = true;
            return pass;
        }
        if (got == 0)
            return pass;
        if (!sink.write(in.get(), static_cast<size_t>(got))) {
            pass.writeFailed = true;
            return pass;
        }
        pass.written += static_cast<std::uint64_t>(got);
    }
}

// Where the last block of a raw deflate stream starts (its BFINAL bit) and
// where it ends, in bits from the stream's start; false when the stream does
// not end inside `size` bytes.
bool lastBlockOf(const unsigned char* data, size_t size, std::uint64_t& start, std::uint64_t& end)
{
    z_stream stream{};
    if (::inflateInit2(&stream, -15) != Z_OK)
        return false;
    auto scratch = buffer(kChunk);
    stream.next_in = const_cast<unsigned char*>(data);
    stream.avail_in = static_cast<uInt>(size);
    std::uint64_t blockStart = 0;
    bool found = false;
    for (;;) {
        stream.next_out = scratch.get();
        stream.avail_out = static_cast<uInt>(kChunk);
        // Z_BLOCK stops after every block; data_type then holds the bits
        // taken into zlib but not used (low six bits), 64 when the block was
        // the last, 128 at a block boundary.
        const int status = ::inflate(&stream, Z_BLOCK);
        if (status != Z_OK)
            break;
        if (stream.data_type & 128) {
            const std::uint64_t at = std::uint64_t{stream.total_in} * 8 - static_cast<unsigned>(stream.data_type & 63);
            if (stream.data_type & 64) {
                start = blockStart;
                end = at;
                found = true;
                break;
            }
            blockStart = at;
        }
        if (stream.avail_in == 0 && stream.avail_out != 0)
            break;
    }
    ::inflateEnd(&stream);
    return found && end <= std::uint64_t{size} * 8 && start < end && (data[start / 8] >> (start % 8) & 1);
}

// firstStretchShrinks: the first kIncompressibleProbe bytes of `data`,
// deflated by the quick `compressor` into `room` (as many bytes), come out
// smaller. Pictures and archives do not: the look saves the slow parse.
bool firstStretchShrinks(::libdeflate_compressor* compressor, const unsigned char* data, unsigned char* room)
{
    return ::libdeflate_deflate_compress(compressor, data, kIncompressibleProbe, room, kIncompressibleProbe - 1) != 0;
}

// Failures of a deflated segment.
constexpr int kSegmentIncompressible = 1;
constexpr int kSegmentStopped = 2;
constexpr int kSegmentUnjoinable = 3;

// One pass over the source, deflated into the sink by libdeflate on every
// core: each segment is a deflate stream of its own (libdeflate takes no
// preset dictionary), whose last block loses its BFINAL bit so that the next
// segment's blocks follow it, as a flush would leave it. `probe`: a first stretch that does not shrink
// ends the pass early (incompressible).
Pass deflateData(ByteSource& source, ByteSink& sink, int level, bool probe, Progress& progress, const std::string& name,
                 std::uint64_t counted)
{
    Pass pass;
    std::uint32_t crc = 0;
    auto factory = [level, probe]() -> SegmentCoder {
        struct Compressors {
            explicit Compressors(int level)
                : main(::libdeflate_alloc_compressor(bufferLevelFor(level))), quick(::libdeflate_alloc_compressor(1))
            {
            }
            ~Compressors()
            {
                ::libdeflate_free_compressor(main);
                ::libdeflate_free_compressor(quick);
            }
            Compressors(const Compressors&) = delete;
            Compressors& operator=(const Compressors&) = delete;
            ::libdeflate_compressor* main;
            ::libdeflate_compressor* quick;
        };
        auto compressors = std::make_shared<Compressors>(level);
        if (!compressors->main || !compressors->quick)
            throw std::bad_alloc();
        return [compressors, probe](const Segment& segment, SegmentSignals& signals) {
            CodedSegment coded;
            if (signals.stop) {
                coded.failure = kSegmentStopped;
                return coded;
            }
            const size_t size = segment.ownSize();
            if (probe && segment.index == 0 && size > kIncompressibleProbe) {
                std::string room(kIncompressibleProbe, '\0');
                if (!firstStretchShrinks(compressors->quick, segment.own(),
                        reinterpret_cast<unsigned char*>(room.data()))) {
                    coded.failure = kSegmentIncompressible;
                    return coded;
                }
            }
            coded.data.resize(::libdeflate_deflate_compress_bound(compressors->main, size));
            const size_t made = ::libdeflate_deflate_compress(compressors->main, segment.own(), size,
                coded.data.data(), coded.data.size());
            coded.data.resize(made);
            signals.coded += size;
            auto* bytes = reinterpret_cast<unsigned char*>(coded.data.data());
            std::uint64_t start = 0;
            if (made == 0) {
                coded.failure = kSegmentUnjoinable;
            } else if (segment.last) {
                coded.bits = std::uint64_t{made} * 8;
            } else if (std::uint64_t end = 0; lastBlockOf(bytes, made, start, end)) {
                // Not the last block after all; an empty stored block after
                // it ends the segment on a byte boundary, where the next one
                // starts: stored blocks inside a segment are aligned to bytes
                // as the segment is, and the segments join as bytes.
                bytes[start / 8] = static_cast<unsigned char>(bytes[start / 8] & ~(1u << (start % 8)));
                const size_t kept = static_cast<size_t>((end + 3 + 7) / 8);
                bytes[end / 8] = static_cast<unsigned char>(bytes[end / 8] & ((1u << (end % 8)) - 1));
                coded.data.resize(kept);
                std::fill(coded.data.begin() + static_cast<std::ptrdiff_t>(end / 8 + 1), coded.data.end(), '\0');
                coded.data.append("\x00\x00\xFF\xFF", 4);
                coded.bits = std::uint64_t{coded.data.size()} * 8;
            } else {
                coded.failure = kSegmentUnjoinable;
            }
            return coded;
        };
    };
    SegmentedOptions options;
    options.counted = counted;
    options.onRead = [&crc](const unsigned char* data, size_t size) { crc = ::libdeflate_crc32(crc, data, size); };
    const SegmentedResult result = codeSegmented(source, sink, progress, name, factory, options);
    pass.crc = crc;
    pass.size = result.size;
    pass.written = result.written;
    using Status = SegmentedResult::Status;
    switch (result.status) {
    case Status::Ok:
        break;
    case Status::ReadError:
        pass.readFailed = true;
        pass.readError = result.error;
        break;
    case Status::WriteError:
        pass.writeFailed = true;
        break;
    case Status::Cancelled:
        pass.cancelled = true;
        break;
    case Status::CoderFailed:
        if (result.failure == kSegmentIncompressible) {
            pass.incompressible = true;
            pass.size = result.counted;
        } else {
            pass.writeFailed = true;
            pass.coderError = result.failure == kSegmentUnjoinable ? EPROTO : ENOMEM;
        }
        break;
    }
    return pass;
}

} // namespace

int bufferLevelFor(int level)
{
    // Levels 1..6 parse alike in both libraries; above, libdeflate's lazy
    // parsers (8, 9) and its near-optimal ones (10..12) take over.
    static constexpr int kLevels[10] = {0, 1, 2, 3, 4, 5, 6, 8, 10, kStrongestLevel};
    return kLevels[std::clamp(level, 1, 9)];
}

BufferDeflater::BufferDeflater(int level)
    : m_compressor(::libdeflate_alloc_compressor(bufferLevelFor(level)))
    , m_probe(::libdeflate_alloc_compressor(1))
{
}

BufferDeflater::~BufferDeflater()
{
    ::libdeflate_free_compressor(m_compressor);
    ::libdeflate_free_compressor(m_probe);
}

bool BufferDeflater::deflate(const unsigned char* data, size_t size, std::string& out)
{
    out.clear();
    if (!m_compressor || !m_probe || size == 0)
        return false;
    // Room for one byte less than the data: a result that does not fit is not
    // smaller. The room is kept from file to file, so that its pages are
    // mapped once per thread rather than once per file.
    unsigned char* output = m_output.reserve(size);
    if (size > kIncompressibleProbe && !firstStretchShrinks(m_probe, data, output))
        return false;
    const size_t made = size > 1 ? ::libdeflate_deflate_compress(m_compressor, data, size, output, size - 1) : 0;
    out.assign(reinterpret_cast<const char*>(output), made);
    return made > 0;
}

Prepared prepareFile(const std::string& nativePath, BufferDeflater& deflater)
{
    Prepared prepared;
    // One byte more than a buffered file may hold, so that a grown file shows.
    unsigned char* bytes = deflater.input(kBufferedFileSize + 1);
    prepared.file = readWhole(nativePath, bytes, kBufferedFileSize + 1);
    if (!prepared.file.opened || prepared.file.readFailed)
        return prepared;
    prepared.crc = ::libdeflate_crc32(0, bytes, prepared.file.size);
    prepared.deflated = deflater.deflate(bytes, prepared.file.size, prepared.data);
    return prepared;
}

int ZipWriter::addPrepared(const std::string& nativePath, std::uint64_t expectedSize, const NewEntry& entry,
                           const Prepared& prepared, Progress& progress, const std::string& displayName,
                           std::string& why)
{
    if (const int failed = wholeFileFailure(prepared.file, displayName, why); failed != kOk)
        return failed;
    if (!prepared.deflated)
        return addFile(nativePath, expectedSize, NewEntry{entry.name, entry.folder, entry.mtime, entry.dosAttributes, 0},
            progress, displayName, why);
    if (prepared.file.size != expectedSize) {
        why = displayName + ": the file changed while it was read";
        return kErrorCannotRead;
    }
    if (!progress.advance(prepared.file.size, displayName))
        return kErrorUserCancel;
    Entry out = entryFor(entry);
    out.method = kMethodDeflated;
    out.localOffset = m_sink.position();
    out.crc = prepared.crc;
    out.size = prepared.file.size;
    out.compressedSize = prepared.data.size();
    const std::string header = localHeader(out, false);
    if (!m_sink.write(header.data(), header.size()) || !m_sink.write(prepared.data.data(), prepared.data.size()))
        return writeError(why);
    m_new.push_back(m_entries.size());
    m_entries.push_back(std::move(out));
    return kOk;
}

int ZipWriter::addFile(const std::string& nativePath, std::uint64_t expectedSize, const NewEntry& entry,
                       Progress& progress, const std::string& displayName, std::string& why)
{
    std::unique_ptr<ByteSource> source = openNamedSource(nativePath, displayName, why);
    if (!source)
        return kErrorFileOpen;
    Entry out = entryFor(entry);
    const bool zip64 = expectedSize >= kZip64Threshold;
    out.versionNeeded = zip64 ? kVersionNeededZip64 : kVersionNeeded;
    out.method = entry.level > 0 && expectedSize > 0 ? kMethodDeflated : kMethodStored;
    out.localOffset = m_sink.position();
    const std::string placeholder = localHeader(out, zip64);
    if (!m_sink.write(placeholder.data(), placeholder.size()))
        return writeError(why);
    const std::uint64_t dataAt = m_sink.position();

    auto failed = [&](const Pass& pass) -> int {
        if (pass.cancelled)
            return kErrorUserCancel;
        if (pass.readFailed) {
            why = displayName + ": cannot be read: " + errnoText(pass.readError);
            return kErrorCannotRead;
        }
        if (pass.coderError) {
            why = displayName + (pass.coderError == ENOMEM ? ": out of memory while compressing"
                                                           : ": the compressed segments could not be joined");
            return pass.coderError == ENOMEM ? 0x801D : kErrorCannotWrite;
        }
        return writeError(why);
    };
    Pass pass = out.method == kMethodDeflated ? deflateData(*source, m_sink, entry.level, true, progress, displayName, 0)
                                              : storeData(*source, m_sink, progress, displayName, 0);
    if (pass.cancelled || pass.readFailed || pass.writeFailed)
        return failed(pass);
    const bool crcKnown = !pass.incompressible;
    if (out.method == kMethodDeflated && (pass.incompressible || pass.written >= pass.size)) {
        // Not smaller: store it, reading the file a second time.
        if (!m_sink.truncate(dataAt))
            return writeError(why);
        source = openNamedSource(nativePath, displayName, why);
        if (!source)
            return kErrorFileOpen;
        const std::uint32_t firstCrc = pass.crc;
        const std::uint64_t counted = pass.size;
        pass = storeData(*source, m_sink, progress, displayName, counted);
        if (pass.cancelled || pass.readFailed || pass.writeFailed)
            return failed(pass);
        if (crcKnown && pass.crc != firstCrc) {
            why = displayName + ": the file changed while it was read";
            return kErrorCannotRead;
        }
        out.method = kMethodStored;
    }
    if (pass.size != expectedSize) {
        why = displayName + ": the file changed while it was read";
        return kErrorCannotRead;
    }
    out.crc = pass.crc;
    out.size = pass.size;
    out.compressedSize = pass.written;
    const std::string header = localHeader(out, zip64);
    if (!m_sink.writeAt(out.localOffset, header.data(), header.size()))
        return writeError(why);
    m_new.push_back(m_entries.size());
    m_entries.push_back(std::move(out));
    return kOk;
}

int ZipWriter::finish(std::string& why)
{
    const std::uint64_t directoryAt = m_sink.position();
    std::string block;
    for (const Entry& entry : m_entries) {
        block += centralRecord(entry);
        if (block.size() >= kChunk) {
            if (!m_sink.write(block.data(), block.size()))
                return writeError(why);
            block.clear();
        }
    }
    const std::uint64_t directorySize = m_sink.position() + block.size() - directoryAt;
    const std::uint64_t count = m_entries.size();
    const bool zip64 = count >= 0xFFFF || directoryAt >= 0xFFFFFFFF || directorySize >= 0xFFFFFFFF;
    if (zip64) {
        const std::uint64_t recordAt = m_sink.position() + block.size();
        putLe(block, kZip64EndSignature, 4);  // Zip64 end record
        putLe(block, 44, 8);                  // its size after this field
        putLe(block, kVersionMadeBy, 2);
        putLe(block, kVersionNeededZip64, 2);
        putLe(block, 0, 4);                   // this disk
        putLe(block, 0, 4);                   // disk of the directory
        putLe(block, count, 8);               // entries on this disk
        putLe(block, count, 8);               // entries
        putLe(block, directorySize, 8);
        putLe(block, directoryAt, 8);
        putLe(block, kZip64LocatorSignature, 4); // locator
        putLe(block, 0, 4);
        putLe(block, recordAt, 8);
        putLe(block, 1, 4);                   // disks
    }
    putLe(block, kEndSignature, 4);                                     // end record
    putLe(block, 0, 2);                                                 // this disk
    putLe(block, 0, 2);                                                 // disk of the directory
    putLe(block, std::min<std::uint64_t>(count, 0xFFFF), 2);            // entries on this disk
    putLe(block, std::min<std::uint64_t>(count, 0xFFFF), 2);            // entries
    putLe(block, std::min<std::uint64_t>(directorySize, 0xFFFFFFFF), 4); // directory size
    putLe(block, std::min<std::uint64_t>(directoryAt, 0xFFFFFFFF), 4);   // directory offset
    putLe(block, 0, 2);                                                 // comment length
    if (!m_sink.write(block.data(), block.size()))
        return writeError(why);
    return kOk;
}

int readEntryData(RandomReader& archive, const Entry& entry, const DataConsumer& consume, Progress* progress,
                  std::string& why)
{
    std::string header(30, '\0');
    if (archive.readAt(entry.localOffset, header.data(), 30) != 30 || getLe(bytesOf(header), 4) != kLocalSignature) {
        why = entry.name + ": local header missing";
        return kErrorHeaderBroken;
    }
    if (entry.flags & 0x0001) {
        why = entry.name + ": encrypted";
        return kErrorMethod;
    }
    std::uint64_t offset = entry.localOffset + 30 + getLe(bytesOf(header, 26), 2) + getLe(bytesOf(header, 28), 2);
    if (offset > archive.size() || entry.compressedSize > archive.size() - offset) {
        why = entry.name + ": data runs past the end";
        return kErrorEof;
    }
    if (entry.method != kMethodStored && entry.method != kMethodDeflated) {
        why = entry.name + ": method " + std::to_string(entry.method) + " is not supported";
        return kErrorMethod;
    }
    if (const std::uint64_t ratio = bombRatio(entry.size, entry.compressedSize, kZipBombRatio)) {
        why = entry.name + ": expands " + std::to_string(ratio) + " times: refused as a decompression bomb";
        return kErrorTooBig;
    }
    auto in = buffer(kChunk);
    auto out = buffer(kChunk);
    std::uint32_t crc = static_cast<std::uint32_t>(::crc32(0, nullptr, 0));
    std::uint64_t produced = 0;
    std::uint64_t left = entry.compressedSize;
    z_stream stream{};
    const bool inflating = entry.method == kMethodDeflated;
    if (inflating && ::inflateInit2(&stream, -15) != Z_OK) {
        why = entry.name + ": out of memory";
        return 0x801D;
    }
    struct End {
        z_stream* stream;
        bool active;
        ~End()
        {
            if (active)
                ::inflateEnd(stream);
        }
    } end{&stream, inflating};
    enum class Stop { None, TooMuch, Bomb, Consumer, Cancel } stop = Stop::None;
    std::uint64_t ratio = 0;
    auto deliver = [&](const unsigned char* data, size_t size) {
        if (produced + size > entry.size) {
            stop = Stop::TooMuch; // more than the entry says: refused, whatever the data
            return false;
        }
        // What the data really took (not the stated size, which may be padded).
        const std::uint64_t consumed = inflating ? stream.total_in : produced + size;
        ratio = expansionRatio(entry.size, produced + size, consumed, kZipBombRatio);
        if (ratio) {
            stop = Stop::Bomb;
            return false;
        }
        produced += size;
        crc = static_cast<std::uint32_t>(::crc32(crc, data, static_cast<uInt>(size)));
        if (!consume(data, size)) {
            stop = Stop::Consumer;
            return false;
        }
        if (progress && !progress->advance(size, entry.name)) {
            stop = Stop::Cancel;
            return false;
        }
        return true;
    };
    bool streamEnded = !inflating;
    bool stopped = false;
    // Inflate runs until the stream ends, not until the input does: the last
    // input can leave output waiting inside zlib when the buffer filled up.
    while (!stopped && (inflating ? !streamEnded : left > 0)) {
        if (left > 0 && (!inflating || stream.avail_in == 0)) {
            const size_t want = static_cast<size_t>(std::min<std::uint64_t>(left, kChunk));
            const long got = archive.readAt(offset, in.get(), want);
            if (got <= 0) {
                why = entry.name + ": " + errnoText(got < 0 ? archive.error() : 0);
                return got < 0 ? kErrorCannotRead : kErrorEof;
            }
            offset += static_cast<std::uint64_t>(got);
            left -= static_cast<std::uint64_t>(got);
            if (!inflating) {
                stopped = !deliver(in.get(), static_cast<size_t>(got));
                continue;
            }
            stream.next_in = in.get();
            stream.avail_in = static_cast<uInt>(got);
        }
        stream.next_out = out.get();
        stream.avail_out = static_cast<uInt>(kChunk);
        const int status = ::inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END && status != Z_BUF_ERROR) {
            why = entry.name + ": broken compressed data";
            return kErrorBrokenData;
        }
        const size_t size = kChunk - stream.avail_out;
        if (size && !deliver(out.get(), size)) {
            stopped = true;
            break;
        }
        streamEnded = status == Z_STREAM_END;
        // No input left and nothing more came out: the stream is cut short.
        if (!streamEnded && size == 0 && stream.avail_in == 0 && left == 0)
            break;
    }
    if (stop == Stop::Cancel)
        return kErrorUserCancel;
    if (stop == Stop::Bomb) {
        why = entry.name + ": expands " + std::to_string(ratio) + " times: refused as a decompression bomb";
        return kErrorTooBig;
    }
    if (stop == Stop::Consumer) {
        why = entry.name;
        return kErrorCannotWrite;
    }
    if (stop == Stop::TooMuch || produced != entry.size || !streamEnded) {
        why = entry.name + ": the data does not match its stated size";
        return kErrorBrokenData;
    }
    if (crc != entry.crc) {
        why = entry.name + ": CRC error";
        return kErrorFileCrc;
    }
    return kOk;
}

} // namespace zipfmt
