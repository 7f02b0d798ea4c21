// The simulated network between the simulator and its relays: outgoing data passes the seeded
// impairment and waits out its delay here; incoming datagrams may be lost.
#pragma once

#include <cstdint>
#include <vector>

#include "common/impair.h"
#include "common/udp.h"
#include "counters.h"
#include "options.h"

namespace upsim {

using tools::Clock;
using Peer = tools::Address;

class Outbound {
  public:
    Outbound(int fd, const ImpairSettings& settings, Counters& counters);

    // Incoming side: true if this received datagram is to be treated as lost.
    bool drop_incoming();

    // Passes one data datagram for peer through the impairment.
    void submit(tools::FlowState& link, const Peer& peer, tools::Bytes datagram,
                Clock::time_point now);
    // Sends the held datagram if it has waited long enough, or at once when force is set.
    void flush_held(tools::FlowState& link, const Peer& peer, Clock::time_point now, bool force);
    // Sends the delayed datagrams that have come due.
    void deliver_due(Clock::time_point now);
    Clock::time_point next_delivery() const { return delayed_.next_due(); }

    // Sends bytes outside the impairment (keepalive echoes).
    void send_plain(const Peer& peer, const uint8_t* data, size_t size);

  private:
    void send_out(const Peer& peer, Clock::time_point now);
    void send_data(const Peer& peer, const tools::Bytes& datagram);

    int fd_;
    double loss_in_;
    Counters& counters_;
    tools::Impairer impairer_;
    std::vector<tools::Release> released_;
    tools::ReleaseQueue<Peer> delayed_;
};

}  // namespace upsim
