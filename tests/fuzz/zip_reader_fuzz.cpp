// libFuzzer target: the ZIP central directory reader and entry decoding on
// arbitrary bytes, as UNZIP32.DLL and an update read an archive.
#include <cstddef>
#include <cstdint>
#include <string>

#include "zip_data.h"
#include "zip_directory.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    archivers::MemoryReader reader(data, size);
    zipfmt::Directory directory;
    std::string why;
    if (zipfmt::readDirectory(reader, directory, why) != 0)
        return 0;
    std::uint64_t produced = 0;
    for (zipfmt::Entry& entry : directory.entries) {
        if (zipfmt::measureLocal(reader, entry, why) != 0 || entry.size > (4u << 20))
            continue;
        zipfmt::readEntryData(reader, entry,
            [&](const unsigned char*, size_t n) { produced += n; return produced <= (8u << 20); }, nullptr, why);
    }
    return 0;
}
