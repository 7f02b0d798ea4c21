// The SIGINT/SIGTERM stop flag that ends a helper program's run loop cleanly.
#pragma once

#include <signal.h>

#include <cstdio>
#include <string>

namespace tools {

// Set once SIGINT or SIGTERM has arrived.
extern volatile sig_atomic_t g_stop;

// Blocks SIGINT and SIGTERM and lets them set g_stop. Returns the signal mask to wait with
// (the previous one with both let through), so that a signal arriving just before the loop's
// wait still ends it at once.
sigset_t install_stop_signals();

// Opens server (a program's socket side), says where it listens once ready, and serves until a
// stop signal or its own end. Returns 0, or 1 after saying why it could not open.
template <class Server>
int open_and_run(const char* program, Server& server) {
    const sigset_t run_mask = install_stop_signals();
    std::string error;
    if (!server.open(error)) {
        std::fprintf(stderr, "%s: %s\n", program, error.c_str());
        return 1;
    }
    std::fprintf(stderr, "%s listening on %s\n", program, server.local().c_str());
    std::fflush(stderr);
    server.run(&g_stop, run_mask);
    return 0;
}

}  // namespace tools
