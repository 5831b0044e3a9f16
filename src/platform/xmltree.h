// The document behind the platform's DOMDocument: a compact, read-only tree of elements,
// attributes and character data, parsed by libxml2 with everything that reaches outside the
// file turned off. Internal to the platform library.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace glyphary::platform::xml {

/// A parsed document. Node 0 is the document itself; its one child element is the root.
/// Text is UTF-16, held once in a pool that nodes and attributes point into.
class Tree {
  public:
    static constexpr uint32_t kNone = UINT32_MAX;
    enum class Kind : uint8_t { Document, Element, Text };

    struct Span {
        uint32_t offset = 0;
        uint32_t length = 0;
    };
    struct Node {
        Kind kind = Kind::Document;
        Span text;  // an element's qualified name, or a text node's character data
        uint32_t firstChild = kNone;
        uint32_t nextSibling = kNone;
        uint32_t firstAttribute = 0;
        uint32_t attributeCount = 0;
    };
    struct Attribute {
        Span name;  // qualified name, as written
        Span value;
    };

    const Node& node(uint32_t index) const { return m_nodes[index]; }
    const Attribute& attribute(uint32_t index) const { return m_attributes[index]; }
    std::u16string_view view(Span span) const {
        return std::u16string_view(m_chars).substr(span.offset, span.length);
    }

    /// The root element, or kNone.
    uint32_t Root() const;
    /// The child elements of `node` whose qualified name is `name`, in document order; at most
    /// `limit` of them.
    std::vector<uint32_t> ChildElements(uint32_t node, std::u16string_view name,
                                        size_t limit = SIZE_MAX) const;
    /// The attribute of element `node` named `name`, or kNone.
    uint32_t FindAttribute(uint32_t node, std::u16string_view name) const;
    /// All character data inside `node`, in document order.
    std::u16string CharacterData(uint32_t node) const;

  private:
    friend class TreeBuilder;
    std::u16string m_chars;
    std::vector<Node> m_nodes;
    std::vector<Attribute> m_attributes;
};

enum class ParseStatus {
    Ok,
    Unreadable,  // missing, not a regular file, too large or unreadable
    IllFormed,   // not well-formed XML, or not decodable in its encoding
};

struct ParseResult {
    ParseStatus status = ParseStatus::Unreadable;
    std::shared_ptr<const Tree> tree;  // set when status is Ok
    // Otherwise why, and where in the document when the parser can say (1-based; 0: unknown).
    std::string reason;
    long line = 0;
    long column = 0;
};

/// Parses the document in `bytes`, its encoding taken from the document. Throws
/// std::bad_alloc when memory runs out.
ParseResult ParseDocument(std::string_view bytes);
/// Parses a document already decoded to UTF-8; an encoding declaration in it is ignored.
ParseResult ParseUtf8Text(std::string_view text);
/// Reads the file at `path` (a native path) and parses it.
ParseResult ParseFile(const std::string& path);

}  // namespace glyphary::platform::xml
