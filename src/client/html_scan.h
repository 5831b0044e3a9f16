// Which units of an HTML or XHTML page a person reads: text content (that of <title> and
// <textarea> included) and the values of the attributes title, alt, value and placeholder.
// Everything else is markup: tags with their names and other attributes, comments, CDATA
// sections, declarations, processing instructions, and the contents of <script>, <style> and
// the other elements whose text the browser does not show as text. The page arrives in pieces
// cut anywhere; the scanner carries its state from one to the next and never holds a unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace glyphary::client {

class HtmlScanner {
  public:
    /// How tags are read: `whole` reads a tag that lies within the units given in one pass
    /// (names searched for their ends, quoted values for their closing quote); `stepped`
    /// takes every unit through the state machine, the definition `whole` must agree with.
    enum class Tags : bool { whole, stepped };

    /// `xml`: the page is XHTML, where `<script/>` is an empty element (in HTML it opens one).
    explicit HtmlScanner(bool xml = false, Tags tags = Tags::whole);

    /// The length of the run at the start of `units` (not empty) whose units are all
    /// readable or all markup, as `readable` says; the scanner moves past it. When the run
    /// ends before `units` does, the next call must begin with the unit after it. Readable
    /// runs in a row (from successive pieces) are one stretch of text; markup ends it.
    size_t Next(std::u16string_view units, bool& readable);
    /// The same over UTF-8, a byte a unit: markup is all ASCII, and the bytes of a character
    /// beyond ASCII are read as that character is, so a page's bytes are cut into the same
    /// runs as its units.
    size_t Next(std::string_view bytes, bool& readable);

  private:
    enum class State : uint8_t {
        data,             // text content
        tagOpen,          // after <
        endTagOpen,       // after </
        tagName,          // in a tag's name
        beforeAttrName,   // in a tag, between attributes
        attrName,         // in an attribute's name
        afterAttrName,    // after a name, before = or the next attribute
        beforeAttrValue,  // after =
        attrValueDouble,  // in "..."
        attrValueSingle,  // in '...'
        attrValueBare,    // in a value without quotes
        afterAttrValue,   // after the closing quote
        selfClosing,      // after / in a tag
        markupOpen,       // after <! : a comment, CDATA, a declaration
        commentOpen,      // after <!-
        comment,          // in <!-- ... -->
        cdataOpen,        // in <![CDATA[, m_matched units of it seen
        cdata,            // in <![CDATA[ ... ]]>
        bogusComment,     // in <! ... > or <? ... > or </ ... > with no name
        rawText,          // in <script>, <style>... (markup) or <title>, <textarea> (text)
        rawLt,            // after < in raw text
        rawEndName,       // after </ in raw text, m_matched units of the element's name seen
    };
    static constexpr size_t kStates = static_cast<size_t>(State::rawEndName) + 1;
    // The elements whose contents end only at their own end tag.
    enum class Raw : uint8_t {
        none,
        script,
        style,
        xmp,
        iframe,
        noembed,
        noframes,
        title,
        textarea
    };

    template <class Unit>
    size_t NextIn(std::basic_string_view<Unit> units, bool& readable);
    // Moves past one unit; whether it is readable.
    bool Step(char16_t u);
    // How many units from `p` on, all markup, the tags there take: whole tags and tags in a
    // row, the markup of a tag up to a readable value, and no more of a tag than lies before
    // `end`. Leaves the state as stepping each would. From data (at a '<') or inside a tag.
    template <class Unit>
    size_t WholeTags(const Unit* p, const Unit* end);
    // The units before the first `unit` among p[0..n), or n.
    size_t UpTo(const char16_t* p, size_t n, char16_t unit) const { return m_upTo(p, n, unit); }
    static size_t UpTo(const char* p, size_t n, char16_t unit);
    bool InTag() const {
        return m_state == State::tagOpen || m_state == State::endTagOpen ||
               m_state == State::beforeAttrName || m_state == State::afterAttrValue;
    }
    // The states that pass over runs of units without changing (a run of text up to the next
    // '<', a value up to its quote...), so that long runs are not stepped one unit at a time:
    // the kind of their runs, and the unit that ends them (0 where several do).
    enum class RunKind : uint8_t { none, text, markup, attribute, raw };
    struct Runs {
        RunKind kind;
        char16_t stop;
    };
    static const std::array<Runs, kStates> kRuns;
    // Whether the current state passes over runs, and their kind.
    bool Skips(bool& readable) const {
        const RunKind kind = kRuns[static_cast<size_t>(m_state)].kind;
        readable = kind == RunKind::text || (kind == RunKind::attribute && m_readableAttr) ||
                   (kind == RunKind::raw && RawIsText());
        return kind != RunKind::none;
    }
    bool RawIsText() const;
    // How many units at the start of `units` (not empty) such a state passes over.
    template <class Unit>
    size_t Skippable(std::basic_string_view<Unit> units) const;
    void EndTagName();
    void CloseTag();
    bool NameIs(std::string_view name) const;
    void StartName(char16_t u);
    void AddToName(char16_t u);

    State m_state = State::data;
    bool m_xml;
    bool m_wholeTags;
    // The units before the first of a kind, SIMD where the processor has it; chosen once.
    size_t (*m_upTo)(const char16_t* units, size_t n, char16_t unit);
    bool m_pending = false;  // the first unit of the next call has been stepped already
    bool m_pendingReadable = false;
    bool m_endTag = false;        // the tag being read is an end tag
    bool m_selfClosing = false;   // the tag being read ends with />
    bool m_readableAttr = false;  // the attribute whose value is being read is a readable one
    Raw m_tagRaw = Raw::none;     // the raw-text element the tag being read names, if any
    Raw m_raw = Raw::none;        // the raw-text element whose contents are being read
    uint8_t m_dashes = 0;         // '-' (comments) or ']' (CDATA) just seen, up to 2
    uint8_t m_matched = 0;        // units of a keyword or end tag name matched so far
    // The name being read (a tag's or an attribute's), lower case; longer ones than any name
    // we look for are cut, which no name we look for matches.
    char m_name[12] = {};
    uint8_t m_nameLength = 0;
};

}  // namespace glyphary::client
