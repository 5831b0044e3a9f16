// The configuration loaders. Each keeps one running status: every step records the status
// of its call, a failing step ends only what depends on it, and the loader returns the
// status recorded last. They read XML only through the MSXML DOM interfaces, so the same
// code runs against the real MSXML on Windows.
#include "tables/loaders.h"

#include <climits>
#include <cwchar>
#include <new>
#include <string>

#include "platform/boundary.h"
#include "platform/olestr.h"
#include "platform/owners.h"
#include "tables/tables.h"

namespace glyphary {

namespace {

// ---------------------------------------------------------------------------------------------
// XML reading

// MSXML 3.0's DOMDocument. Named here: the SDK headers give CLSID_DOMDocument another value.
constexpr CLSID kDomDocumentClsid = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr DWORD kDomDocumentContext = 23;  // in-process, handler, local and remote servers

HRESULT CreateDocument(com_ptr<IXMLDOMDocument>& document) {
    return CoCreateInstance(kDomDocumentClsid, nullptr, kDomDocumentContext, IID_IXMLDOMDocument,
                            document.put_void());
}

// Loads the file at `path`; `loaded` tells whether a document came of it.
HRESULT LoadDocument(IXMLDOMDocument* document, LPCWSTR path, bool& loaded) {
    loaded = false;
    unique_variant source;
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(path);
    if (!source.bstrVal) return E_OUTOFMEMORY;
    VARIANT_BOOL successful = VARIANT_FALSE;
    const HRESULT hr = document->load(source, &successful);
    loaded = successful == VARIANT_TRUE;
    return hr;
}

// Opens `path` and gets its root element, recording each step in `status`. False when a
// step failed or nothing was loaded; no table may be touched then.
bool OpenDocument(LPCWSTR path, com_ptr<IXMLDOMElement>& root, HRESULT& status) {
    com_ptr<IXMLDOMDocument> document;
    status = CreateDocument(document);
    if (FAILED(status)) return false;
    bool loaded = false;
    status = LoadDocument(document.get(), path, loaded);
    if (FAILED(status) || !loaded) return false;
    status = document->get_documentElement(root.put());
    return SUCCEEDED(status) && root;
}

HRESULT SelectNodes(IXMLDOMElement* root, const OLECHAR* name, com_ptr<IXMLDOMNodeList>& list) {
    unique_bstr query(SysAllocString(name));
    if (!query) return E_OUTOFMEMORY;
    return root->selectNodes(query.get(), list.put());
}

HRESULT SelectSingleNode(IXMLDOMElement* root, const OLECHAR* name, com_ptr<IXMLDOMNode>& node) {
    unique_bstr query(SysAllocString(name));
    if (!query) return E_OUTOFMEMORY;
    return root->selectSingleNode(query.get(), node.put());
}

// Item `i` of `list` viewed as an element, recording each step in `status`; null on failure.
com_ptr<IXMLDOMElement> ElementAt(IXMLDOMNodeList* list, LONG i, HRESULT& status) {
    com_ptr<IXMLDOMNode> item;
    status = list->get_item(i, item.put());
    if (FAILED(status)) return nullptr;
    com_ptr<IXMLDOMElement> element;
    status = item ? item->QueryInterface(IID_IXMLDOMElement, element.put_void()) : E_NOINTERFACE;
    if (FAILED(status)) return nullptr;
    return element;
}

// Reads attribute `name`: asks for the attribute node, then for its text, recording each
// status. The value counts only when both succeeded and the text is not empty; otherwise
// the result is null and the caller keeps its default.
unique_bstr ReadAttribute(IXMLDOMElement* element, const OLECHAR* name, HRESULT& status) {
    unique_bstr attributeName(SysAllocString(name));
    if (!attributeName) {
        status = E_OUTOFMEMORY;
        return {};
    }
    com_ptr<IXMLDOMAttribute> attribute;
    status = element->getAttributeNode(attributeName.get(), attribute.put());
    if (FAILED(status) || !attribute) return {};
    unique_bstr text;
    status = attribute->get_text(text.put());
    if (FAILED(status) || OleLength(text.get()) == 0) return {};
    return text;
}

// ---------------------------------------------------------------------------------------------
// Values

// A decimal number read as wcstol reads it, clamped to 32 bits (long is wider on Linux).
int32_t DecimalValue(const unique_bstr& text) {
    const std::wstring wide = WideFromOle(text.get());
    const long value = std::wcstol(wide.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// One byte from two hexadecimal units, read as wcstol reads them: "F6" is 0xF6, "G1" is 0,
// "1G" is 0x01. Only the low 8 bits count.
uint8_t HexByte(wchar_t first, wchar_t second) {
    const wchar_t half[3] = {first, second, 0};
    return static_cast<uint8_t>(std::wcstol(half, nullptr, 16) & 0xFF);
}

// ---------------------------------------------------------------------------------------------
// Paths

// The directory of the settings file; empty if the path does not fit a MAX_PATH buffer.
struct SettingsDirectory {
    WCHAR path[MAX_PATH] = {};
    bool valid = false;

    explicit SettingsDirectory(LPCWSTR settingsPath) {
        const size_t length = OleLength(settingsPath);
        if (length >= MAX_PATH) return;
        for (size_t i = 0; i <= length; ++i) path[i] = settingsPath[i];
        PathRemoveFileSpecW(path);
        valid = true;
    }

    // `src` resolved against the directory into `out`; false when it does not fit, which
    // makes the entry a file that cannot be loaded.
    bool Combine(const unique_bstr& src, WCHAR (&out)[MAX_PATH]) const {
        if (!valid) return false;
        static const WCHAR kEmpty[1] = {0};
        return PathCombineW(out, path, src ? src.get() : kEmpty) != nullptr;
    }
};

// ---------------------------------------------------------------------------------------------
// Loaders

// Every `map` child of `root`, with the text of its attributes `first` and `second` (empty
// when missing), handed to `use`; the running status as the map loaders keep it: the status of
// the last step of the last element.
template <class Use>
HRESULT ForEachMap(IXMLDOMElement* root, LPCOLESTR first, LPCOLESTR second, Use use) {
    com_ptr<IXMLDOMNodeList> maps;
    HRESULT status = SelectNodes(root, OLESTR("map"), maps);
    if (FAILED(status) || !maps) return status;
    LONG length = 0;
    status = maps->get_length(&length);
    if (FAILED(status)) return status;

    status = S_OK;
    for (LONG i = 0; i < length; ++i) {
        const com_ptr<IXMLDOMElement> map = ElementAt(maps.get(), i, status);
        if (!map) continue;
        std::wstring a, b;
        if (unique_bstr value = ReadAttribute(map.get(), first, status))
            a = WideFromOle(value.get());
        if (unique_bstr value = ReadAttribute(map.get(), second, status))
            b = WideFromOle(value.get());
        use(a, b);
    }
    return status;
}

HRESULT LoadCodeMapFileImpl(int32_t mode, LPCWSTR path) {
    HRESULT status = E_FAIL;
    com_ptr<IXMLDOMElement> root;
    if (!OpenDocument(path, root, status)) return status;

    ModeTable& idToCode = g_tables.idToCodeByMode.FindOrAdd(mode);
    ModeTable& codeToId = g_tables.codeToIdByMode.FindOrAdd(mode);
    return ForEachMap(root.get(), OLESTR("id"), OLESTR("code"),
                      [&](const std::wstring& id, const std::wstring& code) {
                          if (!id.empty()) idToCode.Set(id, code);
                          if (!code.empty()) codeToId.Set(code, id);
                      });
}

HRESULT LoadEzwebMailMapFileImpl(LPCWSTR path) {
    HRESULT status = E_FAIL;
    com_ptr<IXMLDOMElement> root;
    if (!OpenDocument(path, root, status)) return status;

    return ForEachMap(root.get(), OLESTR("mail"), OLESTR("web"),
                      [](const std::wstring& mail, const std::wstring& web) {
                          if (mail.size() != 4 || web.size() != 4) return;
                          g_tables.ezwebMailCodeMap.Set(
                              HexByte(mail[0], mail[1]), HexByte(mail[2], mail[3]),
                              HexByte(web[0], web[1]), HexByte(web[2], web[3]));
                      });
}

// The four default strings, in this order; a failed step ends the sequence.
void ReadDefaultStrings(IXMLDOMElement* root, HRESULT& status) {
    struct DefaultString {
        const OLECHAR* name;
        std::wstring SettingsDefaults::*field;
    };
    static const DefaultString kDefaults[] = {
        {OLESTR("globalizeFormat"), &SettingsDefaults::globalizeFormat},
        {OLESTR("globalizeUndefinedFormat"), &SettingsDefaults::globalizeUndefinedFormat},
        {OLESTR("localizePattern"), &SettingsDefaults::localizePattern},
        {OLESTR("localizeUndefinedFormat"), &SettingsDefaults::localizeUndefinedFormat},
    };
    for (const DefaultString& d : kDefaults) {
        if (FAILED(status)) break;
        com_ptr<IXMLDOMNode> node;
        status = SelectSingleNode(root, d.name, node);
        if (FAILED(status) || !node) continue;  // missing: S_FALSE, and the next name is read
        unique_bstr text;
        status = node->get_text(text.put());
        if (FAILED(status)) continue;
        g_tables.defaults.*d.field = WideFromOle(text.get());
        status = S_OK;
    }
}

void ReadCodeMaps(IXMLDOMElement* root, LPCWSTR settingsPath, HRESULT& status) {
    com_ptr<IXMLDOMNodeList> maps;
    status = SelectNodes(root, OLESTR("map"), maps);
    if (FAILED(status) || !maps) return;
    LONG length = 0;
    status = maps->get_length(&length);
    if (FAILED(status)) return;
    const SettingsDirectory directory(settingsPath);

    status = S_OK;
    for (LONG i = 0; i < length; ++i) {
        const com_ptr<IXMLDOMElement> map = ElementAt(maps.get(), i, status);
        if (!map) continue;
        int32_t mode = 0;
        if (unique_bstr value = ReadAttribute(map.get(), OLESTR("mode"), status)) {
            mode = DecimalValue(value);
        }
        const unique_bstr src = ReadAttribute(map.get(), OLESTR("src"), status);
        WCHAR path[MAX_PATH];
        // A path too long for its buffer names no file that could be loaded.
        status = directory.Combine(src, path) ? LoadCodeMapFile(mode, path) : S_FALSE;
        if (FAILED(status)) break;
    }
}

void ReadUserAgentRules(IXMLDOMElement* root, HRESULT& status) {
    com_ptr<IXMLDOMNodeList> agents;
    status = SelectNodes(root, OLESTR("userAgent"), agents);
    if (FAILED(status) || !agents) return;
    LONG length = 0;
    status = agents->get_length(&length);
    if (FAILED(status)) return;

    status = S_OK;
    for (LONG j = 0; j < length; ++j) {
        const com_ptr<IXMLDOMElement> agent = ElementAt(agents.get(), j, status);
        if (!agent) continue;
        int32_t id = 0;
        std::wstring pattern;
        if (unique_bstr value = ReadAttribute(agent.get(), OLESTR("id"), status)) {
            id = DecimalValue(value);
        }
        if (unique_bstr value = ReadAttribute(agent.get(), OLESTR("pattern"), status)) {
            pattern = WideFromOle(value.get());
        }
        g_tables.userAgentRules.Append(id, std::move(pattern));
    }
}

HRESULT ReadMailMap(IXMLDOMElement* root, LPCWSTR settingsPath) {
    com_ptr<IXMLDOMNode> node;
    HRESULT status = SelectSingleNode(root, OLESTR("ezwebMailMap"), node);
    if (FAILED(status) || !node) return status;
    com_ptr<IXMLDOMElement> element;
    status = node->QueryInterface(IID_IXMLDOMElement, element.put_void());
    if (FAILED(status)) return status;
    const SettingsDirectory directory(settingsPath);

    status = S_OK;
    const unique_bstr src = ReadAttribute(element.get(), OLESTR("src"), status);
    WCHAR path[MAX_PATH];
    return directory.Combine(src, path) ? LoadEzwebMailMapFile(path) : S_FALSE;
}

HRESULT LoadSettingFileImpl(LPCWSTR path) {
    HRESULT status = E_FAIL;
    com_ptr<IXMLDOMElement> root;
    if (!OpenDocument(path, root, status)) return status;

    status = S_OK;
    ReadDefaultStrings(root.get(), status);
    ReadCodeMaps(root.get(), path, status);
    ReadUserAgentRules(root.get(), status);
    return ReadMailMap(root.get(), path);
}

}  // namespace

// Out of memory while filling the tables is a failure of the load, not a crash.
HRESULT LoadSettingFile(LPCWSTR path) {
    return CallBoundary([&] { return LoadSettingFileImpl(path); });
}

HRESULT LoadCodeMapFile(int32_t mode, LPCWSTR path) {
    return CallBoundary([&] { return LoadCodeMapFileImpl(mode, path); });
}

HRESULT LoadEzwebMailMapFile(LPCWSTR path) {
    return CallBoundary([&] { return LoadEzwebMailMapFileImpl(path); });
}

}  // namespace glyphary
