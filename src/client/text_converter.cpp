#include "client/text_converter.h"

#include <algorithm>
#include <cstring>

#include "client/errors.h"
#include "convert/pattern_facts.h"
#include "text/unicode.h"

namespace glyphary::client {

using text::IsHighSurrogate;

namespace {

// Pieces of about this many units go to the interface: large enough that a call's own cost
// does not count, small enough that memory stays bounded and that the strings made for each
// call come from the heap rather than fresh pages of their own.
constexpr size_t kPieceUnits = size_t{1} << 15;

}  // namespace

Cuts CutsFor(Operation operation, std::u16string_view localizePattern) {
    if (operation == Operation::globalize) return Cuts::anywhere;
    const std::wstring pattern(localizePattern.begin(), localizePattern.end());
    const PatternFacts facts = AnalyzePattern(pattern);
    if (facts.simple) return Cuts::byShape;
    return facts.splitsAfterLineFeed ? Cuts::afterLineFeeds : Cuts::nowhere;
}

TextConverter::TextConverter(Glyphary& object, Operation operation, TextSink sink)
    : m_conversion([&object, operation](std::u16string_view piece, const TextSink& out) {
          object.Convert(operation, piece, out);
      }),
      m_sink(std::move(sink)) {
    if (operation == Operation::globalize) {
        m_cuts = Cuts::anywhere;
        return;
    }
    const std::u16string pattern = object.Get(Property::localizePattern);
    m_cuts = CutsFor(operation, pattern);
    if (m_cuts == Cuts::byShape)
        m_shape.emplace(*AnalyzePattern(std::wstring(pattern.begin(), pattern.end())).simple);
}

TextConverter::TextConverter(PieceConversion conversion, CutRule mayCut, TextSink sink)
    : m_conversion(std::move(conversion)),
      m_mayCut(std::move(mayCut)),
      m_sink(std::move(sink)),
      m_cuts(Cuts::byRule) {}

TextConverter::~TextConverter() = default;

char16_t* TextConverter::Reserve(size_t units) {
    if (m_size + units > m_capacity) {
        const size_t capacity = std::max(m_size + units, m_capacity + m_capacity / 2);
        auto buffer = std::make_unique_for_overwrite<char16_t[]>(capacity);
        if (m_size) std::memcpy(buffer.get(), m_buffer.get(), m_size * sizeof(char16_t));
        m_buffer = std::move(buffer);
        m_capacity = capacity;
    }
    return m_buffer.get() + m_size;
}

void TextConverter::Commit(size_t units) {
    const std::u16string_view added(m_buffer.get() + m_size, units);
    m_size += units;
    switch (m_cuts) {
        case Cuts::anywhere:
            m_cut = m_size - (m_size && IsHighSurrogate(m_buffer[m_size - 1]) ? 1 : 0);
            break;
        case Cuts::afterLineFeeds:
        case Cuts::nowhere: {
            // After the last line feed (where allowed) or zero unit (the interface cuts there
            // anyway); only the new units need looking at.
            const std::u16string_view at = m_cuts == Cuts::afterLineFeeds
                                               ? std::u16string_view(u"\n\0", 2)
                                               : std::u16string_view(u"\0", 1);
            const size_t found = added.find_last_of(at);
            if (found != std::u16string_view::npos) m_cut = m_size - units + found + 1;
            break;
        }
        case Cuts::byShape:
            if (const size_t at = m_shape->Scan(added); at != std::u16string_view::npos)
                m_cut = m_size - units + at;
            break;
        case Cuts::byRule:
            if (units == 0) break;
            if (m_buffer[m_size - 1] == u'\0') {
                m_cut = m_size;
                break;
            }
            // The last place the rule allows among the new units and before the first of them;
            // a rule usually allows one within the last few units.
            for (size_t i = m_size - 1; i > 0 && i >= m_size - units; --i) {
                if (m_buffer[i - 1] == u'\0' || m_mayCut(m_buffer[i - 1], m_buffer[i])) {
                    m_cut = i;
                    break;
                }
            }
            break;
    }
    if (m_size < kPieceUnits) return;
    if (m_cut > 0) {
        ConvertThrough(m_cut);
    } else if (m_cuts == Cuts::byShape && m_size > kMaxOpenCandidate) {
        throw ClientError("LocalizePattern might still match text of more than " +
                          std::to_string(kMaxOpenCandidate) +
                          " units that it opened (one notation so long is not one; "
                          "converting it would take the whole text at once)");
    } else if (m_size > kMaxBstrUnits) {
        throw ClientError("a text of more than " + std::to_string(kMaxBstrUnits) +
                          " units that cannot be cut (" +
                          (m_cuts == Cuts::byRule
                               ? std::string("no place in it where the conversion allows a cut")
                               : std::string("LocalizePattern might match across line ends")) +
                          ") is longer than one interface string can hold");
    }
}

void TextConverter::Finish() {
    if (m_size) ConvertThrough(m_size);
}

void TextConverter::ConvertThrough(size_t end) {
    m_conversion(std::u16string_view(m_buffer.get(), end), m_sink);
    m_size -= end;
    m_cut = 0;  // nothing left after the last cut is a place to cut
    if (m_size) std::memmove(m_buffer.get(), m_buffer.get() + end, m_size * sizeof(char16_t));
}

}  // namespace glyphary::client
