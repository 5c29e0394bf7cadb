// The -lh5-, -lh6- and -lh7- streams: LZSS with static Huffman blocks.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "common/file_io.h"
#include "common/module_state.h"
#include "lzh_constants.h"

namespace lzh {

enum class CodecStatus {
    Ok,
    ReadError,   // the source failed (error holds errno)
    WriteError,  // the sink failed (error holds errno)
    Cancelled,   // the progress callback asked to stop
    BadData,     // the compressed stream is damaged
    BadTables,   // a block's Huffman tables are damaged
    Truncated,   // the compressed stream ends too early
    Incompressible, // the first stretch did not shrink (see EncodeOptions::probe)
    Expands,     // the output outgrew what the expansion check allows
};

struct EncodeResult {
    std::uint64_t originalSize = 0;
    std::uint64_t compressedSize = 0;
    std::uint16_t crc = 0;
    int error = 0;
    std::uint64_t bits = 0; // the stream's length in bits, before the last byte's padding
};

struct EncodeOptions {
    // The expected size, 0 when unknown. It sizes work tables; past
    // archivers::kSegmentBytes the stream is coded in segments on every core
    // (the same stream whatever the number of cores).
    std::uint64_t sizeHint = 0;
    // End early with Incompressible when the first 256 KiB do not shrink:
    // the caller then stores the data and may find that the rest would shrink.
    bool probe = true;
    // Source bytes the progress has counted already, in an earlier pass over
    // the same data: they only ask the progress whether to go on.
    std::uint64_t counted = 0;
    // One stream on one core whatever the size (to weigh what segments cost).
    bool oneStream = false;
};

// encodeStream: compress all of `source` with `method` (Lh5, Lh6 or Lh7) into
// `sink`, counting progress for `entry`. Memory stays bounded whatever the
// size of the source: about 20 MiB per core for segmented streams.
CodecStatus encodeStream(Method method, archivers::ByteSource& source, archivers::ByteSink& sink,
                         archivers::Progress& progress, const std::string& entry, EncodeResult& result,
                         const EncodeOptions& options = {});

// Receives decoded bytes; returns false to stop (write failure).
using ByteConsumer = std::function<bool(const unsigned char* data, size_t size)>;

// Told the bytes decoded so far and the compressed bytes the decoder has
// taken for them (its position in the stream, not what it has read ahead);
// returns false to stop the decoding.
using ExpansionCheck = std::function<bool(std::uint64_t produced, std::uint64_t consumed)>;

// decodeStream: decode `compressedSize` bytes at `offset` of `archive` into
// exactly `originalSize` bytes for `consume`; `crc` receives their CRC-16.
// Reads and produces nothing past those sizes, whatever the data says.
// `allowed`, when given, is asked before every stretch of output (at most
// 64 KiB and one match) goes to `consume`; when it refuses, that stretch is
// not delivered and the result is Expands.
CodecStatus decodeStream(Method method, archivers::RandomReader& archive, std::uint64_t offset,
                         std::uint64_t compressedSize, std::uint64_t originalSize,
                         const ByteConsumer& consume, archivers::Progress* progress,
                         const std::string& entry, std::uint16_t& crc, int& error,
                         const ExpansionCheck& allowed = {});

} // namespace lzh
