#include "text/codec.h"

#include <algorithm>
#include <bit>
#include <cstring>

#include "text/forms.h"
#include "text/references.h"
#include "text/resolver.h"
#include "text/shift_jis.h"
#include "text/utf.h"

namespace glyphary::text {

namespace {

// UTF-16LE units <-> bytes. Every target of ours is little-endian, as the bytes are.
static_assert(std::endian::native == std::endian::little);

}  // namespace

// ---------------------------------------------------------------------------------------------
// Decoding

Decoder::Decoder(const Format& format, Errors errors) : m_format(format), m_issues(errors) {
    // Beyond a unit a byte: a form held back, which marking may double, the bytes of a
    // character held back, and an escape's bytes kept at its end.
    static_assert(kMaxHeld >= FormReader::kMaxHeld && kMaxHeld >= kMaxReadReference);
    static_assert(kSlack >= 2 * kMaxHeld + 4 + ShiftJisDecoder::kExtraUnits);
    if (format.encoding == Encoding::sjis)
        m_sjis = std::make_unique<ShiftJisDecoder>(ShiftJisTable::For(format.carrier), m_issues);
    if (!format.forms.empty() || format.carrier == Carrier::automatic)
        m_forms = std::make_unique<FormReader>(format, m_issues);
}

Decoder::~Decoder() = default;

Decoded Decoder::Decode(std::string_view bytes, bool final, char16_t* out) {
    if (m_failed) return {0, false};
    // Marked text may be longer than what it marks, so it is decoded aside first.
    char16_t* raw = out;
    if (m_forms && m_forms->grows()) {
        if (m_rawSize < Room(bytes.size())) {
            m_rawSize = std::max(Room(bytes.size()), m_rawSize + m_rawSize / 2);
            m_raw = std::make_unique_for_overwrite<char16_t[]>(m_rawSize);
        }
        raw = m_raw.get();
    }
    size_t w = 0;
    if (m_forms) {  // the start of a form cut at the end of the last piece
        const std::u16string_view held = m_held.held();
        std::copy(held.begin(), held.end(), raw);
        w = held.size();
        m_held.Clear();
    }
    const bool ok = m_bytes.Through(bytes, final, [&](std::string_view in, bool last, size_t at) {
        return Step(in, last, at, raw, w);
    });
    m_failed = !ok;
    if (!m_forms) return {w, ok};
    // After a failure nothing more comes: what is held is read as the end.
    const FormReader::Result read = m_forms->Read(raw, w, final || !ok, out);
    if (!read.ok) {
        m_failed = true;
    } else {
        m_held.Hold({raw + read.read, w - read.read});
    }
    return {read.written, !m_failed};
}

Consumed Decoder::Step(std::string_view in, bool final, size_t offset, char16_t* out, size_t& w) {
    switch (m_format.encoding) {
        case Encoding::utf8: {
            const UtfResult r = Utf16FromUtf8(in, out + w, final, m_issues, offset);
            w += r.written;
            return {r.read, r.ok};
        }
        case Encoding::utf16le: {
            const size_t units = in.size() / 2;
            std::copy_n(in.data(), 2 * units, reinterpret_cast<char*>(out + w));
            w += units;
            if (in.size() % 2 == 0 || !final) return {2 * units, true};
            const size_t last = in.size() - 1;
            if (!m_issues.Take(
                    {offset + last, 1, Fault::utf16OddByte, static_cast<unsigned char>(in[last])}))
                return {last, false};
            w += Substitute(m_issues.errors(), in.data() + last, 1, false, out + w);
            return {in.size(), true};
        }
        case Encoding::sjis:
            return m_sjis->Decode(in, final, offset, out, w);
    }
    return {0, false};
}

// ---------------------------------------------------------------------------------------------
// Encoding

Encoder::Encoder(const Format& format, Errors errors) : m_format(format), m_issues(errors) {
    if (format.carrier == Carrier::automatic)
        throw std::invalid_argument("the carrier of output cannot be auto: name one");
    if (format.encoding == Encoding::sjis) m_sjis = &ShiftJisTable::For(format.carrier);
}

Encoder::~Encoder() = default;

bool Encoder::Encode(std::u16string_view units, bool final, ByteBuffer& out) {
    if (m_failed) return false;
    m_failed = !m_units.Through(units, final, [&](std::u16string_view in, bool last, size_t at) {
        return Step(in, last, at, out);
    });
    return !m_failed;
}

Consumed Encoder::Step(std::u16string_view in, bool final, size_t offset, ByteBuffer& out) {
    const bool references = m_format.references();
    if (m_format.encoding == Encoding::sjis)
        return EncodeShiftJis(*m_sjis, in, final, references, m_issues, offset, out);
    if (m_format.encoding == Encoding::utf8) return Utf8(in, final, offset, out);

    // UTF-16LE carries every unit; with references, private-use characters go as those.
    size_t from = 0, i = 0;
    const auto plain = [&](size_t to) {
        std::copy_n(reinterpret_cast<const char*>(in.data() + from), 2 * (to - from),
                    out.Room(2 * (to - from)));
        out.Wrote(2 * (to - from));
    };
    const size_t n =
        !final && !in.empty() && IsHighSurrogate(in.back()) ? in.size() - 1 : in.size();
    while (references && (i = references::FindPrivateUse(in.data(), i, n)) < n) {
        const char32_t c = CodePointAt(in.substr(0, n), i);
        if (!IsPrivateUse(c)) {
            ++i;
            continue;
        }
        plain(i);
        char16_t reference[kMaxReference];
        const size_t length = WriteReference(c, reference);
        std::memcpy(out.Room(2 * length), reference, 2 * length);
        out.Wrote(2 * length);
        i += c > 0xFFFF ? 2 : 1;
        from = i;
    }
    plain(n);
    return {n, true};
}

Consumed Encoder::Utf8(std::u16string_view in, bool final, size_t offset, ByteBuffer& out) {
    // The bulk through the transcoder, strictly: it stops only at a lone surrogate, which it
    // then writes alone as the policy says. With references, the bulk goes to a scratch buffer
    // first and is copied with each private-use character replaced by its reference: far
    // cheaper than cutting the text at each.
    const bool references = m_format.references();
    size_t i = 0;
    while (true) {
        Issues stop;
        const std::u16string_view rest = in.substr(i);
        UtfResult r;
        if (references) {
            if (m_scratch.size() < 3 * rest.size()) m_scratch.resize(3 * rest.size());
            r = Utf8FromUtf16(rest, m_scratch.data(), final, stop);
            out.Wrote(references::CopyWithReferences({m_scratch.data(), r.written},
                                                     out.Room(references::CopyRoom(r.written))));
        } else {
            r = Utf8FromUtf16(rest, out.Room(3 * rest.size()), final, stop);
            out.Wrote(r.written);
        }
        i += r.read;
        if (r.ok) return {i, true};
        r = Utf8FromUtf16(in.substr(i, 1), out.Room(kMaxReference), true, m_issues, offset + i);
        out.Wrote(r.written);
        if (!r.ok) return {i, false};
        ++i;
    }
}

// ---------------------------------------------------------------------------------------------
// Whole texts

std::u16string Decode(std::string_view bytes, const Format& format, Errors errors) {
    if (format.carrier == Carrier::automatic) return DecodeResolved(bytes, format, errors, {});
    Decoder decoder(format, errors);
    std::u16string out(Decoder::Room(bytes.size()), u'\0');
    const Decoded d = decoder.Decode(bytes, true, out.data());
    if (!d.ok) throw EncodingError(*decoder.issues().failure(), format);
    out.resize(d.units);
    return out;
}

std::string Encode(std::u16string_view text, const Format& format, Errors errors) {
    Encoder encoder(format, errors);
    ByteBuffer out;
    if (!encoder.Encode(text, true, out)) throw EncodingError(*encoder.issues().failure(), format);
    return std::string(out.view());
}

}  // namespace glyphary::text
