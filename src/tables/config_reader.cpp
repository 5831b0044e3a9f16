#include "tables/config_reader.h"

#include <climits>
#include <cwchar>
#include <new>
#include <string_view>
#include <utility>

#include "platform/olestr.h"

namespace glyphary::config {

namespace {

// MSXML 3.0's DOMDocument. Named here: the SDK headers give CLSID_DOMDocument another value.
constexpr CLSID kDomDocumentClsid = {
    0xF6D90F11, 0x9C73, 0x11D3, {0xB3, 0x2E, 0x00, 0xC0, 0x4F, 0x99, 0x0B, 0xB4}};
constexpr DWORD kDomDocumentContext = 23;  // in-process, handler, local and remote servers
// What MSXML's parseError says for a file that is missing or cannot be read.
constexpr LONG kObjectNotFound = static_cast<LONG>(0x800C0006);

// The text of attribute `name`: the attribute node, then its text, each step recorded in
// `status`. Empty when a step failed or the attribute is missing: the caller keeps its default.
std::wstring ReadAttribute(IXMLDOMElement* element, const OLECHAR* name, HRESULT& status) {
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
    if (FAILED(status)) return {};
    return WideFromOle(text.get());
}

// A decimal number as wcstol reads it, saturated to 32 bits: long is wider on Linux than on
// Windows, and the clamp makes both agree.
int32_t DecimalValue(std::wstring_view text) {
    const std::wstring terminated(text);
    const long value = std::wcstol(terminated.c_str(), nullptr, 10);
    if (value > INT32_MAX) return INT32_MAX;
    if (value < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(value);
}

// A byte from two hexadecimal units as wcstol reads them; only the low 8 bits count.
uint8_t HexByte(wchar_t first, wchar_t second) {
    const wchar_t half[3] = {first, second, 0};
    return static_cast<uint8_t>(std::wcstol(half, nullptr, 16) & 0xFF);
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

// Hands each child element of `root` named `name` to `each`, in document order, while `each`
// answers true. Records the selection, the list's length and, per entry, the item and its view
// as an element; S_OK before the first entry.
template <class Each>
void ForEachChild(IXMLDOMElement* root, const OLECHAR* name, HRESULT& status, Each each) {
    com_ptr<IXMLDOMNodeList> list;
    status = SelectNodes(root, name, list);
    if (FAILED(status) || !list) return;
    LONG length = 0;
    status = list->get_length(&length);
    if (FAILED(status)) return;

    status = S_OK;
    for (LONG i = 0; i < length; ++i) {
        com_ptr<IXMLDOMNode> item;
        status = list->get_item(i, item.put());
        if (FAILED(status)) continue;
        com_ptr<IXMLDOMElement> element;
        status =
            item ? item->QueryInterface(IID_IXMLDOMElement, element.put_void()) : E_NOINTERFACE;
        if (FAILED(status)) continue;
        if (!each(element.get())) break;
    }
}

// The directory of the settings file, in a MAX_PATH buffer as the module keeps its paths;
// nothing combines with it when the settings path does not fit.
class SettingsDirectory {
  public:
    explicit SettingsDirectory(LPCWSTR settingsPath) {
        const size_t length = OleLength(settingsPath);
        if (length >= MAX_PATH) return;
        for (size_t i = 0; i <= length; ++i) m_path[i] = settingsPath[i];
        PathRemoveFileSpecW(m_path);
        m_valid = true;
    }

    // `src` resolved against the directory into `out`; null when it does not fit.
    LPCWSTR Combine(const std::wstring& src, WCHAR (&out)[MAX_PATH]) const {
        if (!m_valid) return nullptr;
        const unique_bstr file(AllocBstr(src));
        if (!file) throw std::bad_alloc();
        return PathCombineW(out, m_path, file.get());
    }

  private:
    WCHAR m_path[MAX_PATH] = {};
    bool m_valid = false;
};

// The four default strings, in this order; a failed step ends the sequence, a missing element
// (S_FALSE) does not.
void ReadDefaultStrings(IXMLDOMElement* root, HRESULT& status, const SettingsHandlers& handlers) {
    static constexpr std::pair<DefaultString, const OLECHAR*> kDefaults[] = {
        {DefaultString::globalizeFormat, OLESTR("globalizeFormat")},
        {DefaultString::globalizeUndefinedFormat, OLESTR("globalizeUndefinedFormat")},
        {DefaultString::localizePattern, OLESTR("localizePattern")},
        {DefaultString::localizeUndefinedFormat, OLESTR("localizeUndefinedFormat")},
    };
    for (const auto& [which, name] : kDefaults) {
        if (FAILED(status)) break;
        com_ptr<IXMLDOMNode> node;
        status = SelectSingleNode(root, name, node);
        if (FAILED(status) || !node) continue;
        unique_bstr text;
        status = node->get_text(text.put());
        if (FAILED(status)) continue;
        if (handlers.defaultString) handlers.defaultString(which, WideFromOle(text.get()));
        status = S_OK;
    }
}

void ReadCodeMaps(IXMLDOMElement* root, const SettingsDirectory& directory, HRESULT& status,
                  const SettingsHandlers& handlers) {
    ForEachChild(root, OLESTR("map"), status, [&](IXMLDOMElement* map) {
        const int32_t mode = DecimalValue(ReadAttribute(map, OLESTR("mode"), status));
        const std::wstring src = ReadAttribute(map, OLESTR("src"), status);
        WCHAR path[MAX_PATH];
        status = handlers.codeMap(mode, directory.Combine(src, path));
        return SUCCEEDED(status);
    });
}

void ReadUserAgentRules(IXMLDOMElement* root, HRESULT& status, const SettingsHandlers& handlers) {
    ForEachChild(root, OLESTR("userAgent"), status, [&](IXMLDOMElement* agent) {
        const int32_t id = DecimalValue(ReadAttribute(agent, OLESTR("id"), status));
        handlers.userAgent(id, ReadAttribute(agent, OLESTR("pattern"), status));
        return true;
    });
}

HRESULT ReadMailMapName(IXMLDOMElement* root, const SettingsDirectory& directory,
                        const SettingsHandlers& handlers) {
    com_ptr<IXMLDOMNode> node;
    HRESULT status = SelectSingleNode(root, OLESTR("ezwebMailMap"), node);
    if (FAILED(status) || !node) return status;
    com_ptr<IXMLDOMElement> element;
    status = node->QueryInterface(IID_IXMLDOMElement, element.put_void());
    if (FAILED(status)) return status;

    status = S_OK;
    const std::wstring src = ReadAttribute(element.get(), OLESTR("src"), status);
    WCHAR path[MAX_PATH];
    return handlers.mailMap(directory.Combine(src, path));
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Files

ConfigFile ConfigFile::Open(LPCWSTR path, HRESULT& status) {
    ConfigFile file;
    status = CoCreateInstance(kDomDocumentClsid, nullptr, kDomDocumentContext, IID_IXMLDOMDocument,
                              file.m_document.put_void());
    if (FAILED(status)) return file;
    unique_variant source;
    source.vt = VT_BSTR;
    source.bstrVal = SysAllocString(path);
    if (!source.bstrVal) {
        status = E_OUTOFMEMORY;
        return file;
    }
    VARIANT_BOOL loaded = VARIANT_FALSE;
    status = file.m_document->load(source, &loaded);
    file.m_loaded = loaded == VARIANT_TRUE;
    if (FAILED(status) || !file.m_loaded) return file;
    status = file.m_document->get_documentElement(file.m_root.put());
    if (FAILED(status)) file.m_root.reset();
    return file;
}

std::optional<LoadFailure> ConfigFile::Failure() const {
    if (!m_document || m_loaded) return std::nullopt;
    com_ptr<IXMLDOMParseError> error;
    LONG code = 0;
    unique_bstr reason;
    if (FAILED(m_document->get_parseError(error.put())) || !error ||
        FAILED(error->get_errorCode(&code)) || FAILED(error->get_reason(reason.put())))
        return std::nullopt;
    LoadFailure failure;
    failure.missing = code == kObjectNotFound;
    failure.reason = WideFromOle(reason.get());
    LONG line = 0, column = 0;
    if (SUCCEEDED(error->get_line(&line)) && line > 0 && SUCCEEDED(error->get_linepos(&column))) {
        failure.line = line;
        failure.column = column;
    }
    return failure;
}

// ---------------------------------------------------------------------------------------------
// Entries

HRESULT ReadSettings(const ConfigFile& file, LPCWSTR path, const SettingsHandlers& handlers) {
    if (!file.root()) return E_UNEXPECTED;
    IXMLDOMElement* root = file.root();
    const SettingsDirectory directory(path);
    HRESULT status = S_OK;
    ReadDefaultStrings(root, status, handlers);
    ReadCodeMaps(root, directory, status, handlers);
    ReadUserAgentRules(root, status, handlers);
    return ReadMailMapName(root, directory, handlers);
}

HRESULT ReadCodeMap(const ConfigFile& file, const std::function<void(CodeMapEntry&)>& each,
                    std::initializer_list<const OLECHAR*> extra) {
    if (!file.root()) return E_UNEXPECTED;
    HRESULT status = S_OK;
    CodeMapEntry entry;
    ForEachChild(file.root(), OLESTR("map"), status, [&](IXMLDOMElement* map) {
        entry.id = ReadAttribute(map, OLESTR("id"), status);
        entry.code = ReadAttribute(map, OLESTR("code"), status);
        entry.extra.clear();
        HRESULT ignored = S_OK;  // read for the client only: the module's status must not see them
        for (const OLECHAR* name : extra) entry.extra.push_back(ReadAttribute(map, name, ignored));
        each(entry);
        return true;
    });
    return status;
}

HRESULT ReadMailMap(const ConfigFile& file, const std::function<void(const MailMapEntry&)>& each) {
    if (!file.root()) return E_UNEXPECTED;
    HRESULT status = S_OK;
    ForEachChild(file.root(), OLESTR("map"), status, [&](IXMLDOMElement* map) {
        const std::wstring mail = ReadAttribute(map, OLESTR("mail"), status);
        const std::wstring web = ReadAttribute(map, OLESTR("web"), status);
        // Only the length is checked: "F6ZZ" is the bytes F6 00, as wcstol reads it.
        if (mail.size() == 4 && web.size() == 4)
            each({{HexByte(mail[0], mail[1]), HexByte(mail[2], mail[3])},
                  {HexByte(web[0], web[1]), HexByte(web[2], web[3])}});
        return true;
    });
    return status;
}

}  // namespace glyphary::config
