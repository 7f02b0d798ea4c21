// The daemon's counters and the description of the current stream, read by the status pages.
//
// Threads: every field says who writes it. The counters on the per-datagram path have one
// writer at a time (the event loop, or the sender; an HTTP stream's sender makes its last write
// before its release store of STOP_DONE, which the loop loads with acquire before it starts the
// next stream's sender), and are relaxed: a reader wants a recent value, and nothing else is
// published through them. The rare counters are bumped by any thread with a relaxed fetch_add.
// The stream description sits under a sequence lock (core/seqlock.h); the event loop writes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "core/seqlock.h"

// A 64-bit count with one writer at a time. Where 64-bit atomics are lock-free it is one word;
// elsewhere (the 32-bit box) its two halves sit under a sequence lock, so that neither side
// ever takes a lock and a reader never sees a torn value.
template <bool kWholeWord>
struct BasicWideCounter {
    std::conditional_t<kWholeWord, std::atomic<uint64_t>, SeqLock<uint64_t>> value{};

    // Relaxed in the one-word form: a reader wants a recent value, nothing rides on it.
    void add(uint64_t n) {
        if constexpr (kWholeWord)
            value.store(value.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
        else
            seqlock_publish(&value, seqlock_own(value) + n);
    }

    // Back to 0, by the one writer of the moment (a new owner taking the counter over).
    void clear() {
        if constexpr (kWholeWord)
            value.store(0, std::memory_order_relaxed);
        else
            seqlock_publish(&value, uint64_t{0});
    }

    uint64_t load() const {
        if constexpr (kWholeWord)
            return value.load(std::memory_order_relaxed);
        else
            return seqlock_read(value);
    }
};
using WideCounter = BasicWideCounter<std::atomic<uint64_t>::is_always_lock_free>;

constexpr size_t kStreamTextBytes =
    104;  // an address text of the request path, terminator included
constexpr size_t kStreamNameBytes = 200;

// The current stream as a person reads it. Plain record; copied in and out of StreamBoard.
struct StreamRecord {
    uint32_t active;  // 0: nobody holds a stream
    uint32_t since;   // wall-clock seconds when it began
    int32_t remote_port;
    char remote_ip[kStreamTextBytes];
    char name[kStreamNameBytes];
    char player[64];  // the player's address and port, or where datagrams go
};
using StreamBoard = SeqLock<StreamRecord>;

// A stream that begins now: the upstream, the name, and the far end of peer_fd (the player's
// connection, or the connected datagram output) after prefix.
StreamRecord stream_record_now(const char* remote_ip, int remote_port, const char* name,
                               int peer_fd, const char* prefix);

// Writer side (the event loop, when a stream starts and ends).
void stream_publish(StreamBoard* board, const StreamRecord& rec);
// Reader side: a consistent copy.
StreamRecord stream_read(const StreamBoard& board);

// Bits per second over the last few seconds, from samples of a byte count taken once a second.
// Plain record of the event loop's.
struct RateWindow {
    static constexpr int kSamples = 6;  // five one-second steps
    int64_t ms[kSamples] = {};
    uint64_t bytes[kSamples] = {};
    int count = 0;  // samples held, at most kSamples
    int next = 0;   // where the next sample goes
};

// Takes a sample when a second has passed since the newest one; returns the rate over the
// samples held (0 until there are two).
uint32_t rate_update(RateWindow* w, int64_t now_ms, uint64_t bytes);

struct Stats {
    // Set during start-up, before any other thread exists; read-only afterwards.
    int64_t start_ms = 0;  // monotonic
    bool http_mode = false;
    int head_cap = 0;
    int max_players = 0;  // -n in HTTP mode; 0 in datagram mode

    WideCounter datagrams_received;  // event loop: data datagrams read from the upstream
    WideCounter bytes_received;      // event loop: their payload bytes
    WideCounter lost_requested;      // event loop: sequence numbers named in lost requests
    WideCounter recovered;           // event loop: late datagrams stored into their placeholder
    WideCounter unrecovered;         // sender: placeholders it stepped over, never filled
    WideCounter bytes_sent;          // sender: stream bytes written to the consumer

    std::atomic<uint32_t> suspends{0};  // event loop
    std::atomic<uint32_t> releases{0};  // event loop
    // Event loop (its own repeated request, note_request_again) and sender (post_request_again).
    std::atomic<uint32_t> repeated_requests{0};
    std::atomic<uint32_t> takeovers{0};      // event loop
    std::atomic<uint32_t> accepted{0};       // event loop
    std::atomic<uint32_t> refused{0};        // client threads: refused heads and paths
    std::atomic<uint32_t> closed_at_cap{0};  // event loop

    std::atomic<uint32_t> backlog{0};    // event loop, every pass: datagrams the sender is behind
    std::atomic<uint32_t> input_bps{0};  // event loop, once a second

    StreamBoard stream;
};
