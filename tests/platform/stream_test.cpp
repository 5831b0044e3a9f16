// The memory stream (CreateStreamOnHGlobal) and the file-descriptor stream.
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <span>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "platform/memory_stream.h"
#include "platform/owners.h"

// Allocations too large to satisfy must fail as they would in a normal build, not stop the
// program under AddressSanitizer.
extern "C" const char* __asan_default_options() {
    return "allocator_may_return_null=1";
}

namespace glyphary {
namespace {

com_ptr<IStream> MemoryStream() {
    com_ptr<IStream> stream;
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()), S_OK);
    return stream;
}

HRESULT Seek(IStream* stream, LONGLONG move, DWORD origin, ULONGLONG* position = nullptr) {
    LARGE_INTEGER li;
    li.QuadPart = move;
    ULARGE_INTEGER result{};
    result.QuadPart = 12345;
    const HRESULT hr = stream->Seek(li, origin, &result);
    if (position) *position = result.QuadPart;
    return hr;
}

HRESULT Write(IStream* stream, const std::string& bytes) {
    ULONG written = 0;
    const HRESULT hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
    if (SUCCEEDED(hr)) {
        EXPECT_EQ(written, bytes.size());
    }
    return hr;
}

// Reads up to `count` bytes; the result's size is the count read.
std::string Read(IStream* stream, ULONG count, HRESULT* hr = nullptr) {
    std::string bytes(count, '\0');
    ULONG read = 12345;
    const HRESULT result = stream->Read(bytes.data(), count, &read);
    if (hr) *hr = result;
    EXPECT_LE(read, count);
    bytes.resize(read);
    return bytes;
}

ULONGLONG Size(IStream* stream) {
    STATSTG stat{};
    EXPECT_EQ(stream->Stat(&stat, STATFLAG_NONAME), S_OK);
    EXPECT_EQ(stat.type, static_cast<DWORD>(STGTY_STREAM));
    return stat.cbSize.QuadPart;
}

// ---------------------------------------------------------------------------------------------
// Memory

TEST(MemoryStream, WhatIsWrittenReadsBackAfterASeek) {
    auto s = MemoryStream();
    EXPECT_EQ(Write(s.get(), "hello, "), S_OK);
    EXPECT_EQ(Write(s.get(), "world"), S_OK);
    EXPECT_EQ(Size(s.get()), 12u);
    ULONGLONG position = 0;
    EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position, 0u);
    EXPECT_EQ(Read(s.get(), 1), "h");
    EXPECT_EQ(Read(s.get(), 4), "ello");
    EXPECT_EQ(Read(s.get(), 100), ", world");
    // At the end a Read succeeds with nothing, as the Windows memory stream answers.
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Read(s.get(), 1, &hr), "");
    EXPECT_EQ(hr, S_OK);
}

TEST(MemoryStream, SeekFromEachOrigin) {
    auto s = MemoryStream();
    Write(s.get(), "0123456789");
    ULONGLONG position = 0;
    EXPECT_EQ(Seek(s.get(), 3, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position, 3u);
    EXPECT_EQ(Seek(s.get(), 2, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position, 5u);
    EXPECT_EQ(Read(s.get(), 2), "56");
    EXPECT_EQ(Seek(s.get(), -3, STREAM_SEEK_END, &position), S_OK);
    EXPECT_EQ(position, 7u);
    EXPECT_EQ(Read(s.get(), 10), "789");
    EXPECT_EQ(Seek(s.get(), -1, STREAM_SEEK_SET), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(s.get(), -11, STREAM_SEEK_END), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(s.get(), INT64_MIN, STREAM_SEEK_CUR), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(s.get(), 0, 3), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(s.get(), 0, STREAM_SEEK_CUR, &position), S_OK);
    EXPECT_EQ(position, 10u);  // failed seeks moved nothing
    EXPECT_EQ(s->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
}

TEST(MemoryStream, WritingPastTheEndFillsTheGapWithZeros) {
    auto s = MemoryStream();
    Write(s.get(), "ab");
    EXPECT_EQ(Seek(s.get(), 5, STREAM_SEEK_SET), S_OK);
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Read(s.get(), 1, &hr), "");  // nothing to read beyond the end
    EXPECT_EQ(Write(s.get(), "c"), S_OK);
    Seek(s.get(), 0, STREAM_SEEK_SET);
    EXPECT_EQ(Read(s.get(), 10), std::string("ab\0\0\0c", 6));
    // Overwriting in the middle keeps the size.
    Seek(s.get(), 1, STREAM_SEEK_SET);
    Write(s.get(), "XY");
    EXPECT_EQ(Size(s.get()), 6u);
    Seek(s.get(), 0, STREAM_SEEK_SET);
    EXPECT_EQ(Read(s.get(), 10), std::string("aXY\0\0c", 6));
}

TEST(MemoryStream, SetSizeTruncatesAndExtendsWithZeros) {
    auto s = MemoryStream();
    Write(s.get(), "abcdef");
    EXPECT_EQ(s->SetSize(ULARGE_INTEGER{{2, 0}}), S_OK);
    EXPECT_EQ(Size(s.get()), 2u);
    EXPECT_EQ(s->SetSize(ULARGE_INTEGER{{4, 0}}), S_OK);
    Seek(s.get(), 0, STREAM_SEEK_SET);
    EXPECT_EQ(Read(s.get(), 10), std::string("ab\0\0", 4));
    ULARGE_INTEGER huge;
    huge.QuadPart = ~0ULL;
    EXPECT_EQ(s->SetSize(huge), STG_E_MEDIUMFULL);
    EXPECT_EQ(Size(s.get()), 4u);  // unchanged
}

TEST(MemoryStream, WriteThatCannotGrowTheStreamFailsWithNothingWritten) {
    auto s = MemoryStream();
    Write(s.get(), "ab");
    Seek(s.get(), (1LL << 62), STREAM_SEEK_SET);
    EXPECT_EQ(Write(s.get(), "c"), STG_E_MEDIUMFULL);
    EXPECT_EQ(Size(s.get()), 2u);
}

TEST(MemoryStream, ArgumentsAndUnsupportedMembers) {
    auto s = MemoryStream();
    BYTE byte = 0;
    EXPECT_EQ(s->Read(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Write(nullptr, 1, nullptr), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Write(&byte, 1, nullptr), S_OK);  // the counts are optional
    EXPECT_EQ(s->Seek(LARGE_INTEGER{}, STREAM_SEEK_SET, nullptr), S_OK);
    EXPECT_EQ(s->Read(&byte, 1, nullptr), S_OK);
    EXPECT_EQ(s->Stat(nullptr, STATFLAG_DEFAULT), STG_E_INVALIDPOINTER);
    EXPECT_EQ(s->Commit(STGC_DEFAULT), S_OK);
    EXPECT_EQ(s->Revert(), S_OK);
    IStream* clone = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(s->Clone(&clone), E_NOTIMPL);
    EXPECT_EQ(clone, nullptr);

    IStream* stream = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(CreateStreamOnHGlobal(reinterpret_cast<HGLOBAL>(8), TRUE, &stream), E_INVALIDARG);
    EXPECT_EQ(stream, nullptr);
    EXPECT_EQ(CreateStreamOnHGlobal(nullptr, TRUE, nullptr), E_INVALIDARG);
}

TEST(MemoryStream, FromRecognisesOnlyMemoryStreams) {
    auto memory = MemoryStream();
    EXPECT_EQ(static_cast<IStream*>(platform::MemoryStream::From(memory.get())), memory.get());
    com_ptr<IStream> fd;
    ASSERT_EQ(platform::CreateStreamOnFd(0, false, fd.put()), S_OK);
    EXPECT_EQ(platform::MemoryStream::From(fd.get()), nullptr);
    EXPECT_EQ(platform::MemoryStream::From(nullptr), nullptr);
    // Any other object: only its first word, the vtable pointer, is looked at.
    static const void* const kForeignVtable[16] = {};
    const void* foreign = kForeignVtable;
    EXPECT_EQ(platform::MemoryStream::From(reinterpret_cast<IStream*>(&foreign)), nullptr);

    // Its unread bytes are those Reads would deliver, and taking them moves the position as
    // Reads do; past the end there are none.
    platform::MemoryStream* const direct = platform::MemoryStream::From(memory.get());
    Write(memory.get(), "abc");
    Seek(memory.get(), 1, STREAM_SEEK_SET);
    const std::span<const BYTE> unread = direct->Unread();
    EXPECT_EQ(std::string(unread.begin(), unread.end()), "bc");
    direct->Consume(1);
    EXPECT_EQ(Read(memory.get(), 5), "c");
    EXPECT_TRUE(direct->Unread().empty());
    Seek(memory.get(), 9, STREAM_SEEK_SET);
    EXPECT_TRUE(direct->Unread().empty());
}

TEST(MemoryStream, CopyToCopiesFromThePositionUpToTheCount) {
    auto from = MemoryStream(), to = MemoryStream();
    Write(from.get(), "0123456789");
    Seek(from.get(), 2, STREAM_SEEK_SET);
    ULARGE_INTEGER cb, read, written;
    cb.QuadPart = 5;
    EXPECT_EQ(from->CopyTo(to.get(), cb, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 5u);
    EXPECT_EQ(written.QuadPart, 5u);
    cb.QuadPart = 100;
    EXPECT_EQ(from->CopyTo(to.get(), cb, &read, &written), S_OK);
    EXPECT_EQ(read.QuadPart, 3u);
    Seek(to.get(), 0, STREAM_SEEK_SET);
    EXPECT_EQ(Read(to.get(), 100), "23456789");
}

// ---------------------------------------------------------------------------------------------
// File descriptor

com_ptr<IStream> FdStream(int fd, bool closeOnRelease) {
    com_ptr<IStream> stream;
    EXPECT_EQ(platform::CreateStreamOnFd(fd, closeOnRelease, stream.put()), S_OK);
    return stream;
}

TEST(FdStream, FileReadsWritesSeeksAndResizes) {
    const int fd = memfd_create("stream-test", 0);
    ASSERT_GE(fd, 0);
    auto s = FdStream(fd, true);
    EXPECT_EQ(Write(s.get(), "hello"), S_OK);
    EXPECT_EQ(Size(s.get()), 5u);
    ULONGLONG position = 0;
    EXPECT_EQ(Seek(s.get(), 1, STREAM_SEEK_SET, &position), S_OK);
    EXPECT_EQ(position, 1u);
    EXPECT_EQ(Read(s.get(), 3), "ell");
    // The end: a short count and S_FALSE, then nothing.
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Read(s.get(), 5, &hr), "o");
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(Read(s.get(), 1, &hr), "");
    EXPECT_EQ(hr, S_FALSE);
    EXPECT_EQ(s->SetSize(ULARGE_INTEGER{{2, 0}}), S_OK);
    EXPECT_EQ(Size(s.get()), 2u);
    EXPECT_EQ(Seek(s.get(), -1, STREAM_SEEK_SET), STG_E_INVALIDFUNCTION);
    EXPECT_EQ(Seek(s.get(), 0, 7), STG_E_INVALIDFUNCTION);
}

TEST(FdStream, CloseOnReleaseDecidesWhoClosesTheDescriptor) {
    int kept = memfd_create("kept", 0), closed = memfd_create("closed", 0);
    ASSERT_GE(kept, 0);
    ASSERT_GE(closed, 0);
    FdStream(kept, false).reset();
    FdStream(closed, true).reset();
    EXPECT_NE(fcntl(kept, F_GETFD), -1);
    EXPECT_EQ(fcntl(closed, F_GETFD), -1);
    close(kept);
    IStream* stream = reinterpret_cast<IStream*>(1);
    EXPECT_EQ(platform::CreateStreamOnFd(-1, false, &stream), E_HANDLE);
    EXPECT_EQ(stream, nullptr);
}

TEST(FdStream, FailuresOfTheDescriptorAreReported) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto reader = FdStream(fds[0], true);
    auto writer = FdStream(fds[1], true);
    EXPECT_EQ(Seek(reader.get(), 0, STREAM_SEEK_SET), STG_E_INVALIDFUNCTION);  // a pipe
    EXPECT_EQ(Write(reader.get(), "x"), E_HANDLE);  // the read end is not open for writing
    HRESULT hr = S_OK;
    Read(writer.get(), 1, &hr);
    EXPECT_EQ(hr, E_HANDLE);
}

// A write that the kernel takes in parts (a full pipe, interrupted by signals, or a
// non-blocking descriptor) still writes every byte, in order, before answering S_OK.
void ExpectWholeWrite(bool nonBlocking) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    if (nonBlocking) fcntl(fds[1], F_SETFL, fcntl(fds[1], F_GETFL) | O_NONBLOCK);
    auto writer = FdStream(fds[1], true);
    std::string data(1 << 20, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 251);

    // A handler without SA_RESTART: each signal cuts the blocked write() short.
    struct sigaction action {};
    action.sa_handler = [](int) {};
    struct sigaction previous {};
    sigaction(SIGUSR1, &action, &previous);

    std::atomic<bool> done{false};
    const pthread_t writerThread = pthread_self();
    std::string received;
    std::thread reader([&] {
        char buffer[4096];
        for (int round = 0; received.size() < data.size(); ++round) {
            if (round % 8 == 0 && !done) pthread_kill(writerThread, SIGUSR1);
            const ssize_t n = read(fds[0], buffer, sizeof buffer);
            if (n <= 0) break;
            received.append(buffer, static_cast<size_t>(n));
            if (round % 64 == 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    ULONG written = 0;
    const HRESULT hr = writer->Write(data.data(), static_cast<ULONG>(data.size()), &written);
    done = true;
    writer.reset();  // closes the write end: the reader sees the end
    reader.join();
    close(fds[0]);
    sigaction(SIGUSR1, &previous, nullptr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(received == data) << "received " << received.size() << " bytes";
}

TEST(FdStream, WriteOfAFullPipeInterruptedBySignalsWritesEveryByte) {
    ExpectWholeWrite(false);
}

TEST(FdStream, WriteToANonBlockingPipeWritesEveryByte) {
    ExpectWholeWrite(true);
}

TEST(FdStream, ReadFillsTheRequestFromAPipeUntilTheEnd) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto reader = FdStream(fds[0], true);
    std::thread writer([fd = fds[1]] {
        for (const char* piece : {"ab", "cd", "ef"}) {
            (void)!write(fd, piece, 2);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        close(fd);
    });
    HRESULT hr = E_FAIL;
    EXPECT_EQ(Read(reader.get(), 4, &hr), "abcd");
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(Read(reader.get(), 4, &hr), "ef");
    EXPECT_EQ(hr, S_FALSE);
    writer.join();
}

}  // namespace
}  // namespace glyphary
