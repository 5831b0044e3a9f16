// The platform's own memory stream, recognised so that a reader taking one byte per Read can
// take its bytes from its buffer, and a writer call its Write directly (inlined), instead of
// through the vtable. Module code asks for it here and needs no platform conditional: on
// Windows the memory stream is the system's, and no stream is ever recognised.
#pragma once

#include "platform/win.h"

#ifdef _WIN32
#include <span>

namespace glyphary::platform {

class MemoryStream {
  public:
    static MemoryStream* From(IStream*) noexcept { return nullptr; }
    // Never reached.
    HRESULT Write(const void*, ULONG, ULONG*) noexcept { return E_NOTIMPL; }
    std::span<const BYTE> Unread() const noexcept { return {}; }
    void Consume(size_t) noexcept {}
};

}  // namespace glyphary::platform
#else
#include "platform/memory_stream.h"
#endif

namespace glyphary::platform {

/// `stream` as the platform's own memory stream, whose Write may be called directly as
/// `memory->MemoryStream::Write(...)` and whose buffer may be read through Unread and
/// Consume; null for any other stream (and always on Windows). Nothing is called on `stream`.
inline MemoryStream* OwnMemoryStream(IStream* stream) noexcept {
    return MemoryStream::From(stream);
}

}  // namespace glyphary::platform
