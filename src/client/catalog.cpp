#include "client/catalog.h"

#include <algorithm>
#include <cwchar>
#include <map>
#include <optional>

#include "client/carriers.h"
#include "client/errors.h"
#include "client/settings.h"
#include "text/legacy_codes.h"
#include "text/shift_jis.h"

namespace glyphary::client {

namespace {

// The Shift_JIS code of `code` on the handsets of the carrier of `mode`, or 0 when it is none
// of that carrier's emoji.
uint16_t CarrierSjis(int mode, char16_t code) {
    const uint16_t sjis = text::ShiftJisTable::For(text::CarrierOfMode(mode)).Encode(code);
    return code >= 0xE000 && code <= 0xF8FF && sjis != text::ShiftJisTable::kNone ? sjis : 0;
}

// Hex numbers separated by spaces ("2600 FE0F"); none when any is not hex.
std::optional<std::vector<uint32_t>> HexList(std::u16string_view text) {
    std::vector<uint32_t> values;
    const std::wstring wide(text.begin(), text.end());
    const wchar_t* p = wide.c_str();
    for (;;) {
        while (*p == L' ') ++p;
        if (!*p) return values;
        wchar_t* end = nullptr;
        const unsigned long value = std::wcstoul(p, &end, 16);
        if (end == p || (*end && *end != L' ') || value > 0x10FFFF) return std::nullopt;
        values.push_back(static_cast<uint32_t>(value));
        p = end;
    }
}

std::vector<std::u16string> Words(std::u16string_view text) {
    std::vector<std::u16string> words;
    for (size_t i = 0; i < text.size();) {
        const size_t end = std::min(text.find(u' ', i), text.size());
        if (end > i) words.emplace_back(text.substr(i, end - i));
        i = end + 1;
    }
    return words;
}

// What carrier `mode` shows for an entry: its own emoji when the entry gives its Shift_JIS
// code, a substitute when every character is one of its emoji, text otherwise.
CarrierShown Shown(int mode, const CodeMapElement& entry) {
    CarrierShown shown;
    shown.code = entry.code;
    const std::u16string& sjis = entry.extra[0];
    if (!sjis.empty()) {
        const auto codes = HexList(sjis);
        if (codes && codes->size() == 1 && entry.code.size() == 1 && (*codes)[0] <= 0xFFFF) {
            shown.kind = CarrierShown::Kind::own;
            shown.sjis.push_back(static_cast<uint16_t>((*codes)[0]));
            shown.nameJa = entry.extra[1];
            return shown;
        }
    }
    for (const char16_t u : entry.code) {
        const uint16_t code = CarrierSjis(mode, u);
        if (!code) {
            shown.sjis.clear();
            shown.kind = CarrierShown::Kind::text;
            return shown;
        }
        shown.sjis.push_back(code);
    }
    shown.kind = entry.code.empty() ? CarrierShown::Kind::text : CarrierShown::Kind::substitute;
    return shown;
}

}  // namespace

std::vector<CatalogEntry> ReadCatalog(const std::filesystem::path& settingsPath) {
    const SettingsFile settings = ReadSettings(settingsPath);
    if (!settings.loaded) throw ClientError(settingsPath.string() + " is missing or ill-formed");

    // Each carrier's entry by id; a later one wins, as in the module's tables.
    constexpr int kCarrierModes[] = {MPM_imode, MPM_ezweb, MPM_softbank};
    std::array<std::map<std::u16string, CodeMapElement>, 3> carriers;
    for (size_t c = 0; c < 3; ++c)
        for (CodeMapElement& e : ReadCodeMapsOf(settings, kCarrierModes[c], {u"sjis", u"name_ja"}))
            if (!e.id.empty()) carriers[c][e.id] = std::move(e);

    std::vector<CatalogEntry> catalog;
    for (const CodeMapElement& e :
         ReadCodeMapsOf(settings, kUnicodeMode, {u"name", u"name_ja", u"unicode", u"aliases"})) {
        if (e.id.empty() || e.extra[0].empty()) continue;  // an alias or a borrowed code
        CatalogEntry& entry = catalog.emplace_back();
        entry.id = e.id;
        entry.name = e.extra[0];
        entry.nameJa = e.extra[1];
        entry.standard = e.code;
        if (const auto codes = HexList(e.extra[2]))
            entry.codePoints.assign(codes->begin(), codes->end());
        entry.aliases = Words(e.extra[3]);
        for (size_t c = 0; c < 3; ++c) {
            const auto it = carriers[c].find(e.id);
            if (it == carriers[c].end()) continue;
            entry.carriers[c] = Shown(kCarrierModes[c], it->second);
            if (entry.carriers[c].kind != CarrierShown::Kind::own) continue;
            const text::LegacyEmoji* legacy =
                text::EmojiOfCode(text::CarrierOfMode(kCarrierModes[c]), entry.carriers[c].code[0]);
            if (!legacy) continue;
            entry.auNumber = legacy->auNumber;
            entry.google = legacy->google;
        }
    }
    return catalog;
}

}  // namespace glyphary::client
