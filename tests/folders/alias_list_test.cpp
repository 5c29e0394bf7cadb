// The folder alias list: the stored slots, add, rename, order and removal.
#include "folders/alias_list.h"

#include <map>

#include <gtest/gtest.h>

namespace {

using folders::AliasList;

std::map<std::string, std::string> stored(const AliasList& list)
{
    std::map<std::string, std::string> keys;
    list.save([&](const std::string& key, const std::string& value) { keys[key] = value; });
    return keys;
}

TEST(AliasList, AGapInTheStoreEndsTheListAndIsOverwrittenAtSave)
{
    std::map<std::string, std::string> keys{{"Dir_Out_DirName0", "ARC"}, {"Dir_Out_DirDir0", "D:\\ARC"},
        {"Dir_Out_DirName1", "OLD"}, {"Dir_Out_DirDir1", "D:\\OLD"}, {"Dir_Out_DirName3", "LOST"},
        {"Dir_Out_DirDir3", "D:\\LOST"}};
    AliasList list;
    list.load([&](const std::string& key) { return keys.count(key) ? keys[key] : std::string(); });
    EXPECT_EQ(list.count(), 2);
    const auto saved = stored(list);
    EXPECT_EQ(saved.size(), 20u); // every key, every time
    EXPECT_EQ(saved.at("Dir_Out_DirName3"), "");
    EXPECT_EQ(saved.at("Dir_Out_DirDir1"), "D:\\OLD");
    // A name without a folder ends the list there too.
    keys = {{"Dir_Out_DirName0", "ARC"}, {"Dir_Out_DirDir0", ""}};
    list.load([&](const std::string& key) { return keys.count(key) ? keys[key] : std::string(); });
    EXPECT_EQ(list.count(), 0);
}

TEST(AliasList, AddRefusesDuplicatesAndAFullList)
{
    AliasList list;
    EXPECT_EQ(list.add("ARC", "D:\\ARC"), AliasList::AddResult::Added);
    EXPECT_EQ(list.add("arc", "D:\\ARC"), AliasList::AddResult::Added); // another case is another name
    EXPECT_EQ(list.add("ARC", "D:\\OTHER"), AliasList::AddResult::Duplicate);
    EXPECT_EQ(list.add("", "D:\\X"), AliasList::AddResult::Empty);
    for (int i = 2; i < 10; ++i)
        EXPECT_EQ(list.add("N" + std::to_string(i), "D:\\ARC"), AliasList::AddResult::Added);
    EXPECT_EQ(list.add("ELEVEN", "D:\\ARC"), AliasList::AddResult::Full);
    EXPECT_EQ(list.count(), 10);
}

TEST(AliasList, RenameMoveAndRemove)
{
    AliasList list;
    list.add("A", "D:\\A");
    list.add("B", "D:\\B");
    list.add("C", "D:\\C");
    bool taken = false;
    EXPECT_FALSE(list.rename(0, "A", &taken)); // its own name: nothing, no message
    EXPECT_FALSE(taken);
    EXPECT_FALSE(list.rename(0, "B", &taken));
    EXPECT_TRUE(taken);
    EXPECT_TRUE(list.rename(0, "Z"));
    EXPECT_EQ(list.at(0).folder, "D:\\A"); // the folder never changes
    list.moveUp(0); // first: nothing
    list.moveDown(2); // last: nothing
    list.moveDown(0);
    EXPECT_EQ(list.at(1).name, "Z");
    list.moveUp(1);
    EXPECT_EQ(list.at(0).name, "Z");
    list.remove(2);
    EXPECT_EQ(list.count(), 2);
    EXPECT_TRUE(list.at(2).name.empty());
    list.remove(0);
    EXPECT_EQ(list.at(0).name, "B");
    list.clear();
    EXPECT_EQ(list.count(), 0);
}

} // namespace
