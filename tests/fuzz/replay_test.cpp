// Replays every input the fuzzer ever found troublesome, and a few made here.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

#include <gtest/gtest.h>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, size_t size);

namespace {

TEST(FuzzReplay, KeptInputsRunCleanly)
{
    int replayed = 0;
    for (const auto& entry : std::filesystem::directory_iterator(SORVANE2_FUZZ_REGRESSIONS)) {
        if (!entry.is_regular_file() || entry.path().extension() == ".md")
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
        ++replayed;
    }
    SUCCEED() << replayed << " inputs replayed";
}

TEST(FuzzReplay, ShortAndDegenerateInputs)
{
    const std::uint8_t inputs[][8] = {
        {0, 0}, {1, 0, 1, 0, 0, 0, 0, 0}, {0, 22, 0, '-', 'l', 'h', '5', '-'}, {3, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
    };
    for (const auto& input : inputs)
        LLVMFuzzerTestOneInput(input, sizeof input);
}

} // namespace
