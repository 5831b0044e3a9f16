// A stream double for the mail tests: serves its input one Read at a time, collects what is
// written, fails the Nth Read or Write with a chosen code, and records every call in order.
#pragma once

#include <string>
#include <vector>

#include "platform/com_object.h"
#include "platform/win.h"

namespace glyphary::testing {

// Its references are not kept: taking or dropping one is another call ('x') to the log.
class LoggedCount {
  public:
    static constexpr bool kDeletes = false;
    explicit LoggedCount(std::string& log) noexcept : m_log(log) {}
    ULONG Increment() {
        m_log += 'x';
        return 1;
    }
    ULONG Decrement() {
        m_log += 'x';
        return 1;
    }

  private:
    std::string& m_log;
};

class ScriptedStream
    : public ComObject<ScriptedStream, LoggedCount, Chain<IStream, IStream, ISequentialStream>> {
  public:
    explicit ScriptedStream(std::string in = {})
        : ComObject(std::in_place, log), input(std::move(in)) {}

    std::string input;
    size_t position = 0;  // the next input byte to serve
    std::string output;

    int failReadAt = 0;  // the 1-based Read that fails; 0: none
    HRESULT readFailure = STG_E_READFAULT;
    int failWriteAt = 0;  // the 1-based Write that fails; 0: none
    HRESULT writeFailure = STG_E_WRITEFAULT;
    HRESULT endResult = S_OK;  // what a Read at the end answers (S_OK or S_FALSE)

    int reads = 0;
    int writes = 0;
    // One letter per call: 'r' Read, 'w' Write, 'x' anything else (none is expected).
    std::string log;
    std::string badCalls;  // a Read asking for other than one byte, and the like

    // The state of this stream and of `peer` as each Read or Write began, in call order:
    // what had been written and read by then.
    struct Moment {
        size_t output;
        size_t peerOutput;
        int peerReads;
        int peerWrites;
    };
    const ScriptedStream* peer = nullptr;
    std::vector<Moment> moments;

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        Mark('r');
        ++reads;
        if (cb != 1 || !pcbRead) badCalls += "Read(cb=" + std::to_string(cb) + ") ";
        if (reads == failReadAt) {
            if (pcbRead) *pcbRead = 0;
            return readFailure;
        }
        ULONG n = 0;
        while (n < cb && position < input.size()) {
            static_cast<char*>(pv)[n++] = input[position++];
        }
        if (pcbRead) *pcbRead = n;
        return n == 0 ? endResult : S_OK;
    }
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        Mark('w');
        ++writes;
        if (!pv) badCalls += "Write(null) ";
        if (writes == failWriteAt) return writeFailure;
        output.append(static_cast<const char*>(pv), cb);
        if (pcbWritten) *pcbWritten = cb;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER, DWORD, ULARGE_INTEGER*) override {
        return Other();
    }
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER) override { return Other(); }
    HRESULT STDMETHODCALLTYPE CopyTo(IStream*, ULARGE_INTEGER, ULARGE_INTEGER*,
                                     ULARGE_INTEGER*) override {
        return Other();
    }
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE Revert() override { return Other(); }
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return Other();
    }
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override {
        return Other();
    }
    HRESULT STDMETHODCALLTYPE Stat(STATSTG*, DWORD) override { return Other(); }
    HRESULT STDMETHODCALLTYPE Clone(IStream**) override { return Other(); }

  private:
    void Mark(char call) {
        log += call;
        moments.push_back({output.size(), peer ? peer->output.size() : 0, peer ? peer->reads : 0,
                           peer ? peer->writes : 0});
    }
    HRESULT Other() {
        log += 'x';
        return E_NOTIMPL;
    }
};

}  // namespace glyphary::testing
