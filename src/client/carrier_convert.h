// Text written for one table shown on another: a carrier's emoji on another carrier or as
// standard emoji, standard emoji on a carrier, any of them as neutral notation, and text of
// several carriers at once (each emoji's carrier found per record). Each piece goes through
// objects of one module: the source table's emoji become an intermediate notation, U+FDD0 id
// U+FDD1 (two noncharacters, which no interchanged text holds), and the target's Localize
// turns that into its own codes (or, for notation, in a mode without a map, into each id
// through the notation's format). Neutral notation already in the text (`:sunny:`) passes
// both unchanged.
#pragma once

#include <bitset>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "client/module.h"
#include "client/object.h"
#include "client/text_converter.h"
#include "text/resolver.h"

namespace glyphary::client {

/// The map mode of the table keyed by standard emoji as people write them, whose codes are
/// the intermediate notation (unicode-in.map in the sample configuration).
inline constexpr EMapMode kStandardFormsMode = static_cast<EMapMode>(5);

/// How Localize in kStandardFormsMode finds the standard emoji of a text.
struct StandardEmojiFinder {
    /// The LocalizePattern. Its group 1 is one whole emoji sequence (a flag, or a character
    /// with its modifiers and what zero width joiners join to it) that begins with the first
    /// character of a form; Localize looks it up as it stands, so a sequence longer than a
    /// form (a skin tone, a ZWJ sequence) is not found and passes whole.
    std::u16string pattern;
    /// The units of forms, modifiers, U+200D and every surrogate: a text may be cut between
    /// two units that are none of them.
    std::bitset<0x10000> active;
};

/// The finder for `forms`, the standard emoji as written (the ids of kStandardFormsMode's
/// maps). A form that is no single emoji sequence is never found.
StandardEmojiFinder MakeStandardEmojiFinder(const std::vector<std::u16string>& forms);

/// The ids of the maps that the settings at `settingsPath` name for kStandardFormsMode.
/// Throws ClientError when they name none or one cannot be read.
std::vector<std::u16string> ReadStandardEmojiForms(const std::filesystem::path& settingsPath);

/// What a conversion reads.
struct Source {
    /// The codes of one table: a carrier's map mode, or kUnicodeMode (standard emoji).
    static Source Table(EMapMode mode) { return {mode, false, {}}; }
    /// Every carrier's codes at once: the marked text of a text::Decoder for
    /// text::Carrier::automatic, each emoji's carrier found per record as `options` say.
    static Source Automatic(const text::AutoOptions& options = {}) {
        return {MPM_none, true, options};
    }

    EMapMode mode = MPM_none;
    bool automatic = false;
    text::AutoOptions options;
};

/// What a conversion writes.
struct Target {
    /// The codes of one table: a carrier's map mode, or kUnicodeMode.
    static Target Table(EMapMode mode) { return {mode, false, std::nullopt}; }
    /// Neutral notation: each id through `format` (by GlobalizeFormat's rules), by default the
    /// configured GlobalizeFormat. What Globalize writes, for standard emoji too.
    static Target Notation(std::optional<std::u16string> format = std::nullopt) {
        return {MPM_none, true, std::move(format)};
    }

    EMapMode mode = MPM_none;
    bool notation = false;
    std::optional<std::u16string> format;
};

/// The source a name names: "auto", or a table as ParseCarrier reads it (imode, ezweb,
/// softbank, unicode and their other names); none for any other, and for none and numbers
/// other than those four tables' modes.
std::optional<Source> ParseSource(std::string_view name, const text::AutoOptions& options = {});
/// The target a name names: "notation", or a table as for ParseSource.
std::optional<Target> ParseTarget(std::string_view name);

/// Converts text written for one table (or for every carrier at once) into text for another
/// table, or into neutral notation, piece by piece in bounded memory. U+FDD0 units in the
/// input (which would read as the start of the intermediate notation) and zero units pass
/// through; the text between them is converted.
class CarrierConverter {
  public:
    /// Objects of `module` (which must outlive this). From kUnicodeMode, the standard emoji
    /// come from the settings beside the module; to notation, ids go through a mode that the
    /// settings give no map. Throws ClientError (an unusable format or setting), ComError.
    CarrierConverter(Module& module, const Source& from, const Target& to, TextSink sink);
    /// From table `from` to table `to`.
    CarrierConverter(Module& module, EMapMode from, EMapMode to, TextSink sink)
        : CarrierConverter(module, Source::Table(from), Target::Table(to), std::move(sink)) {}
    ~CarrierConverter();
    CarrierConverter(const CarrierConverter&) = delete;
    CarrierConverter& operator=(const CarrierConverter&) = delete;

    /// Room for `units` more units of input; valid until Commit.
    char16_t* Reserve(size_t units);
    /// The first `units` units written at Reserve's pointer are input; converts what it can.
    void Commit(size_t units);
    /// The end of the input: converts what is left.
    void Finish();

    /// All of `text` in one go, handed to `sink` (not the stream's sink): for short texts.
    /// From an automatic source, `text` is marked text and is resolved as one stream.
    void Convert(std::u16string_view text, const TextSink& sink);
    /// Whether a text may be cut between the units `before` and `after`: converting the two
    /// parts gives what converting the whole gives.
    bool MayCut(char16_t before, char16_t after) const;

    /// An automatic source's resolver (its guesses, and a hook for each), or null.
    text::CarrierResolver* resolver() noexcept { return m_resolver.get(); }

  private:
    // Text gathered before it goes on (through the target, without unit maps).
    static constexpr size_t kGatheredUnits = size_t{1} << 16;

    void ConvertWith(Glyphary& source, std::u16string_view text, const TextSink& sink);
    // The source step of `text` through `source`, its notation gathered; the input's U+FDD0
    // goes to `sink` in its place.
    void SourceStep(Glyphary& source, std::u16string_view text, const TextSink& sink);
    // The target step of what is gathered, to `sink`.
    void TargetStep(const TextSink& sink);
    void TakeRun(text::Carrier carrier, std::u16string_view units);
    // `units` through the k-th source's unit map, gathered.
    void MapUnits(size_t k, std::u16string_view units, const TextSink& sink);
    // What is gathered, through the target (without unit maps) and to `sink`.
    void Flush(const TextSink& sink);

    struct UnitMap;

    std::vector<Glyphary> m_sources;                // one table's, or each carrier's (automatic)
    std::vector<std::unique_ptr<UnitMap>> m_units;  // theirs, when every carrier source has one
    std::u16string m_input;                         // input given to Reserve
    Glyphary* m_source = nullptr;                   // the one converting now
    Glyphary m_target;
    bool m_fromStandard = false;
    std::bitset<0x10000> m_active;
    std::u16string m_gathered;
    std::unique_ptr<TextConverter> m_converter;  // a table's source without unit maps
    // An automatic source's resolver, and the stream's sink without a TextConverter.
    std::unique_ptr<text::CarrierResolver> m_resolver;
    TextSink m_sink;
};

}  // namespace glyphary::client
