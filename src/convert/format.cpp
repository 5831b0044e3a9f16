#include "convert/format.h"

#include "convert/errors.h"
#include "convert/rules.h"

namespace glyphary {

std::wstring ApplyFormat(const std::wstring& format, std::wstring_view argument,
                         std::wstring_view property) {
    try {
        return FormatOne(format, argument);
    } catch (const RuleError& e) {
        std::wstring description(property);
        description += L": ";
        description += WidenMessage(e.what());
        throw ConversionError(E_INVALIDARG, std::move(description));
    }
}

PreparedFormat::PreparedFormat(std::wstring format) : m_format(std::move(format)) {
    std::vector<std::wstring> pieces(1);
    for (size_t i = 0; i < m_format.size(); ++i) {
        const std::wstring_view rest = std::wstring_view(m_format).substr(i);
        if (rest[0] != L'%') {
            pieces.back() += rest[0];
        } else if (rest.starts_with(L"%%")) {
            pieces.back() += L'%';
            ++i;
        } else if (rest.starts_with(L"%1%")) {
            pieces.emplace_back();
            i += 2;
        } else {
            return;  // any other directive: Boost.Format's to read
        }
    }
    m_pieces = std::move(pieces);
}

void PreparedFormat::AppendTo(std::wstring& out, std::wstring_view argument,
                              std::wstring_view property) const {
    if (!joined()) {
        out += ApplyFormat(m_format, argument, property);
        return;
    }
    out += m_pieces.front();
    for (size_t k = 1; k < m_pieces.size(); ++k) {
        out += argument;
        out += m_pieces[k];
    }
}

}  // namespace glyphary
