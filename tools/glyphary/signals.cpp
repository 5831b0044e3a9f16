#include "signals.h"

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <string_view>

#include "files/replace.h"

namespace glyphary::tool {
namespace {

void Say(std::string_view text) {
    while (!text.empty()) {
        const ssize_t n = write(STDERR_FILENO, text.data(), text.size());
        if (n <= 0 && errno != EINTR) return;
        if (n > 0) text.remove_prefix(static_cast<size_t>(n));
    }
}

const char* SignalName(int sig) {
    switch (sig) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        default:
            return "a signal";
    }
}

// The signals are blocked in every thread and taken here, on a thread of their own: unlike a
// handler it may wait for a file being swapped in, so it never removes a file half moved.
void* AwaitSignal(void* set) {
    int sig = 0;
    while (sigwait(static_cast<const sigset_t*>(set), &sig) != 0) {
    }
    if (isatty(STDERR_FILENO)) Say("\r\033[K");  // over the progress bar
    files::AbandonAll([sig](const std::string& label) {
        Say("glyphary: ");
        Say(SignalName(sig));
        Say(" while ");
        Say(label);
        Say("; left as it was\n");
    });
    signal(sig, SIG_DFL);
    sigset_t one;
    sigemptyset(&one);
    sigaddset(&one, sig);
    pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
    raise(sig);
    _exit(128 + sig);
}

}  // namespace

void CleanUpOnSignals() {
    static sigset_t set;  // read by the signal thread for as long as the program runs
    static std::once_flag once;
    std::call_once(once, [] {
        sigemptyset(&set);
        for (const int sig : {SIGHUP, SIGINT, SIGTERM}) {
            struct sigaction old {};
            // An ignored signal stays ignored (nohup, a background job).
            if (sigaction(sig, nullptr, &old) == 0 && old.sa_handler != SIG_IGN)
                sigaddset(&set, sig);
        }
        if (sigisemptyset(&set)) return;
        sigset_t previous;
        pthread_sigmask(SIG_BLOCK, &set, &previous);
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
        pthread_attr_setstacksize(&attr, std::max<size_t>(PTHREAD_STACK_MIN, 1 << 20));
        pthread_t thread;
        // Without the thread (memory is short) the signals act as they always do.
        if (pthread_create(&thread, &attr, AwaitSignal, &set) != 0)
            pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        pthread_attr_destroy(&attr);
    });
}

}  // namespace glyphary::tool
