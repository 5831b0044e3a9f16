// The registry: HKEY_CLASSES_ROOT and the Reg* functions that registration and activation
// use, with Windows' names, types and result codes. Linux only (see win.h).
//
// It lives in one file: $GLYPHARY_REGISTRY if set (tests, side-by-side installs), else
// $XDG_DATA_HOME/glyphary/registry, else ~/.local/share/glyphary/registry. Key and value
// names compare ignoring case, as on Windows, but only ASCII letters fold (Windows also folds
// other scripts); names keep the case they were first given. Values keep their type and exact
// bytes. Each change is atomic and durable, and changes from several processes take turns, so
// readers and crashed writers never leave a torn file; a registry path that is a symbolic
// link stays one, and the file it leads to is replaced. A damaged file reads as ERROR_BADDB
// and is never overwritten. Several changes can be made as one (registry.h), which also says
// why a call failed. Not kept: volatile keys (refused), key classes, write times, security.
#pragma once

#include "platform/wintypes.h"

typedef struct HKEY__* HKEY;
typedef HKEY* PHKEY;
typedef DWORD REGSAM;
typedef LONG LSTATUS;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;
typedef const BYTE* LPCBYTE;
typedef struct _SECURITY_ATTRIBUTES SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define HKEY_CLASSES_ROOT ((HKEY)(ULONG_PTR)((LONG)0x80000000))

#define ERROR_SUCCESS 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_DLL_INIT_FAILED 1114L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_BADDB 1009L
#define ERROR_CANTREAD 1012L
#define ERROR_CANTWRITE 1013L
#define ERROR_KEY_DELETED 1018L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_NOACCESS 998L

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ 0x20019
#define KEY_WRITE 0x20006
#define KEY_ALL_ACCESS 0xF003F

#define REG_OPTION_NON_VOLATILE 0x0
#define REG_OPTION_VOLATILE 0x1
#define REG_CREATED_NEW_KEY 0x1
#define REG_OPENED_EXISTING_KEY 0x2

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4

/// Creates `lpSubKey` under `hKey` (and the keys above it), or opens it if it exists. The new
/// handle may set values (KEY_SET_VALUE), read them (KEY_QUERY_VALUE) and list subkeys
/// (KEY_ENUMERATE_SUB_KEYS) as `samDesired` allows; subkeys open through any handle.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegCreateKeyExW(HKEY hKey, LPCWSTR lpSubKey,
                                                         DWORD Reserved, LPWSTR lpClass,
                                                         DWORD dwOptions, REGSAM samDesired,
                                                         LPSECURITY_ATTRIBUTES lpSecurityAttributes,
                                                         PHKEY phkResult, LPDWORD lpdwDisposition);
/// Opens the existing key `lpSubKey` under `hKey`.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegOpenKeyExW(HKEY hKey, LPCWSTR lpSubKey, DWORD ulOptions,
                                                       REGSAM samDesired, PHKEY phkResult);
/// Writes the value `lpValueName` (null or empty: the default value) of `hKey`.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegSetValueExW(HKEY hKey, LPCWSTR lpValueName,
                                                        DWORD Reserved, DWORD dwType,
                                                        const BYTE* lpData, DWORD cbData);
/// Reads the value `lpValueName` of `hKey`: its type, and its data if `lpData` is big enough.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegQueryValueExW(HKEY hKey, LPCWSTR lpValueName,
                                                          LPDWORD lpReserved, LPDWORD lpType,
                                                          LPBYTE lpData, LPDWORD lpcbData);
/// The name of the `dwIndex`-th subkey of `hKey`; ERROR_NO_MORE_ITEMS past the last.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegEnumKeyExW(HKEY hKey, DWORD dwIndex, LPWSTR lpName,
                                                       LPDWORD lpcchName, LPDWORD lpReserved,
                                                       LPWSTR lpClass, LPDWORD lpcchClass,
                                                       FILETIME* lpftLastWriteTime);
/// Deletes `lpSubKey` under `hKey` ("": hKey's own key); one with subkeys is refused with
/// ERROR_ACCESS_DENIED. Handles to a deleted key then answer ERROR_KEY_DELETED.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegDeleteKeyW(HKEY hKey, LPCWSTR lpSubKey);
/// Closes a key handle.
extern "C" GLYPHARY_PLATFORM_API LSTATUS RegCloseKey(HKEY hKey);
