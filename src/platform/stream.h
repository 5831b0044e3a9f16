// Streams: IStream over memory (CreateStreamOnHGlobal) and over a file descriptor.
// Linux only (see win.h); on Windows CreateStreamOnHGlobal comes from the SDK.
#pragma once

#include "platform/objidl.h"

typedef HANDLE HGLOBAL;
typedef IStream* LPSTREAM;

#define STGM_READ 0x00000000L
#define STGM_WRITE 0x00000001L
#define STGM_READWRITE 0x00000002L
#define STG_E_SEEKERROR ((HRESULT)0x80030019)

/// A new, empty, growable memory stream in `*ppstm`. `hGlobal` must be null: there is no
/// global memory to wrap here, so a non-null handle is E_INVALIDARG. The stream owns its
/// memory and frees it on the last Release, whatever `fDeleteOnRelease` says.
STDAPI CreateStreamOnHGlobal(HGLOBAL hGlobal, BOOL fDeleteOnRelease, LPSTREAM* ppstm);

namespace glyphary::platform {

/// A stream over the open file descriptor `fd` (a file, a pipe, stdin or stdout), in
/// `*ppstm`. Nothing is buffered, so the descriptor's offset always stands where the stream
/// does. Read fills the request unless the input ends (then S_FALSE, with the count read); a
/// Write that succeeds has written every byte. Interrupted and short system calls are resumed.
/// Seek, SetSize and Stat work on seekable descriptors. `closeOnRelease`: the last Release
/// closes `fd`.
GLYPHARY_PLATFORM_API HRESULT CreateStreamOnFd(int fd, bool closeOnRelease, IStream** ppstm);

}  // namespace glyphary::platform
