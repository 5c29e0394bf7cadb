// The folder walk the archivers use: order, attributes, links and failures.
#include "platform.h"

#include <sys/stat.h>
#include <sys/time.h>

#include <gtest/gtest.h>

#include "support/testsupport.h"

namespace {

using testsupport::makeDirs;
using testsupport::writeFile;

struct Seen {
    std::string relative;
    platform::EntryType type;
    std::uint64_t size;
    bool hidden;
};

class FolderWalk : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeDirs(m_dir / "disk/SUB/DEEP");
        makeDirs(m_dir / "disk/EMPTY");
        makeDirs(m_dir / "outside");
        writeFile(m_dir / "disk/B.TXT", "bb");
        writeFile(m_dir / "disk/a.txt", "");
        writeFile(m_dir / "disk/.hidden", "h");
        writeFile(m_dir / "disk/SUB/日本語.TXT", std::string(70000, 'x'));
        writeFile(m_dir / "disk/SUB/DEEP/z", "z");
        writeFile(m_dir / "outside/secret", "s");
        ::symlink("../outside", (m_dir / "disk/LINK").c_str());
        m_env.emplace("SORVANE2_DRIVES", "a=" + m_dir.path() + "/disk");
    }

    std::vector<Seen> walk(bool recurse)
    {
        std::vector<Seen> seen;
        platform::WalkOptions options;
        options.recurse = recurse;
        auto result = platform::walkFolder("a:\\", options, [&](const platform::WalkEntry& e) {
            seen.push_back({e.relative, e.type, e.size, e.hidden});
            return true;
        });
        EXPECT_TRUE(result.ok()) << (result.ok() ? "" : result.error().message);
        return seen;
    }

    testsupport::TempDir m_dir;
    std::optional<testsupport::ScopedEnv> m_env;
};

TEST_F(FolderWalk, ParentsComeBeforeContentsInNameOrder)
{
    std::vector<std::string> names;
    for (const Seen& s : walk(true))
        names.push_back(s.relative);
    EXPECT_EQ(names, (std::vector<std::string>{".hidden", "B.TXT", "EMPTY", "LINK", "SUB", "SUB\\DEEP",
                         "SUB\\DEEP\\z", "SUB\\日本語.TXT", "a.txt"}));
}

TEST_F(FolderWalk, WithoutRecursionOnlyTheTopFolder)
{
    EXPECT_EQ(walk(false).size(), 6u);
}

TEST_F(FolderWalk, SizesHiddenNamesAndLinksThatAreNotFollowed)
{
    for (const Seen& s : walk(true)) {
        if (s.relative == "SUB\\日本語.TXT") {
            EXPECT_EQ(s.size, 70000u);
        }
        if (s.relative == "a.txt") {
            EXPECT_EQ(s.size, 0u);
        }
        EXPECT_EQ(s.hidden, s.relative == ".hidden") << s.relative;
        if (s.relative == "LINK") {
            EXPECT_EQ(s.type, platform::EntryType::Symlink);
        }
        EXPECT_EQ(s.relative.find("secret"), std::string::npos) << "followed a link out of the tree";
    }
}

TEST_F(FolderWalk, ModificationTimesAreExact)
{
    struct timeval times[2] = {{1000000001, 0}, {946684801, 500000}};
    ASSERT_EQ(::utimes((m_dir / "disk/B.TXT").c_str(), times), 0);
    platform::WalkEntry found;
    ASSERT_TRUE(platform::walkFolder("a:\\", {}, [&](const platform::WalkEntry& e) {
        if (e.relative == "B.TXT")
            found = e;
        return true;
    }).ok());
    EXPECT_EQ(found.mtime, 946684801);
    EXPECT_EQ(found.mtimeNanos, 500000000u);
    EXPECT_EQ(found.native, m_dir / "disk/B.TXT");
}

TEST_F(FolderWalk, StopsWhenTheVisitorSaysSo)
{
    int calls = 0;
    auto result = platform::walkFolder("a:\\", {}, [&](const platform::WalkEntry&) { return ++calls < 3; });
    EXPECT_TRUE(result.ok());
    EXPECT_EQ(calls, 3);
}

TEST_F(FolderWalk, ANameTheDialectCannotHoldFailsTheWalkByName)
{
    writeFile(m_dir / "disk/SUB/\x83\x5C.TXT", "cp932 name");
    auto result = platform::walkFolder("a:\\", {}, [](const platform::WalkEntry&) { return true; });
    ASSERT_FALSE(result.ok());
    EXPECT_EQ(result.error().code, EILSEQ);
    EXPECT_NE(result.error().message.find("SUB"), std::string::npos);
}

TEST_F(FolderWalk, AMissingFolderFails)
{
    auto result = platform::walkFolder("a:\\NOPE", {}, [](const platform::WalkEntry&) { return true; });
    EXPECT_FALSE(result.ok());
}

} // namespace
