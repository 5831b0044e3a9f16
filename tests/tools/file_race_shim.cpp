// Preloaded into the glyphary program by the tests (LD_PRELOAD), never built into it: does to
// the mail being converted what another program might do at the worst moment, so that races
// are tested without timing luck.
//   GLYPHARY_SHIM_FILE         the mail to disturb
//   GLYPHARY_SHIM_AT           "fsync": when a temporary file is flushed, before any check;
//                              "rename": when a result is about to be put in place, after
//                              the checks
//   GLYPHARY_SHIM_DO           "append", "remove", "move:PATH" (once), or "wait:MARKER"
//                              (every time: appends a byte to MARKER, then sleeps until killed)
//   GLYPHARY_SHIM_NO_EXCHANGE  set: renameat2 cannot exchange, as on file systems without it
//   GLYPHARY_SHIM_RANDOM       set: getrandom gives bytes 0, 1, 2... (all equal within a call)
#include <dlfcn.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

template <typename Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

std::atomic<bool> g_done{false};

void Disturb(const char* moment) {
    const char* at = std::getenv("GLYPHARY_SHIM_AT");
    const char* file = std::getenv("GLYPHARY_SHIM_FILE");
    const char* action = std::getenv("GLYPHARY_SHIM_DO");
    if (!at || !file || !action || std::strcmp(at, moment) != 0) return;
    if (std::strncmp(action, "wait:", 5) == 0) {
        const int marker = open(action + 5, O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (marker >= 0) {
            (void)!write(marker, "w", 1);
            close(marker);
        }
        for (int i = 0; i < 600; ++i) usleep(100000);  // the test kills it long before
        return;
    }
    if (g_done.exchange(true)) return;
    const auto rename = Real<int (*)(const char*, const char*)>("rename");
    if (std::strcmp(action, "append") == 0) {
        const int fd = open(file, O_WRONLY | O_APPEND);
        if (fd >= 0) {
            (void)!write(fd, "X-Added: meanwhile\r\n", 20);
            close(fd);
        }
    } else if (std::strcmp(action, "remove") == 0) {
        unlink(file);
    } else if (std::strncmp(action, "move:", 5) == 0) {
        rename(file, action + 5);
    }
}

}  // namespace

extern "C" {

int fsync(int fd) {
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) Disturb("fsync");
    return Real<int (*)(int)>("fsync")(fd);
}

int renameat2(int olddirfd, const char* oldpath, int newdirfd, const char* newpath,
              unsigned int flags) {
    Disturb("rename");
    if ((flags & RENAME_EXCHANGE) && std::getenv("GLYPHARY_SHIM_NO_EXCHANGE")) {
        errno = EINVAL;
        return -1;
    }
    return Real<int (*)(int, const char*, int, const char*, unsigned int)>("renameat2")(
        olddirfd, oldpath, newdirfd, newpath, flags);
}

int renameat(int olddirfd, const char* oldpath, int newdirfd, const char* newpath) {
    Disturb("rename");
    return Real<int (*)(int, const char*, int, const char*)>("renameat")(olddirfd, oldpath,
                                                                         newdirfd, newpath);
}

ssize_t getrandom(void* buffer, size_t length, unsigned int flags) {
    if (!std::getenv("GLYPHARY_SHIM_RANDOM"))
        return Real<ssize_t (*)(void*, size_t, unsigned int)>("getrandom")(buffer, length, flags);
    static std::atomic<unsigned char> next{0};
    std::memset(buffer, next++, length);
    return static_cast<ssize_t>(length);
}

}  // extern "C"
