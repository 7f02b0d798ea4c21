// Handlers that only record which signal came; the event loop acts on them between passes.
#include "core/signals.h"

#include <atomic>

namespace {

// Written by the handler, read by the event loop, both on the loop's thread (see signals.h):
// relaxed suffices, and a lock-free atomic is safe to store from a handler.
std::atomic<int> stop_signal{0};
std::atomic<bool> reopen_wanted{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

sigset_t wait_mask;
bool installed = false;

extern "C" void on_signal(int sig) {
    if (sig == SIGHUP)
        reopen_wanted.store(true, std::memory_order_relaxed);
    else
        stop_signal.store(sig, std::memory_order_relaxed);
}

}  // namespace

void signals_install(bool reopen_on_hup) {
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    if (reopen_on_hup)
        sigaddset(&handled, SIGHUP);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigfillset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    if (reopen_on_hup)
        sigaction(SIGHUP, &sa, nullptr);
    sigset_t before;
    pthread_sigmask(SIG_BLOCK, &handled, &before);
    wait_mask = before;
    installed = true;
}

const sigset_t* signals_wait_mask() {
    return installed ? &wait_mask : nullptr;
}

int signals_stop_pending() {
    return stop_signal.load(std::memory_order_relaxed);
}

bool signals_take_reopen() {
    return reopen_wanted.exchange(false, std::memory_order_relaxed);
}
