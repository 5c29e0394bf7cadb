// The folder aliases: up to ten named shortcuts to storage folders, in the
// user's order, kept as ten slots of name and folder.
#pragma once

#include <array>
#include <functional>
#include <string>

namespace folders {

constexpr int kAliasSlots = 10;

struct Alias {
    std::string name;
    std::string folder;
};

class AliasList {
public:
    // count: aliases in the list (the last alias index plus one).
    int count() const { return m_count; }
    const Alias& at(int index) const { return m_slots[static_cast<size_t>(index)]; }

    // load: slots from `read(key)`; a slot with an empty name or folder ends
    // the list, and everything after it is dropped.
    void load(const std::function<std::string(const std::string& key)>& read);
    // save: all twenty keys, slots after the last alias as empty texts.
    void save(const std::function<void(const std::string& key, const std::string& value)>& write) const;

    enum class AddResult { Added, Full, Empty, Duplicate };
    // add: a new alias at the end; names compare exactly.
    AddResult add(const std::string& name, const std::string& folder);
    // rename: false when `name` is empty, the same, or taken by another alias (taken sets *taken).
    bool rename(int index, const std::string& name, bool* taken = nullptr);
    void moveUp(int index);
    void moveDown(int index);
    void remove(int index);
    void clear();
    bool contains(const std::string& name) const;

private:
    std::array<Alias, kAliasSlots> m_slots{};
    int m_count = 0;
};

} // namespace folders
