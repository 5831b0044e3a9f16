// How the mail commands write a carrier's emoji: neutral notation, another table's emoji, or
// codes.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "client/carrier_convert.h"
#include "client/module.h"
#include "client/object.h"
#include "text/unicode.h"

namespace glyphary::tool {

// Carrier text through the module: Globalize in the carrier's mode or, with --to, into that
// table through a CarrierConverter (which lets U+FDD0 and U+FDD1 of the text through); with
// --show-codes, private-use characters as U+XXXX.
class Renderer {
  public:
    Renderer(client::Module& module, std::optional<EMapMode> to, bool showCodes)
        : m_module(module), m_to(to), m_showCodes(showCodes) {}

    std::u16string operator()(std::u16string_view text, EMapMode carrier) {
        std::u16string out;
        if (carrier == MPM_none || (m_to && *m_to == carrier)) {
            out = text;
        } else if (!m_to) {
            std::unique_ptr<client::Glyphary>& object = m_globalize[carrier];
            if (!object) {
                object = std::make_unique<client::Glyphary>(m_module.Create());
                object->SetMapMode(carrier);
            }
            out = object->Convert(client::Operation::globalize, text);
        } else {
            std::unique_ptr<client::CarrierConverter>& converter = m_convert[carrier];
            if (!converter)
                converter = std::make_unique<client::CarrierConverter>(m_module, carrier, *m_to,
                                                                       [](std::u16string_view) {});
            converter->Convert(text, [&](std::u16string_view piece) { out += piece; });
        }
        if (!m_showCodes) return out;
        std::u16string shown;
        text::AppendShowingCodes(out, shown);
        return shown;
    }

  private:
    client::Module& m_module;
    std::optional<EMapMode> m_to;
    bool m_showCodes;
    std::map<EMapMode, std::unique_ptr<client::Glyphary>> m_globalize;
    std::map<EMapMode, std::unique_ptr<client::CarrierConverter>> m_convert;
};

}  // namespace glyphary::tool
