#include <climits>
#include <set>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/com_object.h"
#include "platform/owners.h"
#include "support/files.h"
#include "support/tables.h"
#include "tables/loaders.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

// ---------------------------------------------------------------------------------------------
// A class object put in front of the platform's DOMDocument: it fails the Nth creation after
// FailCreation(n) and hands every other one to the real class. (CoGetClassObject serves the
// built-in class registered last.)

class FailingDocumentFactory final
    : public ComObject<FailingDocumentFactory, StaticCount, IClassFactory> {
  public:
    HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (m_countdown > 0 && --m_countdown == 0) {
            *ppv = nullptr;
            return E_OUTOFMEMORY;
        }
        return m_real->CreateInstance(outer, riid, ppv);
    }
    HRESULT STDMETHODCALLTYPE LockServer(BOOL) override { return S_OK; }

    com_ptr<IClassFactory> m_real;
    int m_countdown = 0;
};

FailingDocumentFactory g_failing;

HRESULT GetFailingDocumentClass(REFCLSID, REFIID riid, LPVOID* ppv) {
    return g_failing.QueryInterface(riid, ppv);
}

void FailCreation(int n) {
    static const bool installed = [] {
        EXPECT_EQ(CoGetClassObject(CLSID_DOMDocument30, 23, nullptr, IID_IClassFactory,
                                   g_failing.m_real.put_void()),
                  S_OK);
        glyphary::platform::RegisterBuiltinClass(CLSID_DOMDocument30, GetFailingDocumentClass);
        return true;
    }();
    EXPECT_TRUE(installed);
    g_failing.m_countdown = n;
}

// ---------------------------------------------------------------------------------------------

class Loaders : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, 0)));
        ResetTables();
    }
    void TearDown() override {
        g_failing.m_countdown = 0;
        ResetTables();
        CoUninitialize();
    }

    std::u16string Write(const std::string& name, std::string_view xml) const {
        return Utf16Path(m_dir.Write(name, xml));
    }
    std::u16string PathOf(const std::string& name) const { return Utf16Path(m_dir.path() / name); }

    HRESULT LoadMap(int32_t mode, std::string_view xml, const std::string& name = "test.map") {
        return LoadCodeMapFile(mode, Write(name, xml).c_str());
    }
    HRESULT LoadMail(std::string_view xml) {
        return LoadEzwebMailMapFile(Write("mail.map", xml).c_str());
    }
    HRESULT LoadSettings(std::string_view xml, const std::string& name = "Glyphary.setting") {
        return LoadSettingFile(Write(name, xml).c_str());
    }

    // The value of `key` in the table of `mode`, or "<none>".
    static std::wstring Lookup(const ModeTables& tables, int32_t mode, const std::wstring& key) {
        const ModeTable* table = tables.Find(mode);
        if (!table) return L"<no table>";
        const std::wstring* value = table->Find(key);
        return value ? *value : L"<none>";
    }
    static std::wstring CodeOf(int32_t mode, const std::wstring& id) {
        return Lookup(g_tables.idToCodeByMode, mode, id);
    }
    static std::wstring IdOf(int32_t mode, const std::wstring& code) {
        return Lookup(g_tables.codeToIdByMode, mode, code);
    }
    static std::string MailToWeb(uint8_t first, uint8_t second) {
        uint8_t web[2];
        if (!g_tables.ezwebMailCodeMap.Find(first, second, web)) return "none";
        char text[8];
        std::snprintf(text, sizeof text, "%02X%02X", web[0], web[1]);
        return text;
    }

    TempDir m_dir;
};

// ---------------------------------------------------------------------------------------------
// Code map files

TEST_F(Loaders, CodeMapStatusIsThatOfTheLastElement) {
    struct Case {
        const char* xml;
        HRESULT expected;
    };
    const Case cases[] = {
        {"<emoji/>", S_OK},
        {"<emoji><other code='x'/></emoji>", S_OK},
        {"<emoji><map id='a' code='x'/></emoji>", S_OK},
        {"<emoji><map id='a' code='x'/><map id='b'/></emoji>", S_FALSE},
        {"<emoji><map id='b'/><map id='a' code='x'/></emoji>", S_OK},
        {"<emoji><map id='b' code=''/></emoji>", S_OK},
        {"<emoji><map id='a' code='x'/><map/></emoji>", S_FALSE},
    };
    for (const Case& c : cases) {
        ResetTables();
        EXPECT_EQ(LoadMap(1, c.xml), c.expected) << c.xml;
        EXPECT_NE(g_tables.idToCodeByMode.Find(1), nullptr) << c.xml;
        EXPECT_NE(g_tables.codeToIdByMode.Find(1), nullptr) << c.xml;
    }
}

TEST_F(Loaders, CodeMapFillsBothTables) {
    ASSERT_EQ(LoadMap(2,
                      "<emoji>"
                      "<map id='sun' code='&#xE488;'/>"
                      "<map id='idonly'/>"
                      "<map code='&#xE500;'/>"
                      "<map id='first' code='&#xE600;'/><map id='second' code='&#xE600;'/>"
                      "<map id='many' code='&#xE601;'/><map id='many' code='&#xE602;'/>"
                      "<map id='pair' code='&#xE603;&#xE604;'/>"
                      "<map ID='upper' CODE='&#xE605;'/>"
                      "<group><map id='nested' code='&#xE606;'/></group>"
                      "<map id=' spaced ' code='&#xE607;'/>"
                      "</emoji>"),
              S_OK);
    EXPECT_EQ(CodeOf(2, L"sun"), L"\xE488");
    EXPECT_EQ(IdOf(2, L"\xE488"), L"sun");
    EXPECT_EQ(CodeOf(2, L"idonly"), L"");
    EXPECT_EQ(IdOf(2, L"\xE500"), L"");
    EXPECT_EQ(IdOf(2, L"\xE600"), L"second");  // the last write wins
    EXPECT_EQ(CodeOf(2, L"first"), L"\xE600");
    EXPECT_EQ(CodeOf(2, L"many"), L"\xE602");
    EXPECT_EQ(CodeOf(2, L"pair"), L"\xE603\xE604");
    EXPECT_EQ(IdOf(2, L"\xE603\xE604"), L"pair");
    EXPECT_EQ(CodeOf(2, L"upper"), L"<none>");
    EXPECT_EQ(CodeOf(2, L"nested"), L"<none>");
    EXPECT_EQ(CodeOf(2, L" spaced "), L"\xE607");  // taken literally
    EXPECT_EQ(g_tables.idToCodeByMode.Find(2)->size(), 7u);
    EXPECT_EQ(g_tables.codeToIdByMode.Find(2)->size(), 7u);
}

TEST_F(Loaders, LaterCodeMapFilesOfAModeWin) {
    ASSERT_EQ(LoadMap(3, "<e><map id='a' code='1'/><map id='b' code='2'/></e>", "one.map"), S_OK);
    ASSERT_EQ(LoadMap(3, "<e><map id='a' code='9'/><map id='c' code='3'/></e>", "two.map"), S_OK);
    EXPECT_EQ(CodeOf(3, L"a"), L"9");
    EXPECT_EQ(CodeOf(3, L"b"), L"2");
    EXPECT_EQ(CodeOf(3, L"c"), L"3");
    EXPECT_EQ(IdOf(3, L"1"), L"a");  // nothing is removed
    EXPECT_EQ(IdOf(3, L"9"), L"a");
}

TEST_F(Loaders, CodeMapThatCannotBeLoadedCreatesNoTable) {
    EXPECT_EQ(LoadCodeMapFile(1, PathOf("missing.map").c_str()), S_FALSE);
    EXPECT_EQ(LoadMap(2, "<emoji><map id='a' code='b'></emoji>"), S_FALSE);
    EXPECT_EQ(LoadCodeMapFile(3, Utf16Path(m_dir.path()).c_str()), S_FALSE);
    EXPECT_TRUE(g_tables.idToCodeByMode.Modes().empty());
    EXPECT_TRUE(g_tables.codeToIdByMode.Modes().empty());
}

TEST_F(Loaders, CodeMapReadsShiftJisAsCodePage932) {
    ASSERT_EQ(LoadMap(1,
                      "<?xml version='1.0' encoding='Shift_JIS'?>"
                      "<emoji><map id='sun' code='\xF8\x9F'/><map id='\x82\xA0' code='&#xE63F;'/>"
                      "</emoji>"),
              S_OK);
    EXPECT_EQ(CodeOf(1, L"sun"), L"\xE63E");
    EXPECT_EQ(IdOf(1, L"\xE63F"), L"\x3042");
}

TEST_F(Loaders, ReaderThatCannotBeCreatedFailsEveryLoader) {
    const std::u16string map = Write("a.map", "<e><map id='a' code='b'/></e>");
    const std::u16string settings =
        Write("Glyphary.setting", "<s><globalizeFormat>x</globalizeFormat></s>");
    HRESULT code = S_OK, mail = S_OK, setting = S_OK;
    std::thread([&] {  // COM is not initialised on this thread
        code = LoadCodeMapFile(1, map.c_str());
        mail = LoadEzwebMailMapFile(map.c_str());
        setting = LoadSettingFile(settings.c_str());
    })
        .join();
    EXPECT_EQ(code, CO_E_NOTINITIALIZED);
    EXPECT_EQ(mail, CO_E_NOTINITIALIZED);
    EXPECT_EQ(setting, CO_E_NOTINITIALIZED);
    EXPECT_TRUE(g_tables.idToCodeByMode.Modes().empty());
    EXPECT_EQ(g_tables.defaults.globalizeFormat, L"");

    FailCreation(1);
    EXPECT_EQ(LoadCodeMapFile(1, map.c_str()), E_OUTOFMEMORY);
    EXPECT_TRUE(g_tables.idToCodeByMode.Modes().empty());
}

// ---------------------------------------------------------------------------------------------
// EZweb mail map file

TEST_F(Loaders, MailMapReadsHexHalvesLikeWcstol) {
    ASSERT_EQ(LoadMail("<mail>"
                       "<map mail='7521' web='F660'/>"
                       "<map mail='f6a4' web='f7b0'/>"
                       "<map mail='F6ZZ' web='G11G'/>"
                       "<map mail='-1 1' web='0x0X'/>"
                       "<map mail='75211' web='F660'/>"
                       "<map mail='752' web='F660'/>"
                       "<map mail='7630' web='F661'/><map mail='7630' web='F662'/>"
                       "<map mail='7631'/><map web='F663'/><map mail='' web=''/>"
                       "<map mail='7632' web='F664'/>"
                       "</mail>"),
              S_OK);
    EXPECT_EQ(MailToWeb(0x75, 0x21), "F660");
    EXPECT_EQ(MailToWeb(0xF6, 0xA4), "F7B0");
    EXPECT_EQ(MailToWeb(0xF6, 0x00), "0001");
    EXPECT_EQ(MailToWeb(0xFF, 0x01), "0000");
    EXPECT_EQ(MailToWeb(0x76, 0x30), "F662");
    EXPECT_EQ(MailToWeb(0x76, 0x31), "none");
    EXPECT_EQ(MailToWeb(0x76, 0x32), "F664");
    EXPECT_EQ(g_tables.ezwebMailCodeMap.size(), 6u);
}

TEST_F(Loaders, MailMapStatusIsThatOfTheLastElement) {
    EXPECT_EQ(LoadMail("<mail/>"), S_OK);
    EXPECT_TRUE(g_tables.ezwebMailCodeMap.empty());
    EXPECT_EQ(LoadMail("<mail><map mail='7521' web='F660'/><map mail='7522'/></mail>"), S_FALSE);
    EXPECT_EQ(MailToWeb(0x75, 0x21), "F660");
    EXPECT_EQ(LoadMail("<mail><map mail='7521' web='F660'/></mail"), S_FALSE);
    EXPECT_EQ(LoadEzwebMailMapFile(PathOf("missing.map").c_str()), S_FALSE);
}

// ---------------------------------------------------------------------------------------------
// Settings file

TEST_F(Loaders, SettingsWithOnlyARootFillNothing) {
    EXPECT_EQ(LoadSettings("<glyphary/>"), S_FALSE);
    EXPECT_EQ(g_tables.defaults.globalizeFormat, L"");
    EXPECT_EQ(g_tables.defaults.localizePattern, L"");
    EXPECT_TRUE(g_tables.idToCodeByMode.Modes().empty());
    EXPECT_TRUE(g_tables.userAgentRules.empty());
    EXPECT_TRUE(g_tables.ezwebMailCodeMap.empty());

    EXPECT_EQ(LoadSettingFile(PathOf("missing.setting").c_str()), S_FALSE);
    EXPECT_EQ(LoadSettings("<glyphary>"), S_FALSE);
}

TEST_F(Loaders, SettingsGiveTheDefaultStrings) {
    g_tables.defaults.localizeUndefinedFormat = L"kept";
    EXPECT_EQ(LoadSettings("<glyphary>"
                           "<globalizeFormat>[%1%]</globalizeFormat>"
                           "<globalizeFormat>second</globalizeFormat>"
                           "<globalizeUndefinedFormat>&#x3013;</globalizeUndefinedFormat>"
                           "<localizePattern></localizePattern>"
                           "<group><localizeUndefinedFormat>deep</localizeUndefinedFormat></group>"
                           "</glyphary>"),
              S_FALSE);
    EXPECT_EQ(g_tables.defaults.globalizeFormat, L"[%1%]");
    EXPECT_EQ(g_tables.defaults.globalizeUndefinedFormat, L"\x3013");
    EXPECT_EQ(g_tables.defaults.localizePattern, L"");
    EXPECT_EQ(g_tables.defaults.localizeUndefinedFormat, L"kept");
}

TEST_F(Loaders, SettingsReadMapModesLikeWcstol) {
    struct Case {
        const char* mode;
        int32_t expected;
    };
    const Case cases[] = {
        {" 3", 3},
        {"abc", 0},
        {"+7", 7},
        {"-2", -2},
        {"12abc", 12},
        {"", 0},
        {"99999999999", INT32_MAX},
        {"-99999999999", INT32_MIN},
    };
    std::string settings = "<glyphary>";
    std::set<int32_t> expected;
    for (size_t i = 0; i < std::size(cases); ++i) {
        const std::string name = std::string("m").append(std::to_string(i)).append(".map");
        m_dir.Write(name, "<e><map id='id" + std::to_string(i) + "' code='c'/></e>");
        settings += "<map mode='" + std::string(cases[i].mode) + "' src='" + name + "'/>";
        expected.insert(cases[i].expected);
    }
    settings += "<map src='m0.map'/></glyphary>";  // no mode: 0
    EXPECT_EQ(LoadSettings(settings), S_FALSE);
    const std::vector<int32_t> modes = g_tables.idToCodeByMode.Modes();
    EXPECT_EQ(std::set<int32_t>(modes.begin(), modes.end()), expected);
    for (size_t i = 0; i < std::size(cases); ++i) {
        EXPECT_EQ(CodeOf(cases[i].expected, L"id" + std::to_wstring(i)), L"c") << cases[i].mode;
    }
    EXPECT_EQ(CodeOf(0, L"id0"), L"c");
}

TEST_F(Loaders, SettingsResolveMapPathsAgainstTheirDirectory) {
    m_dir.Write("maps/one.map", "<e><map id='one' code='1'/></e>");
    m_dir.Write("two.map", "<e><map id='two' code='2'/></e>");
    const auto absolute = m_dir.Write("elsewhere/three.map", "<e><map id='three' code='3'/></e>");
    m_dir.Write("conf/four.map", "<e><map id='four' code='4'/></e>");
    const std::string tooLong(300, 'x');
    EXPECT_EQ(LoadSettings("<glyphary>"
                           "<map mode='1' src='../maps/one.map'/>"
                           "<map mode='2' src='./../two.map'/>"
                           "<map mode='3' src='" +
                               absolute.string() +
                               "'/>"
                               "<map mode='5'/>"  // the directory itself: nothing to load
                               "<map mode='6' src='" +
                               tooLong +
                               "'/>"
                               "<map mode='4' src='four.map'/>"
                               "</glyphary>",
                           "conf/Glyphary.setting"),
              S_FALSE);
    EXPECT_EQ(CodeOf(1, L"one"), L"1");
    EXPECT_EQ(CodeOf(2, L"two"), L"2");
    EXPECT_EQ(CodeOf(3, L"three"), L"3");
    EXPECT_EQ(CodeOf(4, L"four"), L"4");
    EXPECT_EQ(g_tables.idToCodeByMode.Find(5), nullptr);
    EXPECT_EQ(g_tables.idToCodeByMode.Find(6), nullptr);
}

TEST_F(Loaders, SettingsAppendUserAgentRulesInDocumentOrder) {
    g_tables.userAgentRules.Append(42, L"earlier");
    EXPECT_EQ(LoadSettings("<glyphary>"
                           "<userAgent id='1' pattern='DoCoMo/.*'/>"
                           "<userAgent/>"
                           "<group><userAgent id='9' pattern='deep'/></group>"
                           "<userAgent id=' 3x' pattern='SoftBank/.*'/>"
                           "<userAgent id='1' pattern='DoCoMo/.*'/>"
                           "</glyphary>"),
              S_FALSE);
    const auto& rules = g_tables.userAgentRules;
    ASSERT_EQ(rules.size(), 5u);
    const std::pair<int32_t, std::wstring> expected[] = {
        {42, L"earlier"}, {1, L"DoCoMo/.*"}, {0, L""}, {3, L"SoftBank/.*"}, {1, L"DoCoMo/.*"}};
    for (size_t i = 0; i < rules.size(); ++i) {
        EXPECT_EQ(rules[i].id, expected[i].first) << i;
        EXPECT_EQ(rules[i].pattern, expected[i].second) << i;
    }
}

TEST_F(Loaders, SettingsReturnTheMailMapStatus) {
    m_dir.Write("good.map", "<m><map mail='7521' web='F660'/></m>");
    m_dir.Write("other.map", "<m><map mail='7522' web='F661'/></m>");
    m_dir.Write("noweb.map", "<m><map mail='7523' web='F662'/><map mail='7524'/></m>");
    EXPECT_EQ(LoadSettings("<g><ezwebMailMap src='good.map'/><ezwebMailMap src='other.map'/></g>"),
              S_OK);
    EXPECT_EQ(MailToWeb(0x75, 0x21), "F660");
    EXPECT_EQ(MailToWeb(0x75, 0x22), "none");
    EXPECT_EQ(LoadSettings("<g><ezwebMailMap src='noweb.map'/></g>"), S_FALSE);
    EXPECT_EQ(MailToWeb(0x75, 0x23), "F662");
    EXPECT_EQ(LoadSettings("<g><ezwebMailMap src='missing.map'/></g>"), S_FALSE);
    EXPECT_EQ(LoadSettings("<g><ezwebMailMap/></g>"), S_FALSE);
}

TEST_F(Loaders, FailedCodeMapSkipsOnlyTheRemainingMaps) {
    m_dir.Write("one.map", "<e><map id='one' code='1'/></e>");
    m_dir.Write("two.map", "<e><map id='two' code='2'/></e>");
    m_dir.Write("mail.map", "<m><map mail='7521' web='F660'/></m>");
    FailCreation(2);  // 1: the settings file, 2: the first map
    EXPECT_EQ(LoadSettings("<g><map mode='1' src='one.map'/><map mode='2' src='two.map'/>"
                           "<userAgent id='1' pattern='x'/><ezwebMailMap src='mail.map'/>"
                           "<globalizeFormat>f</globalizeFormat></g>"),
              S_OK);
    EXPECT_EQ(g_tables.idToCodeByMode.Find(1), nullptr);
    EXPECT_EQ(g_tables.idToCodeByMode.Find(2), nullptr);
    EXPECT_EQ(g_tables.userAgentRules.size(), 1u);
    EXPECT_EQ(MailToWeb(0x75, 0x21), "F660");
    EXPECT_EQ(g_tables.defaults.globalizeFormat, L"f");
}

TEST_F(Loaders, FailedMailMapFailsTheSettings) {
    m_dir.Write("one.map", "<e><map id='one' code='1'/></e>");
    m_dir.Write("mail.map", "<m><map mail='7521' web='F660'/></m>");
    FailCreation(3);  // 1: the settings file, 2: the map, 3: the mail map
    EXPECT_EQ(LoadSettings("<g><map mode='1' src='one.map'/><ezwebMailMap src='mail.map'/></g>"),
              E_OUTOFMEMORY);
    EXPECT_EQ(CodeOf(1, L"one"), L"1");  // what was filled stays filled
    EXPECT_TRUE(g_tables.ezwebMailCodeMap.empty());
}

}  // namespace
