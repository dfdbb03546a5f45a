#include "generator/platform.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>

namespace {

// Written by the handler, which may run on another thread (Ctrl-C on Windows): lock-free atomics
// are safe there.
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);
std::atomic<bool> deferring{false};
std::atomic<int> recorded{0};

constexpr int kInterruptions[] = {
    SIGINT,
    SIGTERM,
#ifdef SIGHUP
    SIGHUP,
#endif
#ifdef SIGBREAK
    SIGBREAK,
#endif
};

// Raises `signal` again with its default action restored, which ends the process: at once, or,
// inside the handler of that signal (where it is blocked), as soon as the handler returns.
void raise_by_default(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
}

void on_interruption(int signal) {
    if (deferring.exchange(false)) {
        recorded.store(signal);
        return;
    }
    raise_by_default(signal);
}

}  // namespace

void catch_interruptions() {
    for (int signal : kInterruptions) {
        if (std::signal(signal, on_interruption) == SIG_IGN) std::signal(signal, SIG_IGN);
    }
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
}

void defer_interruptions() { deferring.store(true); }

bool interrupted() { return recorded.load() != 0; }

void resume_interruptions() {
    deferring.store(false);
    if (const int signal = recorded.load()) {
        std::fflush(stdout);  // the announcements of the files that were finished
        raise_by_default(signal);
        std::_Exit(128 + signal);  // where raising it did not end the process
    }
}
