#include "client/mail_lines.h"

#include <cstring>

namespace glyphary::client {

size_t MailLines::Find(char c, size_t from, size_t& cache) const noexcept {
    if (m_searched && cache >= from) return cache;
    const void* at =
        from < m_text.size() ? std::memchr(m_text.data() + from, c, m_text.size() - from) : nullptr;
    cache = at ? static_cast<size_t>(static_cast<const char*>(at) - m_text.data()) : m_text.size();
    return cache;
}

bool MailLines::Next(MailLine& line) noexcept {
    if (m_done) return false;
    const size_t cr = Find('\r', m_at, m_cr);
    const size_t lf = Find('\n', m_at, m_lf);
    m_searched = true;
    line.begin = m_at;
    if (cr < lf) {
        line.end = cr;
        const bool pair = cr + 1 < m_text.size() && m_text[cr + 1] == '\n';
        line.ending = pair ? LineEnd::crlf : LineEnd::cr;
        line.next = cr + (pair ? 2 : 1);
    } else if (lf < m_text.size()) {
        line.end = lf;
        line.ending = LineEnd::lf;
        line.next = lf + 1;
    } else {
        line.end = line.next = m_text.size();
        line.ending = LineEnd::none;
        m_done = true;
    }
    m_at = line.next;
    return true;
}

std::string_view LineEndBytes(LineEnd ending) noexcept {
    switch (ending) {
        case LineEnd::crlf:
            return "\r\n";
        case LineEnd::cr:
            return "\r";
        case LineEnd::lf:
            return "\n";
        case LineEnd::none:
            break;
    }
    return {};
}

}  // namespace glyphary::client
