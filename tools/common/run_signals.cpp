// The stop flag set by SIGINT/SIGTERM and the mask the run loops wait with.
#include "run_signals.h"

namespace tools {

volatile sig_atomic_t g_stop = 0;

namespace {

void on_signal(int) {
    g_stop = 1;
}

}  // namespace

sigset_t install_stop_signals() {
    sigset_t stop_signals, run_mask;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stop_signals, &run_mask);
    sigdelset(&run_mask, SIGINT);
    sigdelset(&run_mask, SIGTERM);
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    return run_mask;
}

}  // namespace tools
