// sorvane2-pack --images on Windows, under wine: the images pack one after
// another in this process, each on the first free letter, named by its label
// or the count-up, in the images' order, with the summary line at the end.
// The pack itself is stood in for: it lists the drive it was given.
#include <gtest/gtest.h>

#include <windows.h>

#include <string>
#include <vector>

#include "app/image_batch.h"
#include "platform/platform.h"
#include "platform/win32_text.h"

namespace {

std::string variable(const char* name)
{
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(platform::widen(name).c_str(), buffer, 32768);
    return length && length < 32768 ? platform::narrow(std::wstring_view(buffer, length)) : std::string();
}

struct Batch {
    std::vector<std::string> lines;
    std::vector<std::string> packed; // "letter name files"
    int status = -1;
};

Batch run(const app::BatchRequest& request, std::int16_t outcome = 0)
{
    Batch batch;
    app::BatchOutput output;
    output.print = [&](const std::string& line) { batch.lines.push_back(line); };
    output.write = [&](int, const std::string& bytes) { batch.lines.push_back("write: " + bytes); };
    batch.status = app::runImageBatch(
        request,
        [&](char letter, const std::string& name) {
            int files = 0;
            (void)platform::walkFolder(std::string{letter, ':', '\\'}, {}, [&](const platform::WalkEntry& entry) {
                files += entry.type == platform::EntryType::File;
                return true;
            });
            batch.packed.push_back(std::string{letter} + " " + name + " " + std::to_string(files));
            batch.lines.push_back("packed " + name);
            return outcome;
        },
        output);
    return batch;
}

class ImageBatch : public ::testing::Test {
protected:
    void SetUp() override
    {
        m_folder = variable("SORVANE2_TEST_BATCH");
        if (m_folder.empty())
            GTEST_SKIP() << "SORVANE2_TEST_BATCH is not set (run tests/windows/run_platform_test.sh)";
    }
    static char firstFreeLetter()
    {
        const DWORD used = GetLogicalDrives();
        for (int i = 0; i < 26; ++i)
            if (!(used & (1u << i)))
                return static_cast<char>('a' + i);
        return 0;
    }
    std::string m_folder; // GAME1.IMG (label GAME1), GAME2.IMG (label GAME2), NOTADISK.IMG
};

TEST_F(ImageBatch, PacksEachImageInOrderNamedByItsLabel)
{
    EXPECT_EQ(app::defaultJobs(), 1u);
    const Batch batch = run({{m_folder}, true, "", 4});
    const std::string free{firstFreeLetter()};
    ASSERT_EQ(batch.packed, (std::vector<std::string>{free + " GAME1 2", free + " GAME2 1"}));
    ASSERT_FALSE(batch.lines.empty());
    EXPECT_EQ(batch.lines.back(), "Images: 2 packed, 1 failed: NOTADISK.IMG");
    EXPECT_EQ(batch.status, 1);
    // Each image's heading comes before its pack, in the images' order.
    std::vector<std::string> order;
    for (const std::string& line : batch.lines)
        if (line.rfind("[", 0) == 0 || line.rfind("packed ", 0) == 0)
            order.push_back(line.substr(0, line.find(' ') == 0 ? 0 : line.find(' ')));
    EXPECT_EQ(order, (std::vector<std::string>{"[1/3]", "packed", "[2/3]", "packed", "[3/3]"}));
    EXPECT_TRUE(platform::attachedImage().empty());
}

TEST_F(ImageBatch, CountsUpTheGivenName)
{
    const Batch batch = run({{m_folder + "\\GAME1.IMG", m_folder + "\\GAME2.IMG"}, false, "DISK01", 1});
    const std::string free{firstFreeLetter()};
    EXPECT_EQ(batch.packed, (std::vector<std::string>{free + " DISK01 2", free + " DISK02 1"}));
    EXPECT_EQ(batch.lines.back(), "Images: 2 packed, 0 failed");
    EXPECT_EQ(batch.status, 0);
}

TEST_F(ImageBatch, AFailedPackIsNamedInTheSummary)
{
    const Batch batch = run({{m_folder + "\\GAME2.IMG"}, true, "", 1}, 1);
    EXPECT_EQ(batch.lines.back(), "Images: 0 packed, 1 failed: GAME2.IMG (GAME2)");
    EXPECT_EQ(batch.status, 1);
}

} // namespace
