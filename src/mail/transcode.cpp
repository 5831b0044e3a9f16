// The emoji codes inside the ISO-2022-JP runs of one mail line.
#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "mail/transcode.h"

namespace glyphary {

namespace {

constexpr char kEsc = 0x1B;
constexpr char kOpener = 0x24;  // ESC $ opens a two-byte run (ESC $ B, ESC $ @)
constexpr char kCloser = 0x28;  // ESC ( closes it (ESC ( B, ESC ( J)
// Escape sequences are known by their first two bytes; the third is skipped unexamined.
constexpr size_t kEscapeLength = 3;

// Bit i set when p[i] is ESC, for i < n <= 64. ESC is sparse: a block of plain text costs a
// few vector (or word) operations, and only the ESCs found are looked at one by one.
uint64_t EscMask(const char* p, size_t n) {
    uint64_t mask = 0;
    size_t i = 0;
#if defined(__SSE2__)
    const __m128i escs = _mm_set1_epi8(kEsc);
    for (; i + 16 <= n; i += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
        const auto bits = static_cast<uint32_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, escs)));
        mask |= static_cast<uint64_t>(bits) << i;
    }
#endif
    if constexpr (std::endian::native == std::endian::little) {
        constexpr uint64_t kLows = 0x7F7F7F7F7F7F7F7FULL;
        constexpr uint64_t kEscs = 0x1B1B1B1B1B1B1B1BULL;
        for (; i + 8 <= n; i += 8) {
            uint64_t word;
            std::memcpy(&word, p + i, 8);
            const uint64_t x = word ^ kEscs;
            // 0x80 in exactly the bytes that are zero in x (that were ESC), gathered into
            // the low eight bits by a carry-free multiply.
            const uint64_t zero = ~(((x & kLows) + kLows) | x | kLows);
            mask |= (((zero >> 7) * 0x0102040810204080ULL) >> 56) << i;
        }
    }
    for (; i < n; ++i) mask |= static_cast<uint64_t>(p[i] == kEsc) << i;
    return mask;
}

// Replaces the known codes among the pairs of [begin, end): an odd last byte stays. The
// line and the map never overlap (__restrict), so the map's table is not reloaded after
// every store; every pair is written back, known or not, which keeps the loop free of
// branches that emoji, scattered through the text, would make mispredicted.
[[gnu::noinline]] bool TranscodeRun(char* __restrict data, size_t begin, size_t end,
                                    const EzwebMailCodeMap& map) {
    uint16_t changed = 0;
    for (size_t cursor = begin; cursor + 2 <= end; cursor += 2) {
        const auto code = static_cast<uint16_t>(static_cast<uint8_t>(data[cursor]) << 8 |
                                                static_cast<uint8_t>(data[cursor + 1]));
        const uint16_t web = map.Translate(code);
        data[cursor] = static_cast<char>(web >> 8);
        data[cursor + 1] = static_cast<char>(web);
        changed |= static_cast<uint16_t>(web ^ code);
    }
    return changed != 0;
}

}  // namespace

// The line is searched for ESC once, 64 bytes at a time, and every ESC met is taken in
// order: outside a run it may open one (at or after the end of the last closer); inside, it
// may close it (at or after the end of the opener). A run that no closer ends on this line
// is left as it is. Rewriting a run only touches bytes before the ESC in hand, so the blocks
// still to come are searched as the line now stands, as the word-for-word search would.
bool TranscodeEmojiLine(char* data, size_t size, const EzwebMailCodeMap& map) noexcept {
    if (size < 2 || map.empty()) return false;
    bool changed = false;
    const size_t last = size - 1;  // an escape needs its second byte on the line
    constexpr size_t kNone = static_cast<size_t>(-1);
    size_t opener = kNone;  // the open run's ESC, or none
    size_t from = 0;        // where the next opener may start
    for (size_t base = 0; base < last; base += 64) {
        uint64_t mask = EscMask(data + base, std::min<size_t>(64, last - base));
        while (mask) {
            const size_t at = base + static_cast<size_t>(std::countr_zero(mask));
            mask &= mask - 1;
            if (opener == kNone) {
                if (at >= from && data[at + 1] == kOpener) opener = at;
            } else if (at >= opener + kEscapeLength && data[at + 1] == kCloser) {
                changed |= TranscodeRun(data, opener + kEscapeLength, at, map);
                opener = kNone;
                from = at + kEscapeLength;
            }
        }
    }
    return changed;
}

// ---------------------------------------------------------------------------------------------
// EzwebMailCodeMap

void EzwebMailCodeMap::Set(uint8_t mail0, uint8_t mail1, uint8_t web0, uint8_t web1) {
    if (!m_slots) {
        m_slots = std::make_unique_for_overwrite<uint32_t[]>(0x10000);
        for (uint32_t code = 0; code < 0x10000; ++code) m_slots[code] = code;  // all absent
    }
    uint32_t& slot = m_slots[(static_cast<uint32_t>(mail0) << 8) | mail1];
    if (!(slot & kPresent)) ++m_size;
    slot = kPresent | (static_cast<uint32_t>(web0) << 8) | web1;
}

void EzwebMailCodeMap::Clear() {
    m_slots.reset();
    m_size = 0;
}

}  // namespace glyphary
