// The text commands' inputs and outputs: bytes through a Conversion in pieces, what the error
// policy replaced or kept accounted for with its place, and the runs to standard output.
#pragma once

#include <unistd.h>

#include <array>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "client/object.h"
#include "commands.h"
#include "io.h"
#include "text/text_pipe.h"
#include "text_options.h"

namespace glyphary::tool {

// ---------------------------------------------------------------------------------------------
// Conversions

/// One thread's converter of texts, one input after another (the module's objects, made once).
class Conversion {
  public:
    virtual ~Conversion() = default;
    /// Starts the input `name` (for messages), whose converted text goes to `sink`; what an
    /// input that failed halfway left behind is dropped.
    virtual void Begin(client::TextSink sink, const std::string& name) = 0;
    /// Room for `units` more units of input; valid until Commit.
    virtual char16_t* Reserve(size_t units) = 0;
    /// The first `units` units written at Reserve's pointer are input; converts what it can.
    virtual void Commit(size_t units) = 0;
    /// The end of the input: converts what is left.
    virtual void Finish() = 0;
};

/// Makes a Conversion on the thread that is to use it: the module's objects live in the
/// apartment of the thread that made them.
using MakeConversion = std::function<std::unique_ptr<Conversion>()>;

/// How a command reads and writes its text.
struct TextSettings {
    text::Format in;
    text::Format out;
    text::Errors errors = text::Errors::strict;
    bool showCodes = false;
};

// ---------------------------------------------------------------------------------------------
// What was replaced or kept

/// Whether `issue`, met decoding `format`, counts its offset in units of the decoded text
/// (an item of a legacy form) rather than in bytes.
bool InDecodedUnits(const text::Issue& issue, const text::Format& format);

/// The items the error policy replaced or kept, by kind, the first few with their place.
class IssueReport {
  public:
    /// How many items a report lists; the rest are counted.
    static constexpr size_t kListed = 10;

    /// Accounts for `issue` met in `format` while reading (`decoding`) or writing the input
    /// `name`, on line `line` (0: not known), under the policy `errors`.
    void Add(const text::Issue& issue, const text::Format& format, bool decoding,
             const std::string& name, size_t line, text::Errors errors);
    /// Adds `other`'s counts, and its items while fewer than kListed are listed.
    void Merge(const IssueReport& other);

    size_t total() const noexcept { return m_total; }
    /// "3 invalid Shift_JIS codes, 1 character without a code in the output".
    std::string Counts() const;
    /// The items listed, then "N replaced: counts" (or kept), on stderr; nothing when there
    /// were none. `files` how many inputs had any, when more than one input was read.
    void Print(text::Errors errors, size_t files) const;

  private:
    enum Kind {
        invalidUtf8,
        oddByte,
        invalidSjis,
        brokenEscape,
        loneSurrogate,
        noCode,
        unrecoverable,
        noEquivalent,
        unknownEmoji,
        kKinds
    };

    std::array<size_t, kKinds> m_counts{};
    size_t m_total = 0;
    std::vector<std::string> m_listed;
};

// ---------------------------------------------------------------------------------------------
// One input

/// Input that does not decode under --errors strict; the message names it and the byte.
class UndecodableInput : public ToolError {
  public:
    using ToolError::ToolError;
};

/// Line feeds counted over a stream that comes in pieces, for the line of an item reported in
/// the current piece. An item held over from the piece before lies on the piece's first line:
/// no decoder or encoder holds a line feed back.
class LineCount {
  public:
    /// `utf16le`: the stream is UTF-16LE bytes, a line feed the unit 0x000A.
    explicit LineCount(bool utf16le = false) : m_utf16le(utf16le) {}
    /// The next piece of bytes (or of UTF-16 units, through the overload), which must live
    /// until the next call.
    void Next(std::string_view piece);
    void Next(std::u16string_view piece);
    /// The line (from 1) of the unit at stream offset `offset` of the current piece.
    size_t LineAt(size_t offset);

  private:
    size_t CountTo(size_t end);

    bool m_utf16le;
    std::string_view m_bytes;
    std::u16string_view m_units;
    size_t m_start = 0;                      // the stream offset of the piece
    size_t m_before = 0;                     // line feeds before it
    size_t m_cursor = 0, m_cursorLines = 0;  // counted so far in the piece
    bool m_pendingFeed = false;  // UTF-16LE: the piece before ended with 0x0A at a unit's start
};

/// Lines whose text the conversion changes, counted by comparing the text read with the text
/// converted, line by line (by hash: memory grows with the lines in flight, not their length).
class LineChanges {
  public:
    void Input(std::u16string_view units);
    void Output(std::u16string_view units);
    /// The count, once all input and output has been seen.
    size_t Finish();

  private:
    static constexpr uint64_t kBasis = 14695981039346656037ull;
    std::deque<uint64_t> m_inputLines;
    uint64_t m_input = kBasis, m_output = kBasis;
    size_t m_changed = 0;
};

/// One input through a Conversion: bytes in, converted bytes out through `write`. Items the
/// policy replaces or keeps go to `report` with their place.
class InputConversion {
  public:
    /// `name` names the input in messages; `changes` counts lines changed, for --check.
    InputConversion(Conversion& conversion, const TextSettings& settings, std::string name,
                    text::TextPipe::Writer write, IssueReport& report, bool changes = false);
    InputConversion(const InputConversion&) = delete;
    InputConversion& operator=(const InputConversion&) = delete;

    /// The next bytes of input. Throws UndecodableInput, ToolError, and what the Conversion
    /// throws.
    void Feed(std::string_view bytes);
    /// The end of the input.
    void Finish();
    /// Lines changed, after Finish (with `changes`).
    size_t changedLines() const noexcept { return m_changedLines; }

  private:
    // The Conversion as the pipe feeds it: it sees the input units on their way.
    struct Feeder {
        InputConversion& self;
        char16_t* Reserve(size_t units) {
            return self.m_reserved = self.m_conversion.Reserve(units);
        }
        void Commit(size_t units);
    };
    void Take(std::u16string_view units);
    bool IsSubstitute(const text::Issue& issue) const;
    template <class Step>
    void Guarded(Step&& step);

    Conversion& m_conversion;
    const TextSettings& m_settings;
    std::string m_name;
    IssueReport& m_report;
    text::TextPipe m_pipe;
    LineCount m_inputLines, m_outputLines;
    std::unique_ptr<LineChanges> m_changes;
    char16_t* m_reserved = nullptr;
    std::u16string m_shown;
    size_t m_changedLines = 0;
    size_t m_substitutes = 0;  // units the decoder wrote for items, not met by the encoder yet
};

// ---------------------------------------------------------------------------------------------
// Runs

/// Converts each of `inputs` ("-": stdin) to stdout in order, each with a Conversion made once
/// by `make`. Failures are reported and the next input goes on; at the end, the summary of
/// what was replaced or kept. Returns the exit status: 1 after a failure, else 3 when anything
/// was replaced or kept, else 0.
int ConvertToStdout(const std::vector<std::string>& inputs, const MakeConversion& make,
                    const TextSettings& settings);

/// globalize, localize and convert alike: to stdout, or in place with --in-place.
int RunTextCommand(const Arguments& args, const TextOptions& options, const MakeConversion& make,
                   const TextSettings& settings);

/// Output bytes to stdout, for a TextPipe.
inline void WriteToStdout(std::string_view bytes) {
    WriteAll(STDOUT_FILENO, bytes, "standard output");
}

}  // namespace glyphary::tool
