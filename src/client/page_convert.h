// Web pages localized for the client that asked for them, as they stream: the neutral notation
// in what a person reads (HTML text and readable attribute values, or all of a plain text)
// becomes the client's emoji, and for handsets the standard emoji in it become the carrier's
// own (or its text for them). Scripts, styles, comments, tags and other attributes pass as
// they are. Everything that costs a compilation is made once and shared: the pattern, the
// ids' replacements, and a pool of standard-emoji converters per carrier.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "client/module.h"
#include "client/notation_finder.h"
#include "client/object.h"
#include "text/buffer.h"
#include "text/format.h"

namespace glyphary::client {

class CarrierConverter;
class PageLocalizer;
enum class PageKind : uint8_t;

/// A whole page of UTF-8 converted to UTF-8 from its bytes as they are, with no decoding or
/// encoding of what does not change: where notation is all that can change in it (a mode with
/// no carrier, a pattern the finder searches for in UTF-8) and the page is all UTF-8. Appends
/// to `out` what a PageConverter between TextPipe's decoding (replacing) and encoding (under
/// `errors`) writes, and returns true; else returns false, and the page must go that way (a
/// replacement the encoding cannot carry, under strict errors, leaves part of it in `out`).
bool ConvertUtf8Page(PageLocalizer& localizer, EMapMode mode, PageKind kind, text::Errors errors,
                     std::string_view page, text::ByteBuffer& out);

/// What is shared by every page of an application: thread-safe.
class PageLocalizer {
  public:
    struct Options {
        /// The pattern that finds notation (group 1 the id); none: the module's LocalizePattern.
        std::optional<std::u16string> pattern;
        /// When given, only these ids are localized; any other notation stays as written.
        std::optional<std::set<std::u16string>> ids;
    };

    /// Pages converted through objects of `module`. Throws ClientError for an ill-formed
    /// pattern, ComError.
    PageLocalizer(std::shared_ptr<Module> module, Options options);
    ~PageLocalizer();
    PageLocalizer(const PageLocalizer&) = delete;
    PageLocalizer& operator=(const PageLocalizer&) = delete;

    /// Makes now what pages for `mode` need (else the first such page makes it).
    void Prepare(EMapMode mode);

    const NotationFinder& finder() const noexcept { return m_finder; }
    /// Whether notation with this id is localized.
    bool Allows(std::u16string_view id) const { return !m_ids || m_ids->find(id) != m_ids->end(); }
    /// Appends what notation with `id` becomes in `mode` (Localize's replacement: the table's
    /// code, else LocalizeUndefinedFormat applied to the id).
    void AppendReplacement(EMapMode mode, std::u16string_view id, std::u16string& out);

  private:
    friend class PageConverter;
    friend bool ConvertUtf8Page(PageLocalizer&, EMapMode, PageKind, text::Errors, std::string_view,
                                text::ByteBuffer&);
    class Replacements;
    struct StandardEmoji;

    Replacements& ReplacementsFor(EMapMode mode);
    // A converter of standard emoji to `mode`'s from the pool, or null when the configuration
    // has no standard emoji table; give it back with Release.
    std::unique_ptr<CarrierConverter> Acquire(EMapMode mode);
    void Release(EMapMode mode, std::unique_ptr<CarrierConverter> converter);

    std::shared_ptr<Module> m_module;
    NotationFinder m_finder;
    std::optional<std::set<std::u16string, std::less<>>> m_ids;
    std::unique_ptr<StandardEmoji> m_standard;  // null without a standard emoji table
    std::mutex m_mutex;
    std::map<EMapMode, std::unique_ptr<Replacements>> m_replacements;
    std::map<EMapMode, std::vector<std::unique_ptr<CarrierConverter>>> m_pool;
};

/// How a page is read.
enum class PageKind : uint8_t {
    html,   ///< text/html: readable parts only
    xhtml,  ///< application/xhtml+xml: the same, read as XML (`<script/>` is empty)
    plain,  ///< text/plain: all of it
};

/// One page for one client. Takes input as TextConverter does (Reserve, Commit, Finish), so
/// that a text::TextPipe decodes into it; hands converted text to the sink. Memory stays
/// bounded whatever the page's length, its lines' or its texts'.
class PageConverter {
  public:
    /// Units of readable text held back at most while no place to cut it is found; beyond,
    /// the text so far is converted as if it ended there.
    static constexpr size_t kMaxHeldUnits = size_t{1} << 20;

    /// A page localized for `mode` (a carrier's map mode: its emoji, standard ones
    /// included; another mode: that table's, standard emoji as they are).
    PageConverter(PageLocalizer& localizer, EMapMode mode, PageKind kind, TextSink sink);
    ~PageConverter();
    PageConverter(const PageConverter&) = delete;
    PageConverter& operator=(const PageConverter&) = delete;

    /// Room for `units` more units of input; valid until Commit.
    char16_t* Reserve(size_t units);
    /// The first `units` units written at Reserve's pointer are the next part of the page.
    /// Throws ClientError, ComError.
    void Commit(size_t units);
    /// The end of the page.
    void Finish();

  private:
    class Readable;
    void Flush();

    TextSink m_sink;
    std::unique_ptr<char16_t[]> m_input;
    size_t m_inputRoom = 0;
    text::UnitBuffer m_output;                     // converted, handed on at the end of a call
    std::unique_ptr<class HtmlScanner> m_scanner;  // null for plain text
    std::unique_ptr<Readable> m_readable;
    bool m_inText = false;  // readable text came last
};

}  // namespace glyphary::client
