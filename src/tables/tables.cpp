#include "tables/tables.h"

#include <algorithm>

namespace glyphary {

SharedTables g_tables;

// ---------------------------------------------------------------------------------------------
// ModeTable

const std::wstring* ModeTable::Find(std::wstring_view key) const {
    if (key.size() == 1) {
        const Entry* entry = FindUnit(key[0]);
        return entry ? &entry->second : nullptr;
    }
    const auto it = m_byKey.find(key);
    return it == m_byKey.end() ? nullptr : &it->second->second;
}

void ModeTable::Set(std::wstring_view key, std::wstring_view value) {
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        it->second.assign(value);  // the node, and so the index, stays where it was
        return;
    }
    it = m_entries.emplace(std::wstring(key), std::wstring(value)).first;
    m_byKey.emplace(it->first, &*it);
    // Where wchar_t is 16 bits every unit qualifies; compare through a 32-bit copy so the
    // check does not read as always true there.
    const uint32_t u = key.size() == 1 ? static_cast<uint32_t>(key[0]) : 0x10000;
    if (u <= 0xFFFF) {
        auto& page = m_pages[u >> 8];
        if (!page) page = std::make_unique<Page>();
        page->slots[u & 0xFF] = &*it;
        m_unitLow = std::min(m_unitLow, u);
        m_unitHigh = std::max(m_unitHigh, u);
    }
}

// ---------------------------------------------------------------------------------------------
// ModeTables

ModeTable& ModeTables::FindOrAdd(int32_t mode) {
    std::lock_guard lock(m_mutex);
    return m_tables.try_emplace(mode).first->second;
}

const ModeTable& ModeTables::FindOrEmpty(int32_t mode) const {
    const ModeTable* table = Find(mode);
    return table ? *table : m_empty;
}

const ModeTable* ModeTables::Find(int32_t mode) const {
    std::lock_guard lock(m_mutex);
    const auto it = m_tables.find(mode);
    return it == m_tables.end() ? nullptr : &it->second;
}

std::vector<int32_t> ModeTables::Modes() const {
    std::lock_guard lock(m_mutex);
    std::vector<int32_t> modes;
    modes.reserve(m_tables.size());
    for (const auto& [mode, table] : m_tables) modes.push_back(mode);
    return modes;
}

void ModeTables::Clear() {
    std::lock_guard lock(m_mutex);
    m_tables.clear();
}

}  // namespace glyphary
