// Throughput of ConvertEzwebMail on a 10 MiB multipart message through memory streams (and
// through streams of another kind over them), and of the line transcoder against the
// step-for-step reference.
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "mail/mail.h"
#include "mail_message.h"
#include "platform/com_object.h"
#include "platform/owners.h"
#include "support/mail_reference.h"

namespace {

using namespace glyphary;

using bench::kEmojiCount;
using bench::Message;
using bench::TextLine;

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
class ForwardingStream final
    : public ComObject<ForwardingStream, StaticCount, Chain<IStream, IStream, ISequentialStream>> {
  public:
    explicit ForwardingStream(IStream* inner) : m_inner(inner) {}
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        return m_inner->Read(pv, cb, pcbRead);
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        return m_inner->Write(pv, cb, pcbWritten);
    }
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
// memory stream's Read, called directly). The floor under Mail/convert. kForwarded: through
// a ForwardingStream, each byte a Read through its vtable, as in Mail/convert/other-stream.
template <bool kForwarded>
void ReadLines(benchmark::State& state) {
    const std::string& message = Message();
    com_ptr<IStream> in = MemoryStream();
    in->Write(message.data(), static_cast<ULONG>(message.size()), nullptr);
    ForwardingStream forwarded(in.get());
    IStream* from = kForwarded ? &forwarded : in.get();
    benchmark::DoNotOptimize(from);
    std::string line;
    for (auto _ : state) {
        Rewind(in.get());
        MailInput input(from);
        while (ReadMailLine(input, line) == S_OK) benchmark::DoNotOptimize(line.data());
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(message.size()));
}

// The floor under Mail/convert/other-stream: the message's one-byte Reads through the same
// ForwardingStream over a memory stream, and nothing else.
void ReadBytesForwarded(benchmark::State& state) {
    const std::string& message = Message();
    com_ptr<IStream> in = MemoryStream();
    in->Write(message.data(), static_cast<ULONG>(message.size()), nullptr);
    ForwardingStream forwarded(in.get());
    // Through the vtable, as the converter reaches it: the compiler must not see which stream
    // this is, or it calls the inner Read directly.
    IStream* from = &forwarded;
    benchmark::DoNotOptimize(from);
    for (auto _ : state) {
        Rewind(in.get());
        BYTE byte = 0;
        ULONG count = 0;
        size_t read = 0;
        while (SUCCEEDED(from->Read(&byte, 1, &count)) && count == 1) ++read;
        if (read != message.size()) state.SkipWithError("short read");
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
BENCHMARK(ReadLines<false>)->Name("Mail/read-lines")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadLines<true>)->Name("Mail/read-lines/other-stream")->Unit(benchmark::kMillisecond);
BENCHMARK(ReadBytesForwarded)->Name("Mail/read-bytes/other-stream")->Unit(benchmark::kMillisecond);
BENCHMARK(Transcode<false>)->Name("Mail/transcode/fast");
BENCHMARK(Transcode<true>)->Name("Mail/transcode/plain");
