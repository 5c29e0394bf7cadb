// libFuzzer target: the LZH reader and decoder on arbitrary bytes.
//
// The first byte picks the mode: even, the rest is an archive to list and
// decode member by member; odd, the rest is a raw -lh5-/-lh6-/-lh7- stream.
// Output is counted and capped, so a lying size cannot run for long.
#include <cstddef>
#include <cstdint>
#include <string>

#include "lzh_archive.h"
#include "lzh_codec.h"

namespace {

constexpr std::uint64_t kOutputCap = 4u << 20;

bool countCapped(std::uint64_t& produced, size_t size)
{
    produced += size;
    return produced <= kOutputCap;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    archivers::MemoryReader reader(data + 1, size - 1);
    std::uint64_t produced = 0;
    std::string why;
    if (data[0] % 2 == 0) {
        lzh::Listing listing;
        if (lzh::listArchive(reader, listing, why) != 0)
            return 0;
        for (const lzh::MemberHeader& member : listing.members) {
            if (member.originalSize > kOutputCap)
                continue;
            lzh::decodeMember(reader, member,
                [&](const unsigned char*, size_t n) { return countCapped(produced, n); }, nullptr, why);
        }
        return 0;
    }
    const lzh::Method methods[] = {lzh::Method::Lh5, lzh::Method::Lh6, lzh::Method::Lh7, lzh::Method::Lh4};
    const lzh::Method method = methods[(data[0] >> 1) % 4];
    std::uint16_t crc = 0;
    int error = 0;
    lzh::decodeStream(method, reader, 0, size - 1, (size - 1) * 64,
        [&](const unsigned char*, size_t n) { return countCapped(produced, n); }, nullptr, "fuzz", crc, error);
    return 0;
}
