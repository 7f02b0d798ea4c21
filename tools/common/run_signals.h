// The SIGINT/SIGTERM stop flag that ends a helper program's run loop cleanly.
#pragma once

#include <signal.h>

namespace tools {

// Set once SIGINT or SIGTERM has arrived.
extern volatile sig_atomic_t g_stop;

// Blocks SIGINT and SIGTERM and lets them set g_stop. Returns the signal mask to wait with
// (the previous one with both let through), so that a signal arriving just before the loop's
// wait still ends it at once.
sigset_t install_stop_signals();

}  // namespace tools
