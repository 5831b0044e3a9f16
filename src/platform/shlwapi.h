// Shell path functions over '/'-separated paths: PathRemoveFileSpecW and PathCombineW with
// their Windows meaning and MAX_PATH (260-unit) buffers. Linux only (see win.h).
#pragma once

#include "platform/wintypes.h"

/// Drops the last component of `pszPath` (and the separator before it) in place; the root
/// "/" stays. TRUE when something was removed.
STDAPI_(BOOL) PathRemoveFileSpecW(LPWSTR pszPath);

/// Joins `pszDir` and `pszFile` into `pszDest` (MAX_PATH units): a relative `pszFile` goes
/// after `pszDir` and a separator, an absolute one stands alone, an empty or null one gives
/// `pszDir`; "." and ".." components are then resolved. Returns `pszDest`, or null (with
/// `pszDest` emptied) when both inputs are null or the result does not fit in MAX_PATH units.
STDAPI_(LPWSTR) PathCombineW(LPWSTR pszDest, LPCWSTR pszDir, LPCWSTR pszFile);
