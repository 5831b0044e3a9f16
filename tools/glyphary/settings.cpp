#include "settings.h"

#include <libxml/parser.h>
#include <libxml/tree.h>

#include <climits>
#include <cwchar>
#include <memory>

#include "text.h"

namespace glyphary::tool {
namespace fs = std::filesystem;
namespace {

using Document = std::unique_ptr<xmlDoc, void (*)(xmlDocPtr)>;

// No network, no DTD, no entity expansion: the module's reader is as careful.
Document Parse(const fs::path& path) {
    return Document(xmlReadFile(path.c_str(), nullptr,
                                XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING),
                    xmlFreeDoc);
}

// The child elements of the root called `name`, in document order.
std::vector<xmlNodePtr> Children(const Document& doc, const char* name) {
    std::vector<xmlNodePtr> result;
    const xmlNodePtr root = doc ? xmlDocGetRootElement(doc.get()) : nullptr;
    if (!root) return result;
    for (xmlNodePtr n = root->children; n; n = n->next)
        if (n->type == XML_ELEMENT_NODE && xmlStrcmp(n->name, BAD_CAST name) == 0)
            result.push_back(n);
    return result;
}

std::u16string Attribute(xmlNodePtr node, const char* name) {
    xmlChar* value = xmlGetProp(node, BAD_CAST name);
    if (!value) return {};
    std::u16string text;
    try {
        text = Utf16FromUtf8(reinterpret_cast<const char*>(value));
    } catch (const EncodingError&) {
    }
    xmlFree(value);
    return text;
}

std::wstring Wide(std::u16string_view text) {
    return std::wstring(text.begin(), text.end());
}

// A decimal attribute as the loaders read it: wcstol, saturated to 32 bits.
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
    return (directory / Utf8ForDisplay(src)).lexically_normal();
}

}  // namespace

SettingsFile ReadSettings(const fs::path& path) {
    SettingsFile settings;
    const Document doc = Parse(path);
    if (!doc) return settings;
    settings.loaded = true;
    const fs::path directory = path.parent_path();
    for (xmlNodePtr node : Children(doc, "map"))
        settings.maps.push_back({static_cast<int>(Decimal(Attribute(node, "mode"))),
                                 Resolve(directory, Attribute(node, "src"))});
    for (xmlNodePtr node : Children(doc, "userAgent"))
        settings.rules.push_back({Decimal(Attribute(node, "id")), Attribute(node, "pattern")});
    if (const auto mail = Children(doc, "ezwebMailMap"); !mail.empty())
        settings.mailMap = Resolve(directory, Attribute(mail.front(), "src"));
    return settings;
}

bool ReadCodeMapKeys(const fs::path& path, std::set<std::u16string>& ids,
                     std::set<std::u16string>& codes) {
    const Document doc = Parse(path);
    if (!doc) return false;
    for (xmlNodePtr node : Children(doc, "map")) {
        if (std::u16string id = Attribute(node, "id"); !id.empty()) ids.insert(std::move(id));
        if (std::u16string code = Attribute(node, "code"); !code.empty())
            codes.insert(std::move(code));
    }
    return true;
}

MailMapSize ReadMailMapSize(const fs::path& path) {
    MailMapSize size;
    const Document doc = Parse(path);
    if (!doc) return size;
    size.loaded = true;
    std::set<unsigned> keys;
    for (xmlNodePtr node : Children(doc, "map")) {
        const std::u16string mail = Attribute(node, "mail");
        if (mail.size() == 4 && Attribute(node, "web").size() == 4)
            keys.insert(HexByte(mail.substr(0, 2)) << 8 | HexByte(mail.substr(2, 2)));
    }
    size.codes = keys.size();
    return size;
}

}  // namespace glyphary::tool
