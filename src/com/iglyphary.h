// IGlyphary: the one interface of the Glyphary class, as glyphary.idl declares it.
// Slots 0 to 6 are IUnknown and IDispatch; 7 to 20 follow in the order below, which is the
// order of the interface definition (a property's put before its get).
#pragma once

#include "platform/win.h"

/// The carrier whose emoji codes a Glyphary object converts. Any 32-bit value is accepted.
enum EMapMode : int {
    MPM_none = 0,      ///< no carrier (the mode of a new object)
    MPM_imode = 1,     ///< NTT docomo i-mode
    MPM_ezweb = 2,     ///< au EZweb
    MPM_softbank = 3,  ///< SoftBank
};

/// Type library LGlyphary.
inline constexpr GUID LIBID_LGlyphary = {
    0xE84DC748, 0x15D8, 0x40A1, {0xA7, 0x12, 0x36, 0x69, 0x58, 0xFC, 0xDD, 0xA0}};
/// Interface IGlyphary.
inline constexpr IID IID_IGlyphary = {
    0x9D093A48, 0x90B3, 0x4F4B, {0x88, 0x1E, 0xB4, 0x90, 0x57, 0xEA, 0x4D, 0xEF}};
/// Class Glyphary (ProgID "Glyphary").
inline constexpr CLSID CLSID_Glyphary = {
    0xD4218C2F, 0xC1AA, 0x4ADA, {0x99, 0x53, 0x6A, 0x66, 0xFE, 0xCD, 0xBD, 0x2A}};
/// The alias EMapMode in the type library.
inline constexpr GUID GUID_EMapMode = {
    0x7A83F143, 0x411A, 0x4DBC, {0xB4, 0x94, 0x40, 0x28, 0xCE, 0xBE, 0x22, 0xAB}};

struct IGlyphary : IDispatch {
    /// Selects the carrier (slot 7).
    virtual HRESULT STDMETHODCALLTYPE put_MapMode(EMapMode value) = 0;
    /// The selected carrier (slot 8).
    virtual HRESULT STDMETHODCALLTYPE get_MapMode(EMapMode* p) = 0;
    /// Regex whose first group is the neutral id that Localize looks up (slot 9).
    virtual HRESULT STDMETHODCALLTYPE put_LocalizePattern(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalizePattern(BSTR* p) = 0;
    /// Format for a neutral id the carrier's table lacks (slot 11).
    virtual HRESULT STDMETHODCALLTYPE put_LocalizeUndefinedFormat(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_LocalizeUndefinedFormat(BSTR* p) = 0;
    /// Format that writes the neutral id of a carrier emoji (slot 13).
    virtual HRESULT STDMETHODCALLTYPE put_GlobalizeFormat(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GlobalizeFormat(BSTR* p) = 0;
    /// Format for a carrier emoji that has no neutral id (slot 15).
    virtual HRESULT STDMETHODCALLTYPE put_GlobalizeUndefinedFormat(BSTR value) = 0;
    virtual HRESULT STDMETHODCALLTYPE get_GlobalizeUndefinedFormat(BSTR* p) = 0;
    /// Carrier emoji in `sInput` become neutral notation (slot 17).
    virtual HRESULT STDMETHODCALLTYPE Globalize(BSTR sInput, BSTR* pOutput) = 0;
    /// Neutral notation in `sInput` becomes the carrier's emoji (slot 18).
    virtual HRESULT STDMETHODCALLTYPE Localize(BSTR sInput, BSTR* pOutput) = 0;
    /// The id of the first user-agent rule matching all of `sUserAgent`, or 0 (slot 19).
    virtual HRESULT STDMETHODCALLTYPE GetUserAgentID(BSTR sUserAgent, LONG* pID) = 0;
    /// Copies an EZweb mail from `pStmIN` to `pStmOUT`, rewriting its emoji codes (slot 20).
    virtual HRESULT STDMETHODCALLTYPE ConvertEzwebMail(IStream* pStmIN, IStream* pStmOUT) = 0;
};
