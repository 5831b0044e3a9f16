// UTF-16 text between the interface (OLECHAR, BSTR) and the module (std::wstring).
// Inside the module every UTF-16 unit is one wchar_t, unit for unit and without surrogate
// pairing, on both targets: where wchar_t is 32 bits each unit is widened, so Boost.Regex and
// Boost.Format see exactly the units they would see on Windows.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <string_view>

#include "platform/win.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

// Whole aligned blocks are read past the end of a string: an aligned block never crosses a
// page, so this cannot fault, but the units after the terminator in the last block are none
// of the string's, which the sanitizers are told.
#if defined(__GNUC__)
#define GLYPHARY_READS_ALIGNED_BLOCKS __attribute__((no_sanitize("address", "thread")))
#else
#define GLYPHARY_READS_ALIGNED_BLOCKS
#endif

namespace glyphary {

/// The length of the zero-terminated string `s` in units; 0 for null.
GLYPHARY_READS_ALIGNED_BLOCKS inline size_t OleLength(const OLECHAR* s) noexcept {
    if (!s) return 0;
    const OLECHAR* p = s;
#if defined(__SSE2__)
    // Eight units a block from the first 16-byte boundary (a unit never straddles one).
    if ((reinterpret_cast<uintptr_t>(p) & 1) == 0) {
        for (; reinterpret_cast<uintptr_t>(p) & 15; ++p)
            if (!*p) return static_cast<size_t>(p - s);
        for (;; p += 8) {
            const __m128i block = _mm_load_si128(reinterpret_cast<const __m128i*>(p));
            if (const auto zero = static_cast<unsigned>(
                    _mm_movemask_epi8(_mm_cmpeq_epi16(block, _mm_setzero_si128()))))
                return static_cast<size_t>(p - s) + static_cast<size_t>(__builtin_ctz(zero)) / 2;
        }
    }
#endif
    // Four units a turn, each looked at only when those before it were not zero: nothing
    // after the terminator is read.
    for (;; p += 4) {
        if (!p[0]) return static_cast<size_t>(p - s);
        if (!p[1]) return static_cast<size_t>(p - s) + 1;
        if (!p[2]) return static_cast<size_t>(p - s) + 2;
        if (!p[3]) return static_cast<size_t>(p - s) + 3;
    }
}

/// The text of a zero-terminated UTF-16 string, up to its first zero unit (null is empty).
/// The length prefix of a BSTR is not consulted.
inline std::wstring WideFromOle(const OLECHAR* s) {
    const size_t n = OleLength(s);
    if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
        return std::wstring(reinterpret_cast<const wchar_t*>(s), n);
    } else {
        // Built from an iterator that widens each unit, so the string is written once rather
        // than cleared first and then filled.
        struct Widening {
            using iterator_category = std::random_access_iterator_tag;
            using value_type = wchar_t;
            using difference_type = std::ptrdiff_t;
            using pointer = const wchar_t*;
            using reference = wchar_t;
            const OLECHAR* p;
            wchar_t operator*() const { return static_cast<wchar_t>(static_cast<uint16_t>(*p)); }
            wchar_t operator[](difference_type k) const { return *Widening{p + k}; }
            Widening& operator++() { return ++p, *this; }
            Widening operator++(int) { return Widening{p++}; }
            Widening& operator--() { return --p, *this; }
            Widening operator--(int) { return Widening{p--}; }
            Widening& operator+=(difference_type k) { return p += k, *this; }
            Widening& operator-=(difference_type k) { return p -= k, *this; }
            Widening operator+(difference_type k) const { return Widening{p + k}; }
            Widening operator-(difference_type k) const { return Widening{p - k}; }
            difference_type operator-(const Widening& o) const { return p - o.p; }
            bool operator==(const Widening& o) const { return p == o.p; }
            auto operator<=>(const Widening& o) const { return p <=> o.p; }
        };
        return std::wstring(Widening{s}, Widening{s + n});
    }
}

/// How UTF-16 units are widened into wchar_t where it is 32 bits, and narrowed back (each
/// wchar_t's low 16 bits). One unit at a time here; the module passes its text layer's block
/// paths, chosen for the processor.
using WidenUnitsFn = void (*)(const char16_t* from, size_t n, wchar_t* to) noexcept;
using NarrowUnitsFn = void (*)(const wchar_t* from, size_t n, char16_t* to) noexcept;
inline void WidenEachUnit(const char16_t* from, size_t n, wchar_t* to) noexcept {
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<wchar_t>(from[i]);
}
inline void NarrowEachUnit(const wchar_t* from, size_t n, char16_t* to) noexcept {
    for (size_t i = 0; i < n; ++i) to[i] = static_cast<char16_t>(from[i]);
}

/// The units of a zero-terminated UTF-16 string (null is empty) as wchar_t, for as long as the
/// object lives, for a call that only reads them: where wchar_t is 16 bits the string itself;
/// else widened unit for unit, into the object for a text as short as most calls take (no
/// allocation) and onto the heap for a longer one.
class WideOleText {
  public:
    explicit WideOleText(const OLECHAR* s, WidenUnitsFn widen = WidenEachUnit) {
        const size_t n = OleLength(s);
        if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
            m_view = std::wstring_view(reinterpret_cast<const wchar_t*>(s), n);
        } else {
            wchar_t* units = m_local;
            if (n > kLocal) {
                m_heap.reset(new wchar_t[n]);
                units = m_heap.get();
            }
            widen(reinterpret_cast<const char16_t*>(s), n, units);
            m_view = std::wstring_view(units, n);
        }
    }
    WideOleText(const WideOleText&) = delete;
    WideOleText& operator=(const WideOleText&) = delete;

    std::wstring_view view() const noexcept { return m_view; }

  private:
    static constexpr size_t kLocal = sizeof(wchar_t) == sizeof(OLECHAR) ? 1 : 256;
    wchar_t m_local[kLocal];
    std::unique_ptr<wchar_t[]> m_heap;
    std::wstring_view m_view;
};

/// A new BSTR holding `text`, each wchar_t narrowed back to one unit; null if out of memory.
inline BSTR AllocBstr(std::wstring_view text, NarrowUnitsFn narrow = NarrowEachUnit) noexcept {
    if (text.size() > 0x7FFFFFF0u) return nullptr;
    const UINT n = static_cast<UINT>(text.size());
    if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
        return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), n);
    } else {
        BSTR s = SysAllocStringLen(nullptr, n);
        if (!s) return nullptr;
        narrow(text.data(), text.size(), reinterpret_cast<char16_t*>(s));
        return s;
    }
}

}  // namespace glyphary
