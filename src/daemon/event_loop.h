// The main thread's loop: waits on the upstream socket and the listener or output socket,
// drains, runs flow control, accepts clients, owns the ring's life and, in HTTP mode, the
// stream's (see core/stream_life.h).
//
// Threads: `isock` is the loop's alone: it opens, sends on and closes it (an atomic only so that
// start-up's opener, the loop and the tests share one type). The ring and its two positions
// live in the intake's record (see intake/intake.h). The rest is the loop's.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "buffer/packet_ring.h"
#include "core/players.h"
#include "core/relay_context.h"
#include "core/stats.h"
#include "daemon/stream_life.h"
#include "http/head_cap.h"
#include "intake/intake.h"
#include "intake/protocol.h"

constexpr int kLoopTimeoutMs = 100;
constexpr int kIdlePassesBeforeFree = 11;      // the ring is freed on the twelfth idle pass
constexpr int64_t kRequestRepeatUs = 1000000;  // a stream that does not come is asked for again

// Datagram mode, before the stream's first datagram: whether the pass at clock reading now_us
// asks again, the stream having last been asked for at asked_us (-1: not yet timed).
inline bool stream_request_due(int64_t now_us, int64_t asked_us) {
    return asked_us >= 0 && now_us - asked_us >= kRequestRepeatUs;
}

struct EventLoop {
    bool http_mode = false;
    std::atomic<int> isock{0};
    int osock = 0;
    int lsock = 0;
    int npasses = 0;
    int idle_passes = 0;
    bool sender_started = false;
    uint32_t accepted = 0;  // HTTP connections accepted so far: the next one's take-over ticket
    int64_t asked_us = -1;  // datagram mode: monotonic time of the last request, until streaming
    pthread_t last_thread{};
    int wake_rd = -1;               // read end of the wake-up pipe (see RelayContext::wake_fd)
    unsigned char osock_buf[1316];  // arrivals on osock are read here and discarded
    alignas(4) char request_buf[kStartupRequestBytes];  // the start-up stream request
    RelayContext ctx;
    Intake intake;               // the ring, its positions and the upstream's datagrams
    HeadCap heads;               // connections still sending their request head
    PlayerTable players;         // HTTP mode: the stream's players, shared with the sender
    StreamLife life;             // HTTP mode: the stream's life
    RateWindow input_rate;       // samples of the received byte count
    int64_t cap_log_ms = -1000;  // last "closed at the cap" line
    uint32_t cap_unlogged = 0;   // connections closed at the cap since that line
};

// Fills the loop's start values and the RelayContext's address fields; sets the intake up with
// the default recovery; creates the wake-up pipe and the table for head_cap connections still
// sending their head (0: no cap); lets max_players watch the stream at once (-n). Returns 0, or
// -1 when the recovery, the pipe or the table cannot be made.
int event_loop_init(EventLoop* loop, bool http_mode, int head_cap = kDefaultHeadCap,
                    int max_players = 1);

// One pass: wait up to 100 ms, then dispatch what is ready.
void event_loop_pass(EventLoop* loop);

[[noreturn]] void event_loop_run(EventLoop* loop);

// Starts the datagram-mode sender at the packet just stored (the drain's hook, called once).
void start_udp_sender(EventLoop* loop);

// Reads one datagram that arrived on `osock` and logs it (datagram mode).
void osock_read(EventLoop* loop);

// Sends the stream request record req (type word, url from offset 4) on fd without waiting:
// send()'s result.
int send_stream_request(int fd, const char* req);

// Event loop only: asks the upstream again for the stream of the request record req (type
// word, url from offset 4): logs "!! Sending another request for <url>", counts it and sends
// the request on `isock`. Returns send's result, or 0 when there is no upstream socket (a
// request is never empty, so send itself never returns 0).
int ask_upstream_again(RelayContext* ctx, const char* req);

// Event loop (and a test that stands in for it): does what the sender asked for since the
// last call, on the upstream socket `pisock` names.
void relay_serve_asks(RelayContext* ctx);
