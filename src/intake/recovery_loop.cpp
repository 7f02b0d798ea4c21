// Asking for missing datagrams by time in the playout-latency mode, on the event loop's thread:
// gaps and overdue numbers, the copies the loss rate needs, and the latency that picks itself.
//
// Threads: the ring's placeholders and their `miss_` fields are written here alone; the sender
// reads `send_pos` (shared, relaxed here: a stale position only starts a walk one slot early)
// and publishes `given_up`, which -L auto reads and the minute line takes with an exchange.
// The latency in force (`latency_us`) is written here and read by the sender and the pages.
#include "intake/recovery_loop.h"

#include <cerrno>
#include <cstring>

#include "buffer/playout.h"
#include "core/log.h"
#include "core/timespec.h"
#include "daemon/event_loop.h"
#include "intake/auto_latency.h"
#include "intake/drain.h"
#include "intake/protocol.h"

namespace {

// Placeholders keep clock readings in 32 bits; a gap lives for seconds, far below the wrap.
uint32_t low32(int64_t t) {
    return static_cast<uint32_t>(t);
}

int64_t widen(uint32_t stored, int64_t now) {
    return now - static_cast<int64_t>(static_cast<uint32_t>(low32(now) - stored));
}

int64_t min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}

// The sequence number of the slot the sender is at, or `fallback` before it has one.
uint32_t sender_seq(EventLoop* loop, const PacketRing* ring, uint32_t fallback) {
    const int sp = sender_slot(loop, ring);
    if (sp < 0)
        return fallback;
    return ring->slots[sp].seqnum;
}

void send_lost(EventLoop* loop, const uint32_t* seqs, int count) {
    if (count == 0)
        return;
    loop->ctx.stats.lost_requested.add(static_cast<uint64_t>(count));
    if (intake_send_control(loop, build_lost_request(&loop->ctl, seqs, count)) < 0)
        relay_log("Error sending lost request: %s\n", strerror(errno));
}

// The loss rate the copies and -L auto are sized by.
double current_loss(const RecoveryState& rc, int64_t now) {
    const double p = loss_window_rate(rc.loss, now, kLossMinSpan);
    return p < 0 ? kLossUnmeasured : p;
}

MissingState missing_from(uint32_t since, uint32_t asked, uint16_t asks, uint8_t copies,
                          uint8_t flags, int64_t now) {
    MissingState m;
    m.since = widen(since, now);
    m.last_ask = widen(asked, now);
    m.asks = asks;
    m.copies_due = copies;
    m.last_sent = (flags & kMissLastSent) != 0;
    return m;
}

uint16_t asks16(int asks) {
    return static_cast<uint16_t>(asks < 0xffff ? asks : 0xffff);
}

void scan_gaps(EventLoop* loop, PacketRing* ring, int64_t now) {
    RecoveryState& rc = loop->recovery;
    const uint32_t n = static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed));
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const uint32_t send_seq = sender_seq(loop, ring, rc.pending_lo);
    // Numbers the sender has passed are no longer worth a request.
    uint32_t q = send_seq - rc.pending_lo < n ? send_seq : rc.pending_lo;
    const RttEstimate rtt =
        rtt_or_initial(rc.rtt, loop->ctx.rtt.load(std::memory_order_relaxed) / 1000);
    const double loss = current_loss(rc, now);
    uint32_t seqs[kLostRequestMax];
    int count = 0;
    int64_t next = INT64_MAX;
    bool any = false;
    for (uint32_t steps = 0; q != curseq && steps < n; ++q, ++steps) {
        const uint32_t idx = q % n;
        PacketSlot& slot = ring->slots[idx];
        if (ring->filled[idx].load(std::memory_order_relaxed) == 1 || slot.seqnum != q ||
            (slot.miss_flags & kMissTracked) == 0)
            continue;
        MissingState m = missing_from(slot.miss_since_us, slot.miss_asked_us, slot.miss_asks,
                                      slot.miss_copies, slot.miss_flags, now);
        const AskDecision d = decide_ask(m, now, timespec_us(slot.ts) + rc.offset_us, rtt, loss);
        if (d.action == ASK_NEVER) {
            slot.miss_flags = 0;
            continue;
        }
        if (!any) {
            any = true;
            rc.pending_lo = q;
        }
        next = min64(next, d.next);
        if (d.action != ASK_NOW)
            continue;
        note_ask(&m, now, d);
        slot.miss_asked_us = low32(now);
        slot.miss_asks = asks16(m.asks);
        slot.miss_copies = static_cast<uint8_t>(m.copies_due);
        slot.miss_flags = static_cast<uint8_t>(kMissTracked | (m.last_sent ? kMissLastSent : 0));
        ++rc.asked;
        seqs[count++] = q;
        if (count == kLostRequestMax) {
            send_lost(loop, seqs, count);
            count = 0;
        }
    }
    send_lost(loop, seqs, count);
    rc.pending = any;
    rc.next_scan = next;
}

// Numbers after the newest whose datagrams are overdue: asked for before the datagram after a
// burst shows the gap. Only while the upstream is not held, at most one request per
// kOverdueEveryUs, at most kOverdueSlots numbers ahead, each asked as a gap would be.
void scan_overdue(EventLoop* loop, PacketRing* ring, int64_t now) {
    RecoveryState& rc = loop->recovery;
    rc.next_overdue = INT64_MAX;
    if (rc.interval_us <= 0 || rc.newest_count < kOverdueMinDatagrams ||
        loop->flow.suspend_count != 0)
        return;
    rc.last_overdue_scan = now;
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const int64_t allowance = overdue_allowance_us(rc.jitter_us, rc.late_peak);
    const int64_t newest_expected = rc.newest_ts + rc.transit_base;
    uint32_t k = overdue_count(now, newest_expected, rc.interval_us, allowance);
    if (k > kOverdueSlots)
        k = kOverdueSlots;
    int64_t next =
        k < kOverdueSlots ? newest_expected + (k + 1) * rc.interval_us + allowance : INT64_MAX;
    const RttEstimate rtt =
        rtt_or_initial(rc.rtt, loop->ctx.rtt.load(std::memory_order_relaxed) / 1000);
    const double loss = current_loss(rc, now);
    uint32_t seqs[kLostRequestMax];
    int count = 0;
    for (uint32_t j = 1; j <= k && count < kLostRequestMax; ++j) {
        const uint32_t q = curseq + j;
        OverdueEntry& e = rc.overdue[q % kOverdueSlots];
        const int64_t expected = newest_expected + static_cast<int64_t>(j) * rc.interval_us;
        if (e.seq != q || (e.flags & kOverdueUsed) == 0) {
            // Its first request goes out once it is overdue, not a reordering allowance later.
            e = OverdueEntry{q, low32(expected + allowance - kReorderAllowanceUs), 0, 0,
                             0, static_cast<uint8_t>(kOverdueUsed | kMissTracked)};
        }
        if ((e.flags & kMissTracked) == 0)
            continue;
        MissingState m = missing_from(e.since_us, e.asked_us, e.asks, e.copies, e.flags, now);
        const int64_t due = rc.newest_ts + static_cast<int64_t>(j) * rc.interval_us + rc.offset_us;
        const AskDecision d = decide_ask(m, now, due, rtt, loss);
        if (d.action == ASK_NEVER) {
            e.flags = kOverdueUsed;
            continue;
        }
        next = min64(next, d.next);
        if (d.action != ASK_NOW)
            continue;
        note_ask(&m, now, d);
        e.asked_us = low32(now);
        e.asks = asks16(m.asks);
        e.copies = static_cast<uint8_t>(m.copies_due);
        e.flags =
            static_cast<uint8_t>(kOverdueUsed | kMissTracked | (m.last_sent ? kMissLastSent : 0));
        ++rc.asked;
        ++rc.overdue_asked;
        seqs[count++] = q;
    }
    send_lost(loop, seqs, count);
    rc.next_overdue = next > now + kOverdueEveryUs ? next : now + kOverdueEveryUs;
}

// A datagram became the newest: the stream's stamp step, the loss window and (unless it is a
// copy that answers a request) the transit and its jitter follow it; the next overdue moment is
// the next number's predicted arrival and the allowance.
void follow_newest(RecoveryState& rc, uint32_t advance, int64_t ts, int64_t now, bool asked) {
    const int64_t transit = now - ts;
    if (rc.newest_count > 0) {
        const int64_t step = (ts - rc.newest_ts) / advance;
        if (step >= 0)
            rc.interval_us =
                rc.interval_us == 0 ? step : rc.interval_us + (step - rc.interval_us) / 16;
        // A copy that was asked for counts as lost, and its lateness is no jitter of the path.
        loss_window_note(&rc.loss, now, advance, advance - 1 + (asked ? 1 : 0));
        if (!asked) {
            int64_t change = transit - rc.newest_transit;
            // A pause upstream is no jitter of the path either.
            if (change > kMaxJitterSampleUs)
                change = kMaxJitterSampleUs;
            if (change < -kMaxJitterSampleUs)
                change = -kMaxJitterSampleUs;
            if (advance == 1)
                rc.jitter_us = jitter_smooth(rc.jitter_us, change);
            rc.transit_base = transit_follow(rc.transit_base, transit);
            rc.late_peak =
                late_peak_follow(rc.late_peak, transit - rc.transit_base, now - rc.last_arrival);
        }
    } else {
        rc.transit_base = transit;
    }
    if (!asked)
        rc.newest_transit = transit;
    ++rc.newest_count;
    if (rc.interval_us > 0) {
        const int64_t at = ts + rc.interval_us + rc.transit_base +
                           overdue_allowance_us(rc.jitter_us, rc.late_peak);
        const int64_t earliest = rc.last_overdue_scan + kOverdueEveryUs;
        rc.next_overdue = at > earliest ? at : earliest;
    }
}

// Gaps the sender gave up since the last look. Relaxed: a counter.
uint32_t take_given_up(EventLoop* loop) {
    RecoveryState& rc = loop->recovery;
    const uint32_t now_count = loop->ctx.given_up.load(std::memory_order_relaxed);
    const uint32_t gone = now_count - rc.given_up_seen;
    rc.given_up_seen = now_count;
    return gone;
}

// -L auto: once a step, the latency moves towards what the round trip, its variation, the loss
// rate and the gaps given up ask for. The intake's anchor moves with it; the sender follows
// the shared value (playout_follow_cut), so the play-out slows or hurries by a step and never
// skips or repeats a byte.
void auto_latency_tick(EventLoop* loop, int64_t now) {
    RecoveryState& rc = loop->recovery;
    if (!rc.auto_latency || now < rc.auto_next_step)
        return;
    const uint32_t gone = take_given_up(loop);
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
    loop->ctx.latency_us.store(next, std::memory_order_relaxed);
}

void write_recovery_line(EventLoop* loop) {
    RecoveryState& rc = loop->recovery;
    if (rc.auto_latency && take_given_up(loop) > 0)
        rc.last_give_up = monotonic_us();
    // Relaxed: a counter; the exchange hands the minute's count over and starts the next.
    const uint32_t never = loop->ctx.given_up.exchange(0, std::memory_order_relaxed);
    rc.given_up_seen = 0;
    relay_log(
        "recovery: asked %u, recovered in time %u, late %u, never %u, duplicates %u; "
        "srtt=%ld us, rttvar=%ld us, latency=%d ms; overdue asked %u, loss %.2f %%\n",
        rc.asked, rc.in_time, rc.late, never, rc.duplicates, static_cast<long>(rc.rtt.srtt),
        static_cast<long>(rc.rtt.rttvar), rc.latency_us / 1000, rc.overdue_asked,
        100 * current_loss(rc, monotonic_us()));
    rc.asked = rc.in_time = rc.late = rc.duplicates = rc.overdue_asked = 0;
}

// Once the stream's rate is known: a latency the ring cannot hold is cut, once, with a line.
void measure_rate(EventLoop* loop, uint32_t s, int64_t ts) {
    RecoveryState& rc = loop->recovery;
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
    loop->ctx.latency_us.store(fits, std::memory_order_relaxed);
}

}  // namespace

void recovery_on_stream_start(EventLoop* loop, const PacketSlot* first, int64_t now) {
    RecoveryState& rc = loop->recovery;
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
    loop->ctx.first_arrival_sec.store(at.tv_sec, std::memory_order_relaxed);
    loop->ctx.first_arrival_nsec.store(at.tv_nsec, std::memory_order_relaxed);
}

bool recovery_before_store(EventLoop* loop, const PacketRing* ring, uint32_t s) {
    RecoveryState& rc = loop->recovery;
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
        if (s - sender_seq(loop, ring, s) < n)
            ++rc.in_time;
        else
            ++rc.late;
    }
    return true;
}

void recovery_after_newest(EventLoop* loop, PacketRing* ring, uint32_t prev_newest, uint32_t s,
                           int64_t now) {
    RecoveryState& rc = loop->recovery;
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
    measure_rate(loop, s, ts);
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

void recovery_tick(EventLoop* loop) {
    RecoveryState& rc = loop->recovery;
    PacketRing* ring = loop->sbuf.load(std::memory_order_relaxed);  // the loop's own pointer
    if (rc.latency_us == 0 || rc.last_line == 0 || ring == nullptr)
        return;
    const int64_t now = monotonic_us();
    const int64_t every =
        rc.rtt_samples < kKeepaliveStartSamples ? kKeepaliveStartEveryUs : kKeepaliveEveryUs;
    if (now - rc.last_keepalive >= every) {
        rc.last_keepalive = now;
        intake_send_keepalive(loop);
    }
    if (rc.pending && now >= rc.next_scan)
        scan_gaps(loop, ring, now);
    if (now >= rc.next_overdue)
        scan_overdue(loop, ring, now);
    auto_latency_tick(loop, now);
    if (now - rc.last_line >= kRecoveryLineEveryUs) {
        rc.last_line = now;
        write_recovery_line(loop);
    }
}

int recovery_wait_ms(const EventLoop* loop, int longest_ms) {
    const RecoveryState& rc = loop->recovery;
    if (rc.latency_us == 0 || rc.last_line == 0)
        return longest_ms;
    const int64_t at =
        rc.pending && rc.next_scan < rc.next_overdue ? rc.next_scan : rc.next_overdue;
    if (at == INT64_MAX)
        return longest_ms;
    const int64_t left = at - monotonic_us();
    // Long overdue means no pass has run the scan (no upstream socket): no reason to hurry.
    if (left < -kLoopTimeoutMs * 1000)
        return longest_ms;
    const int64_t ms = left < 1000 ? 1 : (left + 999) / 1000;
    return ms < longest_ms ? static_cast<int>(ms) : longest_ms;
}

void recovery_final_line(EventLoop* loop) {
    if (loop->recovery.latency_us != 0 && loop->recovery.last_line != 0)
        write_recovery_line(loop);
}

void recovery_echo(EventLoop* loop, Timespec32 d) {
    if (loop->recovery.latency_us == 0 || d.tv_sec < 0 || d.tv_sec >= 10)
        return;
    loop->recovery.rtt = rtt_smooth(loop->recovery.rtt, timespec_us(d));
    ++loop->recovery.rtt_samples;
}
