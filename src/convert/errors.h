// How conversion failures reach the caller: every interface method runs its body inside
// CallBoundary with kGlypharyErrors, which turns any exception into an HRESULT and the
// thread's error info. No C++ exception leaves an interface method.
#pragma once

#include "com/iglyphary.h"
#include "platform/boundary.h"
#include "platform/win.h"

namespace glyphary {

/// A failure of a conversion: the HRESULT to report and a description for the error info.
using ConversionError = HResultError;

/// The error info of a failed Glyphary call names the interface IGlyphary and the source
/// "Glyphary".
inline constexpr ErrorSource kGlypharyErrors{&IID_IGlyphary, OLESTR("Glyphary")};

}  // namespace glyphary
