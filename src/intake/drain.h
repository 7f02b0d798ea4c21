// The event loop's reading of the upstream socket into the ring.
#pragma once

struct EventLoop;

// Reads every datagram queued on `isock` and handles each (data into the ring, echoes into the
// round-trip estimate). Runs on the event loop when `isock` is readable and a ring exists.
void intake_drain(EventLoop* loop);

// Clears the per-stream statistics; the event loop calls it at the end of every HTTP-mode pass
// without an upstream socket.
void intake_reset_stats(EventLoop* loop);

// Sends the first len bytes of the loop's control buffer on the current upstream socket with
// MSG_DONTWAIT. Returns send()'s result, or 0 (nothing sent) when there is no upstream socket.
int intake_send_control(EventLoop* loop, int len);

// Sends the keepalive with the wall clock's stamp, whose echo measures the round trip; a
// failure is logged.
void intake_send_keepalive(EventLoop* loop);
