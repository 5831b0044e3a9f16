#include "text.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "text/unicode.h"

namespace glyphary::python {

using text::IsHighSurrogate;
using text::IsLowSurrogate;

size_t UnitCount(PyObject* str) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    if (PyUnicode_KIND(str) != PyUnicode_4BYTE_KIND) return static_cast<size_t>(length);
    const Py_UCS4* in = PyUnicode_4BYTE_DATA(str);
    return static_cast<size_t>(length) +
           std::count_if(in, in + length, [](Py_UCS4 c) { return c > 0xFFFF; });
}

void WriteUnits(PyObject* str, char16_t* out) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(str);
    switch (PyUnicode_KIND(str)) {
        case PyUnicode_1BYTE_KIND: {
            const Py_UCS1* in = PyUnicode_1BYTE_DATA(str);
            std::copy(in, in + length, out);
            break;
        }
        case PyUnicode_2BYTE_KIND:
            // The kind Python stores BMP text in is the units themselves, surrogates included.
            std::memcpy(out, PyUnicode_2BYTE_DATA(str), length * sizeof(char16_t));
            break;
        default: {
            const Py_UCS4* in = PyUnicode_4BYTE_DATA(str);
            for (Py_ssize_t i = 0; i < length; ++i) out += text::WriteUtf16(in[i], out);
            break;
        }
    }
}

void AppendUnits(PyObject* str, std::u16string& out) {
    const size_t start = out.size();
    out.resize(start + UnitCount(str));
    WriteUnits(str, out.data() + start);
}

bool HasZeroUnit(std::u16string_view units) {
    // The least unit, in a loop the compiler vectorises (a search would stop at each unit).
    char16_t least = 0xFFFF;
    for (const char16_t u : units) least = std::min(least, u);
    return !units.empty() && least == 0;
}

PyObject* NewStr(std::u16string_view units) {
    const size_t n = units.size();
    // Loops that vectorise: the largest unit, then (only when it is that high: carrier codes
    // lie above the surrogates, so it alone cannot tell) how many are surrogates.
    char16_t top = 0;
    for (const char16_t u : units) top = std::max(top, u);
    size_t surrogates = 0;
    if (top >= 0xD800) {
        for (const char16_t u : units) surrogates += static_cast<uint16_t>(u - 0xD800) < 0x800;
    }
    size_t pairs = 0;
    if (surrogates > 0) {
        for (size_t i = 0; i + 1 < n; ++i) {
            if (IsHighSurrogate(units[i]) && IsLowSurrogate(units[i + 1])) {
                ++pairs;
                ++i;
            }
        }
    }
    if (pairs == 0) {
        PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n), top);
        if (!str) return nullptr;
        if (PyUnicode_KIND(str) == PyUnicode_1BYTE_KIND) {
            std::copy(units.begin(), units.end(), PyUnicode_1BYTE_DATA(str));
        } else {
            std::memcpy(PyUnicode_2BYTE_DATA(str), units.data(), n * sizeof(char16_t));
        }
        return str;
    }
    PyObject* str = PyUnicode_New(static_cast<Py_ssize_t>(n - pairs), 0x10FFFF);
    if (!str) return nullptr;
    Py_UCS4* o = PyUnicode_4BYTE_DATA(str);
    for (size_t i = 0; i < n; i += text::CharacterUnits(units, i))
        *o++ = text::CodePointAt(units, i);
    return str;
}

}  // namespace glyphary::python
