// GIGlypharyImpl: the conversion half of a Glyphary object. It implements slots 7 to 20 of
// IGlyphary over the shared tables and leaves IUnknown and IDispatch (slots 0 to 6) to the
// class that completes the object.
#pragma once

#include <string>

#include "com/iglyphary.h"
#include "convert/conversions.h"
#include "convert/errors.h"
#include "platform/com_object.h"
#include "platform/olestr.h"
#include "tables/tables.h"

namespace glyphary {

template <>
inline constexpr const IID* kIidOf<IGlyphary> = &IID_IGlyphary;

/// The Globalize, Localize and GetUserAgentID calls behind the interface, on the object's
/// state. Each checks its pointers, reads a null BSTR as the empty string, and reports a
/// failure through the error info with a null result.
HRESULT GlobalizeCall(const ModeTable& codeToId, const std::wstring& format,
                      const std::wstring& undefinedFormat, GlobalizeCache& cache, BSTR sInput,
                      BSTR* pOutput) noexcept;
HRESULT LocalizeCall(const ModeTable& idToCode, const std::wstring& pattern,
                     const std::wstring& undefinedFormat, LocalizeCache& cache, BSTR sInput,
                     BSTR* pOutput) noexcept;
HRESULT GetUserAgentIdCall(BSTR sUserAgent, LONG* pID) noexcept;
HRESULT ConvertEzwebMailCall(IStream* pStmIN, IStream* pStmOUT) noexcept;

/// A string property's getter: a new BSTR holding `value`.
HRESULT GetStringProperty(const std::wstring& value, BSTR* p) noexcept;
/// A string property's setter: `value` read up to its first zero unit (null is empty).
HRESULT PutStringProperty(std::wstring& property, BSTR value) noexcept;

template <class TInterface>
class GIGlypharyImpl : public TInterface {
  public:
    GIGlypharyImpl()
        : m_eMapMode(MPM_none),
          m_pIdToCode(&g_tables.idToCodeByMode.FindOrEmpty(MPM_none)),
          m_pCodeToId(&g_tables.codeToIdByMode.FindOrEmpty(MPM_none)),
          m_sLocalizePattern(g_tables.defaults.localizePattern),
          m_sLocalizeUndefinedFormat(g_tables.defaults.localizeUndefinedFormat),
          m_sGlobalizeFormat(g_tables.defaults.globalizeFormat),
          m_sGlobalizeUndefinedFormat(g_tables.defaults.globalizeUndefinedFormat) {}

    GIGlypharyImpl(const GIGlypharyImpl&) = delete;
    GIGlypharyImpl& operator=(const GIGlypharyImpl&) = delete;

    // Slots 7 and 8.
    HRESULT STDMETHODCALLTYPE put_MapMode(EMapMode value) override {
        // A mode that no map file filled is bound to one shared empty table rather than
        // getting tables of its own: any value is accepted, and none of them costs memory.
        m_eMapMode = value;
        m_pIdToCode = &g_tables.idToCodeByMode.FindOrEmpty(value);
        m_pCodeToId = &g_tables.codeToIdByMode.FindOrEmpty(value);
        m_globalizeCache.Clear();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_MapMode(EMapMode* p) override {
        if (!p) return E_POINTER;
        *p = m_eMapMode;
        return S_OK;
    }

    // Slots 9 to 16.
    HRESULT STDMETHODCALLTYPE put_LocalizePattern(BSTR value) override {
        m_localizeCache.regex.reset();
        return PutStringProperty(m_sLocalizePattern, value);
    }
    HRESULT STDMETHODCALLTYPE get_LocalizePattern(BSTR* p) override {
        return GetStringProperty(m_sLocalizePattern, p);
    }
    HRESULT STDMETHODCALLTYPE put_LocalizeUndefinedFormat(BSTR value) override {
        m_localizeCache.undefinedFormat.reset();
        return PutStringProperty(m_sLocalizeUndefinedFormat, value);
    }
    HRESULT STDMETHODCALLTYPE get_LocalizeUndefinedFormat(BSTR* p) override {
        return GetStringProperty(m_sLocalizeUndefinedFormat, p);
    }
    HRESULT STDMETHODCALLTYPE put_GlobalizeFormat(BSTR value) override {
        m_globalizeCache.Clear();
        return PutStringProperty(m_sGlobalizeFormat, value);
    }
    HRESULT STDMETHODCALLTYPE get_GlobalizeFormat(BSTR* p) override {
        return GetStringProperty(m_sGlobalizeFormat, p);
    }
    HRESULT STDMETHODCALLTYPE put_GlobalizeUndefinedFormat(BSTR value) override {
        m_globalizeCache.Clear();
        return PutStringProperty(m_sGlobalizeUndefinedFormat, value);
    }
    HRESULT STDMETHODCALLTYPE get_GlobalizeUndefinedFormat(BSTR* p) override {
        return GetStringProperty(m_sGlobalizeUndefinedFormat, p);
    }

    // Slots 17 to 20.
    HRESULT STDMETHODCALLTYPE Globalize(BSTR sInput, BSTR* pOutput) override {
        return GlobalizeCall(*m_pCodeToId, m_sGlobalizeFormat, m_sGlobalizeUndefinedFormat,
                             m_globalizeCache, sInput, pOutput);
    }
    HRESULT STDMETHODCALLTYPE Localize(BSTR sInput, BSTR* pOutput) override {
        return LocalizeCall(*m_pIdToCode, m_sLocalizePattern, m_sLocalizeUndefinedFormat,
                            m_localizeCache, sInput, pOutput);
    }
    HRESULT STDMETHODCALLTYPE GetUserAgentID(BSTR sUserAgent, LONG* pID) override {
        return GetUserAgentIdCall(sUserAgent, pID);
    }
    HRESULT STDMETHODCALLTYPE ConvertEzwebMail(IStream* pStmIN, IStream* pStmOUT) override {
        return ConvertEzwebMailCall(pStmIN, pStmOUT);
    }

  protected:
    // Not virtual: the class that completes the object destroys it as itself.
    ~GIGlypharyImpl() = default;

  private:
    EMapMode m_eMapMode;
    const ModeTable* m_pIdToCode;  // the shared tables of m_eMapMode; never owned
    const ModeTable* m_pCodeToId;
    std::wstring m_sLocalizePattern;
    std::wstring m_sLocalizeUndefinedFormat;
    std::wstring m_sGlobalizeFormat;
    std::wstring m_sGlobalizeUndefinedFormat;

    // Work saved between calls, dropped whenever what it was made from changes. Calls on one
    // object arrive one at a time (the class is apartment-threaded), so these need no lock.
    GlobalizeCache m_globalizeCache;
    LocalizeCache m_localizeCache;
};

}  // namespace glyphary
