// Sending the simulator's data through the impairment, now or once its delay has passed.
#include "outbound.h"

#include <sys/socket.h>

namespace upsim {

Outbound::Outbound(int fd, const ImpairSettings& settings, Counters& counters)
    : fd_(fd),
      loss_in_(settings.loss_in),
      counters_(counters),
      impairer_(settings.out, std::mt19937_64(settings.seed), counters.out) {}

bool Outbound::drop_incoming() {
    if (!impairer_.chance(loss_in_))
        return false;
    ++counters_.dropped_in;
    return true;
}

void Outbound::submit(tools::FlowState& link, const Peer& peer, tools::Bytes datagram,
                      Clock::time_point now) {
    impairer_.submit(link, std::move(datagram), now, released_);
    send_out(peer, now);
}

void Outbound::flush_held(tools::FlowState& link, const Peer& peer, Clock::time_point now,
                          bool force) {
    impairer_.flush_held(link, now, force, released_);
    send_out(peer, now);
}

// What is not delayed goes at once, in the order released.
void Outbound::send_out(const Peer& peer, Clock::time_point now) {
    for (tools::Release& r : released_) {
        if (r.due <= now) {
            send_data(peer, r.bytes);
        } else {
            ++counters_.delayed;
            delayed_.push(r.due, peer, std::move(r.bytes));
        }
    }
    released_.clear();
}

void Outbound::deliver_due(Clock::time_point now) {
    tools::ReleaseQueue<Peer>::Item item;
    while (delayed_.pop_due(now, item))
        send_data(item.to, item.bytes);
}

void Outbound::send_data(const Peer& peer, const tools::Bytes& datagram) {
    ssize_t n = sendto(fd_, datagram.data(), datagram.size(), 0,
                       reinterpret_cast<const sockaddr*>(&peer.addr), peer.len);
    if (n == static_cast<ssize_t>(datagram.size())) {
        ++counters_.wire;
    } else {
        ++counters_.send_errors;
    }
}

void Outbound::send_plain(const Peer& peer, const uint8_t* data, size_t size) {
    if (sendto(fd_, data, size, 0, reinterpret_cast<const sockaddr*>(&peer.addr), peer.len) !=
        static_cast<ssize_t>(size)) {
        ++counters_.send_errors;
    }
}

}  // namespace upsim
