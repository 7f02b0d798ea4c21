// The playout-latency mode's recovery as the intake's policy: what each datagram, echo and
// pass does to the requests' state, the minute's line and the latency that picks itself.
#include "intake/latency_recovery.h"

#include "buffer/playout.h"
#include "core/log.h"
#include "intake/auto_latency.h"

namespace {

constexpr int64_t kLongestPassUs = 100000;  // the event loop waits at most 100 ms a pass

// Gaps the sender gave up since the last look. Relaxed: a counter.
uint32_t take_given_up(Intake* in, RecoveryState& rc) {
    const uint32_t now_count = in->ctx->given_up.load(std::memory_order_relaxed);
    const uint32_t gone = now_count - rc.given_up_seen;
    rc.given_up_seen = now_count;
    return gone;
}

// -L auto: once a step, the latency moves towards what the round trip, its variation, the loss
// rate and the gaps given up ask for. The intake's anchor moves with it; the sender follows
// the shared value (playout_follow_cut), so the play-out slows or hurries by a step and never
// skips or repeats a byte.
void auto_latency_tick(Intake* in, RecoveryState& rc, int64_t now) {
    if (!rc.auto_latency || now < rc.auto_next_step)
        return;
    const uint32_t gone = take_given_up(in, rc);
    if (gone > 0) {
        rc.bump_us = auto_bump_raise(rc.bump_us, gone, rc.rtt.srtt);
        rc.last_give_up = now;
    } else {
        rc.bump_us = auto_bump_fade(rc.bump_us, now - rc.last_give_up);
    }
    if (rc.rtt_samples == 0)
        return;  // looked at again at the next pass: the first echo sets the latency at once
    rc.auto_next_step = now + kAutoStepEveryUs;
    int32_t target = auto_latency_target(rc.rtt, current_loss(rc, now), rc.bump_us);
    if (target > rc.auto_cap_us)
        target = rc.auto_cap_us;
    // The first payload goes out a latency after the stream's first datagram; until then the
    // latency may jump, but not to a start already past, which would rush the first ones out.
    const int64_t elapsed = now - rc.stream_start;
    const bool playing = elapsed + 1000 >= rc.latency_us;
    if (!playing && target < elapsed + 2000)
        target = static_cast<int32_t>(elapsed + 2000);
    const int32_t next = auto_latency_step(rc.latency_us, target, playing);
    if (next == rc.latency_us)
        return;
    rc.offset_us += next - rc.latency_us;
    rc.latency_us = next;
    in->ctx->latency_us.store(next, std::memory_order_relaxed);
}

void write_recovery_line(Intake* in, RecoveryState& rc, int64_t (*clock)()) {
    if (rc.auto_latency && take_given_up(in, rc) > 0)
        rc.last_give_up = clock();
    // Relaxed: a counter; the exchange hands the minute's count over and starts the next.
    const uint32_t never = in->ctx->given_up.exchange(0, std::memory_order_relaxed);
    rc.given_up_seen = 0;
    relay_log(
        "recovery: asked %u, recovered in time %u, late %u, never %u, duplicates %u; "
        "srtt=%ld us, rttvar=%ld us, latency=%d ms; overdue asked %u, loss %.2f %%\n",
        rc.asked, rc.in_time, rc.late, never, rc.duplicates, static_cast<long>(rc.rtt.srtt),
        static_cast<long>(rc.rtt.rttvar), rc.latency_us / 1000, rc.overdue_asked,
        100 * current_loss(rc, clock()));
    rc.asked = rc.in_time = rc.late = rc.duplicates = rc.overdue_asked = 0;
}

// Once the stream's rate is known: a latency the ring cannot hold is cut, once, with a line.
void measure_rate(Intake* in, RecoveryState& rc, uint32_t s, int64_t ts) {
    if (rc.rate_known || ts - rc.rate_base_ts < kRateSpanUs)
        return;
    rc.rate_known = true;
    if (rc.auto_latency) {
        // The latency that picks itself stays within what the ring holds from now on.
        rc.auto_cap_us =
            latency_that_fits(rc.auto_cap_us, s - rc.rate_base_seq, ts - rc.rate_base_ts);
        if (rc.auto_cap_us < rc.latency_us)
            rc.auto_next_step = 0;
        return;
    }
    const int32_t fits =
        latency_that_fits(rc.latency_us, s - rc.rate_base_seq, ts - rc.rate_base_ts);
    if (fits >= rc.latency_us)
        return;
    relay_log("playout latency cut from %d ms to %d ms: the ring holds no more of this stream\n",
              rc.latency_us / 1000, fits / 1000);
    rc.offset_us -= rc.latency_us - fits;
    rc.latency_us = fits;
    in->ctx->latency_us.store(fits, std::memory_order_relaxed);
}

// After datagram s was stored as the ring's newest (prev_newest was the newest before it):
// stamps the numbers it skipped as gaps, follows jumps and restarts, and measures the rate.
void after_newest(Intake* in, RecoveryState& rc, PacketRing* ring, uint32_t prev_newest, uint32_t s,
                  int64_t now) {
    const uint32_t n = static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed));
    const Timespec32 stamp = ring->slots[s % n].ts;  // stored just now
    int64_t ts = timespec_us(stamp);
    // A stamp that does not fit the stream's clock moves nothing: neither the requests' anchor
    // nor the rate. A jump of the clock counts once the next datagram agrees with it; a stray
    // stamp, or impossible nanoseconds, never do.
    bool fits = stamp_fits(stamp, rc.newest_ts);
    if (!fits && stamp_valid(stamp)) {
        fits = rc.jump_held && !playout_jump(rc.jump_ts, ts);
        rc.jump_held = !fits;
        rc.jump_ts = ts;
    } else if (fits) {
        rc.jump_held = false;
    }
    // A jump in the timestamps, or a stream that ran dry for longer than the latency: the
    // sender starts over from this datagram, a latency after it arrived.
    if (fits && (playout_jump(rc.newest_ts, ts) || now - rc.last_arrival > rc.latency_us))
        rc.offset_us = now + rc.latency_us - ts;
    if (!fits)
        ts = rc.newest_ts;  // its gaps are timed by the last stamp that fitted
    const uint32_t skipped = s - prev_newest - 1;
    if (s - prev_newest > 1 && skipped < n - 1) {
        const int64_t ts_before = rc.newest_ts;
        for (uint32_t q = prev_newest + 1; q != s; ++q) {
            PacketSlot& slot = ring->slots[q % n];
            const OverdueEntry& e = rc.overdue[q % kOverdueSlots];
            if (e.seq == q && (e.flags & kOverdueUsed) != 0 && e.asks > 0) {
                // Asked for while overdue: its gap goes on from those requests.
                slot.miss_since_us = e.since_us;
                slot.miss_asked_us = e.asked_us;
                slot.miss_asks = e.asks;
                slot.miss_copies = e.copies;
                slot.miss_flags = static_cast<uint8_t>(kMissTracked | (e.flags & kMissLastSent));
            } else {
                slot.miss_since_us = low32(now);
                slot.miss_asked_us = 0;
                slot.miss_asks = 0;
                slot.miss_copies = 0;
                slot.miss_flags = kMissTracked;
            }
            slot.ts = timespec_from_us(interpolate_ts(prev_newest, ts_before, s, ts, q));
        }
        if (!rc.pending) {
            rc.pending = true;
            rc.pending_lo = prev_newest + 1;
            rc.next_scan = now + kReorderAllowanceUs;
        } else {
            rc.next_scan = min64(rc.next_scan, now + kReorderAllowanceUs);
        }
    }
    if (!fits)
        return;
    measure_rate(in, rc, s, ts);
    if (skipped < n - 1 && !playout_jump(rc.newest_ts, ts)) {
        // Asked for while overdue and come half a round trip or more after that: a copy. One
        // that comes sooner is the original, held back on the way (or by a busy machine), and
        // its lateness is what the overdue allowance must learn.
        const OverdueEntry& e = rc.overdue[s % kOverdueSlots];
        const bool copy = e.seq == s && (e.flags & kOverdueUsed) != 0 && e.asks > 0 &&
                          now - widen(e.since_us, now) >= rc.rtt.srtt / 2 + kReorderAllowanceUs;
        follow_newest(rc, s - prev_newest, ts, now, copy);
    }
    rc.last_arrival = now;
    rc.newest_ts = ts;
}

}  // namespace

LatencyRecovery::LatencyRecovery(int32_t latency_us, bool auto_latency, int32_t auto_cap_us) {
    rc.latency_us = latency_us;
    rc.auto_latency = auto_latency;
    rc.auto_cap_us = auto_cap_us;
}

void LatencyRecovery::on_start(Intake* in, const PacketSlot* first) {
    const int64_t now = arrival_now;
    const int64_t ts = timespec_us(first->ts);
    rc.offset_us = now + rc.latency_us - ts;
    rc.last_arrival = now;
    rc.stream_start = now;
    rc.pending = false;
    rc.stream_first = first->seqnum;
    rc.newest_ts = ts;
    rc.jump_held = false;
    rc.rate_base_seq = first->seqnum;
    rc.rate_base_ts = ts;
    rc.interval_us = 0;
    rc.jitter_us = 0;
    rc.late_peak = 0;
    rc.newest_count = 0;
    rc.next_overdue = INT64_MAX;
    for (OverdueEntry& e : rc.overdue)
        e = OverdueEntry{};
    if (rc.last_line == 0)
        rc.last_line = now;
    const Timespec32 at = timespec_from_us(now);
    // Relaxed: the caller's release store publishes them (see RelayContext).
    in->ctx->first_arrival_sec.store(at.tv_sec, std::memory_order_relaxed);
    in->ctx->first_arrival_nsec.store(at.tv_nsec, std::memory_order_relaxed);
}

bool LatencyRecovery::before_store(Intake* in, const PacketRing* ring, uint32_t s,
                                   bool may_be_copy) {
    arrival_now = clock();
    if (!may_be_copy)
        return true;
    const uint32_t n = static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed));
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    // Only numbers of this stream at or behind the newest can be second copies; a slot of an
    // earlier stream with the same number holds other bytes.
    if (curseq - s >= n || s - rc.stream_first > curseq - rc.stream_first)
        return true;
    const uint32_t idx = s % n;
    const PacketSlot& slot = ring->slots[idx];
    if (slot.seqnum != s)
        return true;
    if (ring->filled[idx].load(std::memory_order_relaxed) == 1) {
        ++rc.duplicates;
        return false;
    }
    if (slot.miss_asks > 0) {
        if (s - sender_seq(in, ring, s) < n)
            ++rc.in_time;
        else
            ++rc.late;
    }
    return true;
}

void LatencyRecovery::after_store(Intake* in, PacketRing* ring, uint32_t prev_newest, uint32_t s,
                                  bool stored, bool started) {
    // A stream's first datagram was handled by on_start; late ones and copies move nothing.
    if (stored && s == ring->curseq.load(std::memory_order_relaxed) && !started)
        after_newest(in, rc, ring, prev_newest, s, arrival_now);
}

void LatencyRecovery::tick(Intake* in) {
    PacketRing* ring = in->sbuf.load(std::memory_order_relaxed);  // the loop's own pointer
    if (rc.last_line == 0 || ring == nullptr)
        return;
    const int64_t now = clock();
    const int64_t every =
        rc.rtt_samples < kKeepaliveStartSamples ? kKeepaliveStartEveryUs : kKeepaliveEveryUs;
    if (now - rc.last_keepalive >= every) {
        rc.last_keepalive = now;
        send_keepalive(in);
    }
    if (rc.pending && now >= rc.next_scan)
        scan_gaps(in, rc, ring, now);
    if (now >= rc.next_overdue)
        scan_overdue(in, rc, ring, now);
    auto_latency_tick(in, rc, now);
    if (now - rc.last_line >= kRecoveryLineEveryUs) {
        rc.last_line = now;
        write_recovery_line(in, rc, clock);
    }
}

int LatencyRecovery::wait_ms(const Intake*, int longest_ms) const {
    if (rc.last_line == 0)
        return longest_ms;
    const int64_t at =
        rc.pending && rc.next_scan < rc.next_overdue ? rc.next_scan : rc.next_overdue;
    if (at == INT64_MAX)
        return longest_ms;
    const int64_t left = at - clock();
    // Due longer ago than the loop's longest wait means no pass has run the scan (no upstream
    // socket): no reason to hurry.
    if (left < -kLongestPassUs)
        return longest_ms;
    const int64_t ms = left < 1000 ? 1 : (left + 999) / 1000;
    return ms < longest_ms ? static_cast<int>(ms) : longest_ms;
}

void LatencyRecovery::final_line(Intake* in) {
    if (rc.last_line != 0)
        write_recovery_line(in, rc, clock);
}

void LatencyRecovery::on_echo(Intake*, Timespec32 d) {
    if (d.tv_sec < 0 || d.tv_sec >= 10)
        return;
    rc.rtt = rtt_smooth(rc.rtt, timespec_us(d));
    ++rc.rtt_samples;
}
