// The one record through which the event loop, the client threads and the paced sender cooperate.
//
// Threads: the plain fields (the pointers to the loop's words, the upstream address, the
// start-up settings) are filled by the event loop before it starts any thread and only read
// afterwards; every other field is an atomic word, its writers and readers named beside it.
// The event loop is the one owner of the upstream conversation: it alone opens `isock`, sends
// on it and closes it. Other threads ask it for what they need: a client thread hands its
// player's connection over (`handovers`), the sender asks for a repeated request (`asks`) and
// gives up players' connections (see core/players.h); each then writes the wake-up pipe.
// Nobody waits for another thread to let go of a descriptor: a descriptor in use by two threads
// changes hands through one word (a player's slot state, a head slot), and whichever thread
// holds it last closes it (the loop for players' connections, see core/players.h and
// http/head_cap.h). The sender reads `mode`, `stop`, `resetseq`, `rtt` and `req` afresh at
// every use.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/stats.h"

struct PacketRing;
struct HeadCap;
struct AllowList;
struct PlayerTable;
struct Handover;

enum { MODE_UDP = 1, MODE_HTTP = 2 };
enum { STOP_RUNNING = 0, STOP_REQUESTED = 1, STOP_DONE = 2 };

// What the sender asks of the event loop (bits of `asks`).
enum : uint32_t { ASK_REPEAT_REQUEST = 1 };

constexpr uint32_t kInitialRtt = 60000000;  // ns: the estimate until the first keepalive echo

struct RelayContext {
    std::atomic<PacketRing*>* psbuf = nullptr;  // the intake's `sbuf` (see intake/intake.h)
    // Datagram mode: the output socket. Written by the event loop (0 at start-up, the socket
    // just before it starts the sender); read by the sender at every send. HTTP mode writes to
    // `players` instead; a sender run without them (a test's) writes here. Release/acquire:
    // the socket is set up before the sender can see its number.
    std::atomic<int> out_fd{0};
    std::atomic<int>* pisock = nullptr;  // the event loop's `isock`, its thread's alone; 0 = none
    // MODE_HTTP or MODE_UDP: written by the event loop (at each accept, before it starts a
    // sender, or once a datagram stream starts); read by the sender.
    std::atomic<int> mode{0};
    std::atomic<int>* psend_pos = nullptr;     // the intake's `send_pos`; -1 = none yet
    std::atomic<uint32_t>* pcurseq = nullptr;  // the intake's `scan_base`
    // The sender's run state (STOP_*). HTTP mode: the loop stores STOP_DONE at start-up (no
    // sender yet), STOP_RUNNING before it starts a stream's sender, STOP_REQUESTED to end it
    // (only over STOP_RUNNING, so that a sender's STOP_DONE stays) and STOP_DONE itself when
    // the sender cannot be started; the sender stores STOP_DONE as its very last act, after
    // which the loop may close the players' connections and free the ring. Datagram mode:
    // STOP_RUNNING for the process's life (stored at start-up and before the sender starts).
    // Read by the sender at every check and by the loop every pass. Release/acquire: each
    // store hands over what its writer did before it (the stream's words to the sender, the
    // sender's last use of the ring and the players to the loop).
    std::atomic<int> stop{0};
    // Set by the loop when a stream starts and by the sender's repeated request, cleared by the
    // intake once it has re-based the ring on the next data datagram.
    std::atomic<int> resetseq{0};
    const char* remote_ip = nullptr;
    int remote_port = 0;
    // The current stream request (type word 2, then the url text from offset 4); null = none.
    // Written by the event loop alone: at start-up (-u), when an HTTP stream's upstream
    // connects, and null once that stream has ended. Read by the sender (its repeated request)
    // and by the loop. Release/acquire: the text is written before the pointer, and a reader
    // reads the text. The buffer stays until the stream's sender is done.
    std::atomic<char*> req{nullptr};
    // Round trip to the upstream in nanoseconds. Written by the event loop (the intake, at each
    // keepalive echo); read by the loop, the sender (its first buffering wait, its log line) and
    // the client threads' status pages. Relaxed: one figure; nothing else rides on it.
    std::atomic<uint32_t> rtt{kInitialRtt};
    // Write end of the event loop's wake-up pipe: a thread that asks the loop something writes
    // one byte so the loop acts at once instead of after its 100 ms wait. -1 = none.
    std::atomic<int> wake_fd{-1};
    // The sender's asks (ASK_* bits): set with fetch_or, then a wake-up; taken by the loop with
    // an exchange each pass.
    std::atomic<uint32_t> asks{0};
    // Client threads' players, handed to the loop: a list pushed with compare-and-swap by any
    // client thread and taken whole by the loop (see http/takeover.h).
    std::atomic<Handover*> handovers{nullptr};
    // Take-over order of HTTP clients: the accept number of the latest connection that took the
    // stream over (raised only, by the event loop; see http/takeover.h).
    std::atomic<uint32_t> client_ticket{0};
    // Playout latency in microseconds (-L); 0 = off. Written at start-up, and by the intake:
    // lowered at most once when the ring cannot hold it, or with -L auto moved a step at a
    // time. Read by the sender when a run starts (which pacer) and by the -L pacer at every
    // step, and by the status pages.
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
    PlayerTable* players = nullptr;      // HTTP mode: the stream's players (see core/players.h)
    Stats stats;
};

// Wakes the event loop's wait (no-op without a wake-up pipe).
void relay_wake(RelayContext* ctx);

// Logs "!! Sending another request for <url>" for the request record req (type word, url from
// offset 4) and counts it.
void note_request_again(RelayContext* ctx, const char* req);

// The sender's repeated request: logs and counts it (note_request_again), and asks the
// event loop to send it.
void post_request_again(RelayContext* ctx, const char* req);
