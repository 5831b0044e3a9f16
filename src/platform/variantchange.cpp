// VariantChangeType: the coercions late binding needs, with Windows' results.
//
// Integers travel as a 128-bit value and are range-checked against the target, so every
// pair of integer types follows one rule (DISP_E_OVERFLOW outside the target's range). Two
// Windows rules differ from it and are kept: VT_BOOL converts to an integer by its bit
// pattern (VARIANT_TRUE is 255 as VT_UI1), and reals round half to even.
#include <cmath>
#include <limits>
#include <optional>
#include <string>

#include "platform/oleauto.h"
#include "platform/owners.h"

namespace {

using Int = __int128;

// ---------------------------------------------------------------------------------------------
// Sources: VT_BYREF dereferenced into a shallow copy that owns nothing.

HRESULT Dereference(const VARIANT& in, VARIANT& out, bool nested = false) {
    out = in;
    if (!(in.vt & VT_BYREF)) return S_OK;
    const VARTYPE vt = in.vt & ~VT_BYREF;
    if (!in.byref) return E_INVALIDARG;
    out.vt = vt;
    switch (vt) {
        case VT_I1:
            out.cVal = *in.pcVal;
            break;
        case VT_UI1:
            out.bVal = *in.pbVal;
            break;
        case VT_I2:
            out.iVal = *in.piVal;
            break;
        case VT_UI2:
            out.uiVal = *in.puiVal;
            break;
        case VT_BOOL:
            out.boolVal = *in.pboolVal;
            break;
        case VT_I4:
            out.lVal = *in.plVal;
            break;
        case VT_UI4:
            out.ulVal = *in.pulVal;
            break;
        case VT_INT:
            out.intVal = *in.pintVal;
            break;
        case VT_UINT:
            out.uintVal = *in.puintVal;
            break;
        case VT_ERROR:
            out.scode = *in.pscode;
            break;
        case VT_I8:
            out.llVal = *in.pllVal;
            break;
        case VT_UI8:
            out.ullVal = *in.pullVal;
            break;
        case VT_R4:
            out.fltVal = *in.pfltVal;
            break;
        case VT_R8:
            out.dblVal = *in.pdblVal;
            break;
        case VT_BSTR:
            out.bstrVal = *in.pbstrVal;
            break;
        case VT_UNKNOWN:
            out.punkVal = *in.ppunkVal;
            break;
        case VT_DISPATCH:
            out.pdispVal = *in.ppdispVal;
            break;
        case VT_VARIANT:
            // One variant may refer to another, which may refer to a value; no deeper.
            if (nested || in.pvarVal->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
            return Dereference(*in.pvarVal, out, true);
        default:
            return DISP_E_BADVARTYPE;
    }
    return S_OK;
}

// ---------------------------------------------------------------------------------------------
// Integer targets

struct IntRange {
    Int min, max;
};

std::optional<IntRange> RangeOf(VARTYPE vt) {
    switch (vt) {
        case VT_I1:
            return IntRange{-128, 127};
        case VT_UI1:
            return IntRange{0, 255};
        case VT_I2:
            return IntRange{-32768, 32767};
        case VT_UI2:
            return IntRange{0, 65535};
        case VT_I4:
        case VT_INT:
            return IntRange{INT32_MIN, INT32_MAX};
        case VT_UI4:
        case VT_UINT:
            return IntRange{0, UINT32_MAX};
        case VT_I8:
            return IntRange{INT64_MIN, INT64_MAX};
        case VT_UI8:
            return IntRange{0, static_cast<Int>(UINT64_MAX)};
        default:
            return std::nullopt;
    }
}

// Stores `v` as `vt`, reduced modulo the type's width (the caller has checked the range, or
// wants the bit pattern).
void StoreInteger(Int v, VARTYPE vt, VARIANT& out) {
    out.vt = vt;
    out.llVal = 0;
    switch (vt) {
        case VT_I1:
            out.cVal = static_cast<CHAR>(v);
            break;
        case VT_UI1:
            out.bVal = static_cast<BYTE>(v);
            break;
        case VT_I2:
            out.iVal = static_cast<SHORT>(v);
            break;
        case VT_UI2:
            out.uiVal = static_cast<USHORT>(v);
            break;
        case VT_I4:
            out.lVal = static_cast<LONG>(v);
            break;
        case VT_INT:
            out.intVal = static_cast<INT>(v);
            break;
        case VT_UI4:
            out.ulVal = static_cast<ULONG>(v);
            break;
        case VT_UINT:
            out.uintVal = static_cast<UINT>(v);
            break;
        case VT_I8:
            out.llVal = static_cast<LONGLONG>(v);
            break;
        case VT_UI8:
            out.ullVal = static_cast<ULONGLONG>(v);
            break;
        default:
            break;
    }
}

std::optional<Int> IntegerOf(const VARIANT& v) {
    switch (v.vt) {
        case VT_I1:
            return v.cVal;
        case VT_UI1:
            return v.bVal;
        case VT_I2:
            return v.iVal;
        case VT_UI2:
            return v.uiVal;
        case VT_I4:
            return v.lVal;
        case VT_INT:
            return v.intVal;
        case VT_UI4:
            return v.ulVal;
        case VT_UINT:
            return v.uintVal;
        case VT_I8:
            return v.llVal;
        case VT_UI8:
            return v.ullVal;
        default:
            return std::nullopt;
    }
}

// A real rounded half to even, as Windows rounds; nullopt when it is no finite number or
// too large for any integer type.
std::optional<Int> RoundReal(double x) {
    if (!std::isfinite(x) || std::fabs(x) >= 0x1p100) return std::nullopt;
    const double whole = std::floor(x);
    const double fraction = x - whole;
    double rounded = whole;
    if (fraction > 0.5 || (fraction == 0.5 && std::fmod(whole, 2.0) != 0)) rounded += 1;
    return static_cast<Int>(rounded);
}

// ---------------------------------------------------------------------------------------------
// Numbers in text: [blanks] [+|-] digits [. digits] [e|E [+|-] digits] [blanks], or with
// digits only after the point; blanks are space, tab and line ends. Read exactly, then
// rounded half to even for integer targets. (Windows also takes thousands separators,
// currency signs and "&H" hexadecimal, depending on the locale; this does not.)

struct TextNumber {
    bool negative = false;
    std::string digits;  // significant digits, no leading zeros
    long exponent = 0;   // value = digits x 10^exponent
};

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\n' || c == u'\r' || c == u'\v' || c == u'\f';
}

std::optional<TextNumber> ParseNumber(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    TextNumber n;
    size_t i = 0;
    if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) n.negative = s[i++] == u'-';
    bool anyDigit = false;
    auto digit = [&](char16_t c) { return c >= u'0' && c <= u'9'; };
    for (; i < s.size() && digit(s[i]); ++i) {
        anyDigit = true;
        if (!n.digits.empty() || s[i] != u'0') n.digits += static_cast<char>(s[i]);
    }
    if (i < s.size() && s[i] == u'.') {
        for (++i; i < s.size() && digit(s[i]); ++i) {
            anyDigit = true;
            if (!n.digits.empty() || s[i] != u'0') n.digits += static_cast<char>(s[i]);
            --n.exponent;
        }
    }
    if (!anyDigit) return std::nullopt;
    if (i < s.size() && (s[i] == u'e' || s[i] == u'E')) {
        ++i;
        bool negative = false;
        if (i < s.size() && (s[i] == u'+' || s[i] == u'-')) negative = s[i++] == u'-';
        if (i == s.size() || !digit(s[i])) return std::nullopt;
        long e = 0;
        for (; i < s.size() && digit(s[i]); ++i) e = std::min(e * 10 + (s[i] - u'0'), 100000L);
        n.exponent += negative ? -e : e;
    }
    if (i != s.size()) return std::nullopt;
    return n;
}

// The number rounded half to even; nullopt beyond 2^64 in magnitude.
std::optional<Int> RoundNumber(const TextNumber& n) {
    const long intDigits = static_cast<long>(n.digits.size()) + n.exponent;
    if (n.digits.empty() || intDigits < 0) return 0;  // zero, or below 0.1
    if (intDigits > 20) return std::nullopt;
    Int v = 0;
    for (long i = 0; i < intDigits; ++i)
        v = v * 10 + (i < static_cast<long>(n.digits.size()) ? n.digits[i] - '0' : 0);
    if (intDigits < static_cast<long>(n.digits.size())) {
        const char first = n.digits[intDigits];
        const bool more = n.digits.find_first_not_of('0', intDigits + 1) != std::string::npos;
        if (first > '5' || (first == '5' && (more || v % 2 != 0))) ++v;
    }
    if (v > static_cast<Int>(UINT64_MAX) + 1) return std::nullopt;
    return n.negative ? -v : v;
}

std::u16string_view TextOf(BSTR s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

bool EqualsIgnoringCase(std::u16string_view text, std::u16string_view lower) {
    if (text.size() != lower.size()) return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i] >= u'A' && text[i] <= u'Z' ? text[i] + 32 : text[i];
        if (c != lower[i]) return false;
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// The conversion

HRESULT Coerce(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth);

// An object's value: its default property (DISPID_VALUE), as Windows reads it.
HRESULT ValueOfObject(IDispatch* object, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    if (!object || (flags & VARIANT_NOVALUEPROP) || depth > 0) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    glyphary::unique_variant value;
    const HRESULT hr = object->Invoke(DISPID_VALUE, GUID_NULL, LOCALE_USER_DEFAULT,
                                      DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    return Coerce(value, flags, vt, out, depth + 1);
}

HRESULT ToInteger(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    std::optional<Int> v;
    bool nonzero = false;  // for VT_BOOL: whether the source is not zero (0.4 is true)
    switch (src.vt) {
        case VT_EMPTY:
            v = 0;
            nonzero = false;
            break;
        case VT_BOOL:
            nonzero = src.boolVal != 0;
            if (vt != VT_BOOL) {
                StoreInteger(src.boolVal, vt, out);  // by bit pattern: TRUE is all ones
                return S_OK;
            }
            break;
        case VT_R4:
        case VT_R8: {
            const double x = src.vt == VT_R4 ? src.fltVal : src.dblVal;
            nonzero = x != 0;
            if (vt != VT_BOOL && !(v = RoundReal(x))) return DISP_E_OVERFLOW;
            break;
        }
        case VT_BSTR: {
            const std::u16string_view text = TextOf(src.bstrVal);
            if (vt == VT_BOOL) {
                std::u16string_view trimmed = text;
                while (!trimmed.empty() && IsBlank(trimmed.front())) trimmed.remove_prefix(1);
                while (!trimmed.empty() && IsBlank(trimmed.back())) trimmed.remove_suffix(1);
                if (EqualsIgnoringCase(trimmed, u"true")) nonzero = true;
                if (EqualsIgnoringCase(trimmed, u"false")) nonzero = false;
                if (EqualsIgnoringCase(trimmed, u"true") || EqualsIgnoringCase(trimmed, u"false"))
                    break;
            }
            const auto number = ParseNumber(text);
            if (!number) return DISP_E_TYPEMISMATCH;
            nonzero = !number->digits.empty();
            if (vt != VT_BOOL && !(v = RoundNumber(*number))) return DISP_E_OVERFLOW;
            break;
        }
        case VT_DISPATCH:
            return ValueOfObject(src.pdispVal, flags, vt, out, depth);
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_ERROR:
            return DISP_E_TYPEMISMATCH;
        default:
            v = IntegerOf(src);
            if (!v) return DISP_E_BADVARTYPE;
            nonzero = *v != 0;
            break;
    }
    if (vt == VT_BOOL) {
        out.vt = VT_BOOL;
        out.llVal = 0;
        out.boolVal = nonzero ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }
    const IntRange range = *RangeOf(vt);
    if (*v < range.min || *v > range.max) return DISP_E_OVERFLOW;
    StoreInteger(*v, vt, out);
    return S_OK;
}

HRESULT ToReal(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    double x;
    switch (src.vt) {
        case VT_EMPTY:
            x = 0;
            break;
        case VT_BOOL:
            x = src.boolVal;
            break;
        case VT_R4:
            x = src.fltVal;
            break;
        case VT_R8:
            x = src.dblVal;
            break;
        case VT_DISPATCH:
            return ValueOfObject(src.pdispVal, flags, vt, out, depth);
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_ERROR:
            return DISP_E_TYPEMISMATCH;
        case VT_BSTR:
            return DISP_E_BADVARTYPE;  // text to real is not covered
        default: {
            const auto v = IntegerOf(src);
            if (!v) return DISP_E_BADVARTYPE;
            x = static_cast<double>(*v);
            break;
        }
    }
    out.llVal = 0;
    out.vt = vt;
    if (vt == VT_R8) {
        out.dblVal = x;
    } else {
        if (std::isfinite(x) && std::fabs(x) > std::numeric_limits<float>::max())
            return DISP_E_OVERFLOW;
        out.fltVal = static_cast<float>(x);
    }
    return S_OK;
}

HRESULT ToText(const VARIANT& src, USHORT flags, VARIANT& out, int depth) {
    std::string text;
    switch (src.vt) {
        case VT_EMPTY:
            break;
        case VT_BOOL:
            text = flags & VARIANT_ALPHABOOL ? (src.boolVal ? "True" : "False")
                                             : std::to_string(src.boolVal);
            break;
        case VT_DISPATCH:
            return ValueOfObject(src.pdispVal, flags, VT_BSTR, out, depth);
        case VT_NULL:
        case VT_UNKNOWN:
        case VT_ERROR:
            return DISP_E_TYPEMISMATCH;
        default: {
            const auto v = IntegerOf(src);
            if (!v) return DISP_E_BADVARTYPE;  // reals to text are not covered
            text = *v < 0 ? std::to_string(static_cast<long long>(*v))
                          : std::to_string(static_cast<unsigned long long>(*v));
            break;
        }
    }
    const std::u16string units(text.begin(), text.end());
    BSTR s = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
    if (!s) return E_OUTOFMEMORY;
    out.llVal = 0;
    out.vt = VT_BSTR;
    out.bstrVal = s;
    return S_OK;
}

HRESULT ToInterface(const VARIANT& src, VARTYPE vt, VARIANT& out) {
    if (src.vt != VT_UNKNOWN && src.vt != VT_DISPATCH) {
        return src.vt == VT_EMPTY || src.vt == VT_NULL || IntegerOf(src) || src.vt == VT_BOOL ||
                       src.vt == VT_BSTR || src.vt == VT_R4 || src.vt == VT_R8 || src.vt == VT_ERROR
                   ? DISP_E_TYPEMISMATCH
                   : DISP_E_BADVARTYPE;
    }
    out.llVal = 0;
    out.vt = vt;
    out.punkVal = nullptr;
    if (!src.punkVal) return S_OK;
    return src.punkVal->QueryInterface(vt == VT_DISPATCH ? IID_IDispatch : IID_IUnknown,
                                       reinterpret_cast<void**>(&out.punkVal));
}

// `src` (already dereferenced) as `vt` in `out`, which owns the result.
HRESULT Coerce(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    VariantInit(&out);
    if (src.vt == vt) return VariantCopy(&out, &src);
    switch (vt) {
        case VT_EMPTY:
            return S_OK;
        case VT_NULL:
            if (src.vt != VT_EMPTY) return DISP_E_TYPEMISMATCH;
            out.vt = VT_NULL;
            return S_OK;
        case VT_BOOL:
        case VT_I1:
        case VT_UI1:
        case VT_I2:
        case VT_UI2:
        case VT_I4:
        case VT_UI4:
        case VT_INT:
        case VT_UINT:
        case VT_I8:
        case VT_UI8:
            return ToInteger(src, flags, vt, out, depth);
        case VT_R4:
        case VT_R8:
            return ToReal(src, flags, vt, out, depth);
        case VT_BSTR:
            return ToText(src, flags, out, depth);
        case VT_UNKNOWN:
        case VT_DISPATCH:
            return ToInterface(src, vt, out);
        default:
            return DISP_E_BADVARTYPE;
    }
}

}  // namespace

STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                           VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    VARIANT src;
    HRESULT hr = Dereference(*pvarSrc, src);
    VARIANT result;
    VariantInit(&result);
    if (SUCCEEDED(hr)) hr = Coerce(src, wFlags, vt, result, 0);
    if (FAILED(hr)) {
        VariantClear(&result);
        // As on Windows: a separate destination is left empty; an in-place one unchanged.
        if (pvargDest != pvarSrc) VariantClear(pvargDest);
        return hr;
    }
    // The result is complete and owns its data: only now may the source (perhaps the
    // destination itself) be released.
    VariantClear(pvargDest);
    *pvargDest = result;
    return S_OK;
}

STDAPI VariantChangeType(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, USHORT wFlags,
                         VARTYPE vt) {
    return VariantChangeTypeEx(pvargDest, pvarSrc, LOCALE_USER_DEFAULT, wFlags, vt);
}
