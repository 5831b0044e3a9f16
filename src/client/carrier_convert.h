// Text written for one table shown on another: a carrier's emoji on another carrier or as
// standard emoji, standard emoji on a carrier. Each piece goes through two objects of one
// module: the source table's emoji become an intermediate notation, U+FDD0 id U+FDD1 (two
// noncharacters, which no interchanged text holds), and the target's Localize turns that
// into its own codes. Neutral notation already in the text (`:sunny:`) passes both unchanged.
#pragma once

#include <bitset>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/module.h"
#include "client/object.h"
#include "client/text_converter.h"

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

/// Converts text for `from` (a carrier's map mode, or kUnicodeMode) into text for `to`, piece
/// by piece in bounded memory. U+FDD0 units in the input (which would read as the start of the
/// intermediate notation) and zero units pass through; the text between them is converted.
class CarrierConverter {
  public:
    /// Two objects of `module` (which must outlive this). From kUnicodeMode, the standard
    /// emoji come from the settings beside the module. Throws ClientError, ComError.
    CarrierConverter(Module& module, EMapMode from, EMapMode to, TextSink sink);
    ~CarrierConverter();
    CarrierConverter(const CarrierConverter&) = delete;
    CarrierConverter& operator=(const CarrierConverter&) = delete;

    /// Room for `units` more units of input; valid until Commit.
    char16_t* Reserve(size_t units) { return m_converter->Reserve(units); }
    /// The first `units` units written at Reserve's pointer are input; converts what it can.
    void Commit(size_t units) { m_converter->Commit(units); }
    /// The end of the input: converts what is left.
    void Finish() { m_converter->Finish(); }

    /// All of `text` in one go, handed to `sink` (not the stream's sink): for short texts.
    void Convert(std::u16string_view text, const TextSink& sink);
    /// Whether a text may be cut between the units `before` and `after`: converting the two
    /// parts gives what converting the whole gives.
    bool MayCut(char16_t before, char16_t after) const;

  private:
    Glyphary m_source;
    Glyphary m_target;
    bool m_fromStandard;
    std::bitset<0x10000> m_active;
    std::u16string m_intermediate;
    std::unique_ptr<TextConverter> m_converter;
};

}  // namespace glyphary::client
