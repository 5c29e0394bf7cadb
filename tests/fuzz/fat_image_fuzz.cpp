// libFuzzer target: disk images as drives read them: the container probes
// (D88, FDI, raw), the boot sector, the FAT, every folder with its names, and
// every file's data, on arbitrary bytes.
#include <cstddef>
#include <cstdint>
#include <string>

#include "disk_image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size)
{
    using namespace platform::image;
    auto file = std::make_shared<MemoryFile>(std::string(reinterpret_cast<const char*>(data), size));
    auto disk = openDisk(file);
    if (!disk)
        return 0;
    auto volume = Volume::open(*disk);
    if (!volume)
        return 0;
    std::shared_ptr<const Volume> v = *volume;
    Entry root;
    root.attributes = kAttrFolder;
    std::uint64_t produced = 0;
    (void)walk(*v, root, true, [&](const WalkItem& item) {
        (void)v->find(item.relative);
        if (!item.entry.isFolder()) {
            FileReader reader(v, item.entry);
            char buffer[4096];
            long got;
            while ((got = reader.read(buffer, sizeof buffer)) > 0)
                if ((produced += static_cast<std::uint64_t>(got)) > (8u << 20))
                    return false;
        }
        return true;
    });
    return 0;
}
