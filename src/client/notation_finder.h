// LocalizePattern's matches found in the client, as Localize finds them, for conversions that
// decide per match what to write (only the ids a page allows, say) and that must settle text
// of any length in bounded memory.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

#include <boost/regex_fwd.hpp>

#include "client/function_ref.h"
#include "client/unit_search.h"

namespace glyphary::client {

/// One match: [begin, end) of the text, its first group [idBegin, idEnd) (empty when the
/// group took no part).
struct NotationMatch {
    size_t begin = 0, end = 0;
    size_t idBegin = 0, idEnd = 0;
};

/// A compiled LocalizePattern. Immutable: one finder serves every thread.
class NotationFinder {
  public:
    /// Ids longer than this are no notation for the finder (bounds what a stream holds back).
    static constexpr size_t kMaxIdUnits = 1024;

    /// Throws ClientError when `pattern` is ill-formed.
    explicit NotationFinder(std::u16string_view pattern);
    ~NotationFinder();

    /// Hands `found` the matches of `text` in order, each search starting where the last
    /// match ended (one unit further after an empty one) with nothing before it, as Localize
    /// does, and returns how much of `text` is settled: its matches are all found and no
    /// text that comes after `text` can change them. The rest must come again, followed by
    /// more text. With `final` all of it is settled. Throws ClientError when the regex engine
    /// gives up.
    size_t Find(std::u16string_view text, bool final,
                FunctionRef<void(const NotationMatch&)> found) const;

    /// Whether Find over UTF-8 bytes finds what Find over their units finds, at the bytes of
    /// the same characters: a pattern of the simple shape whose affixes and ids are ASCII.
    bool FindsInUtf8() const noexcept;
    /// Find over UTF-8, offsets in bytes; only where FindsInUtf8.
    size_t Find(std::string_view bytes, bool final,
                FunctionRef<void(const NotationMatch&)> found) const;

    /// Whether any text may be settled before its end: false when Find settles nothing
    /// until `final` (the pattern may match across anything, as far as can be shown).
    bool Settles() const noexcept { return m_simple != nullptr || m_afterLineFeeds; }

  private:
    struct Simple;
    template <class Unit>
    size_t FindSimple(std::basic_string_view<Unit> text, bool final,
                      FunctionRef<void(const NotationMatch&)> found) const;
    size_t FindRegex(std::u16string_view text, bool final,
                     FunctionRef<void(const NotationMatch&)> found) const;

    std::shared_ptr<const boost::wregex> m_regex;
    std::wstring m_prefix;  // every match starts with it, when not empty
    std::unique_ptr<const Simple> m_simple;
    bool m_afterLineFeeds = false;
    UnitSearch m_search = ChooseUnitSearch();  // for the first unit of a simple pattern's P
};

}  // namespace glyphary::client
