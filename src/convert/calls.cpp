// The interface side of the conversion object: pointer checks, BSTR in and out, and the
// mapping of failures to HRESULTs and error info.
#include "convert/glyphary_impl.h"
#include "mail/mail.h"
#include "text/wide_units.h"

namespace glyphary {

namespace {

// A result BSTR from module text; a failed allocation is reported, not passed off as an
// empty string. Units cross the interface through the text layer's block paths.
HRESULT StoreResult(std::wstring_view result, BSTR* pOutput) {
    *pOutput = AllocBstr(result, text::NarrowUnits);
    if (!*pOutput) throw std::bad_alloc();
    return S_OK;
}

// A call's result is written into room the object keeps from call to call, so that a short
// call, the usual one, allocates only its BSTR; room that a long text grew is given back.
class ResultRoom {
  public:
    explicit ResultRoom(std::wstring& kept) : m_kept(kept) { m_kept.clear(); }
    ~ResultRoom() {
        if (m_kept.capacity() > kKeptUnits) std::wstring().swap(m_kept);
    }
    ResultRoom(const ResultRoom&) = delete;
    ResultRoom& operator=(const ResultRoom&) = delete;

    std::wstring& text() noexcept { return m_kept; }

  private:
    static constexpr size_t kKeptUnits = 4096;
    std::wstring& m_kept;
};

}  // namespace

HRESULT GetStringProperty(const std::wstring& value, BSTR* p) noexcept {
    if (!p) return E_POINTER;
    *p = nullptr;
    return CallBoundary(kGlypharyErrors, [&] { return StoreResult(value, p); });
}

HRESULT PutStringProperty(std::wstring& property, BSTR value) noexcept {
    return CallBoundary(kGlypharyErrors, [&] {
        property = WideFromOle(value);  // the old value stays if this cannot allocate
        return S_OK;
    });
}

HRESULT GlobalizeCall(const ModeTable& codeToId, const std::wstring& format,
                      const std::wstring& undefinedFormat, GlobalizeCache& cache, BSTR sInput,
                      BSTR* pOutput) noexcept {
    if (!pOutput) return E_POINTER;
    *pOutput = nullptr;
    return CallBoundary(kGlypharyErrors, [&] {
        const WideOleText input(sInput, text::WidenUnits);
        ResultRoom output(cache.result);
        GlobalizeText(input.view(), codeToId, format, undefinedFormat, cache, output.text());
        return StoreResult(output.text(), pOutput);
    });
}

HRESULT LocalizeCall(const ModeTable& idToCode, const std::wstring& pattern,
                     const std::wstring& undefinedFormat, LocalizeCache& cache, BSTR sInput,
                     BSTR* pOutput) noexcept {
    if (!pOutput) return E_POINTER;
    *pOutput = nullptr;
    return CallBoundary(kGlypharyErrors, [&] {
        // The pattern is compiled before anything else, so an ill-formed one fails even on
        // empty input; the compiled form is kept until the property changes.
        if (!cache.regex)
            cache.regex = std::make_shared<const LocalizeRegex>(CompileLocalizePattern(pattern));
        const WideOleText input(sInput, text::WidenUnits);
        ResultRoom output(cache.result);
        LocalizeText(input.view(), *cache.regex, idToCode, cache.UndefinedFormat(undefinedFormat),
                     output.text());
        return StoreResult(output.text(), pOutput);
    });
}

HRESULT GetUserAgentIdCall(BSTR sUserAgent, LONG* pID) noexcept {
    if (!pID) return E_POINTER;
    return CallBoundary(kGlypharyErrors, [&] {
        const int32_t id = FindUserAgentId(sUserAgent, g_tables.userAgentRules);
        *pID = id;
        return S_OK;
    });
}

HRESULT ConvertEzwebMailCall(IStream* pStmIN, IStream* pStmOUT) noexcept {
    if (!pStmIN || !pStmOUT) return E_POINTER;
    return CallBoundary(kGlypharyErrors, [&] {
        const wchar_t* fault = nullptr;
        const HRESULT hr = ConvertEzwebMail(pStmIN, pStmOUT, &fault);
        return fault ? ReportError(kGlypharyErrors, hr, fault) : hr;
    });
}

}  // namespace glyphary
