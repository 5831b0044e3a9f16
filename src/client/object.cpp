#include "client/object.h"

#include <cstdint>
#include <cstring>

#include "client/errors.h"
#include "convert/rules.h"

namespace glyphary::client {

namespace {

struct PropertyAccess {
    const char* name;
    HRESULT (STDMETHODCALLTYPE IGlyphary::*get)(BSTR*);
    HRESULT (STDMETHODCALLTYPE IGlyphary::*put)(BSTR);
};

const PropertyAccess& Access(Property property) {
    static const PropertyAccess access[] = {
        {"LocalizePattern", &IGlyphary::get_LocalizePattern, &IGlyphary::put_LocalizePattern},
        {"LocalizeUndefinedFormat", &IGlyphary::get_LocalizeUndefinedFormat,
         &IGlyphary::put_LocalizeUndefinedFormat},
        {"GlobalizeFormat", &IGlyphary::get_GlobalizeFormat, &IGlyphary::put_GlobalizeFormat},
        {"GlobalizeUndefinedFormat", &IGlyphary::get_GlobalizeUndefinedFormat,
         &IGlyphary::put_GlobalizeUndefinedFormat},
    };
    return access[static_cast<int>(property)];
}

// The first zero unit of `text`, or npos: four units at a time, since the search runs over
// every text converted and zero units are rare.
size_t FindZeroUnit(std::u16string_view text) {
    const char16_t* p = text.data();
    const size_t n = text.size();
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
        uint64_t v;
        std::memcpy(&v, p + i, 8);
        if ((v - 0x0001000100010001ull) & ~v & 0x8000800080008000ull) break;  // a zero unit
    }
    for (; i < n; ++i)
        if (p[i] == 0) return i;
    return std::u16string_view::npos;
}

std::u16string_view View(const unique_bstr& s) {
    return s ? std::u16string_view(s.get(), SysStringLen(s.get())) : std::u16string_view();
}

}  // namespace

const char* PropertyName(Property property) {
    return Access(property).name;
}

unique_bstr MakeBstr(std::u16string_view text) {
    if (text.size() > kMaxBstrUnits)
        throw ClientError("a text of " + std::to_string(text.size()) +
                          " units is longer than one interface string can hold (" +
                          std::to_string(kMaxBstrUnits) + ")");
    BSTR s = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!s)
        throw ClientError("out of memory for a string of " + std::to_string(text.size()) +
                          " units");
    return unique_bstr(s);
}

void Glyphary::SetMapMode(EMapMode mode) {
    Check(m_object->put_MapMode(mode), "put MapMode");
}

EMapMode Glyphary::MapMode() const {
    EMapMode mode{};
    Check(m_object->get_MapMode(&mode), "get MapMode");
    return mode;
}

std::u16string Glyphary::Get(Property property) const {
    const PropertyAccess& a = Access(property);
    unique_bstr value;
    Check((m_object.get()->*a.get)(value.put()), std::string("get ") + a.name);
    return std::u16string(View(value));
}

void Glyphary::Put(Property property, std::u16string_view value) {
    const PropertyAccess& a = Access(property);
    Check((m_object.get()->*a.put)(MakeBstr(value).get()), std::string("put ") + a.name);
}

void Glyphary::Convert(Operation operation, std::u16string_view text, const TextSink& sink) {
    const auto method =
        operation == Operation::globalize ? &IGlyphary::Globalize : &IGlyphary::Localize;
    const char* name = operation == Operation::globalize ? "Globalize" : "Localize";
    for (;;) {
        const size_t zero = FindZeroUnit(text);
        const std::u16string_view piece = text.substr(0, zero);
        if (!piece.empty()) {
            unique_bstr result;
            Check((m_object.get()->*method)(MakeBstr(piece).get(), result.put()), name);
            if (!result) throw ComError(name, E_OUTOFMEMORY, "no result string came back");
            sink(View(result));
        }
        if (zero == std::u16string_view::npos) return;
        sink(std::u16string_view(u"\0", 1));
        text.remove_prefix(zero + 1);
    }
}

std::u16string Glyphary::Convert(Operation operation, std::u16string_view text) {
    std::u16string out;
    out.reserve(text.size());
    Convert(operation, text, [&out](std::u16string_view piece) { out += piece; });
    return out;
}

long Glyphary::UserAgentId(std::u16string_view userAgent) {
    LONG id = 0;
    Check(m_object->GetUserAgentID(MakeBstr(userAgent).get(), &id), "GetUserAgentID");
    return id;
}

void CheckProperty(Property property, std::u16string_view value) {
    const std::wstring wide(value.begin(), value.end());  // one unit per wchar_t, as the module
    try {
        if (property == Property::localizePattern) {
            CompilePattern(wide);
        } else {
            FormatOne(wide, L"x");
        }
    } catch (const RuleError& e) {
        throw ClientError(std::string(PropertyName(property)) + ": " + e.what());
    }
}

}  // namespace glyphary::client
