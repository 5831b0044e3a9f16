// The registry beyond the Windows calls: several changes made as one, for a whole process, and
// why the last registry call failed, in words for people.
//
// Linux: the registry is one file (winreg.h). A transaction holds the file's cross-process
// write lock from its beginning to its end; the Reg* calls made meanwhile read and change a
// copy in memory, and the commit replaces the file once, atomically, so other processes see
// all of the changes or none of them. An abort, or a process that dies during the
// transaction, leaves the file as it was (the kernel drops the lock with the process). The
// transaction belongs to the thread that began it: registry calls on other threads wait until
// it ends, so a thread must not wait for another thread's registry call while it holds one.
// The reason of a failure is kept per thread, as GetLastError keeps its code: the registry
// file and the cause (missing key, unreadable, damaged at line N, not writable, a directory).
//
// Windows: each Reg* call is the system's own atomic operation and the system orders
// concurrent ones; these functions then do nothing and keep no reason.
#pragma once

#include <string>

#include "platform/win.h"

namespace glyphary::platform {

#ifdef _WIN32
// Nothing to hold back or explain: see above.
inline LSTATUS BeginRegistryTransaction() {
    return ERROR_SUCCESS;
}
inline LSTATUS CommitRegistryTransaction() {
    return ERROR_SUCCESS;
}
inline void AbortRegistryTransaction() {}
inline std::string RegistryFailure() {
    return {};
}
#else
/// Begins this process's registry transaction, after waiting for any other thread's to end.
/// ERROR_CANTREAD, ERROR_BADDB or ERROR_CANTWRITE (see RegistryFailure) when the registry
/// cannot be read and written; ERROR_BUSY when this thread has one open already.
GLYPHARY_PLATFORM_API LSTATUS BeginRegistryTransaction();
/// Writes every change made since the beginning at once, and ends the transaction. On failure
/// nothing is written (see RegistryFailure) and the transaction ends all the same.
GLYPHARY_PLATFORM_API LSTATUS CommitRegistryTransaction();
/// Ends the transaction without writing anything: the registry stays as it was.
GLYPHARY_PLATFORM_API void AbortRegistryTransaction();
/// Why the last failed registry call on this thread failed, such as "the registry
/// /home/u/.local/share/glyphary/registry is damaged at line 3: a key listed twice"; empty
/// when no call failed since this thread's last BeginRegistryTransaction.
GLYPHARY_PLATFORM_API std::string RegistryFailure();
#endif

}  // namespace glyphary::platform
