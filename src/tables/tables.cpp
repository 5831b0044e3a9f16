#include "tables/tables.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <type_traits>

namespace glyphary {

SharedTables g_tables;

// ---------------------------------------------------------------------------------------------
// ModeTable

const std::wstring* ModeTable::Find(std::wstring_view key) const {
    if (key.size() == 1) {
        const Entry* entry = FindUnit(key[0]);
        return entry ? &entry->second : nullptr;
    }
    if (m_byKey.empty()) return nullptr;
    const size_t hash = HashKey(key);
    const size_t mask = m_byKey.size() - 1;
    for (size_t i = hash & mask;; i = (i + 1) & mask) {
        const KeySlot& slot = m_byKey[i];
        if (!slot.entry) return nullptr;
        if (slot.hash != hash) continue;
        const std::wstring& stored = slot.entry->first;
        if (stored.size() == key.size() && std::equal(stored.begin(), stored.end(), key.begin(),
                                                      [](wchar_t a, wchar_t b) { return a == b; }))
            return &slot.entry->second;
    }
}

size_t ModeTable::HashKey(std::wstring_view key) noexcept {
    // Keys are short ids and codes, read from the configuration: their first and last sixteen
    // bytes (which overlap in a shorter key) and their length make the hash, four multiplies
    // side by side whatever the length, with no loop whose end the processor must guess.
    const auto* const p = reinterpret_cast<const unsigned char*>(key.data());
    const size_t bytes = key.size() * sizeof(wchar_t);
    uint64_t a = 0, b = 0, c = 0, d = 0;
    if (bytes >= 16) {
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        std::memcpy(&c, p + bytes - 16, 8);
        std::memcpy(&d, p + bytes - 8, 8);
    } else if (bytes >= 8) {
        std::memcpy(&a, p, 8);
        std::memcpy(&d, p + bytes - 8, 8);
    } else {
        for (size_t i = 0; i < key.size(); ++i)
            a |= uint64_t{static_cast<std::make_unsigned_t<wchar_t>>(key[i])}
                 << (8 * sizeof(wchar_t) * i);
    }
    // A product's high bits depend on all of its operand's: folded into the low ones, which
    // pick the slot.
    const uint64_t h = (a * 0x9E3779B97F4A7C15ULL) ^ (b * 0xBF58476D1CE4E5B9ULL) ^
                       (c * 0x94D049BB133111EBULL) ^ ((d ^ bytes) * 0xC2B2AE3D27D4EB4FULL);
    return static_cast<size_t>(h ^ (h >> 29) ^ (h >> 47));
}

void ModeTable::Index(const Entry* entry) {
    const auto place = [this](const Entry* e) {
        const size_t hash = HashKey(e->first);
        const size_t mask = m_byKey.size() - 1;
        size_t i = hash & mask;
        while (m_byKey[i].entry) i = (i + 1) & mask;
        m_byKey[i] = {e, hash};
    };
    if (2 * m_entries.size() <= m_byKey.size()) return place(entry);
    // Grown, and every entry placed again, the new one among them.
    m_byKey.assign(std::bit_ceil(std::max<size_t>(16, 4 * m_entries.size())), KeySlot{});
    for (const Entry& e : m_entries) place(&e);
}

void ModeTable::Set(std::wstring_view key, std::wstring_view value) {
    auto it = m_entries.find(key);
    if (it != m_entries.end()) {
        it->second.assign(value);  // the node, and so the index, stays where it was
        return;
    }
    it = m_entries.emplace(std::wstring(key), std::wstring(value)).first;
    Index(&*it);
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
