// Text whose emoji come from several carriers at once (a board, a guest book, a mail log keeps
// whatever each handset sent): the carrier of each emoji is found from its code, record by
// record. A code only one carrier has decides for itself; a code several carriers have (au's
// and SoftBank's private-use codes overlap at U+E501-U+E53E, and their Shift_JIS codes overlap
// more) goes to the carrier the record's unambiguous codes show, else to the first of a
// preferred order, and that guess is counted and reported.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "text/format.h"

namespace glyphary::text {

/// What one record is: the unit whose unambiguous codes decide its ambiguous ones.
enum class Record : uint8_t {
    line,       ///< up to a line feed (the default)
    paragraph,  ///< up to a blank line (line feeds with nothing but spaces, tabs or CR between)
    whole,      ///< the whole text
};

/// How a resolver decides.
struct AutoOptions {
    Record record = Record::line;
    /// Which carrier an ambiguous code goes to when the record does not decide: the first of
    /// these that has it.
    std::array<Carrier, 3> prefer = {Carrier::imode, Carrier::ezweb, Carrier::softbank};
};

/// "line", "paragraph", "whole"; and the record a name names, none for any other.
const char* RecordName(Record record);
std::optional<Record> ParseRecord(std::string_view name);
/// The order a comma-separated list of carrier names (imode, docomo, ezweb, au, kddi,
/// softbank, vodafone; any letter case) gives: those named first, the others after them in
/// mode order. None for an unknown or repeated name, which goes to `unknown`.
std::optional<std::array<Carrier, 3>> ParsePrefer(std::string_view names,
                                                  std::string* unknown = nullptr);

/// One decision that was a guess.
struct Guess {
    size_t record = 0;  ///< the record, from 1
    size_t line = 0;    ///< the line of the emoji, from 1
    /// Units of the resolved text before the emoji, from the start of the stream and from
    /// the start of its line.
    size_t offset = 0;
    size_t column = 0;
    uint32_t code = 0;  ///< as found: a private-use code point, or a Shift_JIS code (`sjis`)
    bool sjis = false;
    Carrier chosen = Carrier::none;
    /// Sets of carriers, bit 1 << (mode - 1): those the code could be, and those the record's
    /// unambiguous codes showed.
    uint8_t candidates = 0;
    uint8_t shown = 0;
};

/// "U+E501 could be ezweb or softbank: took ezweb, the first preferred (the record shows no
/// carrier)", for reports.
std::string Describe(const Guess& guess);

/// Reads marked text (what a Decoder for Carrier::automatic writes) and hands on runs of
/// resolved text: each emoji as its carrier's private-use code point, each run holding the
/// emoji of one carrier. A record is held until it ends; one longer than kMaxRecordUnits is
/// resolved in parts, each part with what the record showed so far.
class CarrierResolver {
  public:
    /// A run of resolved text whose emoji are all `carrier`'s (Carrier::none: no emoji).
    using RunSink = std::function<void(Carrier carrier, std::u16string_view units)>;
    using GuessHook = std::function<void(const Guess&)>;

    static constexpr size_t kMaxRecordUnits = size_t{1} << 20;

    CarrierResolver(const AutoOptions& options, RunSink sink);
    CarrierResolver(const CarrierResolver&) = delete;
    CarrierResolver& operator=(const CarrierResolver&) = delete;

    /// The next marked units. Resolves every record they end, and with `final` the rest.
    void Feed(std::u16string_view marked, bool final);

    /// Guesses so far: ambiguous codes that no unambiguous code of their record decided.
    size_t guesses() const noexcept { return m_guesses; }
    /// Calls `hook` for each guess as it is made.
    void SetGuessHook(GuessHook hook) { m_hook = std::move(hook); }
    const AutoOptions& options() const noexcept { return m_options; }

  private:
    static constexpr size_t kNone = size_t(-1);

    // Where the record that text[i, n) goes on ends (just after it), or kNone.
    size_t FindEnd(const char16_t* text, size_t i, size_t n);
    void Resolve(const char16_t* text, size_t begin, size_t end, bool ends);
    Carrier Choose(uint8_t candidates, uint32_t code, bool sjis, bool counts);
    void Emit(Carrier carrier, const char16_t* units, size_t n);
    void Flush();

    AutoOptions m_options;
    RunSink m_sink;
    GuessHook m_hook;
    std::u16string m_record;   // marked units of a record that earlier pieces began
    bool m_markOpen = false;   // the last unit scanned is a mark whose unit is still to come
    bool m_blankSoFar = true;  // for paragraphs: the line so far is blank
    bool m_seenLine = false;   // for paragraphs: a line ended inside the record
    uint8_t m_shown = 0;       // carriers the record's unambiguous codes show
    char16_t m_certain = 0;    // inside a run marked one carrier's: its mark
    std::u16string m_out;      // resolved, not yet handed on
    Carrier m_run = Carrier::none;
    size_t m_emitted = 0;  // units handed on
    size_t m_lineStart = 0;
    size_t m_line = 1;
    size_t m_records = 1;
    size_t m_guesses = 0;
};

/// All of `bytes` decoded in `format` (whose carrier is automatic) and resolved: each emoji
/// as its carrier's code point. Throws EncodingError for a strict failure.
std::u16string DecodeResolved(std::string_view bytes, const Format& format, Errors errors,
                              const AutoOptions& options,
                              const CarrierResolver::GuessHook& hook = {});

}  // namespace glyphary::text
