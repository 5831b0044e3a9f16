// Parsing a document into a Tree with libxml2's SAX2 interface.
//
// Hostile files: the parser never touches the network (XML_PARSE_NONET) and never loads an
// external DTD or entity. Entity declarations are noted by name only: a reference to a
// declared general entity, internal or external, stands for nothing, so "billion laughs"
// files expand nothing and an external entity never reads the file it names. The five
// predefined entities and character references work as usual.
//
// Encodings come from the document. libxml2 handles the byte order marks and the usual
// labels itself; a document labelled Shift_JIS (or one of its aliases) is decoded here as
// code page 932, as Windows reads it: glibc's plain SHIFT_JIS rejects the user-defined area
// (F040-F9FC, U+E000-U+E757) where the i-mode emoji live.
#include "platform/xmltree.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <new>
#include <unordered_set>

#include <libxml/parser.h>
#include <libxml/parserInternals.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>

#include "text/utf.h"

namespace glyphary::platform::xml {

// ---------------------------------------------------------------------------------------------
// Tree queries

uint32_t Tree::Root() const {
    for (uint32_t i = m_nodes.empty() ? kNone : m_nodes[0].firstChild; i != kNone;
         i = m_nodes[i].nextSibling) {
        if (m_nodes[i].kind == Kind::Element) return i;
    }
    return kNone;
}

std::vector<uint32_t> Tree::ChildElements(uint32_t index, std::u16string_view name,
                                          size_t limit) const {
    std::vector<uint32_t> found;
    for (uint32_t i = m_nodes[index].firstChild; i != kNone && found.size() < limit;
         i = m_nodes[i].nextSibling) {
        const Node& child = m_nodes[i];
        if (child.kind == Kind::Element && view(child.text) == name) found.push_back(i);
    }
    return found;
}

uint32_t Tree::FindAttribute(uint32_t index, std::u16string_view name) const {
    const Node& element = m_nodes[index];
    for (uint32_t a = 0; a < element.attributeCount; ++a) {
        const uint32_t i = element.firstAttribute + a;
        if (view(m_attributes[i].name) == name) return i;
    }
    return kNone;
}

std::u16string Tree::CharacterData(uint32_t index) const {
    // Text nodes in document order are the text nodes of the subtree, depth first.
    std::u16string text;
    std::vector<uint32_t> pending;
    for (uint32_t i = m_nodes[index].firstChild; i != kNone || !pending.empty();) {
        if (i == kNone) {
            i = pending.back();
            pending.pop_back();
            continue;
        }
        const Node& n = m_nodes[i];
        if (n.kind == Kind::Text) {
            text += view(n.text);
        } else if (n.firstChild != kNone) {
            if (n.nextSibling != kNone) pending.push_back(n.nextSibling);
            i = n.firstChild;
            continue;
        }
        i = n.nextSibling;
    }
    return text;
}

// ---------------------------------------------------------------------------------------------
// Building

namespace {

// Appends UTF-8 (always valid: libxml2 has checked it) as UTF-16 units.
void AppendUtf8(std::u16string& out, const unsigned char* s, size_t n) {
    const size_t start = out.size();
    out.resize(start + n);
    const text::UtfResult r = text::Utf16FromUtf8({reinterpret_cast<const char*>(s), n},
                                                  out.data() + start, true, text::Errors::replace);
    out.resize(start + r.written);
}

size_t Length(const xmlChar* s) {
    return s ? std::strlen(reinterpret_cast<const char*>(s)) : 0;
}

}  // namespace

class TreeBuilder {
  public:
    TreeBuilder() : m_tree(std::make_shared<Tree>()) {
        m_tree->m_nodes.push_back(Tree::Node{});  // the document
        m_open.push_back({0, Tree::kNone});
        std::memset(&m_emptyEntity, 0, sizeof m_emptyEntity);
        m_emptyEntity.type = XML_ENTITY_DECL;
        m_emptyEntity.etype = XML_INTERNAL_GENERAL_ENTITY;
        m_emptyEntity.name = reinterpret_cast<const xmlChar*>("glyphary-unexpanded");
        m_emptyEntity.content = m_emptyContent;
    }

    ~TreeBuilder() {
        // libxml2 hands the entity it is given some of its own allocations: the raw text of
        // the first declaration it looks up, and the (empty) node list of a parsed reference.
        if (m_emptyEntity.orig) xmlFree(m_emptyEntity.orig);
        if (m_emptyEntity.children) xmlFreeNodeList(m_emptyEntity.children);
    }
    TreeBuilder(const TreeBuilder&) = delete;
    TreeBuilder& operator=(const TreeBuilder&) = delete;

    void StartElement(const xmlChar* localname, const xmlChar* prefix, int attributeCount,
                      const xmlChar** attributes) {
        Tree& t = *m_tree;
        Tree::Node element;
        element.kind = Tree::Kind::Element;
        element.text = QualifiedName(prefix, localname);
        element.firstAttribute = static_cast<uint32_t>(t.m_attributes.size());
        element.attributeCount = static_cast<uint32_t>(attributeCount);
        for (int a = 0; a < attributeCount; ++a) {
            const xmlChar** at = attributes + 5 * a;  // localname, prefix, URI, value, end
            Tree::Attribute attribute;
            attribute.name = QualifiedName(at[1], at[0]);
            attribute.value = Append(at[3], static_cast<size_t>(at[4] - at[3]));
            t.m_attributes.push_back(attribute);
        }
        const uint32_t index = AddChild(element);
        m_open.push_back({index, Tree::kNone});
    }

    void EndElement() {
        if (m_open.size() > 1) m_open.pop_back();
    }

    void Characters(const xmlChar* s, size_t n) {
        Tree& t = *m_tree;
        const uint32_t last = m_open.back().lastChild;
        if (last != Tree::kNone && t.m_nodes[last].kind == Tree::Kind::Text &&
            t.m_nodes[last].text.offset + t.m_nodes[last].text.length == t.m_chars.size()) {
            // libxml2 hands out text in pieces; a run of them is one text node
            const Tree::Span more = Append(s, n);
            t.m_nodes[last].text.length += more.length;
            return;
        }
        Tree::Node text;
        text.kind = Tree::Kind::Text;
        text.text = Append(s, n);
        AddChild(text);
    }

    void DeclareEntity(const xmlChar* name) {
        m_entities.emplace(reinterpret_cast<const char*>(name));
    }

    xmlEntityPtr FindEntity(const xmlChar* name) {
        return m_entities.count(reinterpret_cast<const char*>(name)) ? &m_emptyEntity : nullptr;
    }

    // Exceptions must not cross libxml2's C frames: the first one stops the parser and is
    // rethrown once it has returned.
    template <class F>
    void Guard(F&& f) noexcept {
        if (m_error) return;
        try {
            f();
        } catch (...) {
            m_error = std::current_exception();
            if (m_context) xmlStopParser(m_context);
        }
    }

    // The first error is the one to report: libxml2 goes on after it, and what it says later
    // is often a consequence (a mismatched tag ends as "premature end of data").
    void NoteError(const xmlError& e) {
        if (m_firstError || e.level < XML_ERR_ERROR) return;
        m_firstError = true;
        m_errorReason = e.message ? e.message : "";
        while (!m_errorReason.empty() &&
               (m_errorReason.back() == '\n' || m_errorReason.back() == ' '))
            m_errorReason.pop_back();
        m_errorLine = e.line;
        m_errorColumn = e.int2;
    }
    /// The first error as a failed result.
    ParseResult Failure() const {
        return {ParseStatus::IllFormed, nullptr,
                m_errorReason.empty() ? std::string("not well-formed") : m_errorReason, m_errorLine,
                m_errorColumn};
    }

    void SetContext(xmlParserCtxtPtr context) { m_context = context; }
    std::exception_ptr error() const { return m_error; }
    std::shared_ptr<const Tree> Finish() { return std::move(m_tree); }

  private:
    struct Open {
        uint32_t node;
        uint32_t lastChild;
    };

    Tree::Span Append(const xmlChar* s, size_t n) {
        std::u16string& chars = m_tree->m_chars;
        const size_t offset = chars.size();
        AppendUtf8(chars, s, n);
        if (chars.size() > UINT32_MAX) throw std::bad_alloc();
        return {static_cast<uint32_t>(offset), static_cast<uint32_t>(chars.size() - offset)};
    }

    Tree::Span QualifiedName(const xmlChar* prefix, const xmlChar* localname) {
        if (!prefix) return Append(localname, Length(localname));
        Tree::Span name = Append(prefix, Length(prefix));
        m_tree->m_chars.push_back(u':');
        name.length += 1 + Append(localname, Length(localname)).length;
        return name;
    }

    uint32_t AddChild(const Tree::Node& node) {
        Tree& t = *m_tree;
        if (t.m_nodes.size() >= Tree::kNone) throw std::bad_alloc();
        const auto index = static_cast<uint32_t>(t.m_nodes.size());
        t.m_nodes.push_back(node);
        Open& parent = m_open.back();
        if (parent.lastChild == Tree::kNone) {
            t.m_nodes[parent.node].firstChild = index;
        } else {
            t.m_nodes[parent.lastChild].nextSibling = index;
        }
        parent.lastChild = index;
        return index;
    }

    std::shared_ptr<Tree> m_tree;
    std::vector<Open> m_open;
    std::unordered_set<std::string> m_entities;
    xmlEntity m_emptyEntity;
    xmlChar m_emptyContent[1] = {0};
    xmlParserCtxtPtr m_context = nullptr;
    std::exception_ptr m_error;
    bool m_firstError = false;
    std::string m_errorReason;
    long m_errorLine = 0, m_errorColumn = 0;
};

namespace {

// ---------------------------------------------------------------------------------------------
// SAX callbacks

TreeBuilder& BuilderOf(void* context) {
    return *static_cast<TreeBuilder*>(context);
}

void OnStartElement(void* context, const xmlChar* localname, const xmlChar* prefix, const xmlChar*,
                    int, const xmlChar**, int attributeCount, int, const xmlChar** attributes) {
    TreeBuilder& b = BuilderOf(context);
    b.Guard([&] { b.StartElement(localname, prefix, attributeCount, attributes); });
}

void OnEndElement(void* context, const xmlChar*, const xmlChar*, const xmlChar*) {
    BuilderOf(context).EndElement();
}

void OnError(void* context, xmlErrorPtr error) {
    if (context && error) BuilderOf(context).NoteError(*error);
}

void OnCharacters(void* context, const xmlChar* s, int n) {
    TreeBuilder& b = BuilderOf(context);
    b.Guard([&] { b.Characters(s, static_cast<size_t>(n)); });
}

void OnEntityDeclaration(void* context, const xmlChar* name, int type, const xmlChar*,
                         const xmlChar*, xmlChar*) {
    if (type != XML_INTERNAL_GENERAL_ENTITY && type != XML_EXTERNAL_GENERAL_PARSED_ENTITY &&
        type != XML_EXTERNAL_GENERAL_UNPARSED_ENTITY) {
        return;  // parameter entities are never looked up, so never expanded
    }
    TreeBuilder& b = BuilderOf(context);
    b.Guard([&] { b.DeclareEntity(name); });
}

xmlEntityPtr OnGetEntity(void* context, const xmlChar* name) {
    return BuilderOf(context).FindEntity(name);
}

void Silently(void*, xmlErrorPtr) {}

// Keeps libxml2 from printing anything on this thread while a document is parsed: the
// library shows no messages. Restores what the host had set.
class QuietErrors {
  public:
    QuietErrors() : m_handler(xmlStructuredError), m_context(xmlStructuredErrorContext) {
        xmlSetStructuredErrorFunc(nullptr, Silently);
    }
    ~QuietErrors() { xmlSetStructuredErrorFunc(m_context, m_handler); }
    QuietErrors(const QuietErrors&) = delete;
    QuietErrors& operator=(const QuietErrors&) = delete;

  private:
    xmlStructuredErrorFunc m_handler;
    void* m_context;
};

// ---------------------------------------------------------------------------------------------
// Encodings

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The encoding label of the XML declaration at the start of `bytes`, if it has one. Only
// byte-oriented documents without a byte order mark are looked at.
std::string_view DeclaredEncoding(std::string_view bytes) {
    constexpr std::string_view kStart = "<?xml";
    if (bytes.substr(0, kStart.size()) != kStart) return {};
    const std::string_view decl = bytes.substr(0, std::min<size_t>(bytes.find("?>"), 1024));
    size_t i = kStart.size();
    while (i < decl.size()) {
        while (i < decl.size() && IsSpace(decl[i])) ++i;
        const size_t nameStart = i;
        while (i < decl.size() && !IsSpace(decl[i]) && decl[i] != '=') ++i;
        const std::string_view name = decl.substr(nameStart, i - nameStart);
        while (i < decl.size() && IsSpace(decl[i])) ++i;
        if (i >= decl.size() || decl[i] != '=') return {};
        ++i;
        while (i < decl.size() && IsSpace(decl[i])) ++i;
        if (i >= decl.size() || (decl[i] != '"' && decl[i] != '\'')) return {};
        const char quote = decl[i++];
        const size_t valueEnd = decl.find(quote, i);
        if (valueEnd == std::string_view::npos) return {};
        if (name == "encoding") return decl.substr(i, valueEnd - i);
        i = valueEnd + 1;
    }
    return {};
}

bool EqualsIgnoringCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
               return lower(x) == lower(y);
           });
}

// The labels that Windows reads as code page 932.
bool IsShiftJisLabel(std::string_view label) {
    for (std::string_view known :
         {"Shift_JIS", "shift-jis", "x-sjis", "Windows-31J", "CP932", "MS_Kanji", "csShiftJIS"}) {
        if (EqualsIgnoringCase(label, known)) return true;
    }
    return false;
}

// Code page 932 to UTF-8. False for bytes that are not CP932.
bool Cp932ToUtf8(std::string_view in, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", "CP932");
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    out.assign(in.size() * 3 / 2 + 16, '\0');
    char* src = const_cast<char*>(in.data());
    size_t srcLeft = in.size();
    size_t used = 0;
    bool ok = true;
    while (srcLeft > 0) {
        char* dst = out.data() + used;
        size_t dstLeft = out.size() - used;
        const size_t r = iconv(cd, &src, &srcLeft, &dst, &dstLeft);
        used = out.size() - dstLeft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno != E2BIG) {
            ok = false;
            break;
        }
        out.resize(out.size() * 2);
    }
    iconv_close(cd);
    out.resize(used);
    return ok;
}

// ---------------------------------------------------------------------------------------------
// Parsing

ParseResult Parse(std::string_view bytes, bool forceUtf8) {
    if (bytes.empty()) return {ParseStatus::IllFormed, nullptr, "the document is empty", 0, 0};
    if (bytes.size() > static_cast<size_t>(INT32_MAX))
        return {ParseStatus::Unreadable, nullptr, "the document is too large", 0, 0};

    xmlSAXHandler sax;
    std::memset(&sax, 0, sizeof sax);
    sax.initialized = XML_SAX2_MAGIC;
    sax.startElementNs = OnStartElement;
    sax.endElementNs = OnEndElement;
    sax.characters = OnCharacters;
    sax.ignorableWhitespace = OnCharacters;
    sax.cdataBlock = OnCharacters;
    sax.entityDecl = OnEntityDeclaration;
    sax.getEntity = OnGetEntity;
    sax.serror = OnError;
    // Left null on purpose: getParameterEntity, resolveEntity, externalSubset (nothing is
    // fetched) and internalSubset, startDocument (no libxml2 tree is built).

    QuietErrors quiet;
    std::unique_ptr<xmlParserCtxt, void (*)(xmlParserCtxtPtr)> context(
        xmlCreateMemoryParserCtxt(bytes.data(), static_cast<int>(bytes.size())), xmlFreeParserCtxt);
    if (!context) throw std::bad_alloc();
    std::memcpy(context->sax, &sax, sizeof sax);
    TreeBuilder builder;
    builder.SetContext(context.get());
    context->userData = &builder;

    // NOENT makes libxml2 substitute references in attribute values too; the substitute is
    // always the empty entity (see OnGetEntity), so nothing is expanded.
    int options = XML_PARSE_NONET | XML_PARSE_NOENT | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;
    if (forceUtf8) options |= XML_PARSE_IGNORE_ENC;
    xmlCtxtUseOptions(context.get(), options);
    if (forceUtf8) xmlSwitchEncoding(context.get(), XML_CHAR_ENCODING_UTF8);
    xmlParseDocument(context.get());
    // In SAX mode libxml2 keeps entity declarations in a document of its own ("expat
    // compatibility"), which the context does not free.
    if (context->myDoc) {
        xmlFreeDoc(context->myDoc);
        context->myDoc = nullptr;
    }

    if (builder.error()) std::rethrow_exception(builder.error());
    if (!context->wellFormed) return builder.Failure();
    return {ParseStatus::Ok, builder.Finish(), {}, 0, 0};
}

constexpr size_t kMaxFileSize = size_t{512} << 20;

}  // namespace

ParseResult ParseDocument(std::string_view bytes) {
    if (IsShiftJisLabel(DeclaredEncoding(bytes))) {
        std::string utf8;
        if (!Cp932ToUtf8(bytes, utf8))
            return {ParseStatus::IllFormed, nullptr, "the document is not valid Shift_JIS", 0, 0};
        return Parse(utf8, true);
    }
    return Parse(bytes, false);
}

ParseResult ParseUtf8Text(std::string_view text) {
    return Parse(text, true);
}

ParseResult ParseFile(const std::string& path) {
    // Non-blocking open, so that a FIFO cannot hang the load; only regular files are read.
    const auto failure = [](std::string reason) {
        return ParseResult{ParseStatus::Unreadable, nullptr, std::move(reason), 0, 0};
    };
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return failure(std::strerror(errno));
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat st;
    if (::fstat(fd, &st) != 0) return failure(std::strerror(errno));
    if (!S_ISREG(st.st_mode)) return failure("not a regular file");
    if (static_cast<uint64_t>(st.st_size) > kMaxFileSize) return failure("larger than 512 MiB");
    std::string bytes(static_cast<size_t>(st.st_size), '\0');
    size_t got = 0;
    for (;;) {
        if (got == bytes.size()) {
            if (bytes.size() >= kMaxFileSize) return failure("larger than 512 MiB");
            bytes.resize(std::min(kMaxFileSize, bytes.size() * 2 + 4096));  // the file grew
        }
        const ssize_t n = ::read(fd, bytes.data() + got, bytes.size() - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return failure(std::strerror(errno));
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    bytes.resize(got);
    return ParseDocument(bytes);
}

}  // namespace glyphary::platform::xml
