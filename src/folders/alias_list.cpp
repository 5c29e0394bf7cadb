// The folder aliases.
#include "alias_list.h"

#include <utility>

namespace folders {

void AliasList::load(const std::function<std::string(const std::string& key)>& read)
{
    clear();
    for (int i = 0; i < kAliasSlots; ++i) {
        Alias alias{read("Dir_Out_DirName" + std::to_string(i)), read("Dir_Out_DirDir" + std::to_string(i))};
        if (alias.name.empty() || alias.folder.empty())
            break; // a gap ends the list
        m_slots[static_cast<size_t>(i)] = std::move(alias);
        m_count = i + 1;
    }
}

void AliasList::save(const std::function<void(const std::string& key, const std::string& value)>& write) const
{
    for (int i = 0; i < kAliasSlots; ++i) {
        const Alias& alias = m_slots[static_cast<size_t>(i)];
        write("Dir_Out_DirName" + std::to_string(i), i < m_count ? alias.name : std::string());
        write("Dir_Out_DirDir" + std::to_string(i), i < m_count ? alias.folder : std::string());
    }
}

bool AliasList::contains(const std::string& name) const
{
    for (int i = 0; i < m_count; ++i)
        if (m_slots[static_cast<size_t>(i)].name == name)
            return true;
    return false;
}

AliasList::AddResult AliasList::add(const std::string& name, const std::string& folder)
{
    if (m_count >= kAliasSlots)
        return AddResult::Full;
    if (name.empty() || folder.empty())
        return AddResult::Empty;
    if (contains(name))
        return AddResult::Duplicate;
    m_slots[static_cast<size_t>(m_count++)] = Alias{name, folder};
    return AddResult::Added;
}

bool AliasList::rename(int index, const std::string& name, bool* taken)
{
    if (taken)
        *taken = false;
    if (index < 0 || index >= m_count || name.empty() || name == m_slots[static_cast<size_t>(index)].name)
        return false;
    if (contains(name)) {
        if (taken)
            *taken = true;
        return false;
    }
    m_slots[static_cast<size_t>(index)].name = name;
    return true;
}

void AliasList::moveUp(int index)
{
    if (index >= 1 && index < m_count)
        std::swap(m_slots[static_cast<size_t>(index)], m_slots[static_cast<size_t>(index - 1)]);
}

void AliasList::moveDown(int index)
{
    if (index >= 0 && index <= m_count - 2)
        std::swap(m_slots[static_cast<size_t>(index)], m_slots[static_cast<size_t>(index + 1)]);
}

void AliasList::remove(int index)
{
    if (index < 0 || index >= m_count)
        return;
    for (int i = index; i + 1 < kAliasSlots; ++i)
        m_slots[static_cast<size_t>(i)] = m_slots[static_cast<size_t>(i + 1)];
    m_slots[kAliasSlots - 1] = Alias{};
    --m_count;
}

void AliasList::clear()
{
    m_slots.fill(Alias{});
    m_count = 0;
}

} // namespace folders
