// convert reading stored legacy text, driven as a user would with the sample configuration:
// every emoji of every carrier in every form and encoding, and records of mixed carriers with
// --from auto. Expected output always comes from the program itself converting each emoji's
// plain code from its own carrier, so nothing here lists an emoji by hand.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <regex>
#include <sstream>

#include "support/legacy_forms.h"
#include "tools/fixture.h"

namespace glyphary::testing {
namespace {

using ::testing::HasSubstr;

constexpr Carrier kCarriers[] = {Carrier::imode, Carrier::ezweb, Carrier::softbank};

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string Utf8(std::u16string_view units) {
    return text::Encode(units, Format{Encoding::utf8});
}

class LegacyText : public ProgramTest {
  protected:
    Outcome Sample(std::vector<std::string> args, const std::string& input) {
        args.insert(args.begin(), {"--module", GLYPHARY_MODULE_FILE});
        return RunPlain(std::move(args), input);
    }

    // Each of `carrier`'s emoji codes, and what convert makes of each alone as notation.
    std::pair<std::vector<char16_t>, std::vector<std::string>> Baseline(Carrier carrier) {
        std::vector<char16_t> codes;
        std::string in;
        for (const LegacyEmoji& e : text::LegacyEmojis()) {
            if (!e.CodeOf(carrier)) continue;
            codes.push_back(e.CodeOf(carrier));
            in += Utf8(std::u16string(1, codes.back())) + "\n";
        }
        const Outcome r =
            Sample({"convert", "-f", text::CarrierName(carrier), "-t", "notation"}, in);
        EXPECT_EQ(r.status, 0) << r.err;
        std::vector<std::string> lines = SplitLines(r.out);
        EXPECT_EQ(lines.size(), codes.size());
        return {codes, lines};
    }
};

// Every way each emoji was stored reads as the emoji itself: one run per carrier, encoding and
// set of forms (text through CP932 alone, since its units are other carriers' codes).
TEST_F(LegacyText, EveryFormOfEveryEmojiReadsAsItsCode) {
    const Forms all =
        Form::references | Form::sjisReferences | Form::localsrc | Form::webCodes | Form::google;
    for (const Carrier carrier : kCarriers) {
        const auto [codes, expected] = Baseline(carrier);
        for (const Encoding encoding : {Encoding::utf8, Encoding::utf16le, Encoding::sjis}) {
            for (const Forms forms : {all, Forms(Form::cp932)}) {
                std::string in;
                std::vector<std::string> want;
                for (size_t i = 0; i < codes.size(); ++i) {
                    for (const Written& w : WaysOf(carrier, codes[i], encoding)) {
                        if (!(w.forms == Forms() || (w.forms.without(forms)).empty())) continue;
                        if (forms == Forms(Form::cp932) && w.forms == Forms()) continue;
                        in += Input("", w, "\n", encoding);
                        want.push_back(expected[i]);
                    }
                }
                if (want.empty()) continue;  // no CP932 decoder's text in Shift_JIS
                const std::string label = std::string(text::CarrierName(carrier)) + " " +
                                          text::EncodingName(encoding) + " " +
                                          text::FormNames(forms);
                const Outcome r =
                    Sample({"convert", "-f", text::CarrierName(carrier), "-t", "notation",
                            "--input-encoding", text::EncodingName(encoding), "--forms",
                            text::FormNames(forms)},
                           in);
                EXPECT_EQ(r.status, 0) << label << ": " << r.err;
                EXPECT_EQ(SplitLines(r.out), want) << label;
            }
        }
    }
}

// Records of three carriers interleaved: with one code only its carrier has, every emoji goes
// to the carrier that wrote the record, and nothing is guessed. Alone, a code several carriers
// have is guessed as --prefer says, each guess listed by --explain with its file and line and
// counted in the summary.
TEST_F(LegacyText, AutoGivesEachRecordItsCarrierAndListsEveryGuess) {
    std::vector<std::pair<std::vector<char16_t>, std::vector<std::string>>> baselines;
    for (const Carrier carrier : kCarriers) baselines.push_back(Baseline(carrier));
    for (const Encoding encoding : {Encoding::utf8, Encoding::utf16le, Encoding::sjis}) {
        const std::string enc = text::EncodingName(encoding);
        // Each carrier's witness alone, as its own carrier converts it.
        std::string witnesses;
        const std::string space = text::Encode(u" ", Format{encoding}),
                          feed = text::Encode(u"\n", Format{encoding});
        for (const Carrier c : kCarriers) witnesses += Witness(c, encoding, {}) + feed;
        const Outcome w =
            Sample({"convert", "-f", "auto", "-t", "notation", "--input-encoding", enc}, witnesses);
        ASSERT_EQ(w.status, 0) << w.err;
        ASSERT_EQ(w.err, "");
        const std::vector<std::string> witnessLines = SplitLines(w.out);
        ASSERT_EQ(witnessLines.size(), 3u);

        std::string mixed;
        std::vector<std::string> want;
        for (size_t i = 0, left = 3; left; ++i) {
            left = 0;
            for (size_t k = 0; k < 3; ++k) {
                const auto& [codes, expected] = baselines[k];
                if (i >= codes.size()) continue;
                ++left;
                const Written plain = WaysOf(kCarriers[k], codes[i], encoding)[0];
                mixed += Input("", plain, "", encoding) + space +
                         Witness(kCarriers[k], encoding, {}) + feed;
                want.push_back(expected[i] + " " + witnessLines[k]);
            }
        }
        const Outcome r =
            Sample({"convert", "-f", "auto", "-t", "notation", "--input-encoding", enc}, mixed);
        EXPECT_EQ(r.status, 0) << enc << ": " << r.err;
        EXPECT_EQ(r.err, "") << enc;
        EXPECT_EQ(SplitLines(r.out), want) << enc;

        // Alone, preferring the carrier that wrote them: its own conversion, guesses listed.
        for (size_t k = 0; k < 3; ++k) {
            const auto& [codes, expected] = baselines[k];
            std::string alone;
            for (const char16_t code : codes)
                alone += Input("", WaysOf(kCarriers[k], code, encoding)[0], "\n", encoding);
            const std::string name = text::CarrierName(kCarriers[k]);
            const Outcome g = Sample({"convert", "-f", "auto", "-t", "notation", "--input-encoding",
                                      enc, "--prefer", name, "--explain"},
                                     alone);
            EXPECT_EQ(g.status, 0) << name << " " << enc << ": " << g.err;
            EXPECT_EQ(SplitLines(g.out), expected) << name << " " << enc;
            const std::regex guess("glyphary: standard input:([0-9]+): .* could be .*: took " +
                                   name +
                                   ", the first preferred \\(the record shows no carrier\\)");
            const std::vector<std::string> err = SplitLines(g.err);
            size_t guesses = 0, last = 0;
            for (const std::string& line : err) {
                std::smatch m;
                if (!std::regex_match(line, m, guess)) continue;
                const size_t at = std::stoul(m[1]);
                EXPECT_GT(at, last) << line;
                EXPECT_LE(at, codes.size()) << line;
                last = at;
                ++guesses;
            }
            // The Shift_JIS layouts overlap for every carrier; the code points only for au
            // and SoftBank.
            if (encoding == Encoding::sjis || kCarriers[k] != Carrier::imode) {
                ASSERT_GT(guesses, 0u) << name << " " << enc;
                EXPECT_EQ(err.size(), guesses + 1) << g.err;
                EXPECT_THAT(err.back(),
                            HasSubstr("glyphary: " + std::to_string(guesses) + " emoji guessed"));
            } else {
                EXPECT_EQ(g.err, "");
            }
        }
    }
}

}  // namespace
}  // namespace glyphary::testing
