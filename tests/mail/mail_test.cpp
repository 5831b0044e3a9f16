// ConvertEzwebMail and its line reader and writers: byte-exact outputs for single-part and
// multipart messages, the structure faults, the order of stream calls, and failures injected
// at every Read and Write.
#include <sys/mman.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "mail/mail.h"
#include "mail/streams.h"
#include "support/calls.h"
#include "support/object.h"
#include "support/tables.h"

namespace glyphary {
namespace {

using testing::ScriptedStream;

// Two known mail codes, A and B, and their web codes.
const std::string A = "\x75\x41", B = "\x76\x22";
const std::string WA = "\x7B\x21", WB = "\x7C\x23";
const std::string JisIn = "\x1B$B", JisOut = "\x1B(B";
// A body line with codes in a run and one in ASCII text, and the same line transcoded.
const std::string Text = "Hi " + JisIn + A + "\x30\x30" + B + JisOut + " " + A;
const std::string Done = "Hi " + JisIn + WA + "\x30\x30" + WB + JisOut + " " + A;

const std::string TextHeader = "Content-Type: text/plain; charset=ISO-2022-JP";

class MailTest : public ::testing::Test {
  protected:
    void SetUp() override {
        testing::ResetTables();
        g_tables.ezwebMailCodeMap.Set(0x75, 0x41, 0x7B, 0x21);
        g_tables.ezwebMailCodeMap.Set(0x76, 0x22, 0x7C, 0x23);
    }
    void TearDown() override { testing::ResetTables(); }
};

struct Converted {
    HRESULT hr;
    std::string output;
    size_t consumed;  // input bytes read
};

// Converts through a conversion object, as a client calls it.
Converted Convert(const std::string& input) {
    ScriptedStream in(input), out;
    const HRESULT hr = testing::MakeObject()->ConvertEzwebMail(&in, &out);
    EXPECT_EQ(in.badCalls + out.badCalls, "");
    EXPECT_EQ(in.log.find('x'), std::string::npos) << "input stream used beyond Read";
    EXPECT_EQ(out.log.find('x'), std::string::npos) << "output stream used beyond Write";
    EXPECT_EQ(out.log.find('r'), std::string::npos);
    EXPECT_EQ(in.log.find('w'), std::string::npos);
    return {hr, out.output, in.position};
}

// Converts through the platform's memory streams, whose Read the reader calls directly: the
// result, the output and the bytes read must be those of any other stream.
Converted ConvertInMemory(const std::string& input) {
    com_ptr<IStream> in, out;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, in.put()), S_OK);
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, out.put()), S_OK);
    EXPECT_EQ(in->Write(input.data(), static_cast<ULONG>(input.size()), nullptr), S_OK);
    LARGE_INTEGER zero{};
    ULARGE_INTEGER consumed{}, written{};
    EXPECT_EQ(in->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    const HRESULT hr = testing::MakeObject()->ConvertEzwebMail(in.get(), out.get());
    EXPECT_EQ(in->Seek(zero, STREAM_SEEK_CUR, &consumed), S_OK);
    EXPECT_EQ(out->Seek(zero, STREAM_SEEK_CUR, &written), S_OK);
    std::string output(written.QuadPart, '\0');
    EXPECT_EQ(out->Seek(zero, STREAM_SEEK_SET, nullptr), S_OK);
    if (!output.empty()) {
        EXPECT_EQ(out->Read(output.data(), static_cast<ULONG>(output.size()), nullptr), S_OK);
    }
    return {hr, output, static_cast<size_t>(consumed.QuadPart)};
}

struct Case {
    const char* name;
    std::string input;
    std::string expected;
    HRESULT hr = S_OK;
};

void ExpectConversions(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        const Converted result = Convert(c.input);
        EXPECT_EQ(result.hr, c.hr) << c.name;
        EXPECT_EQ(result.output, c.expected) << c.name;
        // A message that does not fit says why through the error info.
        EXPECT_EQ(testing::TakeErrorDescription().empty(), c.hr == S_OK) << c.name;

        const Converted inMemory = ConvertInMemory(c.input);
        EXPECT_EQ(inMemory.hr, result.hr) << c.name << ", in memory";
        EXPECT_EQ(inMemory.output, result.output) << c.name << ", in memory";
        EXPECT_EQ(inMemory.consumed, result.consumed) << c.name << ", in memory";
        EXPECT_EQ(testing::TakeErrorDescription().empty(), c.hr == S_OK) << c.name;
    }
}

// ---------------------------------------------------------------------------------------------
// Lines

struct LineRead {
    HRESULT hr;
    std::string line;
};

std::vector<LineRead> ReadLines(ScriptedStream& in, int count) {
    MailInput input(&in);
    std::vector<LineRead> lines;
    for (int i = 0; i < count; ++i) {
        std::string line = "stale";
        const HRESULT hr = ReadMailLine(input, line);
        lines.push_back({hr, FAILED(hr) ? "" : line});
    }
    return lines;
}

void ExpectLines(const std::string& input, const std::vector<LineRead>& expected) {
    ScriptedStream in(input);
    const std::vector<LineRead> lines = ReadLines(in, static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(lines[i].hr, expected[i].hr) << "line " << i << " of " << input;
        EXPECT_EQ(lines[i].line, expected[i].line) << "line " << i << " of " << input;
    }
}

TEST(MailLines, LinesEndAtCrAndTheLfAfterItIsDropped) {
    ExpectLines("ab\r\ncd\r\n", {{S_OK, "ab"}, {S_OK, "cd"}, {S_FALSE, ""}, {S_FALSE, ""}});
    ExpectLines("ab\r\ncd", {{S_OK, "ab"}, {S_FALSE, "cd"}, {S_FALSE, ""}});
    ExpectLines("\r\n\r\n", {{S_OK, ""}, {S_OK, ""}, {S_FALSE, ""}});
    ExpectLines("", {{S_FALSE, ""}, {S_FALSE, ""}});
    // A lone LF and NUL are bytes of a line like any other.
    ExpectLines(std::string("a\nb\0c\r\n", 7), {{S_OK, std::string("a\nb\0c", 5)}});
    // A CR at the very end: the line is complete, and the input ends after it.
    ExpectLines("ab\r", {{S_OK, "ab"}, {S_FALSE, ""}});
}

// Mend: the byte after a bare CR is the first byte of the next line, not a dropped LF.
TEST(MailLines, ByteAfterBareCrBeginsTheNextLine) {
    ExpectLines("ab\rcd\r\ref", {{S_OK, "ab"}, {S_OK, "cd"}, {S_OK, ""}, {S_FALSE, "ef"}});
    ExpectLines("a\rb\r\nc", {{S_OK, "a"}, {S_OK, "b"}, {S_FALSE, "c"}});
}

TEST(MailLines, ReadsOneByteAtATimeAndNeverBeyondTheLine) {
    ScriptedStream crlf("ab\r\nrest");
    ReadLines(crlf, 1);
    EXPECT_EQ(crlf.log, "rrrr");
    EXPECT_EQ(crlf.position, 4u);
    // After a bare CR the one byte read past it is held for the next line.
    ScriptedStream bare("ab\rrest");
    ReadLines(bare, 1);
    EXPECT_EQ(bare.position, 4u);
    MailInput input(&bare);
    input.held = 'r';
    std::string line;
    EXPECT_EQ(ReadMailLine(input, line), S_FALSE);
    EXPECT_EQ(line, "rest");
    EXPECT_EQ(bare.badCalls, "");
}

// The platform's memory stream is read by searching its buffer: every line, result and
// position must be those of one-byte Reads, on generated input thick with CR and LF.
TEST(MailLines, MemoryStreamReadsAsOneByteReadsDo) {
    std::mt19937 rng(20261211);
    std::uniform_int_distribution<size_t> length(0, 40), pick(0, 4);
    for (int round = 0; round < 3000; ++round) {
        std::string bytes;
        for (size_t n = length(rng); n > 0; --n) bytes += "a\r\n\x1B\0"[pick(rng)];
        ScriptedStream scripted(bytes);
        com_ptr<IStream> memory;
        ASSERT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, memory.put()), S_OK);
        if (!bytes.empty()) memory->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
        LARGE_INTEGER zero{};
        memory->Seek(zero, STREAM_SEEK_SET, nullptr);
        MailInput fromBytes(&scripted), fromMemory(memory.get());
        ASSERT_NE(fromMemory.memory, nullptr);
        for (int k = 0; k <= 42; ++k) {
            std::string a = "stale", b = "stale";
            const HRESULT hr = ReadMailLine(fromBytes, a);
            ASSERT_EQ(ReadMailLine(fromMemory, b), hr) << ::testing::PrintToString(bytes);
            ASSERT_EQ(b, a) << ::testing::PrintToString(bytes) << " line " << k;
            ULARGE_INTEGER position{};
            memory->Seek(zero, STREAM_SEEK_CUR, &position);
            ASSERT_EQ(position.QuadPart, scripted.position) << ::testing::PrintToString(bytes);
            ASSERT_EQ(fromMemory.held, fromBytes.held);
        }
    }
}

TEST(MailLines, EndOfInputIsTheSameWhetherReadSaysSOkOrSFalse) {
    ScriptedStream in("ab\r\ncd");
    in.endResult = S_FALSE;
    const auto lines = ReadLines(in, 3);
    EXPECT_EQ(lines[0].hr, S_OK);
    EXPECT_EQ(lines[1].hr, S_FALSE);
    EXPECT_EQ(lines[1].line, "cd");
    EXPECT_EQ(lines[2].hr, S_FALSE);
}

TEST(MailLines, ReadFailureIsTheStreamsCodeExceptAfterCr) {
    ScriptedStream failing("abc\r\n");
    failing.failReadAt = 2;
    failing.readFailure = E_ACCESSDENIED;
    EXPECT_EQ(ReadLines(failing, 1)[0].hr, E_ACCESSDENIED);
    EXPECT_EQ(failing.reads, 2);

    // The Read of the byte after CR may fail: the line stands, and the byte it would have
    // taken is read again as part of the next line.
    ScriptedStream afterCr("ab\r\ncd");
    afterCr.failReadAt = 4;
    const auto lines = ReadLines(afterCr, 2);
    EXPECT_EQ(lines[0].hr, S_OK);
    EXPECT_EQ(lines[0].line, "ab");
    EXPECT_EQ(lines[1].hr, S_FALSE);
    EXPECT_EQ(lines[1].line, "\ncd");
}

TEST(MailLines, LineIsWrittenThenCrLfInTwoWrites) {
    ScriptedStream out;
    EXPECT_EQ(WriteMailLine(&out, "ab"), S_OK);
    EXPECT_EQ(WriteMailLine(&out, ""), S_OK);
    EXPECT_EQ(WriteMailText(&out, ""), S_OK);
    EXPECT_EQ(WriteMailText(&out, "cd"), S_OK);
    EXPECT_EQ(out.output, "ab\r\n\r\ncd");
    EXPECT_EQ(out.log, "wwwwww");
}

TEST(MailLines, FailedWriteEndsTheLine) {
    ScriptedStream out;
    out.failWriteAt = 1;
    out.writeFailure = STG_E_MEDIUMFULL;
    EXPECT_EQ(WriteMailLine(&out, "ab"), STG_E_MEDIUMFULL);
    EXPECT_EQ(out.writes, 1);  // no line end after a failed line
    ScriptedStream end;
    end.failWriteAt = 2;
    EXPECT_EQ(WriteMailLine(&end, "ab"), STG_E_WRITEFAULT);
    EXPECT_EQ(end.output, "ab");
}

// Mend: a line longer than Write's 32-bit count goes out in several Writes, all of it.
TEST(MailLines, TextLongerThanAWriteCountIsWrittenInPieces) {
    struct Piece {
        const char* data;
        ULONG cb;
    };
    struct CountingStream : ScriptedStream {
        std::vector<Piece> pieces;
        HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG*) override {
            pieces.push_back({static_cast<const char*>(pv), cb});
            return S_OK;
        }
    };
    // Untouched anonymous pages: address space for a 4 GiB line without the memory.
    const size_t size = size_t{0xFFFFFFFF} + 6;
    void* pages =
        mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    ASSERT_NE(pages, MAP_FAILED);
    const auto* data = static_cast<const char*>(pages);
    CountingStream out;
    EXPECT_EQ(WriteMailLine(&out, std::string_view(data, size)), S_OK);
    munmap(pages, size);
    ASSERT_EQ(out.pieces.size(), 3u);
    EXPECT_EQ(out.pieces[0].data, data);
    EXPECT_EQ(out.pieces[0].cb, 0xFFFFFFFFu);
    EXPECT_EQ(out.pieces[1].data, data + 0xFFFFFFFF);
    EXPECT_EQ(out.pieces[1].cb, 6u);
    EXPECT_EQ(std::string(out.pieces[2].data, out.pieces[2].cb), "\r\n");
}

// ---------------------------------------------------------------------------------------------
// Single-part messages

TEST_F(MailTest, SinglePartMessagesByteForByte) {
    const std::string head = "From: a@ezweb.ne.jp\r\n" + TextHeader + "\r\n\r\n";
    const std::string headOut = head;
    ExpectConversions({
        {"CR LF lines ending with a line end", head + Text + "\r\n" + Text + "\r\n",
         headOut + Done + "\r\n" + Done + "\r\n"},
        {"last line without a line end", head + Text + "\r\n" + Text,
         headOut + Done + "\r\n" + Done},
        {"bare CR line ends", "From: a\r" + TextHeader + "\r\r" + Text + "\r" + Text + "\r",
         "From: a\r\n" + TextHeader + "\r\n\r\n" + Done + "\r\n" + Done + "\r\n"},
        {"CR followed by another byte keeps that byte", head + "x\ny\rz", headOut + "x\ny\r\nz"},
        {"header names, values and quotes in any case",
         "content-type: TEXT/Plain;charset=\"iso-2022-JP\"\r\n\r\n" + Text,
         "content-type: TEXT/Plain;charset=\"iso-2022-JP\"\r\n\r\n" + Done},
        {"white space after the colon and the semicolon",
         "Content-Type:\t text/plain;  charset=iso-2022-jp\"\r\n\r\n" + Text,
         "Content-Type:\t text/plain;  charset=iso-2022-jp\"\r\n\r\n" + Done},
        {"empty input", "", "\r\n"},
        {"input ending with the last header line", "From: a\r\nTo: b\r\n",
         "From: a\r\nTo: b\r\n\r\n"},
        {"empty header", "\r\n" + Text, "\r\n" + Text},
        {"NUL and high bytes copied", std::string("X: \0\xFF\r\n\r\n\0", 10),
         std::string("X: \0\xFF\r\n\r\n\0", 10)},
    });
}

TEST_F(MailTest, HeadersThatDeclareNoIso2022JpTextLeaveTheBodyAlone) {
    const std::vector<std::string> headers = {
        "Content-Type: text/plain; charset=iso-2022-jp; format=flowed",
        " Content-Type: text/plain; charset=iso-2022-jp",
        "Content-Type: text/plain;\r\n charset=iso-2022-jp",
        "Content-Type: text/plain; charset=shift_jis",
        "Content-Type: text/html; charset=iso-2022-jp",
        "Content-Type: text/plain; charset=\"iso-2022-jp\" ",
        "Content-Type: text/plain charset=iso-2022-jp",
        "Subject: Content-Type: text/plain; charset=iso-2022-jp",
        "From: nobody",
    };
    for (const std::string& header : headers) {
        const std::string message = header + "\r\n\r\n" + Text + "\r\n" + Text + "\r\n";
        const Converted result = Convert(message);
        EXPECT_EQ(result.hr, S_OK) << header;
        EXPECT_EQ(result.output, message) << header;
    }
}

TEST_F(MailTest, ResultDoesNotDependOnTheObjectsMode) {
    const std::string message = TextHeader + "\r\n\r\n" + Text;
    auto obj = testing::MakeObject();
    for (EMapMode mode : {MPM_none, MPM_imode, MPM_ezweb, static_cast<EMapMode>(7)}) {
        ASSERT_EQ(obj->put_MapMode(mode), S_OK);
        ScriptedStream in(message), out;
        EXPECT_EQ(obj->ConvertEzwebMail(&in, &out), S_OK);
        EXPECT_EQ(out.output, TextHeader + "\r\n\r\n" + Done) << mode;
    }
}

// ---------------------------------------------------------------------------------------------
// Multipart messages

std::string Multipart(const std::string& contentType, const std::string& boundary,
                      const std::string& firstBody, const std::string& secondBody,
                      const std::string& end = "\r\n") {
    return "From: a\r\n" + contentType + "\r\n\r\n\r\n--" + boundary + "\r\n" + TextHeader +
           "\r\n\r\n" + firstBody + "\r\n--" + boundary +
           "\r\nContent-Type: image/jpeg\r\nContent-Transfer-Encoding: base64\r\n\r\n" +
           secondBody + "\r\n--" + boundary + "--" + end;
}

TEST_F(MailTest, MultipartMessagesByteForByte) {
    const std::string type = "Content-Type: multipart/mixed; boundary=";
    ExpectConversions({
        {"text part transcoded, image part copied", Multipart(type + "b1", "b1", Text, Text),
         Multipart(type + "b1", "b1", Done, Text)},
        {"quoted boundary", Multipart(type + "\"b1\"", "b1", Text, Text),
         Multipart(type + "\"b1\"", "b1", Done, Text)},
        {"empty boundary", Multipart(type, "", Text, Text), Multipart(type, "", Done, Text)},
        {"empty quoted boundary", Multipart(type + "\"\"", "", Text, Text),
         Multipart(type + "\"\"", "", Done, Text)},
        {"unquoted boundary runs to the end of the line",
         Multipart(type + "b1; x=y", "b1; x=y", Text, Text),
         Multipart(type + "b1; x=y", "b1; x=y", Done, Text)},
        {"boundary keeps its letter case",
         Multipart("CONTENT-TYPE: Multipart/Mixed; BOUNDARY=Ab", "Ab", Text, Text),
         Multipart("CONTENT-TYPE: Multipart/Mixed; BOUNDARY=Ab", "Ab", Done, Text)},
        {"epilogue neither read nor written", Multipart(type + "b1", "b1", Text, Text) + "epi\r\n",
         Multipart(type + "b1", "b1", Done, Text)},
        {"close delimiter as the last line without a line end",
         Multipart(type + "b1", "b1", Text, Text, ""), Multipart(type + "b1", "b1", Done, Text)},
        {"text header and multipart header: multipart wins",
         "From: a\r\n" + TextHeader + "\r\n" + type + "b1\r\n\r\n\r\n--b1\r\n\r\n" + Text +
             "\r\n--b1--\r\n",
         "From: a\r\n" + TextHeader + "\r\n" + type + "b1\r\n\r\n\r\n--b1\r\n\r\n" + Text +
             "\r\n--b1--\r\n"},
        {"a later multipart header replaces the boundary",
         type + "old\r\n" + type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Text +
             "\r\n--old--\r\n--b1--\r\n",
         type + "old\r\n" + type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Done +
             "\r\n--old--\r\n--b1--\r\n"},
        {"delimiter lines match exactly: case and trailing space count",
         type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n--B1\r\n--b1 \r\n" + Text +
             "\r\n--b1--\r\n",
         type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n--B1\r\n--b1 \r\n" + Done +
             "\r\n--b1--\r\n"},
        {"a delimiter inside a part header is a header line",
         type + "b1\r\n\r\n\r\n--b1\r\nX: 1\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Text +
             "\r\n--b1--\r\n",
         type + "b1\r\n\r\n\r\n--b1\r\nX: 1\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Done +
             "\r\n--b1--\r\n"},
        {"nested multipart part copied, its text part too",
         type + "b1\r\n\r\n\r\n--b1\r\n" + type + "in\r\n\r\n\r\n--in\r\n" + TextHeader +
             "\r\n\r\n" + Text + "\r\n--in--\r\n--b1--\r\n",
         type + "b1\r\n\r\n\r\n--b1\r\n" + type + "in\r\n\r\n\r\n--in\r\n" + TextHeader +
             "\r\n\r\n" + Text + "\r\n--in--\r\n--b1--\r\n"},
        {"input ending before the close delimiter",
         type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Text + "\r\n" + Text,
         type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Done + "\r\n" + Done},
        {"delimiter ending the input is written with a line end",
         type + "b1\r\n\r\n\r\n--b1\r\n\r\nx\r\n--b1",
         type + "b1\r\n\r\n\r\n--b1\r\n\r\nx\r\n--b1\r\n\r\n"},
        {"bare CR line ends",
         type + "b1\r\r\r--b1\r" + TextHeader + "\r\r" + Text + "\r--b1--\repilogue",
         type + "b1\r\n\r\n\r\n--b1\r\n" + TextHeader + "\r\n\r\n" + Done + "\r\n--b1--\r\n"},
    });
}

TEST_F(MailTest, NothingAfterTheCloseDelimiterIsRead) {
    const std::string message =
        Multipart("Content-Type: multipart/mixed; boundary=b1", "b1", Text, Text);
    EXPECT_EQ(Convert(message + "epilogue\r\n").consumed, message.size());
    EXPECT_EQ(ConvertInMemory(message + "epilogue\r\n").consumed, message.size());
    // With a bare CR the one byte after it has been read, and no more.
    const std::string bare = "Content-Type: multipart/mixed; boundary=b1\r\r\r--b1\r\r--b1--\r";
    EXPECT_EQ(Convert(bare + "epilogue").consumed, bare.size() + 1);
    EXPECT_EQ(ConvertInMemory(bare + "epilogue").consumed, bare.size() + 1);
}

TEST_F(MailTest, MessagesThatDoNotFitAreEFail) {
    const std::string type = "Content-Type: multipart/mixed; boundary=b1\r\n";
    ExpectConversions({
        {"LF-only lines are one unfinished header line", "From: a\nTo: b\n\nbody\n", "", E_FAIL},
        {"input ending inside a header line", "From: a\r\nTo: b", "From: a\r\n", E_FAIL},
        {"no empty line before the first delimiter", type + "\r\n--b1\r\n\r\nx\r\n--b1--\r\n",
         type + "\r\n", E_FAIL},
        {"text in place of that empty line", type + "\r\npreamble\r\n--b1\r\n\r\n--b1--\r\n",
         type + "\r\n", E_FAIL},
        {"first delimiter wrong", type + "\r\n\r\n--b2\r\n\r\n--b1--\r\n", type + "\r\n\r\n",
         E_FAIL},
        {"multipart input ending after its header", type + "\r\n", type + "\r\n\r\n", E_FAIL},
        {"input ending inside a part header line", type + "\r\n\r\n--b1\r\nContent-Ty",
         type + "\r\n\r\n--b1\r\n", E_FAIL},
    });
}

// ---------------------------------------------------------------------------------------------
// Calls on the streams

TEST_F(MailTest, OneReadPerByteAndTwoWritesPerLineInOrder) {
    ScriptedStream in("A\r\n\r\nb"), out;
    out.peer = &in;
    std::string journal;
    EXPECT_EQ(ConvertEzwebMail(&in, &out), S_OK);
    // Interleave the two logs by the moments each call saw of the other stream.
    for (size_t r = 0, w = 0; r < in.moments.size() || w < out.moments.size();) {
        if (w == out.moments.size() ||
            (r < in.moments.size() && static_cast<size_t>(out.moments[w].peerReads) > r)) {
            journal += 'r';
            ++r;
        } else {
            journal += 'w';
            ++w;
        }
    }
    // "A" CR LF; write "A", CR LF. CR LF; write "", CR LF. "b", end; write "b".
    EXPECT_EQ(journal,
              "rrrww"
              "rrww"
              "rrw");
    EXPECT_EQ(out.output, "A\r\n\r\nb");
}

TEST_F(MailTest, NullStreamIsEPointerWithNothingReadOrWritten) {
    auto obj = testing::MakeObject();
    ScriptedStream in("A: b\r\n\r\nc"), out;
    EXPECT_EQ(obj->ConvertEzwebMail(nullptr, &out), E_POINTER);
    EXPECT_EQ(obj->ConvertEzwebMail(&in, nullptr), E_POINTER);
    EXPECT_EQ(obj->ConvertEzwebMail(nullptr, nullptr), E_POINTER);
    EXPECT_EQ(in.log, "");
    EXPECT_EQ(out.log, "");
}

// A failure at each Read of the input in turn: the stream's code comes back (E_FAIL in the
// preamble), the output holds exactly what was written before that Read, and nothing is read
// or written after it.
void ExpectReadFailures(const std::string& message, size_t preambleBegin, size_t preambleEnd) {
    ScriptedStream clean(message), cleanOut;
    cleanOut.peer = &clean;
    clean.peer = &cleanOut;
    ASSERT_EQ(ConvertEzwebMail(&clean, &cleanOut), S_OK);
    for (int n = 1; n <= clean.reads; ++n) {
        const size_t byte = static_cast<size_t>(n - 1);  // each Read takes the next byte
        if (byte > 0 && byte <= message.size() && message[byte - 1] == '\r') continue;
        ScriptedStream in(message), out;
        in.failReadAt = n;
        in.readFailure = STG_E_READFAULT;
        const HRESULT hr = ConvertEzwebMail(&in, &out);
        const bool preamble = byte >= preambleBegin && byte < preambleEnd;
        EXPECT_EQ(hr, preamble ? E_FAIL : STG_E_READFAULT) << "Read " << n;
        const auto& seen = clean.moments[static_cast<size_t>(n - 1)];
        EXPECT_EQ(out.output, cleanOut.output.substr(0, seen.peerOutput)) << "Read " << n;
        EXPECT_EQ(out.writes, seen.peerWrites) << "Read " << n;
        EXPECT_EQ(in.reads, n) << "Read " << n;
    }
}

// The same for each Write of the output.
void ExpectWriteFailures(const std::string& message, size_t preambleBegin, size_t preambleEnd) {
    ScriptedStream clean(message), cleanOut;
    cleanOut.peer = &clean;
    ASSERT_EQ(ConvertEzwebMail(&clean, &cleanOut), S_OK);
    for (int n = 1; n <= cleanOut.writes; ++n) {
        ScriptedStream in(message), out;
        out.failWriteAt = n;
        out.writeFailure = STG_E_MEDIUMFULL;
        const HRESULT hr = ConvertEzwebMail(&in, &out);
        const auto& seen = cleanOut.moments[static_cast<size_t>(n - 1)];
        const bool preamble = seen.output >= preambleBegin && seen.output < preambleEnd;
        EXPECT_EQ(hr, preamble ? E_FAIL : STG_E_MEDIUMFULL) << "Write " << n;
        EXPECT_EQ(out.output, cleanOut.output.substr(0, seen.output)) << "Write " << n;
        EXPECT_EQ(out.writes, n) << "Write " << n;
        EXPECT_EQ(in.reads, seen.peerReads) << "Write " << n;
    }
}

TEST_F(MailTest, FailureAtEveryReadOfASinglePartMessage) {
    ExpectReadFailures(TextHeader + "\r\n\r\n" + Text + "\r\n" + Text, 1, 0);
}

TEST_F(MailTest, FailureAtEveryReadOfAMultipartMessage) {
    const std::string header = "Content-Type: multipart/mixed; boundary=b1\r\n";
    const std::string message = Multipart(header.substr(0, header.size() - 2), "b1", Text, Text);
    // The preamble: the empty line and the first delimiter after the header's empty line.
    const size_t begin = std::string("From: a\r\n").size() + header.size() + 2;
    ExpectReadFailures(message, begin, begin + std::string("\r\n--b1\r\n").size());
}

TEST_F(MailTest, FailureAtEveryWriteOfASinglePartMessage) {
    ExpectWriteFailures(TextHeader + "\r\n\r\n" + Text + "\r\n" + Text, 1, 0);
}

TEST_F(MailTest, FailureAtEveryWriteOfAMultipartMessage) {
    const std::string header = "Content-Type: multipart/mixed; boundary=b1\r\n";
    const std::string message = Multipart(header.substr(0, header.size() - 2), "b1", Text, Text);
    const size_t begin = std::string("From: a\r\n").size() + header.size() + 2;
    ExpectWriteFailures(message, begin, begin + std::string("\r\n--b1\r\n").size());
}

}  // namespace
}  // namespace glyphary
