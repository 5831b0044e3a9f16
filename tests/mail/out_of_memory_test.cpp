// Running out of memory in the middle of a conversion: the allocator of this test program
// fails on request, and the call answers E_OUTOFMEMORY with what it had written kept.
#include <string>

#include <gtest/gtest.h>

#include "mail/failing_allocator.h"
#include "mail/streams.h"
#include "support/calls.h"
#include "support/object.h"

namespace glyphary {
namespace {

// Serves its input; once `failAt` bytes are out, the next allocation in the process fails.
class RunningOutStream final : public testing::ScriptedStream {
  public:
    using ScriptedStream::ScriptedStream;
    size_t failAt = 0;
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG, ULONG* pcbRead) override {
        if (position == failAt) testing::g_failNextAllocation = true;
        *pcbRead = position < input.size() ? 1 : 0;
        if (*pcbRead) *static_cast<char*>(pv) = input[position++];
        return S_OK;
    }
};

TEST(MailOutOfMemory, IsEOutOfMemoryWithEarlierOutputKept) {
    const std::string header = "Subject: x\r\n\r\n";
    RunningOutStream in(header + std::string(1000, 'a') + "\r\n");
    in.failAt = header.size() + 100;  // inside a line that outgrows its first buffer
    testing::ScriptedStream out;
    out.output.reserve(4096);
    EXPECT_EQ(testing::MakeObject()->ConvertEzwebMail(&in, &out), E_OUTOFMEMORY);
    EXPECT_FALSE(testing::g_failNextAllocation);  // it was used
    EXPECT_EQ(out.output, header);
    EXPECT_EQ(testing::TakeErrorDescription(), u"Out of memory");
}

}  // namespace
}  // namespace glyphary
