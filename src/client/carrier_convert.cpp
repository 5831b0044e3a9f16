#include "client/carrier_convert.h"

#include <cstdio>
#include <map>
#include <set>
#include <unordered_map>

#include "client/carriers.h"
#include "client/errors.h"
#include "client/settings.h"
#include "text/unicode.h"

namespace glyphary::client {

using text::IsHighSurrogate;
using text::IsLowSurrogate;

namespace {

constexpr char16_t kOpen = u'\xFDD0';  // the intermediate notation: kOpen id kClose
constexpr char16_t kClose = u'\xFDD1';
constexpr char16_t kZwj = u'\x200D';

// The intermediate notation as the source step writes it and the target step finds it. The
// id is whatever the tables hold, except the two marks themselves.
constexpr char16_t kIntermediateFormat[] = u"\xFDD0%1%\xFDD1";
constexpr char16_t kIntermediatePattern[] = u"\\x{FDD0}([^\\x{FDD0}\\x{FDD1}]+)\\x{FDD1}";
// An id the target lacks (no table of the sample lacks one) is left as neutral notation, which
// a reader understands and `glyphary localize` can take up later.
constexpr char16_t kMissingIdFormat[] = u":%1%:";

// ---------------------------------------------------------------------------------------------
// The standard emoji pattern
//
// Localize searches with Boost.Regex over UTF-16 units, so every character beyond U+FFFF is
// its surrogate pair. A sequence is: a flag (two regional indicators) or a character that
// begins a form, then its modifiers (U+FE0F, U+FE0E, U+20E3, skin tones, tags), then any
// number of U+200D with the character it joins and that one's modifiers. The whole sequence
// is group 1, looked up as it stands: a form is found, a longer sequence is not and is written
// back unchanged (LocalizeUndefinedFormat "%1%"). No sequence starts just after a U+200D or
// ends just before one, so nothing is taken out of a longer sequence.
//
// Speed: Boost picks the places a match may start from a table of the first 256 units only,
// so the pattern begins with one coarse character class (a few ranges covering the units
// that begin a form), which rejects ordinary text, kana and kanji at once; the exact first
// character is then checked behind it. Repeats are bounded and atomic: no backtracking, and
// the engine's stack stays small whatever the input (a longer run is no form in any case).

constexpr char16_t kModifier[] =
    u"(?:[\\x{FE0F}\\x{FE0E}\\x{20E3}]"
    u"|\\x{D83C}[\\x{DFFB}-\\x{DFFF}]|\\x{DB40}[\\x{DC20}-\\x{DC7F}])";
// What a U+200D joins: any character but another U+200D, so that no match ends with one (the
// next search would not see it behind its start).
constexpr char16_t kJoined[] = u"(?:[\\x{D800}-\\x{DBFF}][\\x{DC00}-\\x{DFFF}]|[^\\x{200D}])";
constexpr char16_t kFlag[] = u"(?<=\\x{D83C})[\\x{DDE6}-\\x{DDFF}]\\x{D83C}[\\x{DDE6}-\\x{DDFF}]";
constexpr int kMaxModifiers = 32;
constexpr int kMaxJoined = 16;

bool IsRegionalIndicator(std::u16string_view c) {
    return c.size() == 2 && c[0] == 0xD83C && c[1] >= 0xDDE6 && c[1] <= 0xDDFF;
}

bool IsModifier(std::u16string_view c) {
    if (c.size() == 1) return c[0] == 0xFE0F || c[0] == 0xFE0E || c[0] == 0x20E3;
    return c.size() == 2 && ((c[0] == 0xD83C && c[1] >= 0xDFFB && c[1] <= 0xDFFF) ||
                             (c[0] == 0xDB40 && c[1] >= 0xDC20 && c[1] <= 0xDC7F));
}

// The characters of `text`: a surrogate pair is one, a lone surrogate is one too.
std::vector<std::u16string_view> Characters(std::u16string_view text) {
    std::vector<std::u16string_view> out;
    for (size_t i = 0; i < text.size();) {
        const size_t n = text::CharacterUnits(text, i);
        out.push_back(text.substr(i, n));
        i += n;
    }
    return out;
}

// Whether the pattern reads all of `form` as one sequence, begun by its first character
// (false for a flag, which the flag alternative reads).
bool ReadAsOneSequence(const std::vector<std::u16string_view>& c) {
    if (c.empty() || (c.size() >= 2 && IsRegionalIndicator(c[0]) && IsRegionalIndicator(c[1])))
        return false;
    size_t i = 1;
    const auto modifiers = [&] {
        for (int n = 0; n < kMaxModifiers && i < c.size() && IsModifier(c[i]); ++n) ++i;
    };
    modifiers();
    const std::u16string_view zwj(&kZwj, 1);
    for (int n = 0; n < kMaxJoined && i + 1 < c.size() && c[i] == zwj && c[i + 1] != zwj; ++n) {
        i += 2;
        modifiers();
    }
    return i == c.size();
}

// The parts one after the other (GCC 12 misreads chains of + on temporaries as overlapping
// copies).
template <class... Parts>
std::u16string Concat(const Parts&... parts) {
    std::u16string out;
    (out.append(std::u16string_view(parts)), ...);
    return out;
}

std::u16string Escape(char16_t unit) {
    char text[16];
    std::snprintf(text, sizeof text, "\\x{%X}", static_cast<unsigned>(unit));
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// A character class of `units`, consecutive ones as ranges.
std::u16string Class(const std::set<char16_t>& units) {
    std::u16string out = u"[";
    for (auto it = units.begin(); it != units.end();) {
        const char16_t first = *it;
        char16_t last = first;
        while (++it != units.end() && *it == last + 1) last = *it;
        out += Escape(first);
        if (last != first) {
            out += u'-';
            out += Escape(last);
        }
    }
    return out + u"]";
}

// A class that holds `units` and few ranges: units below U+0100 exactly (Boost's start table
// skips the others there), the rest in ranges that bridge gaps of fewer than 256 units.
std::u16string CoarseClass(const std::set<char16_t>& units) {
    std::set<char16_t> low;
    std::vector<std::pair<char16_t, char16_t>> ranges;
    for (const char16_t u : units) {
        if (u < 0x100) {
            low.insert(u);
        } else if (!ranges.empty() && u - ranges.back().second < 256) {
            ranges.back().second = u;
        } else {
            ranges.emplace_back(u, u);
        }
    }
    std::u16string out = Class(low);
    out.pop_back();
    for (const auto& [first, last] : ranges)
        out += first == last ? Escape(first) : Escape(first) + u"-" + Escape(last);
    return out + u"]";
}

// The first characters of forms, as alternatives that check the unit (or pair) the coarse
// class took: one class of single units, and per high surrogate a class of low ones.
std::vector<std::u16string> FirstAlternatives(const std::set<std::u16string>& characters) {
    std::set<char16_t> single;
    std::map<char16_t, std::set<char16_t>> pairs;
    for (const std::u16string& c : characters) {
        if (c.size() == 1) {
            single.insert(c[0]);
        } else {
            pairs[c[0]].insert(c[1]);
        }
    }
    std::vector<std::u16string> out;
    if (!single.empty()) out.push_back(u"(?<=" + Class(single) + u")");
    for (const auto& [high, lows] : pairs)
        out.push_back(u"(?<=" + Escape(high) + u")" + Class(lows));
    return out;
}

std::u16string Number(int n) {
    const std::string text = std::to_string(n);
    return std::u16string(text.begin(), text.end());
}

std::u16string Join(const std::vector<std::u16string>& parts) {
    std::u16string out;
    for (const std::u16string& part : parts) out += (out.empty() ? u"" : u"|") + part;
    return out;
}

}  // namespace

StandardEmojiFinder MakeStandardEmojiFinder(const std::vector<std::u16string>& forms) {
    StandardEmojiFinder finder;
    const std::set<std::u16string> all(forms.begin(), forms.end());
    // A first character that is a form by itself starts a sequence wherever it stands; one
    // that only begins longer forms (a keycap's digit) only before a modifier or U+200D.
    std::set<std::u16string> alone, beginning;
    std::set<char16_t> starts = {0xD83C};  // and every flag's
    for (const std::u16string& form : forms) {
        for (const char16_t u : form) finder.active.set(u);
        const std::vector<std::u16string_view> c = Characters(form);
        if (!ReadAsOneSequence(c)) continue;
        const std::u16string first(c[0]);
        (all.count(first) ? alone : beginning).insert(first);
        starts.insert(first[0]);
    }
    for (const char16_t u : {0x200D, 0xFE0E, 0xFE0F, 0x20E3}) finder.active.set(u);
    for (char32_t u = 0xD800; u <= 0xDFFF; ++u) finder.active.set(u);

    std::vector<std::u16string> firsts = {kFlag};
    for (std::u16string& a : FirstAlternatives(alone)) firsts.push_back(std::move(a));
    if (!beginning.empty())
        firsts.push_back(
            Concat(u"(?:", Join(FirstAlternatives(beginning)), u")(?=", kModifier, u"|\\x{200D})"));
    const std::u16string modifiers =
        Concat(u"(?>", kModifier, u"{0,", Number(kMaxModifiers), u"})");
    finder.pattern = Concat(u"(", CoarseClass(starts), u"(?<!\\x{200D}.)(?:", Join(firsts), u")",
                            modifiers, u"(?>(?:\\x{200D}", kJoined, modifiers, u"){0,",
                            Number(kMaxJoined), u"}))(?!\\x{200D})");
    return finder;
}

std::vector<std::u16string> ReadStandardEmojiForms(const std::filesystem::path& settingsPath) {
    const SettingsFile settings = ReadSettings(settingsPath);
    if (!settings.loaded) throw ClientError(settingsPath.string() + " is missing or ill-formed");
    if (MapFilesOf(settings, static_cast<int>(kStandardFormsMode)).empty())
        throw ClientError(settingsPath.string() + " names no map for mode " +
                          std::to_string(kStandardFormsMode) +
                          " (the standard emoji as written), which conversion from unicode needs");
    std::vector<std::u16string> forms;
    for (CodeMapElement& e : ReadCodeMapsOf(settings, static_cast<int>(kStandardFormsMode)))
        if (!e.id.empty()) forms.push_back(std::move(e.id));
    return forms;
}

// ---------------------------------------------------------------------------------------------
// Names

std::optional<Source> ParseSource(std::string_view name, const text::AutoOptions& options) {
    if (name == "auto") return Source::Automatic(options);
    const std::optional<EMapMode> mode = ParseCarrier(name);
    if (!mode || (*mode != MPM_imode && *mode != MPM_ezweb && *mode != MPM_softbank &&
                  *mode != kUnicodeMode))
        return std::nullopt;
    return Source::Table(*mode);
}

std::optional<Target> ParseTarget(std::string_view name) {
    if (name == "notation") return Target::Notation();
    const std::optional<Source> source = ParseSource(name);
    if (!source || source->automatic) return std::nullopt;
    return Target::Table(source->mode);
}

// ---------------------------------------------------------------------------------------------
// The converter

namespace {

// A mode the settings give no map: Localize there finds no id, so every id goes through the
// undefined format.
EMapMode ModeWithoutMaps(Module& module) {
    const SettingsFile settings = ReadSettings(module.SettingsPath());
    int mode = 0;
    while (!MapFilesOf(settings, mode).empty()) --mode;
    return static_cast<EMapMode>(mode);
}

// Checks a property's default from the settings, naming where it came from.
void CheckDefault(Module& module, Glyphary& object, Property property) {
    try {
        CheckProperty(property, object.Get(property));
    } catch (const ClientError& e) {
        throw ClientError("the default " + std::string(e.what()) + " (from " +
                          module.SettingsPath().string() + ")");
    }
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// A carrier's conversion unit by unit. Globalize reads one unit at a time, and each notation it
// writes for a unit is found whole by the target's pattern, which looks at nothing around it:
// so each unit's conversion is the module's answer for that unit alone, asked once. The
// source step's answers come from one call over every unit; the target's for a unit when it
// first appears.

struct CarrierConverter::UnitMap {
    std::bitset<0x10000> changes;                         // units Globalize does not pass
    std::unordered_map<char16_t, std::u16string> source;  // what it writes for each of them
    std::unordered_map<char16_t, std::u16string> result;  // and the target makes of that

    // The map of `object`'s Globalize; none when its answers cannot be told apart or a
    // notation it writes is not closed (then text goes through the module as it stands).
    static std::unique_ptr<UnitMap> Of(Glyphary& object) {
        constexpr char16_t kSeparator = 0xFDD2;  // a noncharacter: no table's code
        std::u16string probe;
        probe.reserve(0x20000);
        for (uint32_t u = 1; u < 0x10000; ++u) {
            if (u == kSeparator) continue;
            probe += static_cast<char16_t>(u);
            probe += kSeparator;
        }
        const std::u16string out = object.Convert(Operation::globalize, probe);
        auto map = std::make_unique<UnitMap>();
        size_t at = 0;
        for (uint32_t u = 1; u < 0x10000; ++u) {
            if (u == kSeparator) continue;
            const size_t end = out.find(kSeparator, at);
            if (end == std::u16string::npos) return nullptr;
            const std::u16string_view piece(out.data() + at, end - at);
            at = end + 1;
            if (piece.size() == 1 && piece[0] == u) continue;
            if (!Closed(piece)) return nullptr;
            map->changes.set(u);
            map->source.emplace(static_cast<char16_t>(u), piece);
        }
        if (at != out.size()) return nullptr;
        return map;
    }

    // Whether every U+FDD0 in `text` is followed by U+FDD1 before another U+FDD0 or the end.
    static bool Closed(std::u16string_view text) {
        bool open = false;
        for (const char16_t u : text) {
            if (u == kOpen) {
                if (open) return false;
                open = true;
            } else if (u == kClose) {
                open = false;
            }
        }
        return !open;
    }
};

CarrierConverter::CarrierConverter(Module& module, const Source& from, const Target& to,
                                   TextSink sink)
    : m_target(module.Create()), m_fromStandard(!from.automatic && from.mode == kUnicodeMode) {
    if (m_fromStandard) {
        StandardEmojiFinder finder =
            MakeStandardEmojiFinder(ReadStandardEmojiForms(module.SettingsPath()));
        m_active = finder.active;
        Glyphary& source = m_sources.emplace_back(module.Create());
        source.SetMapMode(kStandardFormsMode);
        source.Put(Property::localizePattern, finder.pattern);
        source.Put(Property::localizeUndefinedFormat, u"%1%");
    } else {
        // A code whose entry has no id has no equivalent anywhere: it gets what the
        // configuration writes for such codes (the sample: U+3013). Passed through, one
        // carrier's private-use code would show as another emoji, or none, on the other.
        std::vector<EMapMode> modes = {from.mode};
        if (from.automatic) modes = {MPM_imode, MPM_ezweb, MPM_softbank};  // by text::Carrier
        for (const EMapMode mode : modes) {
            Glyphary& source = m_sources.emplace_back(module.Create());
            source.SetMapMode(mode);
            source.Put(Property::globalizeFormat, kIntermediateFormat);
            CheckDefault(module, source, Property::globalizeUndefinedFormat);
        }
    }
    m_source = &m_sources.front();

    if (to.notation) {
        const std::u16string format = to.format ? *to.format : [&] {
            CheckDefault(module, m_target, Property::globalizeFormat);
            return m_target.Get(Property::globalizeFormat);
        }();
        try {
            CheckProperty(Property::localizeUndefinedFormat, format);
        } catch (const ClientError& e) {
            throw ClientError("the notation's format: " + std::string(e.what()));
        }
        m_target.SetMapMode(ModeWithoutMaps(module));
        m_target.Put(Property::localizeUndefinedFormat, format);
    } else {
        m_target.SetMapMode(to.mode);
        m_target.Put(Property::localizeUndefinedFormat, kMissingIdFormat);
    }
    m_target.Put(Property::localizePattern, kIntermediatePattern);

    if (!m_fromStandard) {
        for (Glyphary& source : m_sources) {
            m_units.push_back(UnitMap::Of(source));
            if (!m_units.back()) {
                m_units.clear();
                break;
            }
        }
    }
    if (from.automatic) {
        // Runs come from the resolver, a record (or a part of one) at a time, each through
        // its carrier's conversion as it comes (without unit maps, the notation gathered for
        // a piece through the target at once: each Localize compiles its pattern).
        m_sink = std::move(sink);
        m_resolver = std::make_unique<text::CarrierResolver>(
            from.options,
            [this](text::Carrier carrier, std::u16string_view run) { TakeRun(carrier, run); });
        return;
    }
    if (!m_units.empty()) {  // no cut to wait for: each unit converts alone
        m_sink = std::move(sink);
        return;
    }
    m_converter = std::make_unique<TextConverter>(
        [this](std::u16string_view piece, const TextSink& out) {
            ConvertWith(*m_source, piece, out);
        },
        [this](char16_t before, char16_t after) { return MayCut(before, after); }, std::move(sink));
}

CarrierConverter::~CarrierConverter() = default;

char16_t* CarrierConverter::Reserve(size_t units) {
    if (m_converter) return m_converter->Reserve(units);
    if (m_input.size() < units) m_input.resize(units);
    return m_input.data();
}

void CarrierConverter::Commit(size_t units) {
    if (m_converter) return m_converter->Commit(units);
    const std::u16string_view input(m_input.data(), units);
    if (m_resolver) {
        m_resolver->Feed(input, false);
    } else {
        MapUnits(0, input, m_sink);
    }
    Flush(m_sink);
}

void CarrierConverter::Finish() {
    if (m_converter) return m_converter->Finish();
    if (m_resolver) m_resolver->Feed({}, true);
    Flush(m_sink);
}

void CarrierConverter::TakeRun(text::Carrier carrier, std::u16string_view units) {
    // Text without emoji goes with whichever carrier converted last.
    if (carrier != text::Carrier::none) m_source = &m_sources[static_cast<size_t>(carrier) - 1];
    if (!m_units.empty())
        return MapUnits(static_cast<size_t>(m_source - m_sources.data()), units, m_sink);
    SourceStep(*m_source, units, m_sink);
    if (m_gathered.size() >= kGatheredUnits) TargetStep(m_sink);
}

void CarrierConverter::MapUnits(size_t k, std::u16string_view units, const TextSink& sink) {
    UnitMap& map = *m_units[k];
    size_t from = 0;
    for (size_t i = 0; i < units.size(); ++i) {
        const char16_t u = units[i];
        if (!map.changes[u]) continue;
        m_gathered.append(units.substr(from, i - from));
        from = i + 1;
        auto found = map.result.find(u);
        if (found == map.result.end()) {
            const std::u16string& notation = map.source.at(u);
            found = map.result
                        .emplace(u, notation.find(kOpen) == std::u16string::npos
                                        ? notation
                                        : m_target.Convert(Operation::localize, notation))
                        .first;
        }
        m_gathered += found->second;
        if (m_gathered.size() >= kGatheredUnits) Flush(sink);
    }
    m_gathered.append(units.substr(from));
    if (m_gathered.size() >= kGatheredUnits) Flush(sink);
}

void CarrierConverter::Flush(const TextSink& sink) {
    if (m_units.empty()) return TargetStep(sink);
    if (!m_gathered.empty()) sink(m_gathered);
    m_gathered.clear();
}

bool CarrierConverter::MayCut(char16_t before, char16_t after) const {
    // Only the source step matters: the notation the target step finds is made whole by the
    // source step within the same piece, and no U+FDD0 of the input reaches it. Globalize
    // reads one unit at a time. A match for standard emoji holds units of forms, modifiers
    // and U+200D, and besides them only the character a U+200D joins; beyond its ends it
    // looks for a U+200D. Between two units that are none of the former, no match lies
    // across the cut, and none finds a U+200D across it.
    if (m_fromStandard) return !m_active[before] && !m_active[after];
    return !(IsHighSurrogate(before) && IsLowSurrogate(after));
}

void CarrierConverter::Convert(std::u16string_view text, const TextSink& sink) {
    if (!m_resolver && m_units.empty()) return ConvertWith(*m_source, text, sink);
    if (!m_resolver) {
        MapUnits(0, text, sink);
        return Flush(sink);
    }
    size_t k = 0;
    text::CarrierResolver resolver(m_resolver->options(),
                                   [&](text::Carrier carrier, std::u16string_view run) {
                                       if (carrier != text::Carrier::none)
                                           k = static_cast<size_t>(carrier) - 1;
                                       if (!m_units.empty()) return MapUnits(k, run, sink);
                                       SourceStep(m_sources[k], run, sink);
                                   });
    resolver.Feed(text, true);
    Flush(sink);
}

void CarrierConverter::ConvertWith(Glyphary& source, std::u16string_view text,
                                   const TextSink& sink) {
    SourceStep(source, text, sink);
    TargetStep(sink);
}

void CarrierConverter::SourceStep(Glyphary& source, std::u16string_view text,
                                  const TextSink& sink) {
    const Operation operation = m_fromStandard ? Operation::localize : Operation::globalize;
    for (;;) {
        const size_t mark = text.find(kOpen);
        const std::u16string_view between = text.substr(0, mark);
        if (!between.empty())
            source.Convert(operation, between,
                           [this](std::u16string_view piece) { m_gathered += piece; });
        if (mark == std::u16string_view::npos) return;
        TargetStep(sink);  // the input's own U+FDD0 goes on as it is, in its place
        sink(std::u16string_view(&kOpen, 1));
        text.remove_prefix(mark + 1);
    }
}

void CarrierConverter::TargetStep(const TextSink& sink) {
    if (m_gathered.empty()) return;
    // Without the notation the target step would give back what it gets.
    if (m_gathered.find(kOpen) == std::u16string::npos) {
        sink(m_gathered);
    } else {
        m_target.Convert(Operation::localize, m_gathered, sink);
    }
    m_gathered.clear();
}

}  // namespace glyphary::client
