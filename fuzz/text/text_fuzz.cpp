// The text layer's decoding with the legacy forms, and the carrier found per record, over
// arbitrary bytes in every encoding, carrier, set of forms and error policy. Besides not
// crashing (each piece decoded into exactly the room the decoder asks for):
// - any cut of the input into pieces decodes to what the whole does, with the same count of
//   items replaced or kept and the same success;
// - marked text resolved in pieces gives what it gives resolved whole, with the same guesses;
// - under replace and keep nothing fails;
// - the UTF-8 validator says what strict decoding says, at every SIMD level.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "text/codec.h"
#include "text/resolver.h"
#include "text/simd.h"
#include "text/utf.h"

namespace {

using namespace glyphary::text;

void Check(bool condition) {
    if (!condition) std::abort();
}

struct Outcome {
    std::u16string text;
    bool ok = true;
    size_t count = 0;
};

Outcome DecodeInPieces(std::string_view bytes, const Format& format, Errors errors, size_t piece) {
    Decoder decoder(format, errors);
    Outcome o;
    for (size_t at = 0;; at += piece) {
        const std::string_view in =
            at < bytes.size() ? bytes.substr(at, piece) : std::string_view();
        const bool final = at + piece >= bytes.size();
        std::vector<char16_t> room(Decoder::Room(in.size()));  // exactly: ASan sees beyond it
        const Decoded d = decoder.Decode(in, final, room.data());
        o.text.append(room.data(), d.units);
        if (!d.ok || final) {
            o.ok = d.ok;
            break;
        }
    }
    o.count = decoder.issues().count();
    return o;
}

std::pair<std::u16string, size_t> Resolve(std::u16string_view marked, const AutoOptions& options,
                                          size_t piece) {
    std::u16string out;
    CarrierResolver resolver(options, [&](Carrier, std::u16string_view run) { out += run; });
    for (size_t at = 0; at < marked.size(); at += piece)
        resolver.Feed(marked.substr(at, piece), false);
    resolver.Feed({}, true);
    return {out, resolver.guesses()};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    const unsigned pick = data[0], cut = data[1];
    const std::string_view bytes(reinterpret_cast<const char*>(data + 2), size - 2);
    static constexpr Encoding kEncodings[] = {Encoding::utf8, Encoding::utf16le, Encoding::sjis};
    static constexpr Carrier kCarriers[] = {Carrier::none, Carrier::imode, Carrier::ezweb,
                                            Carrier::softbank, Carrier::automatic};
    const Forms every = kDefaultInputForms | Form::sjisReferences | Form::cp932;
    const Forms forms[] = {Forms(), kDefaultInputForms, every, Form::cp932};
    const Format format{kEncodings[pick % 3], kCarriers[pick / 3 % 5], forms[pick / 15 % 4]};
    const Errors errors = static_cast<Errors>(pick / 60 % 3);

    const Outcome whole = DecodeInPieces(bytes, format, errors, bytes.size() + 1);
    const Outcome pieces = DecodeInPieces(bytes, format, errors, 1 + cut % 16);
    Check(whole.text == pieces.text && whole.ok == pieces.ok && whole.count == pieces.count);
    Check(whole.ok || errors == Errors::strict);

    std::vector<char16_t> units(bytes.size());
    const UtfResult strict = Utf16FromUtf8(bytes, units.data(), true, Errors::strict);
    const bool valid = strict.ok && strict.read == bytes.size();
    for (const simd::Level level : simd::kLevels) {
        simd::Limit(level);
        Check(IsUtf8(bytes) == valid);
    }
    simd::Limit(simd::Level::avx512bw);

    if (format.carrier == Carrier::automatic) {
        AutoOptions options;
        options.record = static_cast<Record>(cut / 16 % 3);
        const auto resolved = Resolve(whole.text, options, whole.text.size() + 1);
        Check(Resolve(whole.text, options, 1 + cut % 7) == resolved);
    }
    return 0;
}
