// globalize, localize and convert with separate input and output encodings and an error policy,
// driven as a user would: what each policy writes, and the report of every item it replaced or
// kept.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <random>

#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;

class TextErrors : public ProgramTest {};

// One piece of a generated text: its bytes in, what each policy makes of them, and how many
// UTF-16 units it is in the converted text; `fault` names an item the policy replaces or keeps.
struct Piece {
    std::string in, replaced, kept;
    size_t units;
    const char* fault = nullptr;
};

// A text of `lines` lines made of `pieces` at random, with what each policy makes of it and
// the stderr report each gives: the first ten items by place, the rest counted.
struct Generated {
    std::string in;
    std::map<std::string, std::string> out;  // by policy
    std::map<std::string, std::string> err;
};

Generated Generate(const std::vector<Piece>& pieces, const std::string& file, bool decoding,
                   const std::string& kind, unsigned seed) {
    std::mt19937 random(seed);
    Generated g;
    std::vector<std::string> items[2];  // replace, keep
    size_t bytes = 0, units = 0, count = 0;
    for (size_t line = 1; line <= 40; ++line) {
        const size_t n = random() % 6;
        for (size_t k = 0; k < n; ++k) {
            const Piece& p = pieces[random() % pieces.size()];
            if (p.fault && count++ < 10) {
                const std::string where =
                    file + ":" + std::to_string(line) + ": " +
                    (decoding ? "byte " + std::to_string(bytes)
                              : "unit " + std::to_string(units) + " of the result") +
                    ": " + p.fault + "; ";
                items[0].push_back(where + (decoding ? "replaced by U+FFFD" : "replaced by ?"));
                items[1].push_back(where + (decoding ? "kept as it was" : "written as " + p.kept));
            }
            g.in += p.in;
            g.out["replace"] += p.replaced;
            g.out["keep"] += p.kept;
            bytes += p.in.size();
            units += p.units;
        }
        g.in += "\n";
        g.out["replace"] += "\n";
        g.out["keep"] += "\n";
        ++bytes, ++units;
    }
    const std::string more =
        count > 10 ? "glyphary: and " + std::to_string(count - 10) + " more\n" : std::string();
    const char* policies[] = {"replace", "keep"};
    for (int i = 0; i < 2; ++i) {
        std::string& err = g.err[policies[i]];
        for (const std::string& item : items[i]) err += "glyphary: " + item + "\n";
        err += more + "glyphary: " + std::to_string(count) + (i ? " kept: " : " replaced: ") +
               std::to_string(count) + " " + kind + "\n";
    }
    return g;
}

// Input that does not decode (bytes no Shift_JIS holds) and characters that the output cannot
// carry (U+1F600 and é have no Shift_JIS code), among text that converts: each policy writes
// its own substitute for each, counts them all and lists the first ten with their place:
// file, line and byte of the input, or unit of the converted text. Strict fails at the first.
TEST_F(TextErrors, EachPolicyReplacesOrKeepsAndListsEveryItemsPlace) {
    const std::string ff = "byte 0xFF is not valid Shift_JIS (imode)";
    const std::string fd = "byte 0xFD is not valid Shift_JIS (imode)";
    const std::vector<Piece> reading = {
        {"ok ", "ok ", "ok ", 3},
        {"\x90\xB0", "\xE6\x99\xB4", "\xE6\x99\xB4", 1},  // 晴
        {"\xF8\x9F", ":sun:", ":sun:", 5},
        {"\xFF", "\xEF\xBF\xBD", "\xFF", 1, ff.c_str()},  // U+FFFD, or the byte kept
        {"\xFD", "\xEF\xBF\xBD", "\xFD", 1, fd.c_str()},
    };
    const std::string smile =
        "U+1F600 has no code in Shift_JIS (imode) (--ncr writes it as a character reference)";
    const std::string eacute =
        "U+00E9 has no code in Shift_JIS (imode) (--ncr writes it as a character reference)";
    const std::vector<Piece> writing = {
        {"ok ", "ok ", "ok ", 3},
        {":sun:", "\xF8\x9F", "\xF8\x9F", 1},
        {"\xE6\x99\xB4", "\x90\xB0", "\x90\xB0", 1},
        {":smile:", "?", "&#128512;", 2, smile.c_str()},
        {"\xC3\xA9", "?", "&#233;", 1, eacute.c_str()},
    };
    struct Case {
        std::vector<std::string> args;
        const std::vector<Piece>& pieces;
        bool decoding;
        const char* kind;
    } cases[] = {
        {{"globalize", "-c", "imode", "--input-encoding", "sjis"},
         reading,
         true,
         "invalid Shift_JIS codes"},
        {{"localize", "-c", "imode", "--output-encoding", "sjis"},
         writing,
         false,
         "characters without a code in the output"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        for (unsigned seed = 1; seed <= 3; ++seed) {
            SCOPED_TRACE(c.args[0] + " seed " + std::to_string(seed));
            const std::string file = (dir / "text").string();
            const Generated g = Generate(c.pieces, file, c.decoding, c.kind, seed);
            WriteFile(file, g.in);
            for (const char* policy : {"replace", "keep"}) {
                std::vector<std::string> args = c.args;
                args.insert(args.end(), {"--errors", policy, file});
                const Outcome r = Run(args);
                EXPECT_EQ(r.status, 3) << policy;
                EXPECT_EQ(r.out, g.out.at(policy)) << policy;
                EXPECT_EQ(r.err, g.err.at(policy)) << policy;
            }
            std::vector<std::string> args = c.args;
            args.push_back(file);
            const Outcome strict = Run(args);
            EXPECT_EQ(strict.status, 1);
            EXPECT_THAT(strict.err, HasSubstr(c.decoding ? "(is it sjis? see --input-encoding, "
                                                           "or --errors)"
                                                         : "cannot be written in sjis"));
        }
    }
    // A lone surrogate, which UTF-16LE input may hold and UTF-8 cannot carry; a byte kept from
    // a byte encoding and written back is one item, not two.
    const Outcome lone =
        Run({"globalize", "-c", "imode", "--input-encoding", "utf-16le", "--errors", "keep"},
            std::string("a\0\x00\xD8\n\0", 6));
    EXPECT_EQ(lone.status, 3);
    EXPECT_EQ(lone.out, "a&#55296;\n");
    EXPECT_THAT(lone.err, HasSubstr("glyphary: standard input:1: unit 1 of the result: a lone "
                                    "surrogate U+D800"));
    EXPECT_THAT(lone.err, HasSubstr("glyphary: 1 kept: 1 lone surrogate\n"));
    // UTF-16LE lines are counted by their units: the odd last byte lies on line 3.
    const Outcome odd = Run({"globalize", "-c", "imode", "-e", "utf-16le", "--errors", "replace"},
                            std::string("a\0\n\0\n\n\n\0b", 9));
    EXPECT_EQ(odd.status, 3);
    EXPECT_THAT(odd.err, HasSubstr("glyphary: standard input:3: byte 8: UTF-16LE input has an odd "
                                   "number of bytes; replaced by U+FFFD\n"));
    // Issues in several inputs: counted together, with the number of inputs that had any.
    WriteFile(dir / "a", "\xFF\n");
    const Outcome two = Run({"globalize", "-c", "imode", "-e", "sjis", "--errors", "replace",
                             (dir / "a").string(), "-", (dir / "a").string()},
                            "\xFD");
    EXPECT_EQ(two.status, 3);
    EXPECT_THAT(two.err, HasSubstr("glyphary: standard input:1: byte 0: byte 0xFD"));
    EXPECT_THAT(two.err, HasSubstr("glyphary: 3 replaced in 3 files: 3 invalid Shift_JIS codes\n"));
}

// --input-encoding and --output-encoding each win over -e, whatever the order; the carrier's
// Shift_JIS layout follows the side it is for.
TEST_F(TextErrors, InputAndOutputEncodingsAreSeparate) {
    const std::string utf16Sun("\x4A\xE0", 2);  // SoftBank's sun, U+E04A
    const struct {
        std::vector<std::string> args;
        std::string in, out;
    } cases[] = {
        {{"globalize", "-c", "imode", "--input-encoding", "sjis"}, "\x90\xB0\xF8\x9F", "晴:sun:"},
        {{"localize", "-c", "imode", "--output-encoding", "cp932"}, "晴:sun:", "\x90\xB0\xF8\x9F"},
        {{"localize", "-c", "imode", "--output-encoding=sjis", "-e", "utf-16le"},
         std::string(":\0s\0u\0n\0:\0", 10),
         "\xF8\x9F"},
        {{"convert", "-f", "imode", "-t", "softbank", "--input-encoding", "sjis"},
         "\xF8\x9F",
         kSoftbankSun},
        {{"convert", "-f", "imode", "-t", "softbank", "--output-encoding", "sjis"},
         kImodeSun,
         "\xF9\x8B"},
        {{"convert", "-f", "imode", "-t", "softbank", "-e", "sjis", "--output-encoding",
          "utf-16le"},
         "\xF8\x9F",
         utf16Sun},
    };
    for (const auto& c : cases) {
        const Outcome r = Run(c.args, c.in);
        EXPECT_EQ(r.status, 0) << c.args[0] << " " << c.args[3] << r.err;
        EXPECT_EQ(r.out, c.out) << c.args[0] << " " << c.args[3];
    }
}

TEST_F(TextErrors, OptionsThatMakeNoSenseAreUsageErrors) {
    const struct {
        std::vector<std::string> args;
        const char* message;
    } cases[] = {
        {{"globalize", "-c", "imode", "--errors", "ignore"}, "--errors ignore: use strict"},
        {{"globalize", "-c", "imode", "--input-encoding", "latin1"}, "unknown encoding 'latin1'"},
        {{"convert", "-f", "imode", "-t", "ezweb", "-r", "x"}, "--recursive goes with --in-place"},
        {{"convert", "-f", "imode", "-t", "ezweb", "-j", "2", "x"}, "--jobs goes with"},
        {{"localize", "-c", "imode", "--backup", ".orig", "x"}, "--backup goes with"},
        {{"localize", "-c", "imode", "-i"}, "--in-place needs the files"},
        {{"localize", "-c", "imode", "--check", "--backup", ".orig", "x"},
         "--check writes nothing"},
        {{"localize", "-c", "imode", "-i", "--backup", "a/b", "x"}, "--backup takes a suffix"},
        {{"localize", "-c", "imode", "-i", "--show-codes", "x"}, "--show-codes is for terminals"},
        {{"localize", "-c", "imode", "-i", "-j", "0", "x"}, "--jobs takes how many files"},
    };
    for (const auto& c : cases) {
        const Outcome r = Run(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_THAT(r.err, HasSubstr(std::string("glyphary: ") + c.message));
        EXPECT_THAT(r.err, HasSubstr("Try 'glyphary " + c.args[0] + " --help'."));
    }
}

}  // namespace
}  // namespace glyphary::testing
