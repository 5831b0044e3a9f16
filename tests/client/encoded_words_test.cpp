// RFC 2047 encoded words: the linear tokenizer against a regular expression of the same
// words, and payloads decoded and encoded again.
#include <gtest/gtest.h>

#include <random>
#include <regex>

#include "client/encoded_words.h"

namespace {

using namespace glyphary::client;

// Random header text full of near-words, against the words' plain definition.
TEST(EncodedWords, TheTokenizerFindsWhatTheGrammarDescribes) {
    const std::regex word(R"(=\?[^?\s]+\?[BbQq]\?[^?\s]*\?=)");
    const std::string pieces[] = {"=?", "?=", "?",   "=",    "B",          "q",      "x",   "utf-8",
                                  " ",  "\t", "?B?", "YQ==", "=?utf-8?B?", "=?x?q?", "a?=", "?="};
    std::mt19937 rng(2047);
    size_t words = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string text;
        for (int n = std::uniform_int_distribution<int>(1, 12)(rng); n > 0; --n)
            text += pieces[rng() % std::size(pieces)];
        for (size_t at = 0; at < text.size(); ++at) {
            std::smatch m;
            const bool expected =
                std::regex_search(text.cbegin() + static_cast<long>(at), text.cend(), m, word,
                                  std::regex_constants::match_continuous);
            const std::optional<EncodedWordText> found = EncodedWordAt(text, at);
            ASSERT_EQ(found.has_value(), expected) << text << " at " << at;
            if (!found) continue;
            ++words;
            ASSERT_EQ(found->end, at + static_cast<size_t>(m.length(0))) << text;
            EXPECT_EQ(found->charset.data(), text.data() + at + 2);
            EXPECT_EQ(found->payload.data() + found->payload.size() + 2, text.data() + found->end);
        }
    }
    EXPECT_GT(words, 1000u);
}

// Re-encoding gives back the bytes asked for; Q keeps what did not change as it was written.
TEST(EncodedWords, PayloadsEncodeBackToTheBytesTheyCarry) {
    std::mt19937 rng(7);
    for (int round = 0; round < 2000; ++round) {
        std::string bytes(std::uniform_int_distribution<size_t>(0, 30)(rng), '\0');
        for (char& c : bytes) c = static_cast<char>(rng() % 4 ? 'a' + rng() % 26 : rng());
        // A Q payload that writes some bytes literally, some as =XX, spaces as '_'.
        std::string q;
        for (const char c : bytes) {
            if (c == ' ') {
                q += '_';
            } else if (c > ' ' && c < 0x7F && c != '=' && c != '?' && c != '_' && rng() % 2) {
                q += c;
            } else {
                static constexpr char kHex[] = "0123456789ABCDEF";
                q += {'=', kHex[static_cast<uint8_t>(c) >> 4], kHex[c & 15]};
            }
        }
        const std::string qText = "=?iso-2022-jp?Q?" + q + "?=";
        const std::optional<EncodedWordText> qWord = EncodedWordAt(qText, 0);
        ASSERT_TRUE(qWord) << qText;
        ASSERT_EQ(DecodeWordPayload(*qWord), bytes);
        EXPECT_EQ(ReencodeWordPayload(*qWord, bytes), q);

        std::string changed = bytes;
        if (!changed.empty()) changed[rng() % changed.size()] ^= 0x40;
        const std::string again = "=?x?q?" + ReencodeWordPayload(*qWord, changed) + "?=";
        EXPECT_EQ(DecodeWordPayload(*EncodedWordAt(again, 0)), changed);
        const std::string b = "=?x?B?" + ReencodeWordPayload({0, 0, "x", 'B', ""}, changed) + "?=";
        EXPECT_EQ(DecodeWordPayload(*EncodedWordAt(b, 0)), changed);
    }
}

}  // namespace
