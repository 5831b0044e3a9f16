// What the loader and activation tests share with their test module.
#pragma once

#include "platform/win.h"

namespace glyphary::test {

/// The one class the test module serves.
inline constexpr CLSID CLSID_TestClass = {
    0x6B1F7E0A, 0x2C3D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B}};
/// Its interface: IUnknown plus one call that says which module instance answers.
inline constexpr IID IID_ITestObject = {
    0x6B1F7E0B, 0x2C3D, 0x4E5F, {0x8A, 0x9B, 0x0C, 0x1D, 0x2E, 0x3F, 0x4A, 0x5B}};

struct ITestObject : IUnknown {
    /// How many times the module has been attached in this process (from a file-based
    /// counter, since the module's own memory starts afresh on each load).
    virtual LONG STDMETHODCALLTYPE Answer() = 0;
};

/// Environment variables read by the module: the file that receives its trace (one event per
/// line: "construct", "attach <module file name>", "detach", "destroy", "create"), and, when
/// set, a request to refuse the process attach.
inline constexpr const char* kTraceVariable = "GLYPHARY_TEST_TRACE";
inline constexpr const char* kFailAttachVariable = "GLYPHARY_TEST_FAIL_ATTACH";

}  // namespace glyphary::test
