// Python str <-> the interface's UTF-16 units. A str holds code points: one below U+10000
// (a lone surrogate included, as 'surrogatepass' and 'surrogateescape' decoding leave them) is
// one unit, one above is a surrogate pair. Back from units, a pair is one code point again and
// a lone surrogate stays the code point it was. Zero units are kept both ways.
#pragma once

#include <Python.h>

#include <string>
#include <string_view>

namespace glyphary::python {

/// How many units `str` (a ready str object) takes.
size_t UnitCount(PyObject* str);
/// Writes the UnitCount(str) units of `str` to `out`.
void WriteUnits(PyObject* str, char16_t* out);
/// The units of `str` appended to `out`.
void AppendUnits(PyObject* str, std::u16string& out);

/// Whether `units` holds a zero unit.
bool HasZeroUnit(std::u16string_view units);

/// A new str of `units`, or null with a Python error set (out of memory).
PyObject* NewStr(std::u16string_view units);

}  // namespace glyphary::python
