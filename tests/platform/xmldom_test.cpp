#include <sys/stat.h>

#include <string>
#include <thread>

#include <gtest/gtest.h>

#include <tuple>

#include "platform/owners.h"
#include "support/files.h"
#include "support/text.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class XmlDom : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, 0))); }
    void TearDown() override { CoUninitialize(); }

    static com_ptr<IXMLDOMDocument> NewDocument() {
        com_ptr<IXMLDOMDocument> doc;
        EXPECT_EQ(
            CoCreateInstance(CLSID_DOMDocument30, nullptr, 23, IID_IXMLDOMDocument, doc.put_void()),
            S_OK);
        return doc;
    }

    // Loads `path`; the status, with the loaded flag in `loaded`.
    static HRESULT Load(IXMLDOMDocument* doc, const std::filesystem::path& path,
                        bool* loaded = nullptr) {
        unique_bstr bpath = Bstr(Utf16Path(path));
        unique_variant source;
        source.vt = VT_BSTR;
        source.bstrVal = bpath.release();
        VARIANT_BOOL ok = VARIANT_TRUE;
        const HRESULT hr = doc->load(source, &ok);
        if (loaded) *loaded = ok == VARIANT_TRUE;
        EXPECT_TRUE(ok == VARIANT_TRUE || ok == VARIANT_FALSE);
        return hr;
    }

    // The root element of `xml` written to a file and loaded.
    com_ptr<IXMLDOMElement> RootOf(std::string_view xml) {
        const auto file = m_dir.Write("doc.xml", xml);
        auto doc = NewDocument();
        bool loaded = false;
        EXPECT_EQ(Load(doc.get(), file, &loaded), S_OK);
        EXPECT_TRUE(loaded);
        com_ptr<IXMLDOMElement> root;
        EXPECT_EQ(doc->get_documentElement(root.put()), S_OK);
        return root;
    }

    static std::u16string Text(IXMLDOMNode* node) {
        unique_bstr text;
        EXPECT_EQ(node->get_text(text.put()), S_OK);
        return Units(text.get());
    }

    static std::u16string Attribute(IXMLDOMElement* element, std::u16string_view name,
                                    HRESULT expected = S_OK) {
        com_ptr<IXMLDOMAttribute> attribute;
        EXPECT_EQ(element->getAttributeNode(Bstr(name).get(), attribute.put()), expected);
        return attribute ? Text(attribute.get()) : u"<none>";
    }

    static com_ptr<IXMLDOMNodeList> Select(IXMLDOMNode* node, std::u16string_view query) {
        com_ptr<IXMLDOMNodeList> list;
        EXPECT_EQ(node->selectNodes(Bstr(query).get(), list.put()), S_OK);
        return list;
    }

    static com_ptr<IXMLDOMElement> Item(IXMLDOMNodeList* list, LONG i) {
        com_ptr<IXMLDOMNode> node;
        EXPECT_EQ(list->get_item(i, node.put()), S_OK);
        return node.try_query<IXMLDOMElement>(IID_IXMLDOMElement);
    }

    TempDir m_dir;
};

TEST_F(XmlDom, CreatedThroughComOnlyWhereComIsInitialised) {
    auto doc = NewDocument();
    ASSERT_TRUE(doc);
    EXPECT_TRUE(doc.try_query<IXMLDOMNode>(IID_IXMLDOMNode));
    EXPECT_FALSE(doc.try_query<IXMLDOMElement>(IID_IXMLDOMElement));

    HRESULT elsewhere = S_OK;
    std::thread([&] {
        IUnknown* unknown = nullptr;
        elsewhere = CoCreateInstance(CLSID_DOMDocument30, nullptr, 23, IID_IXMLDOMDocument,
                                     reinterpret_cast<void**>(&unknown));
        EXPECT_EQ(unknown, nullptr);
    }).join();
    EXPECT_EQ(elsewhere, CO_E_NOTINITIALIZED);

    com_ptr<IClassFactory> factory;
    ASSERT_EQ(
        CoGetClassObject(CLSID_DOMDocument30, 23, nullptr, IID_IClassFactory, factory.put_void()),
        S_OK);
    IUnknown* aggregated = nullptr;
    EXPECT_EQ(
        factory->CreateInstance(doc.get(), IID_IUnknown, reinterpret_cast<void**>(&aggregated)),
        CLASS_E_NOAGGREGATION);
    EXPECT_EQ(aggregated, nullptr);
}

TEST_F(XmlDom, FilesThatCannotBeReadLoadAsFalse) {
    const auto fifo = m_dir.path() / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::filesystem::path cases[] = {
        m_dir.path() / "missing.xml",
        m_dir.path(),  // a directory
        fifo,          // must not block
        m_dir.Write("empty.xml", ""),
        m_dir.Write("unclosed.xml", "<root><map></root>"),
        m_dir.Write("two-roots.xml", "<a/><b/>"),
        m_dir.Write("bad-utf8.xml", "<root a=\"\xC3\x28\"/>"),
        m_dir.Write("undeclared.xml", "<root>&nosuch;</root>"),
    };
    for (const auto& path : cases) {
        auto doc = NewDocument();
        bool loaded = true;
        EXPECT_EQ(Load(doc.get(), path, &loaded), S_FALSE) << path;
        EXPECT_FALSE(loaded) << path;
        com_ptr<IXMLDOMElement> root;
        EXPECT_EQ(doc->get_documentElement(root.put()), S_FALSE) << path;
        EXPECT_FALSE(root);
    }
}

// As MSXML's parseError: the code, the reason and, for a document that is not well-formed,
// where; a successful load clears it.
TEST_F(XmlDom, ParseErrorSaysWhyAndWhere) {
    const auto errorOf = [&](const std::filesystem::path& path) {
        auto doc = NewDocument();
        Load(doc.get(), path);
        com_ptr<IXMLDOMParseError> error;
        EXPECT_EQ(doc->get_parseError(error.put()), S_OK);
        LONG code = 0, line = -1, column = -1;
        unique_bstr reason;
        error->get_errorCode(&code);
        error->get_line(&line);
        error->get_linepos(&column);
        error->get_reason(reason.put());
        return std::tuple(code, line, column, std::u16string(reason.get()));
    };
    const auto [missing, missingLine, missingColumn, missingWhy] =
        errorOf(m_dir.path() / "missing.xml");
    EXPECT_EQ(missing, static_cast<LONG>(0x800C0006));
    EXPECT_EQ(missingLine, 0);
    EXPECT_EQ(missingWhy, u"No such file or directory");
    const auto [illFormed, line, column, why] =
        errorOf(m_dir.Write("bad.xml", "<root>\n  <map id='a'>\n</root>"));
    EXPECT_NE(illFormed, 0);
    EXPECT_EQ(line, 3);
    EXPECT_GT(column, 0);
    EXPECT_NE(why.find(u"mismatch"), std::u16string::npos);
    EXPECT_EQ(std::get<0>(errorOf(m_dir.Write("good.xml", "<root/>"))), 0);
}

TEST_F(XmlDom, FailedLoadDropsThePreviousDocument) {
    auto doc = NewDocument();
    ASSERT_EQ(Load(doc.get(), m_dir.Write("good.xml", "<root/>")), S_OK);
    EXPECT_EQ(Load(doc.get(), m_dir.path() / "missing.xml"), S_FALSE);
    com_ptr<IXMLDOMElement> root;
    EXPECT_EQ(doc->get_documentElement(root.put()), S_FALSE);
}

TEST_F(XmlDom, LoadTakesAStringVariantOnly) {
    auto doc = NewDocument();
    unique_variant number;
    number.vt = VT_I4;
    number.lVal = 1;
    VARIANT_BOOL ok = VARIANT_TRUE;
    EXPECT_EQ(doc->load(number, &ok), E_INVALIDARG);
    EXPECT_EQ(ok, VARIANT_FALSE);
}

TEST_F(XmlDom, SelectSingleNodeFindsTheFirstChildElementOfThatName) {
    auto root = RootOf(
        "<settings><deep><globalizeFormat>nested</globalizeFormat></deep>"
        "<GlobalizeFormat>case</GlobalizeFormat>"
        "<globalizeFormat>first</globalizeFormat><globalizeFormat>second</globalizeFormat>"
        "</settings>");
    com_ptr<IXMLDOMNode> node;
    ASSERT_EQ(root->selectSingleNode(Bstr(u"globalizeFormat").get(), node.put()), S_OK);
    EXPECT_EQ(Text(node.get()), u"first");
    EXPECT_TRUE(node.try_query<IXMLDOMElement>(IID_IXMLDOMElement));

    EXPECT_EQ(root->selectSingleNode(Bstr(u"localizePattern").get(), node.put()), S_FALSE);
    EXPECT_FALSE(node);
}

TEST_F(XmlDom, SelectNodesListsChildElementsInDocumentOrder) {
    auto root = RootOf(
        "<maps><map id='a'/><other/><map id='b'><map id='nested'/></map>text<map id='c'/>"
        "</maps>");
    auto list = Select(root.get(), u"map");
    LONG length = 0;
    ASSERT_EQ(list->get_length(&length), S_OK);
    ASSERT_EQ(length, 3);
    EXPECT_EQ(Attribute(Item(list.get(), 0).get(), u"id"), u"a");
    EXPECT_EQ(Attribute(Item(list.get(), 1).get(), u"id"), u"b");
    EXPECT_EQ(Attribute(Item(list.get(), 2).get(), u"id"), u"c");

    com_ptr<IXMLDOMNode> past;
    EXPECT_EQ(list->get_item(3, past.put()), S_FALSE);
    EXPECT_FALSE(past);
    EXPECT_EQ(list->get_item(-1, past.put()), S_FALSE);

    auto none = Select(root.get(), u"Map");
    ASSERT_EQ(none->get_length(&length), S_OK);
    EXPECT_EQ(length, 0);
}

TEST_F(XmlDom, OnlyBareNamesAreAnswered) {
    auto root = RootOf("<maps><map/></maps>");
    for (std::u16string_view query : {u"//map", u"map[1]", u"*", u"child::map", u"./map", u"@id"}) {
        com_ptr<IXMLDOMNodeList> list;
        EXPECT_EQ(root->selectNodes(Bstr(query).get(), list.put()), E_NOTIMPL);
        EXPECT_FALSE(list);
    }
    com_ptr<IXMLDOMNodeList> list;
    EXPECT_EQ(root->selectNodes(nullptr, list.put()), E_INVALIDARG);
}

TEST_F(XmlDom, AttributesAreFoundByExactName) {
    auto root = RootOf("<map id='smile' code='' Mode='1' a:x='ns' xmlns:a='urn:a'/>");
    EXPECT_EQ(Attribute(root.get(), u"id"), u"smile");
    EXPECT_EQ(Attribute(root.get(), u"code"), u"");
    EXPECT_EQ(Attribute(root.get(), u"mode", S_FALSE), u"<none>");
    EXPECT_EQ(Attribute(root.get(), u"a:x"), u"ns");

    com_ptr<IXMLDOMAttribute> attribute;
    ASSERT_EQ(root->getAttributeNode(Bstr(u"id").get(), attribute.put()), S_OK);
    EXPECT_FALSE(attribute.try_query<IXMLDOMElement>(IID_IXMLDOMElement));
}

TEST_F(XmlDom, TextIsAllCharacterDataInside) {
    auto root = RootOf(
        "<root>a<!-- comment --><b>b<c>c</c></b><![CDATA[<d>]]>&amp;&#x41;&#x1F600;"
        "<?pi ignored?>\n e </root>");
    EXPECT_EQ(Text(root.get()), u"abc<d>&A\U0001F600\n e ");
}

TEST_F(XmlDom, AttributeValuesAreDecoded) {
    auto root = RootOf("<map code='&#xE63E;' id='a&amp;b&lt;&#65;' ws='x\ty'/>");
    EXPECT_EQ(Attribute(root.get(), u"code"), u"\uE63E");
    EXPECT_EQ(Attribute(root.get(), u"id"), u"a&b<A");
    EXPECT_EQ(Attribute(root.get(), u"ws"), u"x y");  // attribute-value normalisation
}

TEST_F(XmlDom, EncodingsComeFromTheDocument) {
    const std::string body = "<map code=\"\xEE\x98\xBE\" text=\"\xE3\x81\x82\"/>";  // U+E63E, あ
    auto utf16 = [](std::u16string_view text, bool bigEndian) {
        std::string out = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
        for (char16_t c : text) {
            const char hi = static_cast<char>(c >> 8), lo = static_cast<char>(c & 0xFF);
            out += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
        }
        return out;
    };
    const std::u16string body16 =
        u"<?xml version=\"1.0\" encoding=\"UTF-16\"?>"
        u"<map code=\"\uE63E\" text=\"\u3042\"/>";
    struct Case {
        std::string name;
        std::string bytes;
    };
    std::vector<Case> cases = {
        {"utf-8", body},
        {"utf-8 bom", "\xEF\xBB\xBF" + body},
        {"utf-8 declared", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>" + body},
        {"utf-16le bom", utf16(body16, false)},
        {"utf-16be bom", utf16(body16, true)},
    };
    for (const char* label : {"Shift_JIS", "shift-jis", "x-sjis", "Windows-31J", "CP932"}) {
        cases.push_back({label, std::string("<?xml version=\"1.0\" encoding=\"") + label +
                                    "\"?><map code=\"\xF8\x9F\" text=\"\x82\xA0\"/>"});
    }
    cases.push_back({"sjis reference",
                     "<?xml version='1.0' encoding='Shift_JIS'?><map code='&#xE63E;' "
                     "text='\x82\xA0'/>"});
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto root = RootOf(c.bytes);
        ASSERT_TRUE(root);
        EXPECT_EQ(Attribute(root.get(), u"code"), u"\uE63E");
        EXPECT_EQ(Attribute(root.get(), u"text"), u"\u3042");
    }
}

TEST_F(XmlDom, BytesOutsideTheDeclaredEncodingDoNotLoad) {
    auto doc = NewDocument();
    // 0x85 0x40 is unassigned in code page 932.
    const auto file = m_dir.Write(
        "bad.xml", "<?xml version=\"1.0\" encoding=\"Shift_JIS\"?><map code=\"\x85\x40\"/>");
    bool loaded = true;
    EXPECT_EQ(Load(doc.get(), file, &loaded), S_FALSE);
    EXPECT_FALSE(loaded);
}

TEST_F(XmlDom, ExternalEntitiesAreNotRead) {
    const auto secret = m_dir.Write("secret.txt", "TOP-SECRET");
    const std::string uri = "file://" + secret.string();
    const std::string docs[] = {
        "<!DOCTYPE r [<!ENTITY xxe SYSTEM \"" + uri + "\">]><r a=\"&xxe;\">[&xxe;]</r>",
        "<!DOCTYPE r SYSTEM \"" + uri + "\"><r a=\"x\">[]</r>",
    };
    for (const std::string& xml : docs) {
        SCOPED_TRACE(xml);
        auto root = RootOf(xml);
        ASSERT_TRUE(root);
        EXPECT_EQ(Text(root.get()), u"[]");
        EXPECT_EQ(Attribute(root.get(), u"a").find(u"SECRET"), std::u16string::npos);
    }
    // Parameter entities are never looked up, so a reference to one is undeclared.
    auto doc = NewDocument();
    const auto file =
        m_dir.Write("pe.xml", "<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + uri + "\"> %p;]><r>[]</r>");
    EXPECT_EQ(Load(doc.get(), file), S_FALSE);
}

TEST_F(XmlDom, BillionLaughsExpandsNothing) {
    std::string xml = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int i = 1; i <= 9; ++i) {
        xml += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int k = 0; k < 10; ++k)
            xml += "&lol" + (i == 1 ? std::string() : std::to_string(i - 1)) + ";";
        xml += "\">";
    }
    xml += "]><lolz a=\"&lol9;\">&lol9;<map id=\"x&lol9;\"/></lolz>";
    auto root = RootOf(xml);
    ASSERT_TRUE(root);
    EXPECT_EQ(Text(root.get()), u"");
    EXPECT_EQ(Attribute(root.get(), u"a"), u"");
    com_ptr<IXMLDOMNode> map;
    ASSERT_EQ(root->selectSingleNode(Bstr(u"map").get(), map.put()), S_OK);
    EXPECT_EQ(Attribute(map.try_query<IXMLDOMElement>(IID_IXMLDOMElement).get(), u"id"), u"x");
}

TEST_F(XmlDom, AMillionMapElementsLoad) {
    constexpr int kCount = 1000000;
    std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<emoji>\n";
    xml.reserve(size_t{52} << 20);
    for (int i = 0; i < kCount; ++i) {
        char line[80];
        std::snprintf(line, sizeof line,
                      "  <map id=\"emoji_%07d\" code=\"&#x%04X;\" note=\"padding\"/>\n", i,
                      0xE000 + i % 0x1000);
        xml += line;
    }
    xml += "</emoji>\n";
    ASSERT_GE(xml.size(), size_t{48} << 20);
    auto root = RootOf(xml);
    ASSERT_TRUE(root);
    auto list = Select(root.get(), u"map");
    LONG length = 0;
    ASSERT_EQ(list->get_length(&length), S_OK);
    ASSERT_EQ(length, kCount);
    auto last = Item(list.get(), kCount - 1);
    EXPECT_EQ(Attribute(last.get(), u"id"), u"emoji_0999999");
    EXPECT_EQ(Attribute(last.get(), u"code"),
              std::u16string(1, char16_t(0xE000 + 999999 % 0x1000)));
}

TEST_F(XmlDom, NodesOutliveTheirDocument) {
    com_ptr<IXMLDOMNodeList> list;
    {
        auto root = RootOf("<maps><map id='kept'/></maps>");
        list = Select(root.get(), u"map");
    }
    EXPECT_EQ(Attribute(Item(list.get(), 0).get(), u"id"), u"kept");
}

TEST_F(XmlDom, MembersTheLoadersDoNotUseAreNotImplemented) {
    auto doc = NewDocument();
    unique_bstr xml;
    EXPECT_EQ(doc->get_xml(xml.put()), E_NOTIMPL);
    com_ptr<IXMLDOMNodeList> children;
    EXPECT_EQ(doc->get_childNodes(children.put()), E_NOTIMPL);
    unique_variant destination;
    EXPECT_EQ(doc->save(destination), E_NOTIMPL);
    EXPECT_EQ(doc->put_async(VARIANT_FALSE), E_NOTIMPL);
}

}  // namespace
