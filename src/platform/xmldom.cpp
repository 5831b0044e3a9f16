// DOMDocument ({F6D90F11-9C73-11D3-B32E-00C04F990BB4}): the MSXML DOM over a read-only
// xml::Tree, with the members and statuses the configuration loaders rely on. Everything
// else answers E_NOTIMPL. The class registers itself as a built-in class when the platform
// library loads.
#include <string>
#include <utility>

#include <libxml/parser.h>

#include "platform/boundary.h"
#include "platform/com_object.h"
#include "platform/combase.h"
#include "platform/msxml.h"
#include "platform/unicode.h"
#include "platform/xmltree.h"

namespace glyphary {

template <>
inline constexpr const IID* kIidOf<IXMLDOMNode> = &IID_IXMLDOMNode;
template <>
inline constexpr const IID* kIidOf<IXMLDOMElement> = &IID_IXMLDOMElement;
template <>
inline constexpr const IID* kIidOf<IXMLDOMAttribute> = &IID_IXMLDOMAttribute;
template <>
inline constexpr const IID* kIidOf<IXMLDOMDocument> = &IID_IXMLDOMDocument;
template <>
inline constexpr const IID* kIidOf<IXMLDOMNodeList> = &IID_IXMLDOMNodeList;
template <>
inline constexpr const IID* kIidOf<IXMLDOMParseError> = &IID_IXMLDOMParseError;

}  // namespace glyphary

namespace {

using glyphary::AtomicCount;
using glyphary::CallBoundary;
using glyphary::Chain;
using glyphary::ComObject;
using glyphary::CreateObject;
using glyphary::NoLateBinding;
using glyphary::platform::Utf8FromUtf16;
using glyphary::platform::xml::ParseResult;
using glyphary::platform::xml::ParseStatus;
using glyphary::platform::xml::Tree;
using TreePtr = std::shared_ptr<const Tree>;

// ---------------------------------------------------------------------------------------------
// Helpers

HRESULT ReturnString(std::u16string_view text, BSTR* out) {
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out ? S_OK : E_OUTOFMEMORY;
}

std::u16string_view ViewOf(const OLECHAR* s) {
    return s ? std::u16string_view(s) : std::u16string_view();
}

// The queries answered here are bare element names, the only kind the loaders use; a step
// of any other XPath expression (axes, predicates, paths, wildcards) is not implemented.
bool IsBareName(std::u16string_view name) {
    if (name.empty() || name.front() == u':' || name.back() == u':') return false;
    if (name.find(u"::") != std::u16string_view::npos) return false;
    const char16_t first = name.front();
    if (first == u'-' || first == u'.' || (first >= u'0' && first <= u'9')) return false;
    for (char16_t c : name) {
        const bool ok = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                        (c >= u'0' && c <= u'9') || c == u'_' || c == u'-' || c == u'.' ||
                        c == u':' || c >= 0x80;
        if (!ok) return false;
    }
    return true;
}

HRESULT NewElement(const TreePtr& tree, uint32_t node, REFIID riid, void** out);
HRESULT NewNodeList(TreePtr tree, std::vector<uint32_t> nodes, IXMLDOMNodeList** out);

// ---------------------------------------------------------------------------------------------
// NodeObject: IXMLDOMNode for the three node classes. Late binding of the DOM is not offered.

template <class Interface>
class NodeObject
    : public ComObject<NodeObject<Interface>, AtomicCount,
                       Chain<NoLateBinding<Interface>, Interface, IXMLDOMNode, IDispatch>> {
    using Object = ComObject<NodeObject, AtomicCount,
                             Chain<NoLateBinding<Interface>, Interface, IXMLDOMNode, IDispatch>>;
    friend Object;

  public:
    // IXMLDOMNode: what the loaders use
    HRESULT STDMETHODCALLTYPE get_nodeName(BSTR* name) override {
        if (!name) return E_INVALIDARG;
        return CallBoundary([&] { return ReturnString(Name(), name); });
    }
    HRESULT STDMETHODCALLTYPE get_nodeType(DOMNodeType* type) override {
        if (!type) return E_INVALIDARG;
        *type = Type();
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_text(BSTR* text) override {
        if (!text) return E_INVALIDARG;
        *text = nullptr;
        return CallBoundary([&] { return ReturnString(Text(), text); });
    }
    HRESULT STDMETHODCALLTYPE selectNodes(BSTR queryString, IXMLDOMNodeList** resultList) override {
        if (!resultList) return E_INVALIDARG;
        *resultList = nullptr;
        const std::u16string_view name = ViewOf(queryString);
        if (name.empty()) return E_INVALIDARG;
        if (!IsBareName(name)) return E_NOTIMPL;
        return CallBoundary([&] {
            std::vector<uint32_t> found;
            const TreePtr& tree = Owner();
            if (tree && HasElementChildren()) found = tree->ChildElements(Index(), name);
            return NewNodeList(tree, std::move(found), resultList);
        });
    }
    HRESULT STDMETHODCALLTYPE selectSingleNode(BSTR queryString,
                                               IXMLDOMNode** resultNode) override {
        if (!resultNode) return E_INVALIDARG;
        *resultNode = nullptr;
        const std::u16string_view name = ViewOf(queryString);
        if (name.empty()) return E_INVALIDARG;
        if (!IsBareName(name)) return E_NOTIMPL;
        return CallBoundary([&] {
            const TreePtr& tree = Owner();
            if (!tree || !HasElementChildren()) return S_FALSE;
            const std::vector<uint32_t> found = tree->ChildElements(Index(), name, 1);
            if (found.empty()) return S_FALSE;
            return NewElement(tree, found[0], IID_IXMLDOMNode,
                              reinterpret_cast<void**>(resultNode));
        });
    }

    // IXMLDOMNode: not implemented
    HRESULT STDMETHODCALLTYPE get_nodeValue(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_nodeValue(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_parentNode(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_childNodes(IXMLDOMNodeList**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_firstChild(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_lastChild(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_previousSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_nextSibling(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_attributes(IXMLDOMNamedNodeMap**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE insertBefore(IXMLDOMNode*, VARIANT, IXMLDOMNode**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE replaceChild(IXMLDOMNode*, IXMLDOMNode*, IXMLDOMNode**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE removeChild(IXMLDOMNode*, IXMLDOMNode**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE appendChild(IXMLDOMNode*, IXMLDOMNode**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE hasChildNodes(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_ownerDocument(IXMLDOMDocument**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE cloneNode(VARIANT_BOOL, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_nodeTypeString(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_text(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_specified(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_definition(IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_nodeTypedValue(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_nodeTypedValue(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_dataType(VARIANT*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_dataType(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_xml(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE transformNode(IXMLDOMNode*, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_parsed(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_namespaceURI(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_prefix(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_baseName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE transformNodeToObject(IXMLDOMNode*, VARIANT) override {
        return E_NOTIMPL;
    }

  protected:
    NodeObject() = default;
    virtual ~NodeObject() = default;

    // What the node stands for. Owner() is null for a document that holds nothing.
    virtual const TreePtr& Owner() const = 0;
    virtual uint32_t Index() const = 0;
    virtual bool HasElementChildren() const = 0;
    virtual DOMNodeType Type() const = 0;
    virtual std::u16string Name() const = 0;
    virtual std::u16string Text() const = 0;
};

// ---------------------------------------------------------------------------------------------
// Attribute

class Attribute final : public NodeObject<IXMLDOMAttribute> {
  public:
    Attribute(TreePtr tree, uint32_t index) : m_tree(std::move(tree)), m_index(index) {}

    HRESULT STDMETHODCALLTYPE get_name(BSTR* attributeName) override {
        return get_nodeName(attributeName);
    }
    HRESULT STDMETHODCALLTYPE get_value(VARIANT* attributeValue) override {
        if (!attributeValue) return E_INVALIDARG;
        VariantInit(attributeValue);
        BSTR value = nullptr;
        const HRESULT hr = get_text(&value);
        if (FAILED(hr)) return hr;
        attributeValue->vt = VT_BSTR;
        attributeValue->bstrVal = value;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_value(VARIANT) override { return E_NOTIMPL; }

  private:
    const TreePtr& Owner() const override { return m_tree; }
    uint32_t Index() const override { return m_index; }
    bool HasElementChildren() const override { return false; }
    DOMNodeType Type() const override { return NODE_ATTRIBUTE; }
    std::u16string Name() const override {
        return std::u16string(m_tree->view(m_tree->attribute(m_index).name));
    }
    std::u16string Text() const override {
        return std::u16string(m_tree->view(m_tree->attribute(m_index).value));
    }

    TreePtr m_tree;
    uint32_t m_index;
};

// ---------------------------------------------------------------------------------------------
// Element

class Element final : public NodeObject<IXMLDOMElement> {
  public:
    Element(TreePtr tree, uint32_t index) : m_tree(std::move(tree)), m_index(index) {}

    HRESULT STDMETHODCALLTYPE get_tagName(BSTR* tagName) override { return get_nodeName(tagName); }
    HRESULT STDMETHODCALLTYPE getAttribute(BSTR name, VARIANT* value) override {
        if (!value) return E_INVALIDARG;
        VariantInit(value);
        const uint32_t found = m_tree->FindAttribute(m_index, ViewOf(name));
        if (found == Tree::kNone) {
            value->vt = VT_NULL;
            return S_FALSE;
        }
        BSTR text = nullptr;
        const HRESULT hr = CallBoundary(
            [&] { return ReturnString(m_tree->view(m_tree->attribute(found).value), &text); });
        if (FAILED(hr)) return hr;
        value->vt = VT_BSTR;
        value->bstrVal = text;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE getAttributeNode(BSTR name,
                                               IXMLDOMAttribute** attributeNode) override {
        if (!attributeNode) return E_INVALIDARG;
        *attributeNode = nullptr;
        const uint32_t found = m_tree->FindAttribute(m_index, ViewOf(name));
        if (found == Tree::kNone) return S_FALSE;
        return CreateObject<Attribute>(IID_IXMLDOMAttribute,
                                       reinterpret_cast<void**>(attributeNode), m_tree, found);
    }
    HRESULT STDMETHODCALLTYPE setAttribute(BSTR, VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE removeAttribute(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE setAttributeNode(IXMLDOMAttribute*, IXMLDOMAttribute**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE removeAttributeNode(IXMLDOMAttribute*, IXMLDOMAttribute**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE getElementsByTagName(BSTR, IXMLDOMNodeList**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE normalize() override { return E_NOTIMPL; }

  private:
    const TreePtr& Owner() const override { return m_tree; }
    uint32_t Index() const override { return m_index; }
    bool HasElementChildren() const override { return true; }
    DOMNodeType Type() const override { return NODE_ELEMENT; }
    std::u16string Name() const override {
        return std::u16string(m_tree->view(m_tree->node(m_index).text));
    }
    std::u16string Text() const override { return m_tree->CharacterData(m_index); }

    TreePtr m_tree;
    uint32_t m_index;
};

HRESULT NewElement(const TreePtr& tree, uint32_t node, REFIID riid, void** out) {
    return CreateObject<Element>(riid, out, tree, node);
}

// ---------------------------------------------------------------------------------------------
// Node list

class NodeList final
    : public ComObject<NodeList, AtomicCount,
                       Chain<NoLateBinding<IXMLDOMNodeList>, IXMLDOMNodeList, IDispatch>> {
  public:
    NodeList(TreePtr tree, std::vector<uint32_t> nodes)
        : m_tree(std::move(tree)), m_nodes(std::move(nodes)) {}

    HRESULT STDMETHODCALLTYPE get_item(LONG index, IXMLDOMNode** listItem) override {
        if (!listItem) return E_INVALIDARG;
        *listItem = nullptr;
        if (index < 0 || static_cast<size_t>(index) >= m_nodes.size()) return S_FALSE;
        return NewElement(m_tree, m_nodes[static_cast<size_t>(index)], IID_IXMLDOMNode,
                          reinterpret_cast<void**>(listItem));
    }
    HRESULT STDMETHODCALLTYPE get_length(LONG* listLength) override {
        if (!listLength) return E_INVALIDARG;
        *listLength = static_cast<LONG>(m_nodes.size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE nextNode(IXMLDOMNode** nextItem) override {
        if (!nextItem) return E_INVALIDARG;
        const HRESULT hr = get_item(static_cast<LONG>(m_next), nextItem);
        if (hr == S_OK) ++m_next;
        return hr;
    }
    HRESULT STDMETHODCALLTYPE reset() override {
        m_next = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get__newEnum(IUnknown**) override { return E_NOTIMPL; }

  private:
    friend ComObject;
    ~NodeList() = default;

    TreePtr m_tree;
    std::vector<uint32_t> m_nodes;  // fewer than 2^31: a document is at most 512 MiB
    size_t m_next = 0;
};

HRESULT NewNodeList(TreePtr tree, std::vector<uint32_t> nodes, IXMLDOMNodeList** out) {
    return CreateObject<NodeList>(IID_IXMLDOMNodeList, reinterpret_cast<void**>(out),
                                  std::move(tree), std::move(nodes));
}

// ---------------------------------------------------------------------------------------------
// Parse error: a snapshot of why the last load failed

// The codes MSXML reports: a file that cannot be found or read, and a document that is not
// well-formed (MSXML has one code per kind of fault; one stands for all of them here).
constexpr LONG kFileNotFound = static_cast<LONG>(0x800C0006);
constexpr LONG kIllFormed = static_cast<LONG>(0xC00CE500);

struct LoadError {
    LONG code = 0;
    std::u16string url, reason;
    LONG line = 0, column = 0;
};

class ParseError final
    : public ComObject<ParseError, AtomicCount,
                       Chain<NoLateBinding<IXMLDOMParseError>, IXMLDOMParseError, IDispatch>> {
  public:
    explicit ParseError(LoadError error) : m_error(std::move(error)) {}

    HRESULT STDMETHODCALLTYPE get_errorCode(LONG* errorCode) override {
        return Number(m_error.code, errorCode);
    }
    HRESULT STDMETHODCALLTYPE get_url(BSTR* urlString) override {
        if (!urlString) return E_INVALIDARG;
        return CallBoundary([&] { return ReturnString(m_error.url, urlString); });
    }
    HRESULT STDMETHODCALLTYPE get_reason(BSTR* reasonString) override {
        if (!reasonString) return E_INVALIDARG;
        return CallBoundary([&] { return ReturnString(m_error.reason, reasonString); });
    }
    HRESULT STDMETHODCALLTYPE get_srcText(BSTR* sourceString) override {
        if (!sourceString) return E_INVALIDARG;
        return CallBoundary([&] { return ReturnString(u"", sourceString); });
    }
    HRESULT STDMETHODCALLTYPE get_line(LONG* lineNumber) override {
        return Number(m_error.line, lineNumber);
    }
    HRESULT STDMETHODCALLTYPE get_linepos(LONG* linePosition) override {
        return Number(m_error.column, linePosition);
    }
    HRESULT STDMETHODCALLTYPE get_filepos(LONG*) override { return E_NOTIMPL; }

  private:
    friend ComObject;
    ~ParseError() = default;
    static HRESULT Number(LONG value, LONG* out) {
        if (!out) return E_INVALIDARG;
        *out = value;
        return S_OK;
    }

    LoadError m_error;
};

// ---------------------------------------------------------------------------------------------
// Document

class Document final : public NodeObject<IXMLDOMDocument> {
  public:
    HRESULT STDMETHODCALLTYPE get_documentElement(IXMLDOMElement** DOMElement) override {
        if (!DOMElement) return E_INVALIDARG;
        *DOMElement = nullptr;
        const uint32_t root = m_tree ? m_tree->Root() : Tree::kNone;
        if (root == Tree::kNone) return S_FALSE;
        return NewElement(m_tree, root, IID_IXMLDOMElement, reinterpret_cast<void**>(DOMElement));
    }

    // The previous content goes first: a document that fails to load holds nothing.
    HRESULT STDMETHODCALLTYPE load(VARIANT xmlSource, VARIANT_BOOL* isSuccessful) override {
        if (isSuccessful) *isSuccessful = VARIANT_FALSE;
        if (xmlSource.vt != VT_BSTR) return E_INVALIDARG;
        m_tree.reset();
        return CallBoundary([&] {
            m_error = {kFileNotFound, std::u16string(ViewOf(xmlSource.bstrVal)),
                       u"The system cannot locate the object specified."};
            // A lone surrogate names no file.
            const auto path = Utf8FromUtf16(ViewOf(xmlSource.bstrVal));
            if (!path || path->empty()) return S_FALSE;
            return Take(glyphary::platform::xml::ParseFile(*path), isSuccessful);
        });
    }
    HRESULT STDMETHODCALLTYPE loadXML(BSTR bstrXML, VARIANT_BOOL* isSuccessful) override {
        if (isSuccessful) *isSuccessful = VARIANT_FALSE;
        m_tree.reset();
        return CallBoundary([&] {
            m_error = {kIllFormed, u"", u"The text is not UTF-16."};
            const auto text = Utf8FromUtf16(ViewOf(bstrXML));
            if (!text) return S_FALSE;
            return Take(glyphary::platform::xml::ParseUtf8Text(*text), isSuccessful);
        });
    }

    HRESULT STDMETHODCALLTYPE get_doctype(IXMLDOMDocumentType**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_implementation(IXMLDOMImplementation**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE putref_documentElement(IXMLDOMElement*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE createElement(BSTR, IXMLDOMElement**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE createDocumentFragment(IXMLDOMDocumentFragment**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE createTextNode(BSTR, IXMLDOMText**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE createComment(BSTR, IXMLDOMComment**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE createCDATASection(BSTR, IXMLDOMCDATASection**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE createProcessingInstruction(BSTR, BSTR,
                                                          IXMLDOMProcessingInstruction**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE createAttribute(BSTR, IXMLDOMAttribute**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE createEntityReference(BSTR, IXMLDOMEntityReference**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE getElementsByTagName(BSTR, IXMLDOMNodeList**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE createNode(VARIANT, BSTR, BSTR, IXMLDOMNode**) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE nodeFromID(BSTR, IXMLDOMNode**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_readyState(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_parseError(IXMLDOMParseError** errorObj) override {
        if (!errorObj) return E_INVALIDARG;
        return CreateObject<ParseError>(IID_IXMLDOMParseError, reinterpret_cast<void**>(errorObj),
                                        m_error);
    }
    HRESULT STDMETHODCALLTYPE get_url(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_async(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_async(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE abort() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE save(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_validateOnParse(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_validateOnParse(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_resolveExternals(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_resolveExternals(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE get_preserveWhiteSpace(VARIANT_BOOL*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_preserveWhiteSpace(VARIANT_BOOL) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_onreadystatechange(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ondataavailable(VARIANT) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_ontransformnode(VARIANT) override { return E_NOTIMPL; }

  private:
    // A missing, unreadable or ill-formed document gives S_FALSE, as MSXML's load does.
    HRESULT Take(ParseResult result, VARIANT_BOOL* isSuccessful) {
        if (result.status != ParseStatus::Ok) {
            m_error.code = result.status == ParseStatus::IllFormed ? kIllFormed : kFileNotFound;
            m_error.reason = glyphary::platform::Utf16FromUtf8(result.reason);
            m_error.line = result.line;
            m_error.column = result.column;
            return S_FALSE;
        }
        m_error = {};
        m_tree = std::move(result.tree);
        if (isSuccessful) *isSuccessful = VARIANT_TRUE;
        return S_OK;
    }

    const TreePtr& Owner() const override { return m_tree; }
    uint32_t Index() const override { return 0; }
    bool HasElementChildren() const override { return true; }
    DOMNodeType Type() const override { return NODE_DOCUMENT; }
    std::u16string Name() const override { return u"#document"; }
    std::u16string Text() const override { return m_tree ? m_tree->CharacterData(0) : u""; }

    TreePtr m_tree;
    LoadError m_error;  // of the last load; code 0 after a successful one
};

// ---------------------------------------------------------------------------------------------
// Class object and registration

// A static object: references do not keep it alive.
class DocumentFactory final
    : public ComObject<DocumentFactory, glyphary::StaticCount, IClassFactory> {
  public:
    DocumentFactory() = default;

    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                             void** ppvObject) override {
        if (!ppvObject) return E_POINTER;
        *ppvObject = nullptr;
        if (pUnkOuter) return CLASS_E_NOAGGREGATION;
        return CreateObject<Document>(riid, ppvObject);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }
};

DocumentFactory g_documentFactory;

HRESULT GetDocumentClassObject(REFCLSID clsid, REFIID riid, LPVOID* ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!(clsid == CLSID_DOMDocument30)) return CLASS_E_CLASSNOTAVAILABLE;
    return g_documentFactory.QueryInterface(riid, ppv);
}

[[maybe_unused]] const bool g_registered = [] {
    xmlInitParser();  // once, before any thread parses
    glyphary::platform::RegisterBuiltinClass(CLSID_DOMDocument30, GetDocumentClassObject);
    return true;
}();

}  // namespace
