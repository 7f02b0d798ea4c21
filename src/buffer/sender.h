// The paced sender: plays the ring out at the pace of the packets' timestamps.
#pragma once

#include <cstdint>

#include "core/timespec.h"

struct RelayContext;

// The clock and the sleeps a run is paced by. sender_thread runs on the monotonic clock and
// real sleeps, so a step of the wall clock neither bursts nor stalls the stream; tests give a
// clock that moves only when slept on.
struct SenderEnv {
    void (*now)(void* user, Timespec32* out);
    void (*sleep_us)(void* user, int64_t us);
    void* user;
};

// One run of the sender on the given clock: returns when `stop` is non-zero or, in HTTP mode,
// when the connection is gone (EPIPE).
void sender_run(RelayContext* ctx, const SenderEnv* env);

// One run on the monotonic clock and real sleeps; the thread entry of datagram mode. The
// argument is the RelayContext. Returns when `stop` is non-zero or the connection is gone.
void* sender_thread(void* context);

// The thread of one HTTP stream, started by the event loop once the stream was asked for: waits
// for the stream's first datagram (or `stop`), runs the sender to the players, and stores
// STOP_DONE as its last act.
void* http_sender_thread(void* context);
