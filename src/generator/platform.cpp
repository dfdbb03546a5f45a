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

// Ends the process by `signal`: with its default action restored, raised again.
[[noreturn]] void end_by(int signal) {
    std::signal(signal, SIG_DFL);
    std::raise(signal);
    std::_Exit(128 + signal);  // where raising it did not end the process
}

void on_interruption(int signal) {
    if (deferring.exchange(false)) {
        recorded.store(signal);
        return;
    }
    end_by(signal);
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
        end_by(signal);
    }
}
