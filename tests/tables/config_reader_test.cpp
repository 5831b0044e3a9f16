// The configuration reader as its second user, the client, sees it. The statuses the module's
// loaders return from it are pinned by loaders_test.cpp; why a file did not load, by the
// program's tests (tests/tools/module_usage_test.cpp).
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/olestr.h"
#include "support/files.h"
#include "tables/config_reader.h"

namespace {

using namespace glyphary;
using namespace glyphary::testing;

class ConfigReader : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, 0))); }
    void TearDown() override { CoUninitialize(); }

    // The file written at `name`, opened; `status` is what opening recorded.
    config::ConfigFile Open(const std::string& name, std::string_view xml, HRESULT& status) {
        m_path = Utf16Path(m_dir.Write(name, xml));
        return config::ConfigFile::Open(m_path.c_str(), status);
    }

    TempDir m_dir;
    std::u16string m_path;
};

TEST_F(ConfigReader, SettingsHandOverEachEntryInReadingOrder) {
    const std::string absolute = (m_dir.path() / "elsewhere" / "mail.map").string();
    HRESULT status = E_FAIL;
    const config::ConfigFile file =
        Open("conf/Glyphary.setting",
             "<g><userAgent id=' 3x' pattern='SoftBank/.*'/>"
             "<map mode='abc' src='../maps/one.map'/>"
             "<localizePattern></localizePattern>"
             "<ezwebMailMap src='" +
                 absolute +
                 "'/>"
                 "<map mode='99999999999'/>"
                 "<globalizeFormat>[%1%]</globalizeFormat><globalizeFormat>no</globalizeFormat>"
                 "<map mode='-2' src='" +
                 std::string(300, 'x') +
                 "'/>"
                 "<userAgent/><ezwebMailMap src='second.map'/>"
                 "<group><map mode='7' src='deep.map'/><userAgent id='9'/></group></g>",
             status);
    ASSERT_EQ(status, S_OK);

    std::vector<std::wstring> log;
    const auto pathText = [](LPCWSTR path) { return path ? WideFromOle(path) : L"(none)"; };
    config::SettingsHandlers handlers;
    handlers.defaultString = [&](config::DefaultString which, std::wstring&& text) {
        log.push_back(L"default " + std::to_wstring(static_cast<int>(which)) + L" " + text);
    };
    handlers.codeMap = [&](int32_t mode, LPCWSTR path) {
        log.push_back(L"map " + std::to_wstring(mode) + L" " + pathText(path));
        return S_OK;
    };
    handlers.userAgent = [&](int32_t id, std::wstring&& pattern) {
        log.push_back(L"agent " + std::to_wstring(id) + L" " + pattern);
    };
    handlers.mailMap = [&](LPCWSTR path) {
        log.push_back(L"mail " + pathText(path));
        return E_ABORT;
    };
    EXPECT_EQ(config::ReadSettings(file, m_path.c_str(), handlers), E_ABORT);

    const std::wstring dir = m_dir.path().wstring();
    const std::vector<std::wstring> expected = {
        L"default 0 [%1%]",
        L"default 2 ",
        L"map 0 " + dir + L"/maps/one.map",
        L"map 2147483647 " + dir + L"/conf",  // no src: the directory itself
        L"map -2 (none)",                     // too long for the module's path buffers
        L"agent 3 SoftBank/.*",
        L"agent 0 ",
        L"mail " + (m_dir.path() / "elsewhere" / "mail.map").wstring(),
    };
    EXPECT_EQ(log, expected);
}

// Attributes read beside id and code, for the client, leave the status the module returns.
TEST_F(ConfigReader, CodeMapExtrasLeaveTheStatusAlone) {
    const struct {
        const char* xml;
        HRESULT status;
        std::vector<std::wstring> names;
    } cases[] = {
        {"<e><map id='a' code='x' name='n'/><map id='b' name='m'/></e>", S_FALSE, {L"n", L"m"}},
        {"<e><map id='a' code='x'/><map name='m' code='y'/></e>", S_OK, {L"", L"m"}},
        {"<e><other name='o'/></e>", S_OK, {}},
    };
    for (const auto& c : cases) {
        HRESULT status = E_FAIL;
        const config::ConfigFile file = Open("test.map", c.xml, status);
        ASSERT_EQ(status, S_OK) << c.xml;
        std::vector<std::wstring> names;
        const auto collect = [&](config::CodeMapEntry& e) { names.push_back(e.extra.at(0)); };
        EXPECT_EQ(config::ReadCodeMap(file, collect, {OLESTR("name")}), c.status) << c.xml;
        EXPECT_EQ(names, c.names) << c.xml;
        EXPECT_EQ(config::ReadCodeMap(file, [](config::CodeMapEntry&) {}), c.status) << c.xml;
    }
}

}  // namespace
