#include "text_io.h"

#include <algorithm>
#include <cstdio>

#include "in_place.h"
#include "text/unicode.h"

namespace glyphary::tool {

// ---------------------------------------------------------------------------------------------
// What was replaced or kept

namespace {

// What the policy wrote in an item's place.
std::string WrittenAs(const text::Issue& issue, bool decoding, text::Errors errors) {
    if (errors == text::Errors::replace) return decoding ? "replaced by U+FFFD" : "replaced by ?";
    if (decoding) return "kept as it was";
    char written[text::kMaxReference];
    const size_t n = text::Substitute(errors, issue.value, written);
    if (n == 1) return "written as byte 0x" + text::Hex(static_cast<unsigned char>(written[0]), 2);
    return "written as " + std::string(written, n);
}

std::string Plural(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

}  // namespace

bool InDecodedUnits(const text::Issue& issue, const text::Format& format) {
    switch (issue.fault) {
        case text::Fault::cp932Code:
        case text::Fault::noEquivalent:
        case text::Fault::unknownGoogle:
        case text::Fault::unknownNumber:
            return true;
        case text::Fault::escapePage:
        case text::Fault::escapeEmpty:
        case text::Fault::escapeUnclosed:
        case text::Fault::escapeCode:
        case text::Fault::escapeCut:
            return format.encoding != text::Encoding::sjis;
        default:
            return false;
    }
}

void IssueReport::Add(const text::Issue& issue, const text::Format& format, bool decoding,
                      const std::string& name, size_t line, text::Errors errors) {
    Kind kind = noCode;
    switch (issue.fault) {
        case text::Fault::utf8Sequence:
            kind = invalidUtf8;
            break;
        case text::Fault::utf16OddByte:
            kind = oddByte;
            break;
        case text::Fault::sjisByte:
        case text::Fault::sjisPair:
        case text::Fault::sjisCut:
            kind = invalidSjis;
            break;
        case text::Fault::escapePage:
        case text::Fault::escapeEmpty:
        case text::Fault::escapeUnclosed:
        case text::Fault::escapeCode:
        case text::Fault::escapeCut:
            kind = brokenEscape;
            break;
        case text::Fault::loneSurrogate:
            kind = loneSurrogate;
            break;
        case text::Fault::noCode:
            kind = noCode;
            break;
        case text::Fault::cp932Code:
            kind = unrecoverable;
            break;
        case text::Fault::noEquivalent:
            kind = noEquivalent;
            break;
        case text::Fault::unknownGoogle:
        case text::Fault::unknownNumber:
            kind = unknownEmoji;
            break;
    }
    ++m_counts[kind];
    ++m_total;
    if (m_listed.size() >= kListed) return;
    const std::string where = !decoding ? "unit " + std::to_string(issue.offset) + " of the result"
                              : InDecodedUnits(issue, format)
                                  ? "unit " + std::to_string(issue.offset) + " of the decoded text"
                                  : "byte " + std::to_string(issue.offset);
    // Appended piece by piece: GCC 12 at -O3 misreads `":" + std::to_string(line)` (-Wrestrict).
    std::string item = name;
    if (line) item.append(":").append(std::to_string(line));
    item.append(": ").append(where).append(": ").append(text::Describe(issue, format));
    item.append("; ").append(WrittenAs(issue, decoding, errors));
    m_listed.push_back(std::move(item));
}

void IssueReport::Merge(const IssueReport& other) {
    for (size_t k = 0; k < kKinds; ++k) m_counts[k] += other.m_counts[k];
    m_total += other.m_total;
    for (const std::string& item : other.m_listed) {
        if (m_listed.size() >= kListed) break;
        m_listed.push_back(item);
    }
}

std::string IssueReport::Counts() const {
    static constexpr const char* kNames[kKinds][2] = {
        {"invalid UTF-8 sequence", "invalid UTF-8 sequences"},
        {"odd last byte", "odd last bytes"},
        {"invalid Shift_JIS code", "invalid Shift_JIS codes"},
        {"broken SoftBank escape", "broken SoftBank escapes"},
        {"lone surrogate", "lone surrogates"},
        {"character without a code in the output", "characters without a code in the output"},
        {"code the carrier's layout lacks (through CP932)",
         "codes the carrier's layout lacks (through CP932)"},
        {"emoji the carrier lacks", "emoji the carrier lacks"},
        {"unknown emoji number or Google code", "unknown emoji numbers or Google codes"},
    };
    std::string out;
    for (size_t k = 0; k < kKinds; ++k) {
        if (!m_counts[k]) continue;
        if (!out.empty()) out += ", ";
        out += Plural(m_counts[k], kNames[k][0], kNames[k][1]);
    }
    return out;
}

void IssueReport::Print(text::Errors errors, size_t files) const {
    if (!m_total) return;
    for (const std::string& item : m_listed) Report(item);
    if (m_total > m_listed.size())
        Report("and " + std::to_string(m_total - m_listed.size()) + " more");
    Report(std::to_string(m_total) + (errors == text::Errors::keep ? " kept" : " replaced") +
           (files > 1 ? " in " + std::to_string(files) + " files" : "") + ": " + Counts());
}

// ---------------------------------------------------------------------------------------------
// Lines

void LineCount::Next(std::string_view piece) {
    m_before += CountTo(m_bytes.size());
    if (m_utf16le && !m_bytes.empty())
        m_pendingFeed = (m_start + m_bytes.size() - 1) % 2 == 0 && m_bytes.back() == '\n';
    m_start += m_bytes.size();
    if (m_pendingFeed && !piece.empty()) {
        if (piece.front() == '\0') ++m_before;
        m_pendingFeed = false;
    }
    m_bytes = piece;
    m_cursor = m_cursorLines = 0;
}

void LineCount::Next(std::u16string_view piece) {
    m_before += CountTo(m_units.size());
    m_start += m_units.size();
    m_units = piece;
    m_cursor = m_cursorLines = 0;
}

size_t LineCount::CountTo(size_t end) {
    if (end < m_cursor) m_cursor = m_cursorLines = 0;
    if (!m_units.empty()) {
        m_cursorLines += static_cast<size_t>(
            std::count(m_units.begin() + m_cursor, m_units.begin() + end, u'\n'));
    } else if (!m_utf16le) {
        m_cursorLines += static_cast<size_t>(
            std::count(m_bytes.begin() + m_cursor, m_bytes.begin() + end, '\n'));
    } else {
        // Units start at even stream offsets; one cut by the piece's end was counted by Next.
        for (size_t i = m_cursor + (m_start + m_cursor) % 2; i < end && i + 1 < m_bytes.size();
             i += 2)
            if (m_bytes[i] == '\n' && m_bytes[i + 1] == '\0') ++m_cursorLines;
    }
    m_cursor = end;
    return m_cursorLines;
}

size_t LineCount::LineAt(size_t offset) {
    const size_t size = std::max(m_bytes.size(), m_units.size());
    const size_t at = offset > m_start ? std::min(offset - m_start, size) : 0;
    return m_before + CountTo(at) + 1;
}

namespace {

uint64_t Hash(uint64_t hash, char16_t unit) {
    return (hash ^ unit) * 1099511628211ull;
}

}  // namespace

void LineChanges::Input(std::u16string_view units) {
    for (const char16_t u : units) {
        if (u == u'\n') {
            m_inputLines.push_back(m_input);
            m_input = kBasis;
        } else {
            m_input = Hash(m_input, u);
        }
    }
}

void LineChanges::Output(std::u16string_view units) {
    for (const char16_t u : units) {
        if (u != u'\n') {
            m_output = Hash(m_output, u);
            continue;
        }
        if (m_inputLines.empty() || m_inputLines.front() != m_output) ++m_changed;
        if (!m_inputLines.empty()) m_inputLines.pop_front();
        m_output = kBasis;
    }
}

size_t LineChanges::Finish() {
    // The last lines, when no line feed ends them, and input lines that gave no output line.
    if (m_input != m_output) ++m_changed;
    m_changed += m_inputLines.size();
    m_inputLines.clear();
    m_input = m_output = kBasis;
    return m_changed;
}

// ---------------------------------------------------------------------------------------------
// One input

InputConversion::InputConversion(Conversion& conversion, const TextSettings& settings,
                                 std::string name, text::TextPipe::Writer write,
                                 IssueReport& report, bool changes)
    : m_conversion(conversion),
      m_settings(settings),
      m_name(std::move(name)),
      m_report(report),
      m_pipe(settings.in, settings.errors, settings.out, settings.errors, std::move(write)),
      m_inputLines(settings.in.encoding == text::Encoding::utf16le) {
    if (changes) m_changes = std::make_unique<LineChanges>();
    if (settings.errors != text::Errors::strict) {
        m_pipe.decoder().issues().SetHook([this](const text::Issue& issue) {
            // Items of the forms count in units of the decoded text, whose lines no one counts.
            const bool units = InDecodedUnits(issue, m_settings.in);
            m_report.Add(issue, m_settings.in, true, m_name,
                         units ? 0 : m_inputLines.LineAt(issue.offset), m_settings.errors);
            m_substitutes += m_settings.errors == text::Errors::keep ? issue.length : 1;
        });
        m_pipe.encoder().issues().SetHook([this](const text::Issue& issue) {
            if (m_substitutes && IsSubstitute(issue)) {
                --m_substitutes;
                return;
            }
            m_report.Add(issue, m_settings.out, false, m_name, m_outputLines.LineAt(issue.offset),
                         m_settings.errors);
        });
    }
    m_conversion.Begin([this](std::u16string_view units) { Take(units); }, m_name);
}

// What the decoder wrote for an item it replaced (U+FFFD) or kept (a byte as U+DC00 + b)
// reaches the encoder as an item again when the output cannot carry it: one item, counted
// once, as it was read.
bool InputConversion::IsSubstitute(const text::Issue& issue) const {
    if (m_settings.errors == text::Errors::replace)
        return issue.fault == text::Fault::noCode && issue.value == 0xFFFD;
    return issue.fault == text::Fault::loneSurrogate && issue.value >= 0xDC00 &&
           issue.value <= 0xDCFF;
}

void InputConversion::Feeder::Commit(size_t units) {
    if (self.m_changes) self.m_changes->Input({self.m_reserved, units});
    self.m_conversion.Commit(units);
}

void InputConversion::Take(std::u16string_view units) {
    if (m_changes) m_changes->Output(units);
    if (m_settings.showCodes) {
        m_shown.clear();
        text::AppendShowingCodes(units, m_shown);
        units = m_shown;
    }
    if (m_settings.errors != text::Errors::strict) m_outputLines.Next(units);
    m_pipe.Take(units);
}

template <class Step>
void InputConversion::Guarded(Step&& step) {
    try {
        step();
    } catch (const text::InputEncodingError& e) {
        const bool units = InDecodedUnits(e.issue(), m_settings.in);
        throw UndecodableInput(
            m_name + (units ? ": unit " : ": byte ") + std::to_string(e.offset()) +
            (units ? " of the decoded text: " : ": ") + e.what() +
            (units ? std::string(" (see --forms, or --errors)")
                   : " (is it " + std::string(text::EncodingName(m_settings.in.encoding)) +
                         "? see --input-encoding, or --errors)"));
    } catch (const text::OutputEncodingError& e) {
        throw ToolError(m_name + ": the result's unit " + std::to_string(e.offset()) +
                        " cannot be written in " + text::EncodingName(m_settings.out.encoding) +
                        ": " + e.what());
    }
}

void InputConversion::Feed(std::string_view bytes) {
    // A slice at a time: decoded, converted and encoded while its units are still in cache,
    // and the strings each call of the module makes stay small.
    constexpr size_t kSlice = size_t{1} << 16;
    Feeder feeder{*this};
    do {
        const std::string_view slice = bytes.substr(0, kSlice);
        bytes.remove_prefix(slice.size());
        if (m_settings.errors != text::Errors::strict) m_inputLines.Next(slice);
        Guarded([&] { m_pipe.Feed(feeder, slice, false); });
    } while (!bytes.empty());
}

void InputConversion::Finish() {
    Feeder feeder{*this};
    Guarded([&] {
        m_pipe.Feed(feeder, {}, true);
        m_conversion.Finish();
        m_pipe.Finish();
    });
    if (m_changes) m_changedLines = m_changes->Finish();
}

// ---------------------------------------------------------------------------------------------
// Runs

int ConvertToStdout(const std::vector<std::string>& inputs, const MakeConversion& make,
                    const TextSettings& settings) {
    constexpr size_t kReadSize = size_t{1} << 20;
    const std::unique_ptr<Conversion> conversion = make();
    const auto buffer = std::make_unique_for_overwrite<char[]>(kReadSize);
    IssueReport total;
    size_t files = 0;
    int status = 0;
    for (const std::string& input : inputs) {
        IssueReport report;
        try {
            InputStream stream(input);
            InputConversion converting(*conversion, settings, stream.name(), WriteToStdout, report);
            while (const size_t n = stream.Read(buffer.get(), kReadSize))
                converting.Feed({buffer.get(), n});
            converting.Finish();
        } catch (const ComError& e) {
            Report((input == "-" ? "standard input" : input) + ": " + e.what());
            status = 1;
        } catch (const ToolError& e) {
            Report(e.what());
            status = 1;
        }
        if (report.total()) ++files;
        total.Merge(report);
    }
    total.Print(settings.errors, files);
    if (status) return status;
    return total.total() ? 3 : 0;
}

int RunTextCommand(const Arguments& args, const TextOptions& options, const MakeConversion& make,
                   const TextSettings& settings) {
    if (options.inPlace.enabled)
        return ConvertInPlace(args.Operands(), options.inPlace, make, settings);
    std::vector<std::string> inputs = args.Operands();
    if (inputs.empty()) inputs.push_back("-");
    return ConvertToStdout(inputs, make, settings);
}

}  // namespace glyphary::tool
