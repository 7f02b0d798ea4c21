// The thread that serves one accepted HTTP connection.
#pragma once

#include <cstdint>

struct RelayContext;

// Starts a detached client thread for the connection fd, the accept_order-th the event loop
// accepted (its take-over ticket), which holds head_slot in the table of connections still
// sending their head (-1: none). Returns 0, or -1 when the thread cannot be created (the caller
// still owns fd and the slot then).
int start_client_thread(RelayContext* ctx, int fd, uint32_t accept_order, int head_slot);
