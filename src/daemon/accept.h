// Accepting HTTP connections on the event loop: a bounded batch when the listener is ready, and
// during the drain's pause, so a connection never waits behind the pause.
#pragma once

#include <sys/socket.h>

#include <cstdint>

struct EventLoop;

// The system's usual most for listen(); the kernel holds it to its own net.core.somaxconn.
constexpr int kListenBacklog = SOMAXCONN;
constexpr int kAcceptsPerPass = 64;  // one batch: the loop gets back to the stream after it

// Whether the head cap has a slot for one more connection. When it has none, the oldest
// connection still sending its head is closed, and its thread wakes the loop once it has left.
bool accept_has_room(EventLoop* loop);

// Accepts pending connections, up to max and while the head cap has a free slot, and starts a
// client thread for each. Never blocks: the listener is non-blocking. Returns the count.
int accept_clients(EventLoop* loop, int max);

// The drain's pause after an empty read: returns after pause_us, or sooner on a signal, as
// usleep does. In HTTP mode the connections that arrive meanwhile are accepted at once.
void pause_accepting(EventLoop* loop, int64_t pause_us);
