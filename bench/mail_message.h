// The message of the mail benchmarks: 10 MiB as au handsets send it, an 8 MiB text/plain
// iso-2022-jp part and a 2 MiB image part.
#pragma once

#include <random>
#include <string>

namespace glyphary::bench {

/// Distinct emoji in the text: mail codes 0x75 0x21 upwards.
inline constexpr int kEmojiCount = 300;

// One line of Japanese mail text as handsets send it: short ASCII pieces between ESC $ B
// runs of JIS X 0208 characters, mostly hiragana (row 0x24), then kanji (rows 0x30-0x4F),
// katakana (0x25) and symbols (0x21), with about one emoji in twelve characters.
inline std::string TextLine(std::mt19937& rng) {
    std::uniform_int_distribution<int> ascii(0x20, 0x7E), cell(0x21, 0x7E), kanjiRow(0x30, 0x4F),
        asciiLength(0, 6), runLength(4, 24), percent(0, 99), emoji(0, kEmojiCount - 1);
    std::string line;
    while (line.size() < 70) {
        for (int i = asciiLength(rng); i > 0; --i) line.push_back(static_cast<char>(ascii(rng)));
        line += "\x1B$B";
        for (int i = runLength(rng); i > 0; --i) {
            const int p = percent(rng);
            int row = 0x24, column = cell(rng);
            if (p < 8) {
                const int e = emoji(rng);
                row = 0x75 + e / 94;
                column = 0x21 + e % 94;
            } else if (p < 30) {
                row = kanjiRow(rng);
            } else if (p < 40) {
                row = 0x25;
            } else if (p < 45) {
                row = 0x21;
            } else {
                column = 0x21 + column % 0x53;  // the 83 hiragana
            }
            line.push_back(static_cast<char>(row));
            line.push_back(static_cast<char>(column));
        }
        line += "\x1B(B";
    }
    return line;
}

// A multipart/mixed message: an 8 MiB text/plain iso-2022-jp part and a 2 MiB image part.
inline const std::string& Message() {
    static const std::string message = [] {
        std::mt19937 rng(7);
        std::string m =
            "From: sender@ezweb.ne.jp\r\nTo: receiver@example.jp\r\nSubject: test\r\n"
            "MIME-Version: 1.0\r\nContent-Type: multipart/mixed; boundary=\"b1\"\r\n\r\n\r\n"
            "--b1\r\nContent-Type: text/plain; charset=iso-2022-jp\r\n"
            "Content-Transfer-Encoding: 7bit\r\n\r\n";
        while (m.size() < (8u << 20)) m += TextLine(rng) + "\r\n";
        m += "--b1\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\n";
        static constexpr char kBase64[] =
            "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        std::uniform_int_distribution<int> b64(0, 63);
        while (m.size() < (10u << 20) - 80) {
            for (int i = 0; i < 76; ++i) m.push_back(kBase64[b64(rng)]);
            m += "\r\n";
        }
        m += "--b1--\r\n";
        return m;
    }();
    return message;
}

}  // namespace glyphary::bench
