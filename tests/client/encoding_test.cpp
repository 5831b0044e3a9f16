// The streaming codecs: any cut of the input gives what one whole call gives, errors included.
#include <random>

#include <gtest/gtest.h>

#include "client/encoding.h"

namespace {

using namespace glyphary::client;

std::u16string RandomText(std::mt19937& rng) {
    // ASCII, kana, kanji, the i-mode sun, a supplementary character: all have CP932 codes but
    // the last, which CP932 texts below leave out.
    static const std::u16string pool = u"a :\n\x3042\x65E5\xE63E";
    std::uniform_int_distribution<size_t> pick(0, pool.size()), length(0, 300);
    std::u16string s;
    for (size_t n = length(rng); n > 0; --n) {
        const size_t k = pick(rng);
        if (k < pool.size()) {
            s += pool[k];
        } else {
            s += u"\xD83D\xDE00";
        }
    }
    return s;
}

// `bytes` decoded in random pieces; the error's message and offset, if any, as text.
std::u16string DecodeInPieces(std::mt19937& rng, std::string_view bytes, Encoding encoding,
                              std::string& error) {
    Decoder decoder({encoding, MPM_imode, false});
    std::u16string out;
    try {
        while (true) {
            const size_t n =
                std::min(bytes.size(), std::uniform_int_distribution<size_t>(0, 7)(rng));
            const bool final = n == bytes.size();
            std::u16string room(Decoder::Room(n), u'\0');
            out.append(room.data(), decoder.Decode(bytes.substr(0, n), final, room.data()));
            bytes.remove_prefix(n);
            if (final) return out;
        }
    } catch (const EncodingError& e) {
        error = std::to_string(e.offset()) + ": " + e.what();
    }
    return out;
}

TEST(Encoding, PiecesDecodeAndEncodeAsTheWholeDoes) {
    std::mt19937 rng(12);
    for (const Encoding encoding : {Encoding::utf8, Encoding::utf16le, Encoding::sjis}) {
        for (int round = 0; round < 300; ++round) {
            std::u16string text = RandomText(rng);
            if (encoding == Encoding::sjis)
                std::erase_if(text, [](char16_t u) { return u >= 0xD800 && u < 0xE000; });
            const TextFormat format{encoding, MPM_imode, false};
            const std::string bytes = Encode(text, format);
            // Encoding in pieces, a surrogate pair cut between them included.
            Encoder encoder(format);
            std::string pieces;
            for (size_t at = 0; at < text.size();) {
                const size_t n = std::uniform_int_distribution<size_t>(0, 5)(rng);
                encoder.Encode(std::u16string_view(text).substr(at, n), false, pieces);
                at += n;
            }
            encoder.Encode({}, true, pieces);
            ASSERT_EQ(pieces, bytes) << EncodingName(encoding);

            std::string error;
            ASSERT_EQ(DecodeInPieces(rng, bytes, encoding, error), text) << EncodingName(encoding);
            ASSERT_EQ(error, "");

            // A damaged copy fails at the same byte whatever the cuts.
            std::string damaged = bytes;
            if (damaged.empty()) continue;
            damaged[std::uniform_int_distribution<size_t>(0, damaged.size() - 1)(rng)] = '\xFF';
            std::string whole;
            try {
                Decode(damaged, format);
            } catch (const EncodingError& e) {
                whole = std::to_string(e.offset()) + ": " + e.what();
            }
            DecodeInPieces(rng, damaged, encoding, error);
            ASSERT_EQ(error, whole) << EncodingName(encoding);
        }
    }
}

}  // namespace
