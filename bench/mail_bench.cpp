// Throughput of ConvertEzwebMail on a 10 MiB multipart message through memory streams (and
// through streams of another kind over them), and of the line transcoder against the
// step-for-step reference.
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "mail/mail.h"
#include "platform/owners.h"
#include "support/mail_reference.h"

namespace {

using namespace glyphary;

constexpr int kEmojiCount = 300;

// Mail codes 0x75 0x21 upwards, each mapped to a web code 0x7F 0x21 upwards.
const EzwebMailCodeMap& MailMap() {
    static const EzwebMailCodeMap& map = []() -> const EzwebMailCodeMap& {
        for (int i = 0; i < kEmojiCount; ++i) {
            g_tables.ezwebMailCodeMap.Set(
                static_cast<uint8_t>(0x75 + i / 94), static_cast<uint8_t>(0x21 + i % 94),
                static_cast<uint8_t>(0x7F + i / 94), static_cast<uint8_t>(0x21 + i % 94));
        }
        return g_tables.ezwebMailCodeMap;
    }();
    return map;
}

// One line of Japanese mail text as handsets send it: short ASCII pieces between ESC $ B
// runs of JIS X 0208 characters, mostly hiragana (row 0x24), then kanji (rows 0x30-0x4F),
// katakana (0x25) and symbols (0x21), with about one emoji in twelve characters.
std::string TextLine(std::mt19937& rng) {
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
const std::string& Message() {
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

com_ptr<IStream> MemoryStream() {
    com_ptr<IStream> stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) throw std::bad_alloc();
    return stream;
}

void Rewind(IStream* stream) {
    LARGE_INTEGER zero{};
    stream->Seek(zero, STREAM_SEEK_SET, nullptr);
}

// Another kind of stream over a memory stream: its Read and Write are reached only through
// the vtable, as those of any stream a client brings.
class ForwardingStream final : public IStream {
  public:
    explicit ForwardingStream(IStream* inner) : m_inner(inner) {}
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        return m_inner->Read(pv, cb, pcbRead);
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        return m_inner->Write(pv, cb, pcbWritten);
    }
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** ppv) override {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Revert() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return E_NOTIMPL; }

  private:
    IStream* m_inner;
};

// The message through two memory streams (kForwarded: each behind a ForwardingStream).
template <bool kForwarded>
void Convert(benchmark::State& state) {
    MailMap();
    const std::string& message = Message();
    com_ptr<IStream> in = MemoryStream(), out = MemoryStream();
    in->Write(message.data(), static_cast<ULONG>(message.size()), nullptr);
    ForwardingStream forwardedIn(in.get()), forwardedOut(out.get());
    IStream* const from = kForwarded ? &forwardedIn : in.get();
    IStream* const to = kForwarded ? &forwardedOut : out.get();
    for (auto _ : state) {
        Rewind(in.get());
        Rewind(out.get());
        out->SetSize(ULARGE_INTEGER{});
        if (ConvertEzwebMail(from, to) != S_OK) state.SkipWithError("conversion failed");
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

// Only the reading: every line of the message through ReadMailLine, one byte per Read (the
// memory stream's Read, called directly). The floor under Mail/convert.
void ReadLines(benchmark::State& state) {
    const std::string& message = Message();
    com_ptr<IStream> in = MemoryStream();
    in->Write(message.data(), static_cast<ULONG>(message.size()), nullptr);
    std::string line;
    for (auto _ : state) {
        Rewind(in.get());
        MailInput input(in.get());
        while (ReadMailLine(input, line) == S_OK) benchmark::DoNotOptimize(line.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

std::vector<std::string> TextLines() {
    std::mt19937 rng(11);
    std::vector<std::string> lines;
    for (int i = 0; i < 20000; ++i) lines.push_back(TextLine(rng));
    return lines;
}

template <bool kPlain>
void Transcode(benchmark::State& state) {
    const EzwebMailCodeMap& map = MailMap();
    const std::vector<std::string> lines = TextLines();
    size_t bytes = 0;
    for (const std::string& l : lines) bytes += l.size();
    std::string work;
    for (auto _ : state) {
        for (const std::string& l : lines) {
            work = l;
            if constexpr (kPlain) {
                reference::TranscodeEmojiLine(work, map);
            } else {
                TranscodeEmojiLine(work, map);
            }
            benchmark::DoNotOptimize(work.data());
        }
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes));
}

}  // namespace

BENCHMARK(Convert<false>)->Name("Mail/convert")->Unit(benchmark::kMillisecond);
BENCHMARK(Convert<true>)->Name("Mail/convert/other-stream")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLines)->Name("Mail/read-lines")->Unit(benchmark::kMillisecond);
BENCHMARK(Transcode<false>)->Name("Mail/transcode/fast");
BENCHMARK(Transcode<true>)->Name("Mail/transcode/plain");
