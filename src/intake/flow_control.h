// Flow control's per-pass checks and the reading of the datagram output socket.
#pragma once

struct EventLoop;

// Release check, then keepalive during suspension; once per pass with `isock` and a ring.
void flow_pass_checks(EventLoop* loop);

// Reads one datagram that arrived on `osock` and logs it (datagram mode).
void osock_read(EventLoop* loop);
