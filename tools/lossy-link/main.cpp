// Entry point of lossy-link: relays and impairs UDP traffic until a signal, prints counters.
#include <cstdio>
#include <string>

#include "common/run_signals.h"
#include "options.h"
#include "proxy.h"

int main(int argc, char** argv) {
    int exit_code = 0;
    std::optional<lossy::Options> options = lossy::parse_options(argc, argv, exit_code);
    if (!options)
        return exit_code;

    const sigset_t run_mask = tools::install_stop_signals();

    lossy::Counters counters;
    lossy::Proxy proxy(*options, counters);
    std::string error;
    if (!proxy.open(error)) {
        std::fprintf(stderr, "lossy-link: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "lossy-link listening on %s\n", proxy.local().c_str());
    std::fflush(stderr);
    proxy.run(&tools::g_stop, run_mask);
    counters.print(stderr, "lossy-link counters:");
    return 0;
}
