// UTF-16 units carried one per wchar_t, as the module holds them: where wchar_t is 32 bits
// (everywhere but Windows) each unit is widened on the way in and narrowed on the way out,
// unit for unit, with no surrogate pairing. Every call through the interface does both, so
// they go through the one dispatch.
#pragma once

#include <cstddef>

namespace glyphary::text {

/// to[i] = from[i], zero-extended, for i < n.
void WidenUnits(const char16_t* from, size_t n, wchar_t* to) noexcept;
/// to[i] = the low 16 bits of from[i], for i < n.
void NarrowUnits(const wchar_t* from, size_t n, char16_t* to) noexcept;

/// The definitions, which every other path must agree with.
void WidenUnitsScalar(const char16_t* from, size_t n, wchar_t* to) noexcept;
void NarrowUnitsScalar(const wchar_t* from, size_t n, char16_t* to) noexcept;

}  // namespace glyphary::text
