#include "client/settings.h"

#include <climits>
#include <cwchar>
#include <optional>

#include "platform/owners.h"
#include "text/utf.h"

namespace glyphary::client {
namespace fs = std::filesystem;
namespace {

// ---------------------------------------------------------------------------------------------
// XML through the platform's MSXML DOMDocument, the reader the module's loaders use, so both
// see the same document (encodings, entities, what counts as ill-formed).

unique_bstr Bstr(std::u16string_view text) {
    return unique_bstr(SysAllocStringLen(text.data(), static_cast<UINT>(text.size())));
}

// Why `document` did not load, from its parseError as MSXML gives it.
std::string LoadProblem(IXMLDOMDocument* document) {
    constexpr LONG kNotFound = static_cast<LONG>(0x800C0006);  // MSXML's code for it
    com_ptr<IXMLDOMParseError> error;
    LONG code = 0, line = 0, column = 0;
    unique_bstr reason;
    if (FAILED(document->get_parseError(error.put())) || !error ||
        FAILED(error->get_errorCode(&code)) || FAILED(error->get_reason(reason.put())))
        return "missing or not well-formed";
    const std::string why =
        text::Utf8ForDisplay(std::u16string_view(reason.get(), SysStringLen(reason.get())));
    if (code == kNotFound) return "missing or unreadable (" + why + ")";
    std::string where;
    if (SUCCEEDED(error->get_line(&line)) && line > 0 && SUCCEEDED(error->get_linepos(&column)))
        where = " at line " + std::to_string(line) + ", column " + std::to_string(column);
    return "not well-formed" + where + ": " + why;
}

class XmlFile {
  public:
    /// The root element of the file at `path`; none when it is missing or not well-formed,
    /// with the reason in `*problem` when given.
    static std::optional<XmlFile> Open(const fs::path& path, std::string* problem = nullptr) {
        com_ptr<IXMLDOMDocument> document;
        if (FAILED(CoCreateInstance(CLSID_DOMDocument30, nullptr, CLSCTX_INPROC_SERVER,
                                    IID_IXMLDOMDocument, document.put_void())))
            return std::nullopt;
        unique_variant source;
        source.vt = VT_BSTR;
        const auto name = text::Utf16FromUtf8(path.string(), text::Errors::strict);
        if (!name) return std::nullopt;
        source.bstrVal = Bstr(*name).release();
        VARIANT_BOOL loaded = VARIANT_FALSE;
        if (FAILED(document->load(source, &loaded)) || loaded != VARIANT_TRUE) {
            if (problem) *problem = LoadProblem(document.get());
            return std::nullopt;
        }
        XmlFile file;
        if (FAILED(document->get_documentElement(file.m_root.put())) || !file.m_root)
            return std::nullopt;
        return file;
    }

    /// The child elements of the root called `name`, in document order.
    std::vector<com_ptr<IXMLDOMElement>> Children(const char16_t* name) const {
        std::vector<com_ptr<IXMLDOMElement>> elements;
        com_ptr<IXMLDOMNodeList> list;
        const unique_bstr query = Bstr(name);
        LONG length = 0;
        if (FAILED(m_root->selectNodes(query.get(), list.put())) || !list ||
            FAILED(list->get_length(&length)))
            return elements;
        for (LONG i = 0; i < length; ++i) {
            com_ptr<IXMLDOMNode> item;
            com_ptr<IXMLDOMElement> element;
            if (SUCCEEDED(list->get_item(i, item.put())) && item &&
                SUCCEEDED(item->QueryInterface(IID_IXMLDOMElement, element.put_void())))
                elements.push_back(element);
        }
        return elements;
    }

  private:
    com_ptr<IXMLDOMElement> m_root;
};

/// The text of attribute `name`, empty when it is missing.
std::u16string Attribute(IXMLDOMElement* element, const char16_t* name) {
    const unique_bstr attributeName = Bstr(name);
    com_ptr<IXMLDOMAttribute> attribute;
    unique_bstr text;
    if (FAILED(element->getAttributeNode(attributeName.get(), attribute.put())) || !attribute ||
        FAILED(attribute->get_text(text.put())) || !text)
        return {};
    return std::u16string(text.get(), SysStringLen(text.get()));
}

// ---------------------------------------------------------------------------------------------
// Values, read as the loaders read them

std::wstring Wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

// wcstol, saturated to 32 bits.
long Decimal(std::u16string_view text) {
    const std::wstring wide = Wide(text);
    const long value = std::wcstol(wide.c_str(), nullptr, 10);
    return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : value;
}

// One byte of a mail map code: two hex digits read as wcstol base 16, low 8 bits.
unsigned HexByte(std::u16string_view half) {
    const std::wstring wide = Wide(half);
    return static_cast<unsigned>(std::wcstol(wide.c_str(), nullptr, 16)) & 0xFF;
}

fs::path Resolve(const fs::path& directory, std::u16string_view src) {
    return (directory / text::Utf8ForDisplay(src)).lexically_normal();
}

}  // namespace

SettingsFile ReadSettings(const fs::path& path) {
    SettingsFile settings;
    const std::optional<XmlFile> file = XmlFile::Open(path, &settings.problem);
    if (!file) return settings;
    settings.loaded = true;
    const fs::path directory = path.parent_path();
    for (const auto& map : file->Children(u"map"))
        settings.maps.push_back({static_cast<int>(Decimal(Attribute(map.get(), u"mode"))),
                                 Resolve(directory, Attribute(map.get(), u"src"))});
    for (const auto& rule : file->Children(u"userAgent"))
        settings.rules.push_back(
            {Decimal(Attribute(rule.get(), u"id")), Attribute(rule.get(), u"pattern")});
    if (const auto mail = file->Children(u"ezwebMailMap"); !mail.empty())
        settings.mailMap = Resolve(directory, Attribute(mail.front().get(), u"src"));
    return settings;
}

std::vector<fs::path> MapFilesOf(const SettingsFile& settings, int mode) {
    std::vector<fs::path> files;
    for (const CodeMapEntry& map : settings.maps)
        if (map.mode == mode) files.push_back(map.path);
    return files;
}

std::optional<std::vector<CodeMapElement>> ReadCodeMap(
    const fs::path& path, std::initializer_list<const char16_t*> extra) {
    const std::optional<XmlFile> file = XmlFile::Open(path);
    if (!file) return std::nullopt;
    std::vector<CodeMapElement> elements;
    for (const auto& map : file->Children(u"map")) {
        CodeMapElement& element = elements.emplace_back();
        element.id = Attribute(map.get(), u"id");
        element.code = Attribute(map.get(), u"code");
        for (const char16_t* name : extra) element.extra.push_back(Attribute(map.get(), name));
    }
    return elements;
}

bool ReadCodeMapKeys(const fs::path& path, std::set<std::u16string>& ids,
                     std::set<std::u16string>& codes) {
    const std::optional<XmlFile> file = XmlFile::Open(path);
    if (!file) return false;
    for (const auto& map : file->Children(u"map")) {
        if (std::u16string id = Attribute(map.get(), u"id"); !id.empty()) ids.insert(std::move(id));
        if (std::u16string code = Attribute(map.get(), u"code"); !code.empty())
            codes.insert(std::move(code));
    }
    return true;
}

MailMapSize ReadMailMapSize(const fs::path& path) {
    MailMapSize size;
    const std::optional<XmlFile> file = XmlFile::Open(path);
    if (!file) return size;
    size.loaded = true;
    std::set<unsigned> keys;
    for (const auto& map : file->Children(u"map")) {
        const std::u16string mail = Attribute(map.get(), u"mail");
        if (mail.size() == 4 && Attribute(map.get(), u"web").size() == 4)
            keys.insert(HexByte(mail.substr(0, 2)) << 8 | HexByte(mail.substr(2, 2)));
    }
    size.codes = keys.size();
    return size;
}

}  // namespace glyphary::client
