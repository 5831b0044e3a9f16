// The emoji a configuration knows, for people to look up: each id with its aliases and names,
// its standard emoji, and what each carrier shows for it, read from the map files that
// Glyphary.setting names (the attributes data/README.md describes; the module reads only id
// and code).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace glyphary::client {

/// What one carrier shows for an emoji.
struct CarrierShown {
    enum class Kind {
        none,        ///< the carrier's map has no entry for the id
        own,         ///< the carrier's own emoji: its exact code
        substitute,  ///< one or more of the carrier's emoji standing in for it
        text,        ///< text in place of an emoji
    };
    Kind kind = Kind::none;
    std::u16string code;
    /// own and substitute: the Shift_JIS code of each character of `code`, as its handsets
    /// send it.
    std::vector<uint16_t> sjis;
    std::u16string nameJa;  ///< the carrier's own Japanese name (own emoji only)
};

/// One emoji of the configuration.
struct CatalogEntry {
    std::u16string id;
    std::vector<std::u16string> aliases;
    std::u16string name;    ///< English
    std::u16string nameJa;  ///< Japanese
    /// What the standard Unicode table shows: the standard emoji, or text when it has none.
    std::u16string standard;
    /// The standard emoji's code points; empty when it has none.
    std::vector<char32_t> codePoints;
    /// i-mode, EZweb, SoftBank, in this order.
    std::array<CarrierShown, 3> carriers;
    /// au's number for it (the N of <img localsrc="N">), when au has it as its own; else 0.
    uint16_t auNumber = 0;
    /// Google's private-use code for it (U+FE000...), when a carrier has it as its own and
    /// Google gave it one; else 0.
    char32_t google = 0;
};

/// The canonical entries of the standard table (those with a name) in its file order, each
/// with every carrier's entry for its id. Throws ClientError when the settings at
/// `settingsPath` or a map file they name for modes 1 to 4 cannot be read.
std::vector<CatalogEntry> ReadCatalog(const std::filesystem::path& settingsPath);

}  // namespace glyphary::client
