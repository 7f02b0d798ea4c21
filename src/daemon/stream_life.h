// The HTTP stream's life on the event loop: players handed over by their client threads join
// the stream or take it over; the upstream socket is opened with its connect tries on the
// loop's clock, asked for the stream, asked again while nothing comes, stopped and closed; a
// sender thread is started for each stream and its end awaited without waiting.
//
// Threads: everything here runs on the event loop's thread. It shares with other threads only
// what core/players.h (the players' slots), http/takeover.h (the handed-over players) and
// core/relay_context.h (`stop`, `req`, `resetseq`, `asks`) describe.
#pragma once

#include <poll.h>

#include <cstdint>

#include "core/players.h"

struct EventLoop;
struct Handover;

enum LifePhase {
    LIFE_IDLE,        // no stream
    LIFE_CONNECTING,  // the upstream socket is being connected, try after try
    LIFE_PLAYING,     // the stream was asked for and its sender runs
    LIFE_STOPPING,    // its sender was asked to stop; the loop looks each pass whether it has
};

constexpr int kForceOffMs = 500;  // a sender still writing by then has its players shut down
constexpr int kLifeWatchMax = kPlayerSlots + kMaxPlayers;

// The loop's own record of the stream.
struct StreamLife {
    LifePhase phase = LIFE_IDLE;
    Handover* cur = nullptr;  // the stream set up or played: its path, and the request in `req`
    uint32_t joins = 0;       // join numbers handed out; the cap closes the lowest
    // Connecting: the socket, the tries made, and when the next one is due (after the last: when
    // the tries are given up).
    int connect_fd = -1;
    int tries = 0;
    int connect_err = 0;
    int64_t next_try_ms = 0;
    // Playing: the stream's first datagram has not come yet; it was last asked for at asked_us.
    bool awaiting = false;
    int64_t asked_us = 0;
    // Stopping: since when, and whether the players' connections were shut down to end a
    // sender that is blocked writing.
    int64_t stop_ms = 0;
    bool forced = false;
    // Players waiting for the stream to end: the first took it over, the others joined it.
    Handover* next[kMaxPlayers] = {};
    int nnext = 0;
    // The connections watched for their player leaving in this pass's wait.
    pollfd watch[kLifeWatchMax] = {};
    int nwatch = 0;
};

// Fills the life's watch list for the pass's wait: the players waiting for a stream, and the
// stream's players until its first datagram came. Returns how many.
int stream_life_watch(EventLoop* loop);

// How long the pass may wait, in ms, at most max_ms: a connect try may be due sooner.
int stream_life_wait_ms(const EventLoop* loop, int max_ms);

// Once per HTTP pass, after the wait: players that left, connections handed back, the sender's
// end, newcomers, connect tries, repeated requests and the sender's asks.
void stream_life_pass(EventLoop* loop);

// Shuts every player's connection down (the stop signal's last act).
void stream_life_shut_players(EventLoop* loop);
