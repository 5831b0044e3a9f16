// The platform's own memory stream, recognised so that a reader taking one byte per Read can
// call its Read directly (inlined) instead of through the vtable. Module code asks for it
// here and needs no platform conditional: on Windows the memory stream is the system's, and
// no stream is ever recognised.
#pragma once

#include "platform/win.h"

#ifdef _WIN32
namespace glyphary::platform {

class MemoryStream {
  public:
    static MemoryStream* From(IStream*) noexcept { return nullptr; }
    HRESULT Read(void*, ULONG, ULONG*) noexcept { return E_NOTIMPL; }  // never reached
};

}  // namespace glyphary::platform
#else
#include "platform/memory_stream.h"
#endif

namespace glyphary::platform {

/// `stream` as the platform's own memory stream, whose Read may be called directly as
/// `memory->MemoryStream::Read(...)`; null for any other stream (and always on Windows).
/// Nothing is called on `stream`.
inline MemoryStream* OwnMemoryStream(IStream* stream) noexcept {
    return MemoryStream::From(stream);
}

}  // namespace glyphary::platform
