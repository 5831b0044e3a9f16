// The one carry of the streaming codecs: what a piece boundary cut (a character, an escape
// sequence, a reference) is held until the next piece completes it, so that any cut of a
// stream reads as the whole does.
#pragma once

#include <algorithm>
#include <cassert>
#include <cstddef>
#include <string_view>

namespace glyphary::text {

/// How far a step over input got.
struct Consumed {
    size_t read = 0;  ///< input consumed
    bool ok = true;   ///< false: stopped at a failure, which starts at `read`
};

/// Holds at most N units (bytes or UTF-16 units) of an unfinished item, and counts where the
/// stream stands.
template <class Unit, size_t N>
class Carry {
  public:
    using View = std::basic_string_view<Unit>;

    View held() const { return View(m_units, m_size); }
    bool empty() const { return m_size == 0; }
    /// The stream offset of the first unit not consumed yet (the first held one, if any).
    size_t offset() const { return m_offset; }

    /// Keeps `tail` for the next piece (it must fit: a step leaves no more than one item).
    void Hold(View tail) {
        assert(tail.size() <= N);
        m_size = static_cast<unsigned char>(std::min(tail.size(), N));
        std::copy_n(tail.data(), m_size, m_units);
    }
    void Clear() { m_size = 0; }

    /// Runs `step` over what is held followed by `piece`, as over one input, and holds what it
    /// leaves. `step(View in, bool final, size_t offset)` consumes whole items from in[0] (whose
    /// stream offset is `offset`) and returns a Consumed; it stops before an item that `in`
    /// ends inside of unless `final` says that no more comes, and at a failure. False when
    /// `step` stopped at a failure.
    template <class Step>
    bool Through(View piece, bool final, Step&& step) {
        if (m_size) {
            // The held item completed by the first units of the piece, stepped on its own.
            Unit joined[2 * N];
            const size_t take = std::min(piece.size(), N);
            std::copy_n(m_units, m_size, joined);
            std::copy_n(piece.data(), take, joined + m_size);
            const size_t held = m_size;
            const View head(joined, held + take);
            const Consumed c = step(head, final && take == piece.size(), m_offset);
            m_offset += c.read;
            if (!c.ok) return false;
            if (c.read < held) {  // the piece was too short to complete it
                Hold(head.substr(c.read));
                return true;
            }
            m_size = 0;
            piece.remove_prefix(c.read - held);
        }
        const Consumed c = step(piece, final, m_offset);
        m_offset += c.read;
        if (!c.ok) return false;
        Hold(piece.substr(c.read));
        return true;
    }

  private:
    Unit m_units[N];
    unsigned char m_size = 0;
    size_t m_offset = 0;
};

}  // namespace glyphary::text
