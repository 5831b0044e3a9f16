// IStream over memory and over a file descriptor.
#include "platform/stream.h"
#include "platform/memory_stream.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

namespace glyphary::platform {

// ---------------------------------------------------------------------------------------------
// What both streams share.

HRESULT StreamBase::CopyTo(IStream* pstm, ULARGE_INTEGER cb, ULARGE_INTEGER* pcbRead,
                           ULARGE_INTEGER* pcbWritten) {
    if (pcbRead) pcbRead->QuadPart = 0;
    if (pcbWritten) pcbWritten->QuadPart = 0;
    if (!pstm) return STG_E_INVALIDPOINTER;
    BYTE buffer[64 * 1024];
    ULONGLONG left = cb.QuadPart;
    while (left > 0) {
        const auto want = static_cast<ULONG>(std::min<ULONGLONG>(left, sizeof buffer));
        ULONG got = 0;
        HRESULT hr = Read(buffer, want, &got);
        if (FAILED(hr)) return hr;
        if (pcbRead) pcbRead->QuadPart += got;
        if (got == 0) break;
        ULONG put = 0;
        hr = pstm->Write(buffer, got, &put);
        if (pcbWritten) pcbWritten->QuadPart += put;
        if (FAILED(hr)) return hr;
        left -= got;
        if (got < want) break;
    }
    return S_OK;
}

HRESULT StreamBase::Commit(DWORD) {
    return S_OK;
}
HRESULT StreamBase::Revert() {
    return S_OK;
}
HRESULT StreamBase::LockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}
HRESULT StreamBase::UnlockRegion(ULARGE_INTEGER, ULARGE_INTEGER, DWORD) {
    return STG_E_INVALIDFUNCTION;
}
HRESULT StreamBase::Clone(IStream** ppstm) {
    if (ppstm) *ppstm = nullptr;
    return E_NOTIMPL;
}

StreamBase::~StreamBase() = default;

namespace {

// The new position for a Seek from `base` by `move`; false before the start or past 2^64.
bool MovePosition(ULONGLONG base, LONGLONG move, ULONGLONG& result) {
    const auto magnitude =
        move < 0 ? ULONGLONG(0) - static_cast<ULONGLONG>(move) : static_cast<ULONGLONG>(move);
    if (move < 0) {
        if (magnitude > base) return false;
        result = base - magnitude;
    } else {
        if (magnitude > std::numeric_limits<ULONGLONG>::max() - base) return false;
        result = base + magnitude;
    }
    return true;
}

// The vtable pointer a COM object starts with.
const void* VtableOf(const IStream* stream) noexcept {
    const void* vtable = nullptr;
    std::memcpy(&vtable, static_cast<const void*>(stream), sizeof vtable);
    return vtable;
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// Memory.

MemoryStream* MemoryStream::Create() noexcept {
    auto* stream = new (std::nothrow) MemoryStream;
    if (stream) stream->AddRef();
    return stream;
}

MemoryStream* MemoryStream::From(IStream* stream) noexcept {
    static const void* const vtable = [] {
        const MemoryStream probe;
        return VtableOf(&probe);
    }();
    return stream && VtableOf(stream) == vtable ? static_cast<MemoryStream*>(stream) : nullptr;
}

MemoryStream::~MemoryStream() {
    std::free(m_data);
}

HRESULT MemoryStream::WriteMany(const void* pv, ULONG cb, ULONG* pcbWritten) {
    if (!pv) return STG_E_INVALIDPOINTER;
    if (pcbWritten) *pcbWritten = 0;
    if (cb == 0) return S_OK;
    // Writing past the end grows the stream; a gap left by a Seek reads as zeros.
    if (m_pos > std::numeric_limits<size_t>::max() - cb) return STG_E_MEDIUMFULL;
    const size_t end = m_pos + cb;
    if (end > m_size) {
        if (!Reserve(end)) return STG_E_MEDIUMFULL;
        if (m_pos > m_size) std::memset(m_data + m_size, 0, m_pos - m_size);
        m_size = end;
    }
    std::memcpy(m_data + m_pos, pv, cb);
    m_pos = end;
    if (pcbWritten) *pcbWritten = cb;
    return S_OK;
}

HRESULT MemoryStream::Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                           ULARGE_INTEGER* plibNewPosition) {
    ULONGLONG base = 0;
    switch (dwOrigin) {
        case STREAM_SEEK_SET:
            base = 0;
            break;
        case STREAM_SEEK_CUR:
            base = m_pos;
            break;
        case STREAM_SEEK_END:
            base = m_size;
            break;
        default:
            return STG_E_INVALIDFUNCTION;
    }
    ULONGLONG position = 0;
    if (!MovePosition(base, dlibMove.QuadPart, position) ||
        position > std::numeric_limits<size_t>::max()) {
        return STG_E_INVALIDFUNCTION;
    }
    // A position past the end is allowed: the next Write fills the gap.
    m_pos = static_cast<size_t>(position);
    if (plibNewPosition) plibNewPosition->QuadPart = position;
    return S_OK;
}

HRESULT MemoryStream::SetSize(ULARGE_INTEGER libNewSize) {
    if (libNewSize.QuadPart > std::numeric_limits<size_t>::max()) return STG_E_MEDIUMFULL;
    return Resize(static_cast<size_t>(libNewSize.QuadPart)) ? S_OK : STG_E_MEDIUMFULL;
}

HRESULT MemoryStream::Stat(STATSTG* pstatstg, DWORD) {
    if (!pstatstg) return STG_E_INVALIDPOINTER;
    *pstatstg = {};
    pstatstg->type = STGTY_STREAM;  // a memory stream has no name to return
    pstatstg->cbSize.QuadPart = m_size;
    pstatstg->grfMode = STGM_READWRITE;
    return S_OK;
}

HRESULT MemoryStream::ReadMany(void* pv, ULONG cb, ULONG* pcbRead) {
    if (!pv) return STG_E_INVALIDPOINTER;
    const size_t n = m_pos < m_size ? std::min<size_t>(cb, m_size - m_pos) : 0;
    if (n > 0) std::memcpy(pv, m_data + m_pos, n);
    m_pos += n;
    if (pcbRead) *pcbRead = static_cast<ULONG>(n);
    return S_OK;  // also at the end, as the Windows memory stream answers
}

// Makes room for `size` bytes; false (and nothing changed) when memory runs out.
bool MemoryStream::Reserve(size_t size) noexcept {
    if (size <= m_capacity) return true;
    const size_t capacity = std::max(size, m_capacity + m_capacity / 2);
    auto* data = static_cast<BYTE*>(std::realloc(m_data, capacity));
    if (!data) return false;
    m_data = data;
    m_capacity = capacity;
    return true;
}

// Sets the size; new bytes are zeros.
bool MemoryStream::Resize(size_t size) noexcept {
    if (!Reserve(size)) return false;
    if (size > m_size) std::memset(m_data + m_size, 0, size - m_size);
    m_size = size;
    return true;
}

namespace {

// ---------------------------------------------------------------------------------------------
// File descriptor.

HRESULT ResultOfErrno(int error, HRESULT fallback) {
    switch (error) {
        case EBADF:
            return E_HANDLE;
        case EACCES:
        case EPERM:
            return STG_E_ACCESSDENIED;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return STG_E_MEDIUMFULL;
        case ENOMEM:
            return E_OUTOFMEMORY;
        case EPIPE:
            return HRESULT_FROM_WIN32(109);  // ERROR_BROKEN_PIPE
        case ESPIPE:
        case EINVAL:
            return STG_E_INVALIDFUNCTION;
        default:
            return fallback;
    }
}

// Waits until a non-blocking descriptor is ready for `events`; false if polling failed.
bool WaitReady(int fd, short events) {
    pollfd p{fd, events, 0};
    for (;;) {
        if (::poll(&p, 1, -1) >= 0) return true;
        if (errno != EINTR) return false;
    }
}

FILETIME FileTimeOf(const timespec& t) {
    // 100-nanosecond intervals since 1601-01-01, as Windows counts them.
    constexpr ULONGLONG kEpochDifference = 11644473600ULL;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(t.tv_sec) + kEpochDifference) * 10000000ULL +
                            static_cast<ULONGLONG>(t.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

class FdStream final : public StreamBase {
  public:
    FdStream(int fd, bool closeOnRelease) : m_fd(fd), m_close(closeOnRelease) {}

    HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) override {
        if (!pv) return STG_E_INVALIDPOINTER;
        auto* p = static_cast<BYTE*>(pv);
        ULONG done = 0;
        while (done < cb) {
            const ssize_t n = ::read(m_fd, p + done, cb - done);
            if (n > 0) {
                done += static_cast<ULONG>(n);
            } else if (n == 0) {
                break;  // the end of the input
            } else if (errno == EINTR) {
                continue;
            } else if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(m_fd, POLLIN)) {
                continue;
            } else {
                const int error = errno;
                if (pcbRead) *pcbRead = done;
                return ResultOfErrno(error, STG_E_READFAULT);
            }
        }
        if (pcbRead) *pcbRead = done;
        return done == cb ? S_OK : S_FALSE;
    }

    HRESULT STDMETHODCALLTYPE Write(const void* pv, ULONG cb, ULONG* pcbWritten) override {
        if (!pv) return STG_E_INVALIDPOINTER;
        const auto* p = static_cast<const BYTE*>(pv);
        ULONG done = 0;
        while (done < cb) {
            const ssize_t n = ::write(m_fd, p + done, cb - done);
            if (n >= 0) {
                done += static_cast<ULONG>(n);
            } else if (errno == EINTR) {
                continue;
            } else if ((errno == EAGAIN || errno == EWOULDBLOCK) && WaitReady(m_fd, POLLOUT)) {
                continue;
            } else {
                const int error = errno;
                if (pcbWritten) *pcbWritten = done;
                return ResultOfErrno(error, STG_E_WRITEFAULT);
            }
        }
        if (pcbWritten) *pcbWritten = done;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                   ULARGE_INTEGER* plibNewPosition) override {
        int whence = SEEK_SET;
        switch (dwOrigin) {
            case STREAM_SEEK_SET:
                whence = SEEK_SET;
                break;
            case STREAM_SEEK_CUR:
                whence = SEEK_CUR;
                break;
            case STREAM_SEEK_END:
                whence = SEEK_END;
                break;
            default:
                return STG_E_INVALIDFUNCTION;
        }
        const off_t position = ::lseek(m_fd, static_cast<off_t>(dlibMove.QuadPart), whence);
        if (position < 0) return ResultOfErrno(errno, STG_E_SEEKERROR);
        if (plibNewPosition) plibNewPosition->QuadPart = static_cast<ULONGLONG>(position);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE SetSize(ULARGE_INTEGER libNewSize) override {
        if (libNewSize.QuadPart > static_cast<ULONGLONG>(std::numeric_limits<off_t>::max())) {
            return STG_E_INVALIDFUNCTION;
        }
        while (::ftruncate(m_fd, static_cast<off_t>(libNewSize.QuadPart)) != 0) {
            if (errno != EINTR) return ResultOfErrno(errno, STG_E_MEDIUMFULL);
        }
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE Stat(STATSTG* pstatstg, DWORD) override {
        if (!pstatstg) return STG_E_INVALIDPOINTER;
        struct stat st {};
        if (::fstat(m_fd, &st) != 0) return ResultOfErrno(errno, STG_E_ACCESSDENIED);
        *pstatstg = {};
        pstatstg->type = STGTY_STREAM;
        pstatstg->cbSize.QuadPart = S_ISREG(st.st_mode) ? static_cast<ULONGLONG>(st.st_size) : 0;
        pstatstg->mtime = FileTimeOf(st.st_mtim);
        pstatstg->ctime = FileTimeOf(st.st_ctim);
        pstatstg->atime = FileTimeOf(st.st_atim);
        const int flags = ::fcntl(m_fd, F_GETFL);
        const int access = flags < 0 ? O_RDWR : (flags & O_ACCMODE);
        pstatstg->grfMode = access == O_RDONLY   ? STGM_READ
                            : access == O_WRONLY ? STGM_WRITE
                                                 : STGM_READWRITE;
        return S_OK;
    }

  private:
    ~FdStream() override {
        if (m_close) ::close(m_fd);
    }

    int m_fd;
    bool m_close;
};

}  // namespace
}  // namespace glyphary::platform

using glyphary::platform::MemoryStream;

STDAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL, LPSTREAM* ppstm) {
    if (!ppstm) return E_INVALIDARG;
    *ppstm = nullptr;
    if (hGlobal) return E_INVALIDARG;
    MemoryStream* stream = MemoryStream::Create();
    if (!stream) return E_OUTOFMEMORY;
    *ppstm = stream;
    return S_OK;
}

namespace glyphary::platform {

HRESULT CreateStreamOnFd(int fd, bool closeOnRelease, IStream** ppstm) {
    if (!ppstm) return E_POINTER;
    *ppstm = nullptr;
    if (fd < 0) return E_HANDLE;
    return CreateObject<FdStream>(IID_IStream, reinterpret_cast<void**>(ppstm), fd, closeOnRelease);
}

}  // namespace glyphary::platform
