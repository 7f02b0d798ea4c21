// Seeded impairment of the simulator's traffic.
#include "impair.h"

#include <sys/socket.h>

#include <algorithm>

namespace upsim {

Outbound::Outbound(int fd, const ImpairSettings& settings, Counters& counters)
    : fd_(fd), settings_(settings), counters_(counters), rng_(settings.seed) {}

// Draws only for settings in use, so that turning one impairment on leaves the pattern of the
// others unchanged when they are off.
bool Outbound::chance(double percent) {
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(rng_) < percent;
}

bool Outbound::drop_incoming() {
    if (!chance(settings_.loss_in))
        return false;
    ++counters_.dropped_in;
    return true;
}

void Outbound::submit(LinkState& link, const Peer& peer, std::vector<uint8_t> datagram,
                      Clock::time_point now) {
    if (link.burst_left > 0) {
        --link.burst_left;
        ++counters_.dropped_burst;
        return;
    }
    if (chance(settings_.burst_out)) {
        link.burst_left = settings_.burst_len - 1;
        ++counters_.dropped_burst;
        return;
    }
    if (chance(settings_.loss_out)) {
        ++counters_.dropped_loss;
        return;
    }
    if (!link.has_held && chance(settings_.reorder_out)) {
        link.has_held = true;
        link.held = std::move(datagram);
        link.held_since = now;
        ++counters_.reordered;
        return;
    }
    forward(peer, datagram, now);
    if (link.has_held) {
        link.has_held = false;
        forward(peer, link.held, now);
        link.held.clear();
    }
}

void Outbound::flush_held(LinkState& link, const Peer& peer, Clock::time_point now, bool force) {
    if (!link.has_held || (!force && now < link.held_since + kMaxHold))
        return;
    link.has_held = false;
    forward(peer, link.held, now);
    link.held.clear();
}

void Outbound::forward(const Peer& peer, const std::vector<uint8_t>& datagram,
                       Clock::time_point now) {
    int copies = 1;
    if (chance(settings_.duplicate_out)) {
        copies = 2;
        ++counters_.duplicated;
    }
    for (int i = 0; i < copies; ++i) {
        int64_t delay_us = settings_.delay_out_ms * 1000;
        if (settings_.jitter_out_ms > 0) {
            int64_t j = settings_.jitter_out_ms * 1000;
            delay_us += std::uniform_int_distribution<int64_t>(-j, j)(rng_);
        }
        if (delay_us <= 0) {
            send_data(peer, datagram);
            continue;
        }
        ++counters_.delayed;
        delayed_.push(Delayed{now + std::chrono::microseconds(delay_us), order_++, peer, datagram});
    }
}

void Outbound::deliver_due(Clock::time_point now) {
    while (!delayed_.empty() && delayed_.top().due <= now) {
        send_data(delayed_.top().peer, delayed_.top().bytes);
        delayed_.pop();
    }
}

Clock::time_point Outbound::next_deadline(const LinkState& link) const {
    return link.has_held ? link.held_since + kMaxHold : Clock::time_point::max();
}

Clock::time_point Outbound::next_delivery() const {
    return delayed_.empty() ? Clock::time_point::max() : delayed_.top().due;
}

void Outbound::send_data(const Peer& peer, const std::vector<uint8_t>& datagram) {
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
