// VariantChangeType: the conversions a late-bound call needs, with Windows' results.
//
// ITypeInfo::Invoke converts each argument to the type its parameter declares, and the
// parameters of our interfaces are VT_I4 (enumerations too), VT_UI4 and VT_BSTR. So those are
// the targets; the sources are whatever a script or a client may pass for them: any integer,
// VT_R4/VT_R8, VT_BOOL, VT_BSTR, VT_EMPTY, VT_NULL, an object (by its value property), or a
// VT_BYREF of these. A value converts to its own type by copy. Anything else is
// DISP_E_TYPEMISMATCH, as Windows answers a conversion it does not make.
//
// Integers travel as a 128-bit value and are range-checked against the target. Windows has
// three rules besides, kept here: the 32-bit integers (VT_I4, VT_UI4, VT_INT, VT_UINT) and
// VT_BOOL convert to VT_I4 and VT_UI4 by their bit pattern (so -1 is 4294967295, and
// VARIANT_TRUE too), and reals round half to even.
#include <charconv>
#include <cmath>
#include <cstring>
#include <optional>
#include <string>

#include "platform/oleauto.h"
#include "platform/owners.h"

namespace {

using Int = __int128;

// ---------------------------------------------------------------------------------------------
// Sources

// What a source holds, whatever its type.
struct Value {
    enum class Kind { empty, null, integer, real, boolean, text, object, other } kind;
    Int integer = 0;              // integer, boolean
    bool bitPattern = false;      // integer, boolean: converts to 32 bits by its bit pattern
    double real = 0;              // real
    int digits = 0;               // real: the significant digits it has as text (VT_R4 7, VT_R8 15)
    BSTR text = nullptr;          // text, not owned
    IDispatch* object = nullptr;  // object, not owned
};

template <class T>
T Load(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

template <class T>
Value Integer(const void* at) {
    return {Value::Kind::integer, Load<T>(at), sizeof(T) == 4};
}

// The one list of the types read here. `at` is where the value lies: in the VARIANT, or
// where a VT_BYREF one refers to.
HRESULT Read(VARTYPE vt, const void* at, bool byReference, Value& out) {
    using Kind = Value::Kind;
    switch (vt) {
        case VT_EMPTY:
        case VT_NULL:
            if (byReference) return DISP_E_BADVARTYPE;
            out = {vt == VT_EMPTY ? Kind::empty : Kind::null};
            return S_OK;
        case VT_I1:
            out = Integer<CHAR>(at);
            return S_OK;
        case VT_UI1:
            out = Integer<BYTE>(at);
            return S_OK;
        case VT_I2:
            out = Integer<SHORT>(at);
            return S_OK;
        case VT_UI2:
            out = Integer<USHORT>(at);
            return S_OK;
        case VT_I4:
            out = Integer<LONG>(at);
            return S_OK;
        case VT_UI4:
            out = Integer<ULONG>(at);
            return S_OK;
        case VT_INT:
            out = Integer<INT>(at);
            return S_OK;
        case VT_UINT:
            out = Integer<UINT>(at);
            return S_OK;
        case VT_I8:
            out = Integer<LONGLONG>(at);
            return S_OK;
        case VT_UI8:
            out = Integer<ULONGLONG>(at);
            return S_OK;
        case VT_R4:
            out = {Kind::real, 0, false, Load<FLOAT>(at), 7};
            return S_OK;
        case VT_R8:
            out = {Kind::real, 0, false, Load<DOUBLE>(at), 15};
            return S_OK;
        case VT_BOOL:
            out = {Kind::boolean, Load<VARIANT_BOOL>(at), true};
            return S_OK;
        case VT_BSTR:
            out = {Kind::text};
            out.text = Load<BSTR>(at);
            return S_OK;
        case VT_DISPATCH:
            out = {Kind::object};
            out.object = Load<IDispatch*>(at);
            return S_OK;
        case VT_UNKNOWN:
        case VT_ERROR:
        case VT_CY:
        case VT_DATE:
        case VT_DECIMAL:
            out = {Kind::other};
            return S_OK;
        default:
            return DISP_E_BADVARTYPE;
    }
}

// A VT_BYREF source is read where it refers to. One variant may refer to another, which may
// refer to a value; no deeper.
HRESULT Read(const VARIANT& in, Value& out, bool nested = false) {
    if (!(in.vt & VT_BYREF)) return Read(in.vt, &in.llVal, false, out);
    if (!in.byref) return E_INVALIDARG;
    const VARTYPE vt = in.vt & ~VT_BYREF;
    if (vt != VT_VARIANT) return Read(vt, in.byref, true, out);
    if (nested || in.pvarVal->vt == (VT_VARIANT | VT_BYREF)) return E_INVALIDARG;
    return Read(*in.pvarVal, out, true);
}

// ---------------------------------------------------------------------------------------------
// Numbers

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

// Numbers in text: [blanks] [+|-] digits [. digits] [e|E [+|-] digits] [blanks], or with
// digits only after the point; blanks are space, tab and line ends. Read exactly, then
// rounded half to even. (Windows also takes, depending on the locale, thousands separators,
// currency signs and parentheses, a sign after the number or apart from it, and "&H"
// hexadecimal; this does not.)
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

// A real as Windows writes it: the type's significant digits, exponent form ("1E+20") when
// the number is too large or too small for them, never "-0"; "NAN" and "INF" for the others.
std::string RealText(double x, int digits) {
    if (x == 0) return "0";
    char text[64];
    char* const end =
        std::to_chars(text, text + sizeof text, x, std::chars_format::general, digits).ptr;
    for (char* c = text; c != end; ++c)
        if (*c >= 'a' && *c <= 'z') *c = static_cast<char>(*c - 'a' + 'A');
    return std::string(text, end);
}

// ---------------------------------------------------------------------------------------------
// The conversion

HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth);

// An object's value: its default property (DISPID_VALUE), as Windows reads it.
HRESULT ValueOfObject(IDispatch* object, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    if (!object || (flags & VARIANT_NOVALUEPROP) || depth > 0) return DISP_E_TYPEMISMATCH;
    DISPPARAMS none{nullptr, nullptr, 0, 0};
    glyphary::unique_variant value;
    const HRESULT hr = object->Invoke(DISPID_VALUE, GUID_NULL, LOCALE_USER_DEFAULT,
                                      DISPATCH_PROPERTYGET, &none, &value, nullptr, nullptr);
    if (FAILED(hr)) return DISP_E_TYPEMISMATCH;
    return Convert(value, flags, vt, out, depth + 1);
}

// VT_I4 or VT_UI4.
HRESULT ToInteger(const Value& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    out.llVal = 0;
    if (src.bitPattern) {
        out.vt = vt;
        out.ulVal = static_cast<ULONG>(src.integer);
        return S_OK;
    }
    std::optional<Int> v;
    switch (src.kind) {
        case Value::Kind::empty:
            v = 0;
            break;
        case Value::Kind::integer:
            v = src.integer;
            break;
        case Value::Kind::real:
            if (!(v = RoundReal(src.real))) return DISP_E_OVERFLOW;
            break;
        case Value::Kind::text: {
            const auto number = ParseNumber(TextOf(src.text));
            if (!number) return DISP_E_TYPEMISMATCH;
            if (!(v = RoundNumber(*number))) return DISP_E_OVERFLOW;
            break;
        }
        case Value::Kind::object:
            return ValueOfObject(src.object, flags, vt, out, depth);
        default:
            return DISP_E_TYPEMISMATCH;
    }
    const bool fits =
        vt == VT_I4 ? *v >= INT32_MIN && *v <= INT32_MAX : *v >= 0 && *v <= UINT32_MAX;
    if (!fits) return DISP_E_OVERFLOW;
    out.vt = vt;
    if (vt == VT_I4) {
        out.lVal = static_cast<LONG>(*v);
    } else {
        out.ulVal = static_cast<ULONG>(*v);
    }
    return S_OK;
}

HRESULT ToText(const Value& src, USHORT flags, VARIANT& out, int depth) {
    std::string text;
    switch (src.kind) {
        case Value::Kind::empty:
            break;
        case Value::Kind::integer:
            text = src.integer < 0 ? std::to_string(static_cast<long long>(src.integer))
                                   : std::to_string(static_cast<unsigned long long>(src.integer));
            break;
        case Value::Kind::boolean:
            text = flags & VARIANT_ALPHABOOL ? (src.integer ? "True" : "False")
                                             : std::to_string(static_cast<long long>(src.integer));
            break;
        case Value::Kind::real:
            text = RealText(src.real, src.digits);
            break;
        case Value::Kind::text:  // a VT_BYREF one: copied whole, length prefix and all
            out.bstrVal = SysAllocStringLen(src.text, SysStringLen(src.text));
            if (!out.bstrVal) return E_OUTOFMEMORY;
            out.vt = VT_BSTR;
            return S_OK;
        case Value::Kind::object:
            return ValueOfObject(src.object, flags, VT_BSTR, out, depth);
        default:
            return DISP_E_TYPEMISMATCH;
    }
    const std::u16string units(text.begin(), text.end());
    out.bstrVal = SysAllocStringLen(units.data(), static_cast<UINT>(units.size()));
    if (!out.bstrVal) return E_OUTOFMEMORY;
    out.vt = VT_BSTR;
    return S_OK;
}

// `src` as `vt` in `out`, which owns the result.
HRESULT Convert(const VARIANT& src, USHORT flags, VARTYPE vt, VARIANT& out, int depth) {
    VariantInit(&out);
    if (src.vt == vt) return VariantCopy(&out, &src);
    Value value{};
    RETURN_IF_FAILED(Read(src, value));
    switch (vt) {
        case VT_I4:
        case VT_UI4:
            return ToInteger(value, flags, vt, out, depth);
        case VT_BSTR:
            return ToText(value, flags, out, depth);
        default:
            return DISP_E_TYPEMISMATCH;
    }
}

}  // namespace

STDAPI VariantChangeTypeEx(VARIANTARG* pvargDest, const VARIANTARG* pvarSrc, LCID, USHORT wFlags,
                           VARTYPE vt) {
    if (!pvargDest || !pvarSrc) return E_INVALIDARG;
    VARIANT result;
    const HRESULT hr = Convert(*pvarSrc, wFlags, vt, result, 0);
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
