// The catalog that `glyphary list` shows: au's numbers and Google's codes beside each emoji,
// checked against emoji4unicode's files read here on their own.
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "client/catalog.h"
#include "client/module.h"

namespace {

using namespace glyphary::client;

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(Catalog, AuNumbersAndGoogleCodesAreEmoji4UnicodesOwn) {
    const std::string dir = GLYPHARY_EMOJI4UNICODE_DIR;
    // au's code point -> number; any carrier's exact code -> Google's code.
    std::map<uint32_t, uint32_t> numberOf, googleOf[3];
    const std::string kddi = ReadText(dir + "/kddi-carrier_data.xml");
    const std::regex carrierEntry("number=\"(\\d+)\" unicode=\"([0-9A-F]+)\"");
    for (std::sregex_iterator m(kddi.begin(), kddi.end(), carrierEntry), end; m != end; ++m)
        numberOf[std::stoul((*m)[2], nullptr, 16)] = std::stoul((*m)[1]);
    const std::string e4u = ReadText(dir + "/emoji4unicode.xml");
    const std::regex element("<e [^>]*>");
    const char* carriers[] = {"docomo", "kddi", "softbank"};
    for (std::sregex_iterator m(e4u.begin(), e4u.end(), element), end; m != end; ++m) {
        const std::string e = m->str();
        std::smatch google;
        if (!std::regex_search(e, google, std::regex("google=\"([0-9A-F]+)\""))) continue;
        for (int c = 0; c < 3; ++c) {
            std::smatch code;
            if (std::regex_search(e, code,
                                  std::regex(std::string(carriers[c]) + "=\"([0-9A-F]+)\"")))
                googleOf[c][std::stoul(code[1], nullptr, 16)] = std::stoul(google[1], nullptr, 16);
        }
    }
    ASSERT_EQ(numberOf.size(), 647u);

    size_t numbers = 0, googles = 0;
    // The settings are read through the platform's XML DOM, as the module reads them.
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    const std::vector<CatalogEntry> catalog =
        ReadCatalog(std::filesystem::path(GLYPHARY_MODULE_FILE).parent_path() / "Glyphary.setting");
    CoUninitialize();
    for (const CatalogEntry& entry : catalog) {
        SCOPED_TRACE(std::string(entry.id.begin(), entry.id.end()));
        const CarrierShown& au = entry.carriers[1];
        const bool auOwn = au.kind == CarrierShown::Kind::own;
        EXPECT_EQ(entry.auNumber, auOwn ? numberOf.at(au.code[0]) : 0u);
        numbers += entry.auNumber != 0;
        uint32_t google = 0;
        for (int c = 0; c < 3; ++c)
            if (entry.carriers[c].kind == CarrierShown::Kind::own)
                if (const auto it = googleOf[c].find(entry.carriers[c].code[0]);
                    it != googleOf[c].end())
                    google = it->second;
        EXPECT_EQ(entry.google, google);
        googles += entry.google != 0;
    }
    EXPECT_EQ(numbers, 647u);
    EXPECT_GT(googles, 700u);
}

}  // namespace
