// Stand-in objects for interface arguments: a stream that does nothing (every member
// E_NOTIMPL) but counts its references, reads and writes, and an object that is not a stream.
#pragma once

#include "platform/win.h"
#include "support/stack_object.h"

namespace glyphary::testing {

class StubStream final
    : public StackObject<StubStream, Chain<IStream, IStream, ISequentialStream>> {
  public:
    HRESULT STDMETHODCALLTYPE Read(void*, ULONG, ULONG*) override {
        ++reads;
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Write(const void*, ULONG, ULONG*) override {
        ++writes;
        return E_NOTIMPL;
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

    int reads = 0;
    int writes = 0;
};

/// An object with IUnknown only: not acceptable where a stream is declared.
class NotAStream final : public StackObject<NotAStream, IUnknown> {};

}  // namespace glyphary::testing
