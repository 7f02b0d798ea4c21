// The per-datagram decisions of a seeded impairment.
#include "impair.h"

namespace tools {

Impairer::Impairer(const ImpairSettings& settings, std::mt19937_64 rng, ImpairCounts& counts)
    : settings_(settings), counts_(counts), rng_(rng) {}

bool Impairer::chance(double percent) {
    if (percent <= 0)
        return false;
    return std::uniform_real_distribution<double>(0, 100)(rng_) < percent;
}

void Impairer::submit(FlowState& flow, Bytes datagram, Clock::time_point now,
                      std::vector<Release>& out) {
    ++counts_.received;
    if (flow.burst_left > 0) {
        --flow.burst_left;
        ++counts_.dropped_burst;
        return;
    }
    if (chance(settings_.burst)) {
        flow.burst_left = settings_.burst_len - 1;
        ++counts_.dropped_burst;
        return;
    }
    if (chance(settings_.loss)) {
        ++counts_.dropped_loss;
        return;
    }
    if (!flow.has_held && chance(settings_.reorder)) {
        flow.has_held = true;
        flow.held = std::move(datagram);
        flow.held_since = now;
        ++counts_.reordered;
        return;
    }
    forward(datagram, now, out);
    flush_held(flow, now, true, out);
}

void Impairer::flush_held(FlowState& flow, Clock::time_point now, bool force,
                          std::vector<Release>& out) {
    if (!flow.has_held || (!force && now < flow.held_since + kMaxHold))
        return;
    flow.has_held = false;
    forward(flow.held, now, out);
    flow.held.clear();
}

Clock::time_point Impairer::held_deadline(const FlowState& flow) {
    return flow.has_held ? flow.held_since + kMaxHold : Clock::time_point::max();
}

void Impairer::forward(const Bytes& datagram, Clock::time_point now, std::vector<Release>& out) {
    int copies = 1;
    if (chance(settings_.duplicate)) {
        copies = 2;
        ++counts_.duplicated;
    }
    for (int i = 0; i < copies; ++i) {
        int64_t delay_us = settings_.delay_ms * 1000;
        if (settings_.jitter_ms > 0) {
            int64_t j = settings_.jitter_ms * 1000;
            delay_us += std::uniform_int_distribution<int64_t>(-j, j)(rng_);
        }
        out.push_back(
            Release{now + std::chrono::microseconds(std::max<int64_t>(delay_us, 0)), datagram});
    }
}

}  // namespace tools
