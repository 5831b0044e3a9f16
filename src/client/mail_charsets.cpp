// The charsets of handset mail, to UTF-16 with each carrier's emoji as its private-use
// characters: what iconv cannot do (au's emoji rows in ISO-2022-JP, and the Shift_JIS web
// codes the au conversion leaves there; each carrier's Shift_JIS), and RFC 2047 encoded words
// in any of them. Decoding never fails: what does not decode becomes U+FFFD.
#include "client/mail_decode.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>
#include <memory>

// After the platform's headers, whose TRUE and FALSE GLib then leaves alone.
#include <gmime/gmime.h>

#include "text/codec.h"
#include "text/shift_jis.h"
#include "text/utf.h"

#include "client/encoded_words.h"

namespace glyphary::client {
namespace {

constexpr char16_t kReplacement = u'\xFFFD';

std::string Lower(std::string_view text) {
    std::string lower(text);
    for (char& c : lower)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return lower;
}

enum class Charset { utf8, iso2022jp, shiftJis, other };

Charset CharsetOf(const std::string& lower) {
    if (lower.empty() || lower == "us-ascii" || lower == "ascii")
        return Charset::utf8;  // unlabelled text is most often ASCII or UTF-8
    if (lower.rfind("iso-2022-jp", 0) == 0 || lower == "csiso2022jp") return Charset::iso2022jp;
    switch (text::ParseEncoding(lower).value_or(text::Encoding::utf16le)) {
        case text::Encoding::utf8:
            return Charset::utf8;
        case text::Encoding::sjis:
            return Charset::shiftJis;
        case text::Encoding::utf16le:  // iconv's, as any other charset
            break;
    }
    return Charset::other;
}

std::u16string FromUtf8(std::string_view bytes) {
    return *text::Utf16FromUtf8(bytes, text::Errors::replace);
}

// ---------------------------------------------------------------------------------------------
// ISO-2022-JP

// JIS X 0208 row and cell (0x21-0x7E each) to a unit: CP932's character at the Shift_JIS
// code of the same place (so NEC's row 13 and the IBM kanji read as Windows reads them),
// and for au mail its emoji in rows 0x75-0x7C, whose Shift_JIS codes lie 0x0B00 (EB, EC) or
// 0x0600 (ED, EE) below au's web codes, the way au's mail gateway moves them.
struct JisTable {
    uint16_t units[94 * 94];

    explicit JisTable(bool au) {
        const text::ShiftJisTable& plain = text::ShiftJisTable::For(text::Carrier::none);
        const text::ShiftJisTable& kddi = text::ShiftJisTable::For(text::Carrier::ezweb);
        for (unsigned row = 0x21; row <= 0x7E; ++row) {
            for (unsigned cell = 0x21; cell <= 0x7E; ++cell) {
                const unsigned lead = ((row + 1) >> 1) + (row <= 0x5E ? 0x70 : 0xB0);
                const unsigned trail = cell + ((row & 1) ? (cell >= 0x60 ? 0x20 : 0x1F) : 0x7E);
                uint16_t unit =
                    plain.Double(static_cast<uint8_t>(lead), static_cast<uint8_t>(trail));
                if (au && lead >= 0xEB && lead <= 0xEE) {
                    const unsigned web = lead + (lead <= 0xEC ? 0x0B : 0x06);
                    if (const uint16_t emoji =
                            kddi.Double(static_cast<uint8_t>(web), static_cast<uint8_t>(trail)))
                        unit = emoji;
                }
                units[(row - 0x21) * 94 + (cell - 0x21)] = unit;
            }
        }
    }
};

std::u16string DecodeIso2022Jp(std::string_view text, bool au) {
    static const JisTable plainTable(false), auTable(true);
    const JisTable& jis = au ? auTable : plainTable;
    const text::ShiftJisTable& kddi = text::ShiftJisTable::For(text::Carrier::ezweb);
    enum class Set { ascii, katakana, jis0208, other } set = Set::ascii;

    const auto* in = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    // At most one unit a byte; only what is written is touched.
    const auto out = std::make_unique_for_overwrite<char16_t[]>(n);
    size_t i = 0, w = 0;
    while (i < n) {
        // The bulk: runs of ASCII, and runs of JIS X 0208 pairs.
        if (set == Set::ascii) {
            while (i < n && in[i] < 0x80 && in[i] != 0x1B) out[w++] = in[i++];
        } else if (set == Set::jis0208) {
            while (i + 1 < n) {
                const unsigned row = in[i] - 0x21u, cell = in[i + 1] - 0x21u;
                if (row >= 94 || cell >= 94) break;
                const uint16_t unit = jis.units[row * 94 + cell];
                if (!unit) break;
                out[w++] = unit;
                i += 2;
            }
        }
        if (i == n) break;
        const uint8_t b = in[i];
        if (b == 0x1B) {  // a designation: ESC ( F, ESC $ F, ESC $ ( F
            const uint8_t b1 = i + 1 < n ? in[i + 1] : 0, b2 = i + 2 < n ? in[i + 2] : 0;
            const uint8_t b3 = i + 3 < n ? in[i + 3] : 0;
            if (b1 == '(' && b2) {
                set = b2 == 'B' || b2 == 'J' ? Set::ascii : b2 == 'I' ? Set::katakana : Set::other;
                i += 3;
            } else if (b1 == '$' && (b2 == '@' || b2 == 'B')) {
                set = Set::jis0208;
                i += 3;
            } else if (b1 == '$' && b2 == '(' && b3) {
                // JIS X 0213's first plane extends JIS X 0208; JIS X 0212 is not read.
                set = b3 == 'B' || b3 == 'O' || b3 == 'Q' ? Set::jis0208 : Set::other;
                i += 4;
            } else {
                out[w++] = kReplacement;
                ++i;
            }
            continue;
        }
        if (b < 0x21) {  // controls and space in any set; a line starts in ASCII
            out[w++] = b;
            if (b == '\n' || b == '\r') set = Set::ascii;
            ++i;
            continue;
        }
        switch (set) {
            case Set::ascii:
                out[w++] = b < 0x80 ? b : kReplacement;
                ++i;
                break;
            case Set::katakana:
                out[w++] = b <= 0x5F ? static_cast<char16_t>(0xFF61 + b - 0x21) : kReplacement;
                ++i;
                break;
            case Set::other:
                out[w++] = kReplacement;
                ++i;
                break;
            case Set::jis0208: {
                const uint8_t t = i + 1 < n ? in[i + 1] : 0;
                uint16_t unit = 0;
                if (b <= 0x7E && t >= 0x21 && t <= 0x7E) {
                    unit = jis.units[(b - 0x21) * 94 + (t - 0x21)];
                } else if (b >= 0x81 && b <= 0xFC && t) {
                    // An au mail after ConvertEzwebMail: au's web codes inside the run.
                    unit = kddi.Double(b, t);
                }
                if (unit) {
                    out[w++] = unit;
                    i += 2;
                } else {
                    out[w++] = kReplacement;
                    i += t >= 0x21 ? 2 : 1;
                }
                break;
            }
        }
    }
    return std::u16string(out.get(), w);
}

// ---------------------------------------------------------------------------------------------
// Any other charset, through iconv

std::u16string DecodeOther(std::string_view text, const std::string& charset) {
    const iconv_t cd = iconv_open("UTF-8", charset.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return FromUtf8(text);
    std::string utf8;
    utf8.resize(text.size() * 4 + 16);
    char* in = const_cast<char*>(text.data());
    size_t inLeft = text.size();
    char* out = utf8.data();
    size_t outLeft = utf8.size();
    while (inLeft > 0) {
        if (iconv(cd, &in, &inLeft, &out, &outLeft) != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            const size_t used = utf8.size() - outLeft;
            utf8.resize(utf8.size() * 2);
            out = utf8.data() + used;
            outLeft = utf8.size() - used;
            continue;
        }
        // A byte that does not decode, or a character cut at the end.
        if (outLeft < 3) {
            const size_t used = utf8.size() - outLeft;
            utf8.resize(utf8.size() * 2);
            out = utf8.data() + used;
            outLeft = utf8.size() - used;
        }
        std::memcpy(out, "\xEF\xBF\xBD", 3);
        out += 3;
        outLeft -= 3;
        ++in;
        --inLeft;
        iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
    iconv_close(cd);
    utf8.resize(utf8.size() - outLeft);
    return FromUtf8(utf8);
}

// ---------------------------------------------------------------------------------------------
// RFC 2047 encoded words

struct EncodedWord {
    std::string charset;
    std::string bytes;
    size_t end = 0;  // just after its "?="
};

// The encoded word =?charset?B|Q?text?= at text[at], if one stands there. Found by the
// shared tokenizer, which never looks past the next '?' or white space: scanning to the end
// for "?=" at every "=?" made a Subject of many "=?a?B? " take quadratic time.
bool ParseEncodedWord(std::string_view text, size_t at, EncodedWord& word) {
    const std::optional<EncodedWordText> found = EncodedWordAt(text, at);
    if (!found) return false;
    word.bytes = DecodeWordPayload(*found);
    word.charset =
        Lower(found->charset.substr(0, found->charset.find('*')));  // RFC 2231's language
    word.end = found->end;
    return true;
}

}  // namespace

std::u16string DecodeMailText(std::string_view bytes, std::string_view charset, EMapMode carrier) {
    const std::string lower = Lower(charset);
    switch (CharsetOf(lower)) {
        case Charset::utf8:
            return FromUtf8(bytes);
        case Charset::iso2022jp:
            return DecodeIso2022Jp(bytes, carrier == MPM_ezweb);
        case Charset::shiftJis:
            return text::Decode(bytes, {text::Encoding::sjis, text::CarrierOfMode(carrier), {}},
                                text::Errors::replace);
        case Charset::other:
            break;
    }
    return DecodeOther(bytes, lower);
}

std::u16string DecodeHeaderValue(std::string_view raw, EMapMode carrier) {
    // Unfolded: the line breaks go, the white space after them stays.
    std::string text;
    for (const char c : raw)
        if (c != '\r' && c != '\n') text += c;
    const size_t first = text.find_first_not_of(" \t");
    text = first == std::string::npos
               ? ""
               : text.substr(first, text.find_last_not_of(" \t") - first + 1);

    std::u16string out;
    std::string plain, charset, encoded, gap;
    const auto flushEncoded = [&] {
        if (charset.empty()) return;
        // An ISO-2022-JP word from an unknown sender: only au puts emoji there.
        const EMapMode wordCarrier = carrier != MPM_none                        ? carrier
                                     : CharsetOf(charset) == Charset::iso2022jp ? MPM_ezweb
                                                                                : MPM_none;
        out += DecodeMailText(encoded, charset, wordCarrier);
        charset.clear();
        encoded.clear();
    };
    for (size_t i = 0; i < text.size();) {
        EncodedWord word;
        if (text[i] == '=' && ParseEncodedWord(text, i, word)) {
            if (!plain.empty()) {
                out += FromUtf8(plain);
                plain.clear();
            }
            gap.clear();  // white space between two encoded words is not text
            // Words of one charset join before decoding: senders cut characters between them.
            if (word.charset != charset) flushEncoded();
            charset = word.charset;
            encoded += word.bytes;
            i = word.end;
            continue;
        }
        if (!charset.empty() && (text[i] == ' ' || text[i] == '\t')) {
            gap += text[i++];
            continue;
        }
        flushEncoded();
        plain += gap;
        gap.clear();
        plain += text[i++];
    }
    flushEncoded();
    out += FromUtf8(plain);
    return out;
}

}  // namespace glyphary::client
