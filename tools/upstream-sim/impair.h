// The simulated network between the simulator and its relays: seeded loss, bursts, delay,
// jitter, reordering and duplication of outgoing data, and loss of incoming datagrams.
#pragma once

#include <chrono>
#include <cstdint>
#include <queue>
#include <random>
#include <vector>

#include "counters.h"
#include "options.h"
#include "peer.h"

namespace upsim {

using Clock = std::chrono::steady_clock;

// Impairment state that belongs to one session's outgoing data.
struct LinkState {
    uint32_t burst_left = 0;  // datagrams still to drop in the current burst
    bool has_held = false;    // a datagram waits to go out behind the next one
    std::vector<uint8_t> held;
    Clock::time_point held_since{};
};

class Outbound {
  public:
    Outbound(int fd, const ImpairSettings& settings, Counters& counters);

    // Incoming side: true if this received datagram is to be treated as lost.
    bool drop_incoming();

    // Passes one data datagram for peer through the impairment.
    void submit(LinkState& link, const Peer& peer, std::vector<uint8_t> datagram,
                Clock::time_point now);
    // Sends the held datagram if it has waited long enough, or at once when force is set.
    void flush_held(LinkState& link, const Peer& peer, Clock::time_point now, bool force);
    // Sends the delayed datagrams that have come due.
    void deliver_due(Clock::time_point now);
    // Earliest moment flush_held or deliver_due has something to do; max() if never.
    Clock::time_point next_deadline(const LinkState& link) const;
    Clock::time_point next_delivery() const;

    // Sends bytes outside the impairment (keepalive echoes).
    void send_plain(const Peer& peer, const uint8_t* data, size_t size);

    static constexpr std::chrono::milliseconds kMaxHold{100};

  private:
    struct Delayed {
        Clock::time_point due;
        uint64_t order;  // keeps equal due times in submission order
        Peer peer;
        std::vector<uint8_t> bytes;
        bool operator>(const Delayed& o) const {
            return due != o.due ? due > o.due : order > o.order;
        }
    };

    bool chance(double percent);
    void forward(const Peer& peer, const std::vector<uint8_t>& datagram, Clock::time_point now);
    void send_data(const Peer& peer, const std::vector<uint8_t>& datagram);

    int fd_;
    ImpairSettings settings_;
    Counters& counters_;
    std::mt19937_64 rng_;
    uint64_t order_ = 0;
    std::priority_queue<Delayed, std::vector<Delayed>, std::greater<Delayed>> delayed_;
};

}  // namespace upsim
