// UTF-16 text between the interface (OLECHAR, BSTR) and the module (std::wstring).
// Inside the module every UTF-16 unit is one wchar_t, unit for unit and without surrogate
// pairing, on both targets: where wchar_t is 32 bits each unit is widened, so Boost.Regex and
// Boost.Format see exactly the units they would see on Windows.
#pragma once

#include <compare>
#include <cstddef>
#include <cstdint>
#include <iterator>
#include <string>
#include <string_view>

#include "platform/win.h"

namespace glyphary {

/// The length of the zero-terminated string `s` in units; 0 for null.
inline size_t OleLength(const OLECHAR* s) noexcept {
    if (!s) return 0;
    // Four units a turn, each looked at only when those before it were not zero: nothing
    // after the terminator is read.
    const OLECHAR* p = s;
    for (;; p += 4) {
        if (!p[0]) return static_cast<size_t>(p - s);
        if (!p[1]) return static_cast<size_t>(p - s) + 1;
        if (!p[2]) return static_cast<size_t>(p - s) + 2;
        if (!p[3]) return static_cast<size_t>(p - s) + 3;
    }
}

/// Appends `n` units of `s` to `out`, one wchar_t per unit.
inline void AppendWide(std::wstring& out, const OLECHAR* s, size_t n) {
    if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
        out.append(reinterpret_cast<const wchar_t*>(s), n);
    } else {
        const size_t base = out.size();
        out.resize(base + n);
        wchar_t* dst = out.data() + base;
        for (size_t i = 0; i < n; ++i) dst[i] = static_cast<wchar_t>(static_cast<uint16_t>(s[i]));
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

/// A new BSTR holding `text`, each wchar_t narrowed back to one unit; null if out of memory.
inline BSTR AllocBstr(std::wstring_view text) noexcept {
    if (text.size() > 0x7FFFFFF0u) return nullptr;
    const UINT n = static_cast<UINT>(text.size());
    if constexpr (sizeof(OLECHAR) == sizeof(wchar_t)) {
        return SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()), n);
    } else {
        BSTR s = SysAllocStringLen(nullptr, n);
        if (!s) return nullptr;
        const wchar_t* const units = text.data();
        for (size_t i = 0; i < text.size(); ++i) s[i] = static_cast<OLECHAR>(units[i]);
        return s;
    }
}

}  // namespace glyphary
