#include "client/page_convert.h"

#include <algorithm>
#include <bitset>
#include <cstring>
#include <functional>
#include <unordered_map>

#include "client/carrier_convert.h"
#include "client/carriers.h"
#include "client/errors.h"
#include "client/html_scan.h"
#include "client/settings.h"
#include "client/unit_search.h"
#include "text/codec.h"
#include "text/format.h"
#include "text/unicode.h"
#include "text/utf.h"

namespace glyphary::client {

namespace {

// Ids are short: their first and last four units (which overlap in a shorter one) and their
// length make the hash, two multiplies whatever the length, and tell most ids apart before
// their units are compared. The units are read whole into registers: bytes copied into a
// word in memory and read back as one would wait for the copy.
struct Ends {
    uint64_t first = 0, last = 0;
    explicit Ends(std::u16string_view s) {
        const char16_t* p = s.data();
        const size_t n = s.size();
        if (n >= 4) {
            std::memcpy(&first, p, 8);
            std::memcpy(&last, p + n - 4, 8);
        } else {
            for (size_t i = 0; i < n; ++i) first |= uint64_t{p[i]} << 16 * i;
            last = first;
        }
    }
    bool operator==(const Ends&) const = default;
    uint64_t Hash(size_t n) const {
        // A product's high bits depend on all of its operand's: those are the ones used.
        const uint64_t h = (first * 0x9E3779B97F4A7C15u) ^ ((last ^ n) * 0xC2B2AE3D27D4EB4Fu);
        return h ^ (h >> 32);
    }
};

// The tables that grow with what pages hold hash every unit: a hash of the ends alone would
// let a page fill one bucket with ids that differ only in their middles.
struct Hash {
    using is_transparent = void;
    size_t operator()(std::u16string_view s) const { return std::hash<std::u16string_view>{}(s); }
};
using StringMap = std::unordered_map<std::u16string, std::u16string, Hash, std::equal_to<>>;

// A table made once (from the configuration's ids) and then only read, looked up for every
// notation on a page: open addressing over a power of two of slots, at most half of them
// used. What is looked up cannot add to a probe sequence, so the hash of the ends is enough.
class FrozenStringMap {
  public:
    void Build(std::vector<std::pair<std::u16string, std::u16string>> entries) {
        m_entries = std::move(entries);
        m_ends.clear();
        for (const auto& entry : m_entries) m_ends.emplace_back(entry.first);
        unsigned bits = 4;
        while ((size_t{1} << bits) < 2 * m_entries.size()) ++bits;
        m_slots.assign(size_t{1} << bits, 0);
        m_mask = m_slots.size() - 1;
        m_shift = 64 - bits;
        for (uint32_t i = 0; i < m_entries.size(); ++i) {
            size_t at = m_ends[i].Hash(m_entries[i].first.size()) >> m_shift;
            while (m_slots[at] != 0) at = (at + 1) & m_mask;
            m_slots[at] = i + 1;
        }
    }
    const std::u16string* Find(std::u16string_view key) const {
        const size_t i = IndexOf(key);
        return i != kNone ? &m_entries[i].second : nullptr;
    }
    /// The entry's place in the entries Build was given, or kNone.
    static constexpr size_t kNone = ~size_t{0};
    size_t IndexOf(std::u16string_view key) const {
        const Ends ends(key);
        for (size_t at = ends.Hash(key.size()) >> m_shift;; at = (at + 1) & m_mask) {
            const uint32_t slot = m_slots[at];
            if (slot == 0) return kNone;
            const std::u16string& k = m_entries[slot - 1].first;
            // Up to eight units the ends are the whole id.
            if (m_ends[slot - 1] == ends && k.size() == key.size() &&
                (key.size() <= 8 || std::memcmp(k.data() + 4, key.data() + 4,
                                                (key.size() - 8) * sizeof(char16_t)) == 0))
                return slot - 1;
        }
    }

  private:
    std::vector<std::pair<std::u16string, std::u16string>> m_entries;
    std::vector<Ends> m_ends;  // of each entry's id
    // Index + 1 into m_entries, 0 where free; two free slots before Build.
    std::vector<uint32_t> m_slots = std::vector<uint32_t>(2);
    size_t m_mask = 1;
    unsigned m_shift = 63;
};

// Replacements of ids met in pages but in no table, remembered up to this many per mode (a
// page's own text must not grow memory without end).
constexpr size_t kMaxRemembered = 4096;

// Finds one id, written between two noncharacters, and replaces it as Localize would in the
// object's mode.
constexpr char16_t kLookupPattern[] = u"\\x{FDD0}([\\s\\S]*)\\x{FDD1}";

}  // namespace

// ---------------------------------------------------------------------------------------------
// What ids become

// Localize's replacement for each id in one mode: asked of the module once per id, the ids of
// the mode's tables (or the allowed ones) in advance.
class PageLocalizer::Replacements {
  public:
    Replacements(Module& module, EMapMode mode, const std::set<std::u16string>& ids)
        : m_lookup(module.Create()) {
        m_lookup.SetMapMode(mode);
        m_lookup.Put(Property::localizePattern, kLookupPattern);
        std::vector<std::pair<std::u16string, std::u16string>> known;
        known.reserve(ids.size());
        for (const std::u16string& id : ids) known.emplace_back(id, Lookup(id));
        // Pages that stay in UTF-8 take them so (those with a lone surrogate are left to the
        // encoder, which may pair it with what comes next).
        m_knownUtf8.reserve(known.size());
        for (const auto& entry : known)
            m_knownUtf8.push_back(text::Utf8FromUtf16(entry.second, text::Errors::strict));
        m_known.Build(std::move(known));
    }

    /// What `id` becomes as UTF-8, when it is a known id and that is well-formed; else null.
    const std::string* KnownUtf8(std::u16string_view id) const {
        const size_t i = m_known.IndexOf(id);
        return i != FrozenStringMap::kNone && m_knownUtf8[i] ? &*m_knownUtf8[i] : nullptr;
    }

    template <class Out>
    void Append(std::u16string_view id, Out& out) {
        if (const std::u16string* const replacement = m_known.Find(id)) {
            out += *replacement;
            return;
        }
        std::lock_guard lock(m_mutex);
        if (const auto it = m_remembered.find(id); it != m_remembered.end()) {
            out += it->second;
            return;
        }
        std::u16string replacement = Lookup(id);
        out += replacement;
        if (m_remembered.size() < kMaxRemembered)
            m_remembered.emplace(std::u16string(id), std::move(replacement));
    }

  private:
    std::u16string Lookup(std::u16string_view id) {
        std::u16string text;
        text.reserve(id.size() + 2);
        text += u'\xFDD0';
        text += id;
        text += u'\xFDD1';
        return m_lookup.Convert(Operation::localize, text);
    }

    Glyphary m_lookup;                                    // in the constructor and under m_mutex
    FrozenStringMap m_known;                              // read without a lock once made
    std::vector<std::optional<std::string>> m_knownUtf8;  // in the order of m_known's entries
    std::mutex m_mutex;
    StringMap m_remembered;
};

// The standard emoji the configuration knows, as CarrierConverter finds them, and what the
// standard emoji step made of the parts of pages so far.
struct PageLocalizer::StandardEmoji {
    // Parts longer than this are converted each time (a page's emoji are short and repeat).
    static constexpr size_t kMaxRememberedUnits = 64;

    // Units of which a text must hold one for a standard emoji to be found in it, and the
    // lowest of them (so that the units below, ASCII at least, are passed over in blocks).
    std::bitset<0x10000> triggers;
    char16_t lowestTrigger = 0xFFFF;
    // The units a match may hold: a text may be cut between two units that are none of them
    // (CarrierConverter::MayCut from standard emoji).
    std::bitset<0x10000> active;

    bool MayCut(char16_t before, char16_t after) const { return !active[before] && !active[after]; }

    // A part is always converted alone, so what it became once it becomes wherever it stands:
    // remembered per mode, up to kMaxRemembered parts.
    std::optional<std::u16string_view> Recall(EMapMode mode, std::u16string_view part) {
        std::lock_guard lock(mutex);
        const StringMap& results = converted[mode];
        const auto it = results.find(part);
        if (it == results.end()) return std::nullopt;
        return it->second;  // entries are never removed, and node-based: the view stays valid
    }
    void Remember(EMapMode mode, std::u16string_view part, std::u16string_view result) {
        if (part.size() > kMaxRememberedUnits) return;
        std::lock_guard lock(mutex);
        StringMap& results = converted[mode];
        if (results.size() < kMaxRemembered) results.emplace(part, result);
    }

    std::mutex mutex;
    std::map<EMapMode, StringMap> converted;
};

PageLocalizer::PageLocalizer(std::shared_ptr<Module> module, Options options)
    : m_module(std::move(module)),
      m_finder(options.pattern ? *options.pattern
                               : Glyphary(m_module->Create()).Get(Property::localizePattern)) {
    if (options.ids) m_ids.emplace(options.ids->begin(), options.ids->end());
    const SettingsFile settings = ReadSettings(m_module->SettingsPath());
    if (!MapFilesOf(settings, static_cast<int>(kStandardFormsMode)).empty()) {
        const std::vector<std::u16string> forms = ReadStandardEmojiForms(m_module->SettingsPath());
        const StandardEmojiFinder finder = MakeStandardEmojiFinder(forms);
        m_standard = std::make_unique<StandardEmoji>();
        // A form is found only whole, so a text without any of the units that forms hold
        // beyond ASCII has none, when every form holds one (which emoji do).
        const bool everyFormBeyondAscii =
            std::all_of(forms.begin(), forms.end(), [](const std::u16string& form) {
                return std::any_of(form.begin(), form.end(), [](char16_t u) { return u >= 0x80; });
            });
        for (size_t u = 0xFFFF; u + 1 > (everyFormBeyondAscii ? 0x80 : 0); --u) {
            m_standard->triggers[u] = finder.active[u];
            if (finder.active[u]) m_standard->lowestTrigger = static_cast<char16_t>(u);
        }
        m_standard->active = finder.active;
    }
}

PageLocalizer::~PageLocalizer() = default;

PageLocalizer::Replacements& PageLocalizer::ReplacementsFor(EMapMode mode) {
    std::lock_guard lock(m_mutex);
    std::unique_ptr<Replacements>& replacements = m_replacements[mode];
    if (!replacements) {
        std::set<std::u16string> ids;
        if (m_ids) {
            ids.insert(m_ids->begin(), m_ids->end());
        } else {
            std::set<std::u16string> codes;
            for (const CodeMapEntry& map : ReadSettings(m_module->SettingsPath()).maps)
                if (map.mode == mode) ReadCodeMapKeys(map.path, ids, codes);
        }
        replacements = std::make_unique<Replacements>(*m_module, mode, ids);
    }
    return *replacements;
}

void PageLocalizer::AppendReplacement(EMapMode mode, std::u16string_view id, std::u16string& out) {
    ReplacementsFor(mode).Append(id, out);
}

std::unique_ptr<CarrierConverter> PageLocalizer::Acquire(EMapMode mode) {
    if (!m_standard || text::CarrierOfMode(mode) == text::Carrier::none) return nullptr;
    {
        std::lock_guard lock(m_mutex);
        std::vector<std::unique_ptr<CarrierConverter>>& pool = m_pool[mode];
        if (!pool.empty()) {
            std::unique_ptr<CarrierConverter> converter = std::move(pool.back());
            pool.pop_back();
            return converter;
        }
    }
    // Made outside the lock: it compiles the standard emoji pattern.
    return std::make_unique<CarrierConverter>(*m_module, kUnicodeMode, mode,
                                              [](std::u16string_view) {});
}

void PageLocalizer::Release(EMapMode mode, std::unique_ptr<CarrierConverter> converter) {
    if (!converter) return;
    std::lock_guard lock(m_mutex);
    m_pool[mode].push_back(std::move(converter));
}

void PageLocalizer::Prepare(EMapMode mode) {
    ReplacementsFor(mode);
    Release(mode, Acquire(mode));
}

// ---------------------------------------------------------------------------------------------
// One stretch of readable text at a time

// Readable text through the notation step, then (for handsets) the standard emoji step, each
// holding back only what it cannot settle yet.
class PageConverter::Readable {
  public:
    Readable(PageLocalizer& localizer, EMapMode mode, text::UnitBuffer& out)
        : m_localizer(localizer),
          m_mode(mode),
          m_replacements(localizer.ReplacementsFor(mode)),
          m_out(out),
          m_standardEmoji(text::CarrierOfMode(mode) != text::Carrier::none
                              ? localizer.m_standard.get()
                              : nullptr) {}
    ~Readable() { m_localizer.Release(m_mode, std::move(m_converter)); }

    // The next units of the stretch; with `end`, the stretch ends after them. Converts what
    // is settled.
    void Take(std::u16string_view units, bool end) {
        Localize(units, end);
        if (!end && m_text.size() > kMaxHeldUnits) Localize({}, true);
        Standard(end);
    }

  private:
    void Localize(std::u16string_view more, bool end) {
        // What is held from before comes first; without it the units are read where they are.
        std::u16string_view text = more;
        const bool held = !m_text.empty();
        if (held) {
            m_text += more;
            text = m_text;
        }
        // Without the standard emoji step the result is final.
        text::UnitBuffer& out = m_standardEmoji ? m_localized : m_out;
        size_t copied = 0;
        const size_t settled =
            m_localizer.finder().Find(text, end, [&](const NotationMatch& match) {
                out.append(text.substr(copied, match.begin - copied));
                const std::u16string_view id =
                    text.substr(match.idBegin, match.idEnd - match.idBegin);
                if (m_localizer.Allows(id)) {
                    m_replacements.Append(id, out);
                } else {
                    out.append(text.substr(match.begin, match.end - match.begin));
                }
                copied = match.end;
            });
        out.append(text.substr(copied, settled - copied));
        if (held)
            m_text.erase(0, settled);
        else if (settled != text.size())
            m_text.assign(text.substr(settled));
    }

    // The standard emoji converter, taken from the pool when first needed: a page whose parts
    // were all converted before needs none.
    CarrierConverter& Converter() {
        if (!m_converter) m_converter = m_localizer.Acquire(m_mode);
        return *m_converter;
    }

    void Standard(bool end) {
        if (!m_standardEmoji) return;  // Localize wrote to m_out
        size_t cut = m_localized.size();
        if (!end) {
            // The last place where the converter allows a cut, between two units that are
            // here (what comes next is not known yet).
            cut = cut > 0 ? cut - 1 : 0;
            while (cut > 0 && !m_standardEmoji->MayCut(m_localized[cut - 1], m_localized[cut]))
                --cut;
            if (cut == 0 && m_localized.size() > kMaxHeldUnits)
                cut = m_localized.size() - (text::IsHighSurrogate(m_localized.back()) ? 1 : 0);
        }
        const std::u16string_view settled = m_localized.view().substr(0, cut);
        PageLocalizer::StandardEmoji& standard = *m_standardEmoji;
        const auto& triggers = standard.triggers;
        // Only the parts around units that may begin to make a standard emoji go to the
        // module, each from the cut before it to the cut after it: what lies between holds
        // no emoji and stays as it is.
        size_t copied = 0;
        for (size_t i = 0;; ++i) {
            // Searched for from below the lowest trigger only: the units of a word beyond it
            // (kana, kanji) are looked up one by one as they come.
            if (i < settled.size() && settled[i] < standard.lowestTrigger)
                i += m_atLeast(settled.data() + i, settled.size() - i, standard.lowestTrigger);
            if (i >= settled.size()) break;
            if (!triggers[settled[i]]) continue;
            size_t begin = i, end = i + 1;
            while (begin > copied && !standard.MayCut(settled[begin - 1], settled[begin])) --begin;
            while (end < settled.size() && !standard.MayCut(settled[end - 1], settled[end])) ++end;
            m_out += settled.substr(copied, begin - copied);
            const std::u16string_view part = settled.substr(begin, end - begin);
            if (part == m_lastPart) {
                m_out += m_lastResult;  // the same emoji again, as pages repeat them
            } else if (const std::optional<std::u16string_view> known =
                           standard.Recall(m_mode, part)) {
                m_out += *known;
                m_lastPart.assign(part);
                m_lastResult = *known;
            } else if (part.find(kSeparator) == part.npos && part.back() != kZwj) {
                Defer(part);
            } else {
                const size_t at = m_out.size();
                Converter().Convert(part, [this](std::u16string_view piece) { m_out += piece; });
                standard.Remember(m_mode, part, m_out.view().substr(at));
            }
            copied = end;
            i = end - 1;
        }
        m_out += settled.substr(copied);
        m_localized.RemoveFront(cut);
    }

    // Text for the standard emoji step waits in one batch, converted in one call when the
    // page's output is handed on: a call costs much more than the few units around an emoji.
    // The parts are joined by a noncharacter, which no emoji sequence holds or reaches across
    // (the pattern takes what follows a U+200D, so a part that ends with one goes alone), and
    // split again after.
    void Defer(std::u16string_view text) {
        m_deferredAt.push_back(m_out.size());
        m_batch += text;
        m_batch += kSeparator;
    }

  public:
    /// Puts the standard emoji step's results in their places in the output.
    void Resolve() {
        if (m_deferredAt.empty()) return;
        std::u16string converted;
        converted.reserve(m_batch.size());
        Converter().Convert(m_batch, [&](std::u16string_view piece) { converted += piece; });
        text::UnitBuffer out;
        out.Room(m_out.size() + converted.size());
        size_t from = 0, piece = 0, batched = 0;
        for (const size_t deferredAt : m_deferredAt) {
            out += m_out.view().substr(from, deferredAt - from);
            from = deferredAt;
            const size_t end = converted.find(kSeparator, piece);
            const size_t sourceEnd = m_batch.find(kSeparator, batched);
            const std::u16string_view part =
                std::u16string_view(m_batch).substr(batched, sourceEnd - batched);
            const size_t start = out.size();
            if (end == converted.npos) {  // cannot be: converted alone after all
                Converter().Convert(part, [&](std::u16string_view u) { out += u; });
            } else {
                out += std::u16string_view(converted).substr(piece, end - piece);
                piece = end + 1;
            }
            m_standardEmoji->Remember(m_mode, part, out.view().substr(start));
            batched = sourceEnd + 1;
        }
        out += m_out.view().substr(from);
        m_out.swap(out);
        m_deferredAt.clear();
        m_batch.clear();
    }

  private:
    static constexpr char16_t kSeparator = u'\xFFFF';
    static constexpr char16_t kZwj = u'\x200D';

    PageLocalizer& m_localizer;
    EMapMode m_mode;
    PageLocalizer::Replacements& m_replacements;
    text::UnitBuffer& m_out;
    PageLocalizer::StandardEmoji* m_standardEmoji;  // null: standard emoji stay
    const AtLeastSearch m_atLeast = ChooseAtLeastSearch();
    // The part recalled last and what it became (a view into the remembered results, which
    // stay as long as the localizer).
    std::u16string m_lastPart;
    std::u16string_view m_lastResult;
    std::unique_ptr<CarrierConverter> m_converter;  // from the pool, once needed
    std::u16string m_text;                          // not settled by the notation step
    text::UnitBuffer m_localized;                   // not settled by the standard emoji step
    std::u16string m_batch;                         // deferred to Resolve, joined
    std::vector<size_t> m_deferredAt;               // where each goes in the output
};

// ---------------------------------------------------------------------------------------------
// A UTF-8 page as it is

bool ConvertUtf8Page(PageLocalizer& localizer, EMapMode mode, PageKind kind, text::Errors errors,
                     std::string_view page, text::ByteBuffer& out) {
    const NotationFinder& finder = localizer.finder();
    if (text::CarrierOfMode(mode) != text::Carrier::none || !finder.FindsInUtf8() ||
        !text::IsUtf8(page))
        return false;
    PageLocalizer::Replacements& replacements = localizer.ReplacementsFor(mode);
    out.Room(page.size() + page.size() / 8);
    // Replacements in a row are encoded together, as the units of one piece would be (a
    // surrogate at the end of one and its other half at the start of the next make a pair);
    // the page's own characters, whole, never pair with them.
    text::Encoder encoder(text::Format(text::Encoding::utf8), errors);
    std::u16string replaced;
    char16_t id[NotationFinder::kMaxIdUnits];
    const auto encodeReplaced = [&] {
        if (replaced.empty()) return true;
        const bool ok = encoder.Encode(replaced, true, out);
        replaced.clear();
        return ok;
    };
    size_t copied = 0;  // the page's bytes before it are in `out`
    bool failed = false;
    const auto localize = [&](size_t from, size_t to) {
        finder.Find(page.substr(from, to - from), true, [&](const NotationMatch& match) {
            const size_t begin = from + match.begin;
            if (begin > copied) {
                failed |= !encodeReplaced();
                out.append(page.substr(copied, begin - copied));
            }
            // The id is ASCII, and no longer than the finder allows.
            const size_t idLength = match.idEnd - match.idBegin;
            std::copy_n(page.begin() + static_cast<ptrdiff_t>(from + match.idBegin), idLength, id);
            const std::u16string_view idUnits(id, idLength);
            if (!localizer.Allows(idUnits)) {
                failed |= !encodeReplaced();
                out.append(page.substr(begin, match.end - match.begin));
            } else if (const std::string* const utf8 = replacements.KnownUtf8(idUnits)) {
                // Well-formed: nothing before or after it pairs with it.
                failed |= !encodeReplaced();
                out.append(*utf8);
            } else {
                replacements.Append(idUnits, replaced);
            }
            copied = from + match.end;
        });
    };
    if (kind == PageKind::plain) {
        localize(0, page.size());
    } else {
        // Readable runs in a row are one stretch, as PageConverter::Commit takes them.
        HtmlScanner scanner(kind == PageKind::xhtml);
        size_t at = 0, textFrom = 0;
        bool inText = false;
        while (at < page.size()) {
            bool readable;
            const size_t n = scanner.Next(page.substr(at), readable);
            if (readable && !inText) textFrom = at;
            if (!readable && inText) localize(textFrom, at);
            inText = readable;
            at += n;
        }
        if (inText) localize(textFrom, page.size());
    }
    failed |= !encodeReplaced();
    out.append(page.substr(copied));
    return !failed;
}

// ---------------------------------------------------------------------------------------------
// The page

PageConverter::PageConverter(PageLocalizer& localizer, EMapMode mode, PageKind kind, TextSink sink)
    : m_sink(std::move(sink)) {
    if (kind != PageKind::plain) m_scanner = std::make_unique<HtmlScanner>(kind == PageKind::xhtml);
    m_readable = std::make_unique<Readable>(localizer, mode, m_output);
}

PageConverter::~PageConverter() = default;

char16_t* PageConverter::Reserve(size_t units) {
    if (m_inputRoom < units) {
        m_input.reset(new char16_t[units]);  // not filled: the decoder writes it
        m_inputRoom = units;
    }
    return m_input.get();
}

void PageConverter::Commit(size_t units) {
    std::u16string_view in(m_input.get(), units);
    m_output.Room(units);  // about what comes out: one growth, not many
    if (!m_scanner) {
        m_readable->Take(in, false);
        m_inText = true;
        Flush();
        return;
    }
    // Readable runs in a row are one stretch, handed on whole where they lie.
    size_t at = 0, textFrom = 0;
    while (at < in.size()) {
        bool readable;
        const size_t n = m_scanner->Next(in.substr(at), readable);
        if (readable) {
            if (!m_inText) textFrom = at;
            m_inText = true;
        } else {
            if (m_inText) m_readable->Take(in.substr(textFrom, at - textFrom), true);
            m_inText = false;
            m_output += in.substr(at, n);
        }
        at += n;
    }
    if (m_inText) m_readable->Take(in.substr(textFrom), false);
    Flush();
}

void PageConverter::Finish() {
    if (m_inText) m_readable->Take({}, true);
    m_inText = false;
    Flush();
}

void PageConverter::Flush() {
    m_readable->Resolve();
    if (m_output.empty()) return;
    m_sink(m_output.view());
    m_output.clear();
}

}  // namespace glyphary::client
