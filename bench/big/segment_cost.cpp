// segment_cost FILE: what compressing a large file in segments on every core
// costs in size against one stream on one core, for -lh5-, -lh7- and ZIP -9's
// deflate. Prints "method one-stream-bytes segmented-bytes".
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include <libdeflate.h>

#include "common/file_io.h"
#include "common/segments.h"
#include "lzh_codec.h"
#include "zip_data.h"

namespace {

struct CountingSink final : archivers::ByteSink {
    std::uint64_t count = 0;
    bool write(const void*, size_t size) override
    {
        count += size;
        return true;
    }
    bool writeAt(std::uint64_t, const void*, size_t) override { return true; }
    bool truncate(std::uint64_t size) override
    {
        count = size;
        return true;
    }
    bool flush() override { return true; }
    std::uint64_t position() const override { return count; }
    int error() const override { return 0; }
};

std::uint64_t lzhSize(const std::vector<unsigned char>& data, lzh::Method method, bool oneStream)
{
    archivers::MemorySource source(data.data(), data.size());
    CountingSink sink;
    archivers::Progress quiet;
    lzh::EncodeOptions options;
    options.sizeHint = data.size();
    options.probe = false;
    options.oneStream = oneStream;
    lzh::EncodeResult result;
    if (lzh::encodeStream(method, source, sink, quiet, "file", result, options) != lzh::CodecStatus::Ok)
        return 0;
    return result.compressedSize;
}

// Deflate as ZIP -9 makes it: one libdeflate stream, or one per segment.
std::uint64_t deflateSize(const std::vector<unsigned char>& data, bool oneStream)
{
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> compressor(
        libdeflate_alloc_compressor(zipfmt::bufferLevelFor(9)), libdeflate_free_compressor);
    const size_t piece = oneStream ? data.size() : archivers::kSegmentBytes;
    std::vector<unsigned char> out(libdeflate_deflate_compress_bound(compressor.get(), piece));
    std::uint64_t total = 0;
    for (size_t at = 0; at < data.size(); at += piece) {
        const size_t size = std::min(piece, data.size() - at);
        total += libdeflate_deflate_compress(compressor.get(), data.data() + at, size, out.data(), out.size());
        if (at + piece < data.size())
            total += 5; // the empty stored block after each segment but the last, about
    }
    return total;
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: segment_cost FILE\n");
        return 2;
    }
    std::FILE* file = std::fopen(argv[1], "rb");
    if (!file) {
        std::perror(argv[1]);
        return 1;
    }
    std::vector<unsigned char> data;
    unsigned char chunk[1 << 16];
    for (size_t got; (got = std::fread(chunk, 1, sizeof chunk, file)) > 0;)
        data.insert(data.end(), chunk, chunk + got);
    std::fclose(file);
    std::printf("lh5 %llu %llu\n", static_cast<unsigned long long>(lzhSize(data, lzh::Method::Lh5, true)),
        static_cast<unsigned long long>(lzhSize(data, lzh::Method::Lh5, false)));
    std::printf("lh7 %llu %llu\n", static_cast<unsigned long long>(lzhSize(data, lzh::Method::Lh7, true)),
        static_cast<unsigned long long>(lzhSize(data, lzh::Method::Lh7, false)));
    std::printf("zip9 %llu %llu\n", static_cast<unsigned long long>(deflateSize(data, true)),
        static_cast<unsigned long long>(deflateSize(data, false)));
    return 0;
}
