// The process-wide tables every conversion reads: per-mode code tables, user-agent rules,
// the EZweb mail code map and the default strings. They are filled once while the module
// starts and only read afterwards: selecting a mode that no file filled binds a shared empty
// table and adds nothing.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "mail/transcode.h"

namespace glyphary {

/// A map from UTF-16 key to UTF-16 value (one unit per wchar_t), ordered by code unit.
/// Keys of exactly one unit are also indexed for constant-time lookup by Globalize.
class ModeTable {
  public:
    using Entries = std::map<std::wstring, std::wstring, std::less<>>;
    using Entry = Entries::value_type;

    ModeTable() = default;
    ModeTable(const ModeTable&) = delete;
    ModeTable& operator=(const ModeTable&) = delete;

    /// The value stored under `key`, or null.
    const std::wstring* Find(std::wstring_view key) const;
    /// The entry whose key is the single unit `unit`, or null.
    const Entry* FindUnit(wchar_t unit) const {
        const auto u = static_cast<uint32_t>(unit);
        if (u > 0xFFFF) return nullptr;
        const Page* page = m_pages[u >> 8].get();
        return page ? page->slots[u & 0xFF] : nullptr;
    }
    /// True when some one-unit key shares the high byte of `unit` (a cheap pre-filter).
    bool MayHoldUnit(wchar_t unit) const {
        const auto u = static_cast<uint32_t>(unit);
        return u <= 0xFFFF && m_pages[u >> 8] != nullptr;
    }
    /// The lowest and highest one-unit key, as [lo, hi]; lo > hi when there is none.
    uint32_t UnitLow() const noexcept { return m_unitLow; }
    uint32_t UnitHigh() const noexcept { return m_unitHigh; }
    /// Stores `key` -> `value`, replacing the value of an existing key (the last write wins).
    void Set(std::wstring_view key, std::wstring_view value);

    size_t size() const noexcept { return m_entries.size(); }
    bool empty() const noexcept { return m_entries.empty(); }
    const Entries& entries() const noexcept { return m_entries; }

  private:
    struct Page {
        std::array<const Entry*, 256> slots{};
    };
    // Every entry by its key, for constant-time exact lookups (the keys live in the map): open
    // addressing over a power-of-two array at most half full, each slot with its key's hash,
    // so that a lookup reads one slot and the one key it matches, not a chain of nodes.
    struct KeySlot {
        const Entry* entry = nullptr;
        size_t hash = 0;
    };
    static size_t HashKey(std::wstring_view key) noexcept;
    void Index(const Entry* entry);

    Entries m_entries;
    std::vector<KeySlot> m_byKey;
    std::array<std::unique_ptr<Page>, 256> m_pages;
    uint32_t m_unitLow = 0xFFFF;
    uint32_t m_unitHigh = 0;
};

/// Per-mode tables (IdToCodeByMode, CodeToIdByMode). A table, once added, keeps its address
/// until the module unloads: objects hold plain pointers to the tables of their mode.
class ModeTables {
  public:
    /// The table of `mode`; an empty one is inserted first if the mode has none. For the
    /// loaders, which fill it. Thread-safe.
    ModeTable& FindOrAdd(int32_t mode);
    /// The table of `mode`, or one shared empty table when no file filled that mode: selecting
    /// a mode stores nothing, so a mode taken from request data cannot grow memory.
    /// Thread-safe.
    const ModeTable& FindOrEmpty(int32_t mode) const;
    /// The table of `mode`, or null; adds nothing. Thread-safe.
    const ModeTable* Find(int32_t mode) const;
    /// The modes that have a table, in ascending order. Thread-safe.
    std::vector<int32_t> Modes() const;
    /// Drops every table. Only while no object holds one (tests).
    void Clear();

  private:
    mutable std::mutex m_mutex;
    std::map<int32_t, ModeTable> m_tables;
    const ModeTable m_empty{};
};
using IdToCodeByMode = ModeTables;  ///< neutral id -> carrier code, per mode
using CodeToIdByMode = ModeTables;  ///< carrier code -> neutral id, per mode

struct CompiledRules;  // what GetUserAgentID makes of the whole list

/// One user-agent rule: the id reported when `pattern` matches a whole User-Agent string.
struct UserAgentRule {
    UserAgentRule(int32_t ruleId, std::wstring rulePattern)
        : id(ruleId), pattern(std::move(rulePattern)) {}

    int32_t id = 0;
    std::wstring pattern;
};

/// The rules in the order they were appended. Appending keeps earlier rules in place.
class UserAgentRules {
  public:
    void Append(int32_t id, std::wstring pattern) {
        m_rules.emplace_back(id, std::move(pattern));
        m_compiled = std::make_unique<CompiledSlot>();
    }
    size_t size() const noexcept { return m_rules.size(); }
    bool empty() const noexcept { return m_rules.empty(); }
    const UserAgentRule& operator[](size_t i) const { return m_rules[i]; }
    auto begin() const noexcept { return m_rules.begin(); }
    auto end() const noexcept { return m_rules.end(); }
    /// Drops every rule. Only while no call is running (tests).
    void Clear() {
        m_rules.clear();
        m_compiled = std::make_unique<CompiledSlot>();
    }

    /// Where the rule matcher keeps the list compiled, made on first use: the list never
    /// changes after start-up, so every call may share it. Set once under `once`, then
    /// published in `ready`; a list that changes gets a new slot.
    struct CompiledSlot {
        std::once_flag once;
        std::shared_ptr<const CompiledRules> rules;
        std::atomic<const CompiledRules*> ready{nullptr};
    };
    CompiledSlot& compiled() const noexcept { return *m_compiled; }

  private:
    std::deque<UserAgentRule> m_rules;
    std::unique_ptr<CompiledSlot> m_compiled = std::make_unique<CompiledSlot>();
};

/// The default strings that every new object copies into its properties.
struct SettingsDefaults {
    std::wstring localizePattern;
    std::wstring localizeUndefinedFormat;
    std::wstring globalizeFormat;
    std::wstring globalizeUndefinedFormat;
};

/// Everything shared by all objects of the process. The members are constructed in this
/// order before the module starts, and destroyed in the reverse order when it unloads.
struct SharedTables {
    SettingsDefaults defaults;
    IdToCodeByMode idToCodeByMode;
    CodeToIdByMode codeToIdByMode;
    UserAgentRules userAgentRules;
    EzwebMailCodeMap ezwebMailCodeMap;
};

extern SharedTables g_tables;

}  // namespace glyphary
