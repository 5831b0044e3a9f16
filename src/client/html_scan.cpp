#include "client/html_scan.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "client/unit_search.h"

namespace glyphary::client {

namespace {

bool IsAsciiLetter(char16_t u) {
    return (u >= u'a' && u <= u'z') || (u >= u'A' && u <= u'Z');
}

char16_t Lower(char16_t u) {
    return u >= u'A' && u <= u'Z' ? static_cast<char16_t>(u + 32) : u;
}

// The attributes whose values people read; the rest (href, class, style, on..., data-...)
// are for the browser and the page's scripts.
constexpr std::array<std::string_view, 4> kReadableAttributes = {"title", "alt", "value",
                                                                 "placeholder"};

struct RawElement {
    std::string_view name;
    bool readable;  // its contents are text shown as text (title, textarea)
};
// Indexed by HtmlScanner::Raw.
constexpr std::array<RawElement, 9> kRawElements = {{
    {"", false},
    {"script", false},
    {"style", false},
    {"xmp", false},
    {"iframe", false},
    {"noembed", false},
    {"noframes", false},
    {"title", true},
    {"textarea", true},
}};

// The raw-text element a tag's name may be, by its length and first letter (lower case):
// one name to compare instead of all of them. No two share both.
constexpr size_t kMaxRawName = 8;
constexpr std::array<uint8_t, (kMaxRawName + 1)* 32> kRawByShape = [] {
    std::array<uint8_t, (kMaxRawName + 1) * 32> table{};
    for (size_t i = 1; i < kRawElements.size(); ++i) {
        const std::string_view name = kRawElements[i].name;
        uint8_t& slot = table[name.size() * 32 + static_cast<size_t>(name[0] - 'a')];
        if (name.size() > kMaxRawName || slot != 0) throw "two raw-text elements share a shape";
        slot = static_cast<uint8_t>(i);
    }
    return table;
}();

constexpr std::string_view kCdata = "[CDATA[";

// Sets of units below 64, so that one shift tells whether a unit is in one: the spaces are
// tested all through tags.
constexpr uint64_t Bits(std::initializer_list<char> units) {
    uint64_t bits = 0;
    for (const char u : units) bits |= uint64_t{1} << u;
    return bits;
}

bool In(uint64_t set, char16_t u) {
    return u < 64 && (set >> u & 1);
}

constexpr uint64_t kSpaces = Bits({' ', '\t', '\n', '\r', '\f'});
// The units that end a tag's name and, with '=', an attribute's.
constexpr uint64_t kEndsTagName = kSpaces | Bits({'/', '>'});
constexpr uint64_t kEndsAttrName = kEndsTagName | Bits({'='});

bool IsSpace(char16_t u) {
    return In(kSpaces, u);
}

template <class Unit>
const Unit* SkipSpaces(const Unit* p, const Unit* end) {
    while (p != end && IsSpace(AsUnit(*p))) ++p;
    return p;
}

// Whether the units [p, p + n) are `name` (lower-case letters) in any case: as the state
// machine's names compare, which keep ASCII lowered and nothing else.
template <class Unit>
bool UnitsAre(const Unit* p, size_t n, std::string_view name) {
    if (n != name.size()) return false;
    for (size_t i = 0; i < n; ++i)
        if ((AsUnit(p[i]) | 0x20) != name[i]) return false;
    return true;
}

}  // namespace

HtmlScanner::HtmlScanner(bool xml, Tags tags)
    : m_xml(xml), m_wholeTags(tags == Tags::whole), m_upTo(ChooseUnitSearch()) {}

__attribute__((always_inline)) inline bool HtmlScanner::Step(char16_t u) {
    for (;;) {
        switch (m_state) {
            case State::data:
                if (u == u'<') m_state = State::tagOpen;
                return u != u'<';
            case State::tagOpen:
                if (IsAsciiLetter(u)) {
                    m_endTag = false;
                    StartName(u);
                    m_state = State::tagName;
                } else if (u == u'/') {
                    m_state = State::endTagOpen;
                } else if (u == u'!') {
                    m_state = State::markupOpen;
                } else if (u == u'?') {
                    m_state = State::bogusComment;
                } else {
                    m_state = State::data;  // the '<' was text
                    continue;
                }
                return false;
            case State::endTagOpen:
                if (IsAsciiLetter(u)) {
                    m_endTag = true;
                    StartName(u);
                    m_state = State::tagName;
                } else {
                    m_state = u == u'>' ? State::data : State::bogusComment;
                }
                return false;
            case State::tagName:
                if (IsSpace(u) || u == u'/' || u == u'>') {
                    EndTagName();
                    m_state = State::beforeAttrName;
                    continue;
                }
                AddToName(u);
                return false;
            case State::beforeAttrName:
                if (u == u'/') {
                    m_state = State::selfClosing;
                } else if (u == u'>') {
                    CloseTag();
                } else if (!IsSpace(u)) {
                    StartName(u);
                    m_state = State::attrName;
                }
                return false;
            case State::attrName:
            case State::afterAttrName:
                if (u == u'=') {
                    m_readableAttr =
                        !m_endTag &&
                        std::any_of(kReadableAttributes.begin(), kReadableAttributes.end(),
                                    [this](std::string_view n) { return NameIs(n); });
                    m_state = State::beforeAttrValue;
                } else if (IsSpace(u)) {
                    m_state = State::afterAttrName;
                } else if (u == u'/' || u == u'>') {
                    m_state = State::beforeAttrName;
                    continue;
                } else if (m_state == State::afterAttrName) {
                    StartName(u);  // the attribute before had no value
                    m_state = State::attrName;
                } else {
                    AddToName(u);
                }
                return false;
            case State::beforeAttrValue:
                if (u == u'"') {
                    m_state = State::attrValueDouble;
                } else if (u == u'\'') {
                    m_state = State::attrValueSingle;
                } else if (u == u'>') {
                    CloseTag();
                } else if (!IsSpace(u)) {
                    m_state = State::attrValueBare;
                    continue;
                }
                return false;
            case State::attrValueDouble:
            case State::attrValueSingle:
                if (u == (m_state == State::attrValueDouble ? u'"' : u'\'')) {
                    m_state = State::afterAttrValue;
                    return false;
                }
                return m_readableAttr;
            case State::attrValueBare:
                if (IsSpace(u)) {
                    m_state = State::beforeAttrName;
                    return false;
                }
                if (u == u'>') {
                    CloseTag();
                    return false;
                }
                return m_readableAttr;
            case State::afterAttrValue:
                m_state = State::beforeAttrName;
                if (IsSpace(u)) return false;
                continue;
            case State::selfClosing:
                if (u == u'>') {
                    m_selfClosing = true;
                    CloseTag();
                    return false;
                }
                m_state = State::beforeAttrName;
                continue;
            case State::markupOpen:
                if (u == u'-') {
                    m_state = State::commentOpen;
                } else if (u == u'[') {
                    m_matched = 1;
                    m_state = State::cdataOpen;
                } else {
                    m_state = u == u'>' ? State::data : State::bogusComment;
                }
                return false;
            case State::commentOpen:
                if (u != u'-') {
                    m_state = State::bogusComment;
                    continue;
                }
                // What opens a comment may close it too: <!--> and <!---> are empty comments.
                m_dashes = 2;
                m_state = State::comment;
                return false;
            case State::comment:
                // Ends at --> or --!>; m_dashes 3 stands for "--!".
                if (u == u'>' && m_dashes >= 2) {
                    m_state = State::data;
                } else if (u == u'-') {
                    m_dashes = m_dashes == 3 ? 1 : std::min<uint8_t>(m_dashes + 1, 2);
                } else {
                    m_dashes = u == u'!' && m_dashes == 2 ? 3 : 0;
                }
                return false;
            case State::cdataOpen:
                if (u != kCdata[m_matched]) {
                    m_state = State::bogusComment;
                    continue;
                }
                if (++m_matched == kCdata.size()) {
                    m_dashes = 0;
                    m_state = State::cdata;
                }
                return false;
            case State::cdata:
                if (u == u'>' && m_dashes == 2) {
                    m_state = State::data;
                } else {
                    m_dashes = u == u']' ? std::min<uint8_t>(m_dashes + 1, 2) : 0;
                }
                return false;
            case State::bogusComment:
                if (u == u'>') m_state = State::data;
                return false;
            case State::rawText:
                if (u == u'<') {
                    m_state = State::rawLt;
                    return false;
                }
                return kRawElements[static_cast<size_t>(m_raw)].readable;
            case State::rawLt:
                if (u == u'/') {
                    m_matched = 0;
                    m_state = State::rawEndName;
                    return false;
                }
                m_state = State::rawText;
                continue;
            case State::rawEndName: {
                const std::string_view name = kRawElements[static_cast<size_t>(m_raw)].name;
                if (m_matched < name.size()) {
                    if (Lower(u) == name[m_matched]) {
                        ++m_matched;
                        return false;
                    }
                } else if (IsSpace(u) || u == u'/' || u == u'>') {
                    // The element's end tag: read on as any tag.
                    m_raw = Raw::none;
                    m_endTag = true;
                    m_nameLength = 0;
                    for (const char c : name) AddToName(static_cast<char16_t>(c));
                    m_state = State::tagName;
                    continue;
                }
                m_state = State::rawText;  // no end tag after all: its units stay markup
                continue;
            }
        }
    }
}

size_t HtmlScanner::UpTo(const char* p, size_t n, char16_t unit) {
    const void* const found = std::memchr(p, unit, n);
    return found ? static_cast<size_t>(static_cast<const char*>(found) - p) : n;
}

template <class Unit>
size_t HtmlScanner::WholeTags(const Unit* const begin, const Unit* const end) {
    const Unit* p = begin;
    // Each step below moves `p` and the state together, over units it has seen whole; where
    // the units end first, or something only the state machine reads comes (a comment, a
    // '<' that opens no tag), it stops and the state machine goes on from there.
    for (;;) {
        switch (m_state) {
            case State::data:
                if (p == end || *p != u'<') return p - begin;
                ++p;
                m_state = State::tagOpen;
                continue;
            case State::tagOpen:
            case State::endTagOpen: {
                if (p != end && *p == u'/' && m_state == State::tagOpen) {
                    ++p;
                    m_state = State::endTagOpen;
                    continue;
                }
                if (p == end || !IsAsciiLetter(AsUnit(*p))) return p - begin;
                const Unit* q = p + 1;
                while (q != end && !In(kEndsTagName, AsUnit(*q))) ++q;
                if (q == end) return p - begin;
                m_endTag = m_state == State::endTagOpen;
                m_tagRaw = Raw::none;
                if (const size_t n = static_cast<size_t>(q - p); n <= kMaxRawName) {
                    // *p is an ASCII letter.
                    const size_t i = kRawByShape[n * 32 + static_cast<size_t>((*p | 0x20) - 'a')];
                    if (i != 0 && UnitsAre(p, n, kRawElements[i].name))
                        m_tagRaw = static_cast<Raw>(i);
                }
                m_selfClosing = false;
                m_state = State::beforeAttrName;
                p = q;
                continue;
            }
            case State::afterAttrValue:
                if (p == end) return p - begin;
                if (IsSpace(AsUnit(*p))) ++p;
                m_state = State::beforeAttrName;
                continue;
            case State::beforeAttrName: {
                p = SkipSpaces(p, end);
                if (p == end) return p - begin;
                if (*p == u'>' || *p == u'/') {
                    if (*p == u'/') {
                        if (p + 1 == end) return p - begin;
                        if (*++p != u'>') continue;  // a '/' that closes nothing
                        m_selfClosing = true;
                    }
                    ++p;
                    CloseTag();
                    if (m_state == State::rawText) return p - begin;
                    continue;
                }
                // An attribute: its name, and = and its value if it has one.
                const Unit* q = p + 1;
                while (q != end && !In(kEndsAttrName, AsUnit(*q))) ++q;
                const Unit* r = SkipSpaces(q, end);
                if (r == end) return p - begin;
                if (*r != u'=') {
                    p = r;  // the next attribute, or the tag's end
                    continue;
                }
                const bool readable =
                    !m_endTag && std::any_of(kReadableAttributes.begin(), kReadableAttributes.end(),
                                             [&](std::string_view n) {
                                                 return UnitsAre(p, static_cast<size_t>(q - p), n);
                                             });
                r = SkipSpaces(r + 1, end);
                if (r == end) return p - begin;
                const char16_t quote = AsUnit(*r);
                if (quote == u'>') {
                    p = r;  // no value: the tag's end
                    continue;
                }
                m_readableAttr = readable;
                if (quote == u'"' || quote == u'\'') {
                    m_state = quote == u'"' ? State::attrValueDouble : State::attrValueSingle;
                    p = r + 1;
                    // A readable value is a run of its own: the tag's markup ends before it.
                    if (readable) return p - begin;
                    p += UpTo(p, static_cast<size_t>(end - p), quote);
                    if (p == end) return p - begin;
                    ++p;
                    m_state = State::afterAttrValue;
                    continue;
                }
                m_state = State::attrValueBare;
                p = r;
                if (readable) return p - begin;
                while (p != end && !IsSpace(AsUnit(*p)) && *p != u'>') ++p;
                if (p == end) return p - begin;
                if (*p == u'>') {
                    ++p;
                    CloseTag();
                    if (m_state == State::rawText) return p - begin;
                } else {
                    ++p;
                    m_state = State::beforeAttrName;
                }
                continue;
            }
            default:
                return p - begin;
        }
    }
}

size_t HtmlScanner::Next(std::u16string_view units, bool& readable) {
    return NextIn(units, readable);
}

size_t HtmlScanner::Next(std::string_view bytes, bool& readable) {
    return NextIn(bytes, readable);
}

template <class Unit>
size_t HtmlScanner::NextIn(std::basic_string_view<Unit> units, bool& readable) {
    // Text up to the next tag, the most common run: one search, as the loop below finds it.
    if (m_wholeTags && m_state == State::data && !m_pending && units[0] != u'<') {
        readable = true;
        return UpTo(units.data(), units.size(), u'<');
    }
    size_t n = 0;
    bool started = false;
    if (m_pending) {
        readable = m_pendingReadable;
        m_pending = false;
        started = true;
        n = 1;
    }
    while (n < units.size()) {
        // The kind first: a run of the other kind begins the next call, which searches it.
        if (bool kind; Skips(kind)) {
            if (started && kind != readable) return n;
            if (const size_t run = Skippable(units.substr(n))) {
                if (m_state == State::comment || m_state == State::cdata) m_dashes = 0;
                readable = kind;
                started = true;
                n += run;
                continue;
            }
        }
        if (m_wholeTags && ((m_state == State::data && units[n] == u'<') || InTag())) {
            // Markup whatever follows: it begins the next run if this one is text.
            if (started && readable) return n;
            if (const size_t run = WholeTags(units.data() + n, units.data() + units.size())) {
                readable = false;
                started = true;
                n += run;
                continue;
            }
        }
        if ((m_state == State::tagName || m_state == State::attrName) && !(started && readable)) {
            // A name's units are markup and only go into the name.
            const bool attribute = m_state == State::attrName;
            const size_t from = n;
            while (n < units.size() && !IsSpace(AsUnit(units[n])) && units[n] != u'/' &&
                   units[n] != u'>' && !(attribute && units[n] == u'='))
                AddToName(AsUnit(units[n++]));
            if (n > from) {
                readable = false;
                started = true;
                continue;
            }
        }
        const bool r = Step(AsUnit(units[n]));
        if (started && r != readable) {
            // Already stepped: it begins the next call's run.
            m_pending = true;
            m_pendingReadable = r;
            return n;
        }
        readable = r;
        started = true;
        ++n;
    }
    return n;
}

const std::array<HtmlScanner::Runs, HtmlScanner::kStates> HtmlScanner::kRuns = [] {
    std::array<Runs, kStates> runs{};  // RunKind::none
    const auto set = [&runs](State state, RunKind kind, char16_t stop) {
        runs[static_cast<size_t>(state)] = {kind, stop};
    };
    set(State::data, RunKind::text, u'<');
    set(State::rawText, RunKind::raw, u'<');
    set(State::attrValueDouble, RunKind::attribute, u'"');
    set(State::attrValueSingle, RunKind::attribute, u'\'');
    set(State::bogusComment, RunKind::markup, u'>');
    set(State::comment, RunKind::markup, 0);  // -, ! or >
    set(State::cdata, RunKind::markup, 0);    // ] or >
    return runs;
}();

bool HtmlScanner::RawIsText() const {
    return kRawElements[static_cast<size_t>(m_raw)].readable;
}

template <class Unit>
size_t HtmlScanner::Skippable(std::basic_string_view<Unit> units) const {
    // Runs often end at once (text right before a tag): seen without a search.
    if (const char16_t stop = kRuns[static_cast<size_t>(m_state)].stop)
        return units[0] == stop ? 0 : UpTo(units.data(), units.size(), stop);
    size_t end = 0;
    if (m_state == State::comment)
        while (end < units.size() && units[end] != '-' && units[end] != '!' && units[end] != '>')
            ++end;
    else
        while (end < units.size() && units[end] != ']' && units[end] != '>') ++end;
    return end;
}

void HtmlScanner::StartName(char16_t u) {
    m_nameLength = 0;
    AddToName(u);
}

void HtmlScanner::AddToName(char16_t u) {
    if (m_nameLength < sizeof m_name)
        m_name[m_nameLength] = u < 0x80 ? static_cast<char>(Lower(u)) : '\0';
    if (m_nameLength < 255) ++m_nameLength;
}

bool HtmlScanner::NameIs(std::string_view name) const {
    // Names are a few letters: compared here, a call to memcmp for each would cost more.
    if (m_nameLength != name.size()) return false;
    for (size_t i = 0; i < name.size(); ++i)
        if (m_name[i] != name[i]) return false;
    return true;
}

void HtmlScanner::EndTagName() {
    m_selfClosing = false;
    m_tagRaw = Raw::none;
    for (size_t i = 1; i < kRawElements.size(); ++i)
        if (NameIs(kRawElements[i].name)) m_tagRaw = static_cast<Raw>(i);
}

void HtmlScanner::CloseTag() {
    // A start tag of a raw-text element opens its contents; in XHTML `<script/>` is empty.
    if (!m_endTag && m_tagRaw != Raw::none && !(m_xml && m_selfClosing)) {
        m_raw = m_tagRaw;
        m_state = State::rawText;
    } else {
        m_state = State::data;
    }
    m_selfClosing = false;
}

}  // namespace glyphary::client
