// Seeded impairment of one stream of datagrams: loss, bursts, delay, jitter, reordering and
// duplication, deciding for each datagram whether and when its copies go out, and the
// time-ordered queue that holds the delayed copies until then.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <vector>

namespace tools {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Percentages are 0..100.
struct ImpairSettings {
    double loss = 0;         // chance that a datagram is dropped
    double burst = 0;        // chance that a datagram starts a loss burst
    uint32_t burst_len = 0;  // datagrams one burst drops, the starting one included
    int64_t delay_ms = 0;    // extra one-way delay
    int64_t jitter_ms = 0;   // the delay varies uniformly by up to this much either way
    double reorder = 0;      // chance that a datagram is held back behind the next one
    double duplicate = 0;    // chance that a datagram goes out twice
};

// What the impairment decided, over every flow it served.
struct ImpairCounts {
    uint64_t received = 0;
    uint64_t dropped_loss = 0;
    uint64_t dropped_burst = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
};

// Impairment state of one flow (one client or session in one direction).
struct FlowState {
    uint32_t burst_left = 0;  // datagrams still to drop in the current burst
    bool has_held = false;    // a datagram waits to go out behind the next one
    Bytes held;
    Clock::time_point held_since{};
};

// One copy of a datagram to be written at due (due == the submit time: at once).
struct Release {
    Clock::time_point due;
    Bytes bytes;
};

class Impairer {
  public:
    // Draws come from rng, and only for settings in use, so that turning one impairment on
    // leaves the pattern of the others unchanged when they are off.
    Impairer(const ImpairSettings& settings, std::mt19937_64 rng, ImpairCounts& counts);

    // Passes one datagram through; appends the copies to write to out.
    void submit(FlowState& flow, Bytes datagram, Clock::time_point now, std::vector<Release>& out);
    // Releases the held datagram once it has waited long enough, or at once when force is set.
    void flush_held(FlowState& flow, Clock::time_point now, bool force, std::vector<Release>& out);
    // When flush_held next has something to do; max() if never.
    static Clock::time_point held_deadline(const FlowState& flow);

    // One draw from the same generator: true with the given chance, never for 0.
    bool chance(double percent);

    static constexpr std::chrono::milliseconds kMaxHold{100};

  private:
    void forward(const Bytes& datagram, Clock::time_point now, std::vector<Release>& out);

    ImpairSettings settings_;
    ImpairCounts& counts_;
    std::mt19937_64 rng_;
};

// Delayed copies in due order; equal due times leave in the order they were pushed.
template <class Destination>
class ReleaseQueue {
  public:
    struct Item {
        Clock::time_point due;
        uint64_t order;
        Destination to;
        Bytes bytes;
        bool operator>(const Item& o) const { return due != o.due ? due > o.due : order > o.order; }
    };

    void push(Clock::time_point due, const Destination& to, Bytes bytes) {
        heap_.push_back(Item{due, order_++, to, std::move(bytes)});
        std::push_heap(heap_.begin(), heap_.end(), std::greater<Item>());
    }
    // Takes the earliest copy if it is due by now.
    bool pop_due(Clock::time_point now, Item& out) {
        if (heap_.empty() || heap_.front().due > now)
            return false;
        std::pop_heap(heap_.begin(), heap_.end(), std::greater<Item>());
        out = std::move(heap_.back());
        heap_.pop_back();
        return true;
    }
    Clock::time_point next_due() const {
        return heap_.empty() ? Clock::time_point::max() : heap_.front().due;
    }
    size_t size() const { return heap_.size(); }
    void clear() { heap_.clear(); }

  private:
    std::vector<Item> heap_;  // a min-heap on (due, order)
    uint64_t order_ = 0;
};

}  // namespace tools
