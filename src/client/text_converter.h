// Text of any length through Globalize or Localize in bounded memory: it goes to the interface
// in pieces, cut only where the result is the same as converting the whole in one call.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string_view>

#include "client/object.h"
#include "convert/pattern_facts.h"

namespace glyphary::client {

/// Where a text may be cut into pieces without changing the result.
enum class Cuts {
    anywhere,        ///< between any two units (a surrogate pair is kept whole all the same)
    afterLineFeeds,  ///< after a line feed: no match can hold one or look across one
    nowhere,         ///< the pattern cannot be shown safe to cut: the whole text in one call
    byRule,          ///< where a conversion of the caller's own says (TextConverter's CutRule)
    /// The pattern has the shape P(C+)S (the default's): anywhere but inside what might be a
    /// match (ShapeCuts), so memory is bounded by the longest open candidate, up to
    /// kMaxOpenCandidate units.
    byShape,
};

/// The longest run of units that might still be one notation (P and members of C) that a
/// TextConverter holds when cutting byShape; a longer one is an error, never a match.
inline constexpr size_t kMaxOpenCandidate = size_t{1} << 24;

/// Converts one piece of text (zero units included) and hands the result to the sink.
using PieceConversion = std::function<void(std::u16string_view piece, const TextSink& sink)>;
/// Whether a text may be cut between the units `before` and `after` without changing the result.
using CutRule = std::function<bool(char16_t before, char16_t after)>;

/// The cuts `operation` allows when LocalizePattern is `localizePattern`. Globalize reads one
/// unit at a time, so it may be cut anywhere; Localize only where the pattern analysis proves
/// it safe: by its shape, else after line feeds, else nowhere.
Cuts CutsFor(Operation operation, std::u16string_view localizePattern);

/// Converts text that arrives piece by piece. Input is written straight into the converter's
/// buffer (Reserve, then Commit); converted text goes to the sink as soon as a safe cut allows.
/// Zero units pass through: the interface reads a string up to its first one.
class TextConverter {
  public:
    /// Converts through `object` (which must outlive this); reads its LocalizePattern to
    /// decide the cuts.
    TextConverter(Glyphary& object, Operation operation, TextSink sink);
    /// Converts through `conversion`, cut where `mayCut` allows and after every zero unit.
    TextConverter(PieceConversion conversion, CutRule mayCut, TextSink sink);
    ~TextConverter();
    TextConverter(const TextConverter&) = delete;
    TextConverter& operator=(const TextConverter&) = delete;

    Cuts cuts() const noexcept { return m_cuts; }

    /// Room for `units` more units of input; valid until Commit.
    char16_t* Reserve(size_t units);
    /// The first `units` units written at Reserve's pointer are input. Converts what may be
    /// converted now. Throws ComError, or ClientError when the text cannot be cut and grows
    /// longer than one interface string (byShape: an open candidate longer than
    /// kMaxOpenCandidate).
    void Commit(size_t units);
    /// The end of the input: converts what is left.
    void Finish();

  private:
    void ConvertThrough(size_t end);

    PieceConversion m_conversion;
    CutRule m_mayCut;                  // for Cuts::byRule
    std::optional<ShapeCuts> m_shape;  // for Cuts::byShape
    TextSink m_sink;
    Cuts m_cuts;
    std::unique_ptr<char16_t[]> m_buffer;
    size_t m_capacity = 0;
    size_t m_size = 0;
    size_t m_cut = 0;  // the last place the text may be cut, or 0
};

}  // namespace glyphary::client
