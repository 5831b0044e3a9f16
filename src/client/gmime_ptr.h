// GMime's objects owned the C++ way, for the files of the client that read and write MIME.
#pragma once

#include <gmime/gmime.h>

#include <cstddef>
#include <memory>

namespace glyphary::client {

struct GObjectUnref {
    void operator()(void* object) const {
        if (object) g_object_unref(object);
    }
};

/// A reference to a GObject (a GMime stream, parser, message...), given back at the end.
template <class T>
using GPtr = std::unique_ptr<T, GObjectUnref>;

/// Decoded text goes through the renderer in pieces of at most this many units.
inline constexpr size_t kRenderPiece = size_t{1} << 18;

}  // namespace glyphary::client
