// Module loading with Windows' protocol: LoadLibraryW loads a shared object and calls its
// DllMain(DLL_PROCESS_ATTACH); a false answer unloads it again and the load fails.
// FreeLibrary calls DllMain(DLL_PROCESS_DETACH), then unloads. Linux only (see win.h).
#pragma once

#include "platform/wintypes.h"

typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef int(STDAPICALLTYPE* FARPROC)();
typedef const char* LPCSTR;

#define FORMAT_MESSAGE_IGNORE_INSERTS 0x00000200
#define FORMAT_MESSAGE_FROM_SYSTEM 0x00001000

#define DLL_PROCESS_DETACH 0
#define DLL_PROCESS_ATTACH 1
#define DLL_THREAD_ATTACH 2
#define DLL_THREAD_DETACH 3

/// Loads the module at `lpLibFileName` (or adds a reference to it); null on failure, with
/// the reason in GetLastError.
extern "C" GLYPHARY_PLATFORM_API HMODULE LoadLibraryW(LPCWSTR lpLibFileName);
/// Drops a reference; the last one detaches and unloads the module.
extern "C" GLYPHARY_PLATFORM_API BOOL FreeLibrary(HMODULE hLibModule);
/// The full path of `hModule` (null: the program), truncated to `nSize` units; the length
/// copied, without the terminator.
extern "C" GLYPHARY_PLATFORM_API DWORD GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename,
                                                          DWORD nSize);
/// An exported function or variable of `hModule`, or null.
extern "C" GLYPHARY_PLATFORM_API FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
/// This thread's last error code, as the functions above leave it.
extern "C" GLYPHARY_PLATFORM_API DWORD GetLastError();
extern "C" GLYPHARY_PLATFORM_API void SetLastError(DWORD dwErrCode);
/// The text of the system error `dwMessageId` (FORMAT_MESSAGE_FROM_SYSTEM, into the caller's
/// buffer of `nSize` units): for the error of this thread's last failed LoadLibraryW, what the
/// dynamic loader said of that file. The length stored, or 0 (no such message, or no room).
extern "C" GLYPHARY_PLATFORM_API DWORD FormatMessageW(DWORD dwFlags, LPCVOID lpSource,
                                                      DWORD dwMessageId, DWORD dwLanguageId,
                                                      LPWSTR lpBuffer, DWORD nSize,
                                                      void* Arguments);
