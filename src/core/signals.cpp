// Handlers that only record which signal came; the event loop acts on them between passes.
#include "core/signals.h"

#include <signal.h>

#include <atomic>

namespace {

// Written by the handler, read by the event loop, both on the loop's thread (see signals.h):
// relaxed suffices, and a lock-free atomic is safe to store from a handler.
std::atomic<int> stop_signal{0};
std::atomic<bool> reopen_wanted{false};
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

extern "C" void on_signal(int sig) {
    if (sig == SIGHUP)
        reopen_wanted.store(true, std::memory_order_relaxed);
    else
        stop_signal.store(sig, std::memory_order_relaxed);
}

}  // namespace

void signals_install() {
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESTART;
    sigfillset(&sa.sa_mask);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
    // A process started with them blocked would never see them.
    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigaddset(&handled, SIGHUP);
    pthread_sigmask(SIG_UNBLOCK, &handled, nullptr);
}

int signals_start_thread(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*),
                         void* arg) {
    // The new thread inherits the creator's mask: block for the creation only.
    sigset_t block, before;
    sigemptyset(&block);
    sigaddset(&block, SIGTERM);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &block, &before);
    const int err = pthread_create(thread, attr, run, arg);
    pthread_sigmask(SIG_SETMASK, &before, nullptr);
    return err;
}

int signals_stop_pending() {
    return stop_signal.load(std::memory_order_relaxed);
}

bool signals_take_reopen() {
    return reopen_wanted.exchange(false, std::memory_order_relaxed);
}
