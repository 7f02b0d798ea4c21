// Seeded impairment of one direction of the link: loss, bursts, delay, jitter, reordering and
// duplication, deciding for each datagram whether and when its copies go out.
#pragma once

#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include "options.h"

namespace lossy {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// What happened in one direction, over all clients.
struct DirectionCounters {
    uint64_t received = 0;
    uint64_t forwarded = 0;  // datagrams written, copies included
    uint64_t bytes = 0;      // bytes of those
    uint64_t dropped = 0;    // by random loss and by bursts
    uint64_t burst_dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
};

// Impairment state of one client's traffic in one direction.
struct FlowState {
    uint32_t burst_left = 0;  // datagrams still to drop in the current burst
    bool has_held = false;    // a datagram waits to go out behind the next one
    Bytes held;
    Clock::time_point held_since{};
};

// One copy of a datagram to be written at due.
struct Release {
    Clock::time_point due;
    Bytes bytes;
};

class Impairer {
  public:
    // stream tells the directions' generators apart for the same seed.
    Impairer(const Impairment& settings, uint64_t seed, uint64_t stream,
             DirectionCounters& counters);

    // Passes one received datagram through; appends the copies to write to out.
    void submit(FlowState& flow, Bytes datagram, Clock::time_point now, std::vector<Release>& out);
    // Releases the held datagram once it has waited long enough, or at once when force is set.
    void flush_held(FlowState& flow, Clock::time_point now, bool force, std::vector<Release>& out);
    // When flush_held next has something to do; max() if never.
    static Clock::time_point held_deadline(const FlowState& flow);

    static constexpr std::chrono::milliseconds kMaxHold{100};

  private:
    bool chance(double percent);
    void forward(const Bytes& datagram, Clock::time_point now, std::vector<Release>& out);

    Impairment settings_;
    DirectionCounters& counters_;
    std::mt19937_64 rng_;
};

}  // namespace lossy
