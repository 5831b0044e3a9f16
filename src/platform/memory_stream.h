// The memory stream behind CreateStreamOnHGlobal, declared here so that a reader that takes
// one byte per Read can take the bytes from its buffer instead, and a writer can call its
// Write directly, inlined, instead of through the vtable: the stream ends as it would have.
// Linux only (see win.h).
#pragma once

#include <cstddef>
#include <cstring>
#include <span>

#include "platform/com_object.h"
#include "platform/objidl.h"
#include "platform/stream.h"

namespace glyphary::platform {

// What the platform's streams share: IUnknown, CopyTo written over Read and Write, and the
// members of a stream that is not transacted and has no region locks or clones.
class GLYPHARY_PLATFORM_API StreamBase
    : public ComObject<StreamBase, AtomicCount, Chain<IStream, IStream, ISequentialStream>> {
  public:
    HRESULT STDMETHODCALLTYPE CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                                     ULARGE_INTEGER* pcbWritten) override;
    HRESULT STDMETHODCALLTYPE Commit(DWORD) override;
    HRESULT STDMETHODCALLTYPE Revert() override;
    HRESULT STDMETHODCALLTYPE LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) override;
    HRESULT STDMETHODCALLTYPE Clone(IStream** ppstm) override;

  protected:
    friend ComObject;
    StreamBase() = default;
    virtual ~StreamBase();
};

// A growable memory stream. Reads of one byte are the common case (the mail reader asks for
// nothing else), so that case is a few loads and stores, and no lock is taken: like the
// Windows stream, one stream is used by one thread at a time. Exported whole, type information
// included, which the sanitizers' checks of calls made on it from other modules look up.
class GLYPHARY_PLATFORM_API MemoryStream final : public StreamBase {
  public:
    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (cb == 1 && m_pos < m_size && pv && pcbRead) [[likely]] {
            *static_cast<BYTE*>(pv) = m_data[m_pos++];
            *pcbRead = 1;
            return S_OK;
        }
        return ReadMany(pv, cb, pcbRead);
    }
    // Appending within the room already reserved is the common case (the mail writer's lines),
    // so it is inline too.
    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (pv && cb != 0 && m_pos == m_size && cb <= m_capacity - m_size) [[likely]] {
            std::memcpy(m_data + m_pos, pv, cb);
            m_pos = m_size += cb;
            if (pcbWritten) *pcbWritten = cb;
            return S_OK;
        }
        return WriteMany(pv, cb, pcbWritten);
    }
    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                   ULARGE_INTEGER* plibNewPosition) override;
    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override;
    HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD) override;

    /// `stream` as a memory stream of this class, or null for any other stream. Only the
    /// object's vtable pointer is looked at: nothing is called on `stream`.
    static MemoryStream* From(IStream* stream) noexcept;

    /// The bytes that Reads would deliver from here on, for a reader that takes them as its
    /// one-byte Reads would and then calls Consume with how many it took. Valid until the
    /// next call that changes the stream.
    std::span<const BYTE> Unread() const noexcept {
        return m_pos < m_size ? std::span<const BYTE>(m_data + m_pos, m_size - m_pos)
                              : std::span<const BYTE>();
    }
    /// Moves the position as `count` one-byte Reads would; `count` is at most Unread().size().
    void Consume(size_t count) noexcept { m_pos += count; }

    /// A new, empty stream with one reference; null when memory runs out.
    static MemoryStream* Create() noexcept;

  private:
    MemoryStream() = default;
    ~MemoryStream() override;

    HRESULT ReadMany(void* pv, ULONG cb, ULONG* pcbRead);
    HRESULT WriteMany(const void* pv, ULONG cb, ULONG* pcbWritten);
    bool Reserve(size_t size) noexcept;
    bool Resize(size_t size) noexcept;

    BYTE* m_data = nullptr;  // m_capacity bytes, of which the first m_size are the stream
    size_t m_size = 0;
    size_t m_capacity = 0;
    size_t m_pos = 0;
};

}  // namespace glyphary::platform
