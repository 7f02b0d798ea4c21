// Entry point of lossy-link: relays and impairs UDP traffic until a signal, prints counters.
#include <signal.h>

#include <cstdio>
#include <string>

#include "options.h"
#include "proxy.h"

namespace {

volatile sig_atomic_t g_stop = 0;

void on_signal(int) {
    g_stop = 1;
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    std::optional<lossy::Options> options = lossy::parse_options(argc, argv, exit_code);
    if (!options)
        return exit_code;

    // The stop signals stay blocked except inside the loop's wait, so that one arriving just
    // before the wait still ends it at once.
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

    lossy::Counters counters;
    lossy::Proxy proxy(*options, counters);
    std::string error;
    if (!proxy.open(error)) {
        std::fprintf(stderr, "lossy-link: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "lossy-link listening on %s\n", proxy.local().c_str());
    std::fflush(stderr);
    proxy.run(&g_stop, run_mask);
    counters.print(stderr, "lossy-link counters:");
    return 0;
}
