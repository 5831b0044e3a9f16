#include "client/encoded_words.h"

#include <algorithm>
#include <cstdint>

#include <glib.h>
#include <gmime/gmime-encodings.h>

namespace glyphary::client {
namespace {

bool IsSpace(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// Up to the first '?' or white space at or after `from`.
size_t Scan(std::string_view text, size_t from) noexcept {
    while (from < text.size() && text[from] != '?' && !IsSpace(text[from])) ++from;
    return from;
}

int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Calls each(byte, representation) for each byte of a Q payload.
template <class Each>
void ForEachQByte(std::string_view payload, Each each) {
    for (size_t i = 0; i < payload.size();) {
        if (payload[i] == '=' && i + 2 < payload.size() && HexValue(payload[i + 1]) >= 0 &&
            HexValue(payload[i + 2]) >= 0) {
            each(static_cast<char>(HexValue(payload[i + 1]) << 4 | HexValue(payload[i + 2])),
                 payload.substr(i, 3));
            i += 3;
        } else {
            each(payload[i] == '_' ? ' ' : payload[i], payload.substr(i, 1));
            ++i;
        }
    }
}

std::string Base64(std::string_view bytes) {
    static constexpr char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (size_t i = 0; i < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<uint8_t>(bytes[i])) << 16;
        if (i + 1 < bytes.size())
            v |= static_cast<uint32_t>(static_cast<uint8_t>(bytes[i + 1])) << 8;
        if (i + 2 < bytes.size()) v |= static_cast<uint8_t>(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += i + 1 < bytes.size() ? kDigits[(v >> 6) & 63] : '=';
        out += i + 2 < bytes.size() ? kDigits[v & 63] : '=';
    }
    return out;
}

}  // namespace

std::optional<EncodedWordText> EncodedWordAt(std::string_view text, size_t at) {
    if (text.compare(at, 2, "=?") != 0) return std::nullopt;
    const size_t q1 = Scan(text, at + 2);
    if (q1 == at + 2 || q1 + 2 >= text.size() || text[q1] != '?' || text[q1 + 2] != '?')
        return std::nullopt;
    const char encoding = text[q1 + 1];
    if (encoding != 'B' && encoding != 'b' && encoding != 'Q' && encoding != 'q')
        return std::nullopt;
    const size_t q3 = Scan(text, q1 + 3);
    if (q3 + 1 >= text.size() || text[q3] != '?' || text[q3 + 1] != '=') return std::nullopt;
    EncodedWordText word;
    word.begin = at;
    word.end = q3 + 2;
    word.charset = text.substr(at + 2, q1 - at - 2);
    word.encoding = encoding == 'b' || encoding == 'B' ? 'B' : 'Q';
    word.payload = text.substr(q1 + 3, q3 - q1 - 3);
    return word;
}

std::string DecodeWordPayload(const EncodedWordText& word) {
    std::string bytes;
    if (word.encoding == 'Q') {
        bytes.reserve(word.payload.size());
        ForEachQByte(word.payload, [&](char byte, std::string_view) { bytes += byte; });
        return bytes;
    }
    bytes.assign(word.payload.size() + 4, '\0');
    int state = 0;
    guint32 save = 0;
    const size_t length = g_mime_encoding_base64_decode_step(
        reinterpret_cast<const unsigned char*>(word.payload.data()), word.payload.size(),
        reinterpret_cast<unsigned char*>(bytes.data()), &state, &save);
    bytes.resize(std::min(length, bytes.size()));
    return bytes;
}

std::string ReencodeWordPayload(const EncodedWordText& word, std::string_view bytes) {
    if (word.encoding == 'B') return Base64(bytes);
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string payload;
    payload.reserve(word.payload.size() + 8);
    size_t i = 0;
    ForEachQByte(word.payload, [&](char byte, std::string_view written) {
        const char now = i < bytes.size() ? bytes[i] : byte;
        ++i;
        if (now == byte) {
            payload += written;
        } else {
            payload += '=';
            payload += kHex[static_cast<uint8_t>(now) >> 4];
            payload += kHex[static_cast<uint8_t>(now) & 15];
        }
    });
    return payload;
}

}  // namespace glyphary::client
