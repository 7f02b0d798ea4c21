// The one record through which the event loop, the client threads and the paced sender cooperate.
//
// Threads: the plain fields (the pointers to the loop's words, the upstream address, the
// start-up settings) are filled by the event loop before it starts any thread and only read
// afterwards; every other field is an atomic word, its writers and readers named beside it.
// A client thread writes `resetseq`, then `stop`, then `out_fd` (release
// stores) when it becomes the holder, and `stop` = 2 as its very last act; a newcomer's acquire
// load of `stop` == 2 therefore sees the holder done with `isock`. The sender reads `mode`,
// `stop`, `resetseq`, `rtt` and `req` afresh at every use.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/stats.h"

struct PacketRing;
struct HeadCap;
struct AllowList;

enum { MODE_UDP = 1, MODE_HTTP = 2 };
// STOP_CLAIMED: a newcomer found no holder and is setting its stream up; others wait for it.
enum { STOP_RUNNING = 0, STOP_REQUESTED = 1, STOP_DONE = 2, STOP_CLAIMED = 3 };

constexpr uint32_t kInitialRtt = 60000000;  // ns: the estimate until the first keepalive echo

struct RelayContext {
    std::atomic<PacketRing*>* psbuf = nullptr;  // the event loop's `sbuf`
    std::atomic<int> out_fd{0};          // where the stream goes; non-zero once a client held it
    std::atomic<int>* pisock = nullptr;  // the event loop's `isock`; 0 = none
    // MODE_HTTP or MODE_UDP: written by the event loop (at each accept, or once a datagram
    // stream starts) and by a client thread that becomes the holder; read by the sender.
    std::atomic<int> mode{0};
    // The connection accepted last: written by the event loop, read by client threads.
    std::atomic<int> client_fd{0};
    std::atomic<int>* psend_pos = nullptr;     // the event loop's `send_pos`; -1 = none yet
    std::atomic<uint32_t>* pcurseq = nullptr;  // the event loop's `scan_base`
    // The holder's run state (STOP_*): written by client threads (a newcomer asks, the holder
    // answers STOP_DONE as its last act), read by the sender at each iteration.
    std::atomic<int> stop{0};
    // Set by a new holder and by the sender's repeated request, cleared by the intake once it
    // has re-based the ring on the next data datagram.
    std::atomic<int> resetseq{0};
    const char* remote_ip = nullptr;
    int remote_port = 0;
    // The current stream request (type word 2, then the url text from offset 4); null = none.
    std::atomic<char*> req{nullptr};
    std::atomic<uint32_t> rtt{kInitialRtt};
    // Write end of the event loop's wake-up pipe: a thread that installs a new `isock` writes
    // one byte so the loop watches it at once instead of after its 100 ms wait. -1 = none.
    std::atomic<int> wake_fd{-1};
    // Take-over order of HTTP clients: the accept number of the latest connection with a
    // valid path (written by client threads, raised only, see http/takeover.h); only the
    // holder of that ticket may go on.
    std::atomic<uint32_t> client_ticket{0};
    // The holder's connection while a newcomer may still shut it down (0 = none); see
    // http/takeover.h for the hand-shake that keeps a closed number from being shut down.
    std::atomic<int> holder_conn{0};
    // The upstream socket the event loop is reading or sending on right now (0 = none). A
    // thread that closes `isock` waits until the loop is done with it: the number could
    // otherwise be reused and read from behind the new owner's back.
    std::atomic<int> isock_busy{0};
    // Playout latency in microseconds (-L); 0 = off. Written at start-up, and by the intake:
    // lowered at most once when the ring cannot hold it, or with -L auto moved a step at a
    // time. Read by the sender at every iteration and by the status pages.
    // Relaxed: a one-word setting; nothing else rides on it.
    std::atomic<int32_t> latency_us{0};
    // Monotonic arrival time of the datagram a stream starts with, written by the intake
    // before the release store that hands the stream to the sender (the re-base's `resetseq`
    // or the datagram sender's start), so relaxed loads after that acquire see it.
    std::atomic<int32_t> first_arrival_sec{0};
    std::atomic<int32_t> first_arrival_nsec{0};
    // Slots the sender gave up at their own time, with no copy come; written by the sender,
    // read by the intake's once-a-minute line. Relaxed: a counter.
    std::atomic<uint32_t> given_up{0};
    // Set during start-up, before any other thread exists; read-only afterwards.
    HeadCap* heads = nullptr;            // connections still sending their head
    const AllowList* allow = nullptr;    // upstreams a request path may name; null = any
    const char* content_type = nullptr;  // of the stream's head; null = "mpeg/ts"
    Stats stats;
};

// Wakes the event loop's wait (no-op without a wake-up pipe).
void relay_wake(RelayContext* ctx);

// Asks the upstream again for the stream of the request record req (type word, url from
// offset 4): logs "!! Sending another request for <url>", counts it and sends the request on
// `isock`.
// Returns send's result, or 0 when there is no upstream socket (a request is never empty, so
// send itself never returns 0).
int ask_upstream_again(RelayContext* ctx, const char* req);

// Clears `isock` and returns the descriptor it held (0 if none) once the event loop no longer
// uses it; the caller then closes it.
int retire_isock(RelayContext* ctx);
