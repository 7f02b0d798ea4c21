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

    lossy::Counters counters;
    lossy::Proxy proxy(*options, counters);
    if (int status = tools::open_and_run("lossy-link", proxy))
        return status;
    counters.print(stderr, "lossy-link counters:");
    return 0;
}
