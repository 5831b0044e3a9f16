// What VariantChangeType makes of the arguments a late-bound caller of IGlyphary may pass, in
// tables that both builds check: the platform's tests hold the Linux VariantChangeType to
// them, and glyphary-client the real oleaut32 on Windows, so the two convert alike.
#pragma once

#include <iterator>
#include <string>

#include "platform/win.h"

namespace glyphary::varianttest {

struct ChangeCase {
    VARTYPE from;
    LONGLONG integer;      // an integer type's value (its bits, for VT_UI8); VT_BOOL: 0 or -1
    double real;           // VT_R4, VT_R8
    const char16_t* text;  // VT_BSTR; null for a null BSTR
    VARTYPE to;
    HRESULT hr;
    const char* result;  // the result as text when hr is S_OK
    USHORT flags = 0;
};

constexpr HRESULT kOverflow = DISP_E_OVERFLOW, kMismatch = DISP_E_TYPEMISMATCH;

constexpr ChangeCase Integer(VARTYPE from, LONGLONG value, VARTYPE to, HRESULT hr,
                             const char* result = "") {
    return {from, value, 0, nullptr, to, hr, result};
}
constexpr ChangeCase Real(VARTYPE from, double value, VARTYPE to, HRESULT hr,
                          const char* result = "") {
    return {from, 0, value, nullptr, to, hr, result};
}
constexpr ChangeCase Text(const char16_t* value, VARTYPE to, HRESULT hr, const char* result = "") {
    return {VT_BSTR, 0, 0, value, to, hr, result};
}
constexpr ChangeCase Bool(bool value, VARTYPE to, const char* result, USHORT flags = 0) {
    return {VT_BOOL, value ? -1 : 0, 0, nullptr, to, S_OK, result, flags};
}
constexpr ChangeCase Nothing(VARTYPE from, VARTYPE to, HRESULT hr, const char* result = "") {
    return {from, 0, 0, nullptr, to, hr, result};
}

inline constexpr ChangeCase kIntegers[] = {
    Integer(VT_I1, -128, VT_I4, S_OK, "-128"),
    Integer(VT_UI1, 200, VT_I4, S_OK, "200"),
    Integer(VT_I2, -129, VT_I4, S_OK, "-129"),
    Integer(VT_UI2, 65535, VT_UI4, S_OK, "65535"),
    Integer(VT_I2, -1, VT_UI4, kOverflow),
    // Between the 32-bit types by bit pattern.
    Integer(VT_I4, -1, VT_UI4, S_OK, "4294967295"),
    Integer(VT_UI4, 0xFFFFFFFF, VT_I4, S_OK, "-1"),
    Integer(VT_UI4, 0x7FFFFFFF, VT_I4, S_OK, "2147483647"),
    Integer(VT_INT, -5, VT_I4, S_OK, "-5"),
    Integer(VT_UINT, 5, VT_UI4, S_OK, "5"),
    Integer(VT_INT, -5, VT_UI4, S_OK, "4294967291"),
    Integer(VT_UINT, 0x80000000, VT_I4, S_OK, "-2147483648"),
    Integer(VT_I8, -9223372036854775807 - 1, VT_I4, kOverflow),
    Integer(VT_I8, -2147483648LL, VT_I4, S_OK, "-2147483648"),
    Integer(VT_I8, 4294967295LL, VT_UI4, S_OK, "4294967295"),
    Integer(VT_UI8, 4294967296LL, VT_UI4, kOverflow),
    Integer(VT_UI8, 4294967295LL, VT_I4, kOverflow),
    Integer(VT_I8, -1, VT_UI4, kOverflow),
    Integer(VT_UI8, -1, VT_I4, kOverflow),  // 2^64 - 1
    Integer(VT_UI4, 7, VT_I4, S_OK, "7"),
};

inline constexpr ChangeCase kBooleans[] = {
    Bool(true, VT_I4, "-1"),
    Bool(true, VT_UI4, "4294967295"),
    Bool(false, VT_UI4, "0"),
    Bool(true, VT_BSTR, "-1"),
    Bool(false, VT_BSTR, "0"),
    Bool(true, VT_BSTR, "True", VARIANT_ALPHABOOL),
    Bool(false, VT_BSTR, "False", VARIANT_ALPHABOOL),
};

inline constexpr ChangeCase kRealsToIntegers[] = {
    Real(VT_R8, 2.5, VT_I4, S_OK, "2"),
    Real(VT_R8, 3.5, VT_I4, S_OK, "4"),
    Real(VT_R8, -2.5, VT_I4, S_OK, "-2"),
    Real(VT_R8, -3.5, VT_I4, S_OK, "-4"),
    Real(VT_R8, 2.4999, VT_I4, S_OK, "2"),
    Real(VT_R8, 0.5, VT_UI4, S_OK, "0"),
    Real(VT_R8, -0.5, VT_UI4, S_OK, "0"),
    Real(VT_R8, -0.6, VT_UI4, kOverflow),
    Real(VT_R8, 2147483647.4, VT_I4, S_OK, "2147483647"),
    Real(VT_R8, 2147483647.5, VT_I4, kOverflow),
    Real(VT_R8, -2147483648.5, VT_I4, S_OK, "-2147483648"),
    Real(VT_R8, 4294967295.4, VT_UI4, S_OK, "4294967295"),
    Real(VT_R8, 4294967295.5, VT_UI4, kOverflow),
    Real(VT_R8, __builtin_inf(), VT_I4, kOverflow),
    Real(VT_R8, 1e300, VT_UI4, kOverflow),
    Real(VT_R4, 1.5, VT_I4, S_OK, "2"),
};

inline constexpr ChangeCase kRealsToText[] = {
    Real(VT_R8, 1.5, VT_BSTR, S_OK, "1.5"),
    Real(VT_R8, -0.1, VT_BSTR, S_OK, "-0.1"),
    Real(VT_R8, 1.0 / 3, VT_BSTR, S_OK, "0.333333333333333"),
    Real(VT_R8, 123456789012345.0, VT_BSTR, S_OK, "123456789012345"),
    Real(VT_R8, 1234567890123456.0, VT_BSTR, S_OK, "1.23456789012346E+15"),
    Real(VT_R8, 1e20, VT_BSTR, S_OK, "1E+20"),
    Real(VT_R8, 1e15, VT_BSTR, S_OK, "1E+15"),
    Real(VT_R8, 1e-5, VT_BSTR, S_OK, "1E-05"),
    Real(VT_R8, 1.5e-7, VT_BSTR, S_OK, "1.5E-07"),
    Real(VT_R8, -1e-300, VT_BSTR, S_OK, "-1E-300"),
    Real(VT_R8, 0.0001, VT_BSTR, S_OK, "0.0001"),
    Real(VT_R8, -0.0, VT_BSTR, S_OK, "0"),
    Real(VT_R4, 0.1, VT_BSTR, S_OK, "0.1"),
    Real(VT_R4, 1.0 / 3, VT_BSTR, S_OK, "0.3333333"),
    Real(VT_R4, 123456789, VT_BSTR, S_OK, "1.234568E+08"),
    Real(VT_R8, __builtin_nan(""), VT_BSTR, S_OK, "NAN"),
    Real(VT_R8, __builtin_inf(), VT_BSTR, S_OK, "INF"),
};

inline constexpr ChangeCase kTextToIntegers[] = {
    Text(u" 42 ", VT_I4, S_OK, "42"),
    Text(u"\t-12\r\n", VT_I4, S_OK, "-12"),
    Text(u"+7", VT_UI4, S_OK, "7"),
    Text(u"-0", VT_UI4, S_OK, "0"),
    Text(u"007", VT_I4, S_OK, "7"),
    Text(u"1.5", VT_I4, S_OK, "2"),
    Text(u"2.5", VT_I4, S_OK, "2"),
    Text(u"2.50001", VT_I4, S_OK, "3"),
    Text(u".5", VT_I4, S_OK, "0"),
    Text(u"1e3", VT_I4, S_OK, "1000"),
    Text(u"25E-1", VT_I4, S_OK, "2"),
    Text(u"1e-100000", VT_I4, S_OK, "0"),
    Text(u"1e100000", VT_I4, kOverflow),
    Text(u"2147483647", VT_I4, S_OK, "2147483647"),
    Text(u"2147483648", VT_I4, kOverflow),
    Text(u"-2147483648", VT_I4, S_OK, "-2147483648"),
    Text(u"4294967295", VT_UI4, S_OK, "4294967295"),
    Text(u"-1", VT_UI4, kOverflow),
    Text(u"4294967296", VT_UI4, kOverflow),
    Text(u"99999999999999999999999", VT_I4, kOverflow),
    Text(u"12abc", VT_I4, kMismatch),
    Text(u"", VT_I4, kMismatch),
    Text(u"   ", VT_I4, kMismatch),
    Text(u"1 2", VT_I4, kMismatch),
    Text(u".", VT_I4, kMismatch),
    Text(u"1e", VT_I4, kMismatch),
    Text(u"0x10", VT_I4, kMismatch),
    Text(u"True", VT_I4, kMismatch),
    Text(u"\uFF11", VT_I4, kMismatch),  // a fullwidth digit
    Text(nullptr, VT_I4, kMismatch),
};

inline constexpr ChangeCase kIntegersToText[] = {
    Integer(VT_I4, -42, VT_BSTR, S_OK, "-42"),
    Integer(VT_UI8, -1, VT_BSTR, S_OK, "18446744073709551615"),
    Integer(VT_I8, -9223372036854775807 - 1, VT_BSTR, S_OK, "-9223372036854775808"),
    Integer(VT_UI1, 0, VT_BSTR, S_OK, "0"),
    Text(u"kept", VT_BSTR, S_OK, "kept"),
};

inline constexpr ChangeCase kEmptyAndNull[] = {
    Nothing(VT_EMPTY, VT_I4, S_OK, "0"),  Nothing(VT_EMPTY, VT_UI4, S_OK, "0"),
    Nothing(VT_EMPTY, VT_BSTR, S_OK, ""), Nothing(VT_NULL, VT_I4, kMismatch),
    Nothing(VT_NULL, VT_BSTR, kMismatch),
};

/// Every table, for a client that runs them all.
inline constexpr struct {
    const char* name;
    const ChangeCase* begin;
    const ChangeCase* end;
} kChangeTables[] = {
    {"integers", std::begin(kIntegers), std::end(kIntegers)},
    {"booleans", std::begin(kBooleans), std::end(kBooleans)},
    {"reals to integers", std::begin(kRealsToIntegers), std::end(kRealsToIntegers)},
    {"reals to text", std::begin(kRealsToText), std::end(kRealsToText)},
    {"text to integers", std::begin(kTextToIntegers), std::end(kTextToIntegers)},
    {"integers to text", std::begin(kIntegersToText), std::end(kIntegersToText)},
    {"empty and null", std::begin(kEmptyAndNull), std::end(kEmptyAndNull)},
};

/// The case's source as a caller makes it; a VT_BSTR's string is the caller's to free.
inline VARIANT Source(const ChangeCase& c) {
    VARIANT v;
    VariantInit(&v);
    v.llVal = 0;
    v.vt = c.from;
    switch (c.from) {
        case VT_I1:
            v.cVal = static_cast<CHAR>(c.integer);
            break;
        case VT_UI1:
            v.bVal = static_cast<BYTE>(c.integer);
            break;
        case VT_I2:
            v.iVal = static_cast<SHORT>(c.integer);
            break;
        case VT_UI2:
            v.uiVal = static_cast<USHORT>(c.integer);
            break;
        case VT_I4:
            v.lVal = static_cast<LONG>(c.integer);
            break;
        case VT_UI4:
            v.ulVal = static_cast<ULONG>(c.integer);
            break;
        case VT_INT:
            v.intVal = static_cast<INT>(c.integer);
            break;
        case VT_UINT:
            v.uintVal = static_cast<UINT>(c.integer);
            break;
        case VT_I8:
            v.llVal = c.integer;
            break;
        case VT_UI8:
            v.ullVal = static_cast<ULONGLONG>(c.integer);
            break;
        case VT_R4:
            v.fltVal = static_cast<FLOAT>(c.real);
            break;
        case VT_R8:
            v.dblVal = c.real;
            break;
        case VT_BOOL:
            v.boolVal = c.integer ? VARIANT_TRUE : VARIANT_FALSE;
            break;
        case VT_BSTR:
            if (c.text) {
                const std::u16string units(c.text);
                std::basic_string<OLECHAR> text(units.begin(), units.end());
                v.bstrVal = SysAllocString(text.c_str());
            } else {
                v.bstrVal = nullptr;
            }
            break;
        default:
            break;
    }
    return v;
}

/// A result of a case's type as the cases write it.
inline std::string Describe(const VARIANT& v) {
    switch (v.vt) {
        case VT_I4:
            return std::to_string(v.lVal);
        case VT_UI4:
            return std::to_string(v.ulVal);
        case VT_BSTR: {
            std::string s;
            for (UINT i = 0; i < SysStringLen(v.bstrVal); ++i) {
                const auto unit = static_cast<unsigned>(v.bstrVal[i]) & 0xFFFF;
                s += unit < 0x80 ? static_cast<char>(unit) : '?';
            }
            return s;
        }
        default:
            return "vt " + std::to_string(v.vt);
    }
}

}  // namespace glyphary::varianttest
