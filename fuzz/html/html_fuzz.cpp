// The page scanner over arbitrary markup: the whole-tag path, given the page in pieces of any
// size, must tell each unit's kind as the state machine alone does given it whole, and every
// call must move on. The first byte chooses XHTML and the piece size; each byte after is a
// unit (those from 0x80 up stand for units beyond ASCII). The same bytes scanned as UTF-8 (a
// byte a unit, whatever they are) must be told apart as their units are.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "client/html_scan.h"

namespace {

using glyphary::client::HtmlScanner;

void Check(bool condition) {
    if (!condition) std::abort();
}

template <class Unit>
std::vector<bool> Kinds(std::basic_string_view<Unit> page, bool xml, HtmlScanner::Tags tags,
                        size_t piece) {
    HtmlScanner scanner(xml, tags);
    std::vector<bool> kinds;
    for (size_t at = 0; at < page.size(); at += piece) {
        std::basic_string_view<Unit> in = page.substr(at, piece);
        while (!in.empty()) {
            bool readable;
            const size_t n = scanner.Next(in, readable);
            Check(n > 0 && n <= in.size());
            kinds.insert(kinds.end(), n, readable);
            in.remove_prefix(n);
        }
    }
    return kinds;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    const bool xml = data[0] & 0x80;
    const size_t piece = (data[0] & 0x7F) + 1;
    std::u16string page;
    for (size_t i = 1; i < size; ++i)
        page += data[i] < 0x80 ? char16_t{data[i]} : static_cast<char16_t>(0x3000 + data[i]);
    const std::vector<bool> expected =
        Kinds(std::u16string_view(page), xml, HtmlScanner::Tags::stepped, page.size() + 1);
    Check(Kinds(std::u16string_view(page), xml, HtmlScanner::Tags::whole, page.size() + 1) ==
          expected);
    Check(Kinds(std::u16string_view(page), xml, HtmlScanner::Tags::whole, piece) == expected);

    const std::string_view bytes(reinterpret_cast<const char*>(data + 1), size - 1);
    std::u16string widened(bytes.begin(), bytes.end());
    for (char16_t& u : widened) u &= 0xFF;
    Check(Kinds(bytes, xml, HtmlScanner::Tags::whole, piece) ==
          Kinds(std::u16string_view(widened), xml, HtmlScanner::Tags::stepped, page.size() + 1));
    return 0;
}
