// The daemon's counters and the description of the current stream, read by the status pages.
//
// Threads: every field says who writes it. The counters on the per-datagram path have one
// writer at a time (the event loop, or the sender; an HTTP stream's sender makes its last write
// before its release store of STOP_DONE, which the loop loads with acquire before it starts the
// next stream's sender), and are relaxed: a reader wants a recent value, and nothing else is
// published through them. The rare counters are bumped by any thread with a relaxed fetch_add.
// The stream description is a sequence lock over atomic words; the event loop writes it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// A 64-bit count with one writer at a time. Where 64-bit atomics are lock-free it is one word;
// elsewhere (the 32-bit box) its two halves are written under a generation count, so that
// neither side ever takes a lock and a reader never sees a torn value.
template <bool kWholeWord>
struct BasicWideCounter {
    std::atomic<uint64_t> whole{0};  // kWholeWord only
    std::atomic<uint32_t> gen{0};    // odd while the writer is between the halves
    std::atomic<uint32_t> lo{0}, hi{0};

    void add(uint64_t n) {
        if constexpr (kWholeWord) {
            whole.store(whole.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
        } else {
            const uint32_t g = gen.load(std::memory_order_relaxed);
            gen.store(g + 1, std::memory_order_relaxed);
            const uint64_t v = (static_cast<uint64_t>(hi.load(std::memory_order_relaxed)) << 32 |
                                lo.load(std::memory_order_relaxed)) +
                               n;
            // Release: a reader that sees a new half also sees the odd generation stored before.
            lo.store(static_cast<uint32_t>(v), std::memory_order_release);
            hi.store(static_cast<uint32_t>(v >> 32), std::memory_order_release);
            // Release: the halves are complete once the even generation is seen.
            gen.store(g + 2, std::memory_order_release);
        }
    }

    // Back to 0, by the one writer of the moment (a new owner taking the counter over).
    void clear() {
        if constexpr (kWholeWord) {
            whole.store(0, std::memory_order_relaxed);
        } else {
            const uint32_t g = gen.load(std::memory_order_relaxed);
            gen.store(g + 1, std::memory_order_relaxed);
            // Release: as in add.
            lo.store(0, std::memory_order_release);
            hi.store(0, std::memory_order_release);
            gen.store(g + 2, std::memory_order_release);
        }
    }

    uint64_t load() const {
        if constexpr (kWholeWord) {
            return whole.load(std::memory_order_relaxed);
        } else {
            for (;;) {
                const uint32_t g = gen.load(std::memory_order_acquire);
                // Acquire: the generation below is read after the halves, and sees the odd
                // one of a write whose half was seen.
                const uint32_t l = lo.load(std::memory_order_acquire);
                const uint32_t h = hi.load(std::memory_order_acquire);
                if ((g & 1) == 0 && gen.load(std::memory_order_relaxed) == g)
                    return static_cast<uint64_t>(h) << 32 | l;
            }
        }
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
static_assert(sizeof(StreamRecord) % 4 == 0);

// A record of 32-bit words under a sequence lock: one writer at a time, any number of
// readers, no lock.
template <class Record>
struct Board {
    static_assert(sizeof(Record) % 4 == 0);
    static constexpr size_t kWords = sizeof(Record) / 4;
    std::atomic<uint32_t> gen{0};
    std::atomic<uint32_t> words[kWords] = {};
};

// The two sides of a Board's sequence lock over n words; rec is the plain record.
void seqlock_write(std::atomic<uint32_t>* gen, std::atomic<uint32_t>* words, size_t n,
                   const void* rec);
void seqlock_read(const std::atomic<uint32_t>* gen, const std::atomic<uint32_t>* words, size_t n,
                  void* rec);

template <class Record>
void board_publish(Board<Record>* board, const Record& rec) {
    seqlock_write(&board->gen, board->words, Board<Record>::kWords, &rec);
}

template <class Record>
Record board_read(const Board<Record>& board) {
    Record rec;
    seqlock_read(&board.gen, board.words, Board<Record>::kWords, &rec);
    return rec;
}

using StreamBoard = Board<StreamRecord>;

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

    std::atomic<uint32_t> suspends{0};           // event loop
    std::atomic<uint32_t> releases{0};           // event loop
    std::atomic<uint32_t> repeated_requests{0};  // sender and event loop
    std::atomic<uint32_t> takeovers{0};          // event loop
    std::atomic<uint32_t> accepted{0};           // event loop
    std::atomic<uint32_t> refused{0};            // client threads: refused heads and paths
    std::atomic<uint32_t> closed_at_cap{0};      // event loop

    std::atomic<uint32_t> backlog{0};    // event loop, every pass: datagrams the sender is behind
    std::atomic<uint32_t> input_bps{0};  // event loop, once a second

    StreamBoard stream;
};
