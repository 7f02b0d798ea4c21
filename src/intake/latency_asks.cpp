// Asking for missing datagrams by time in the playout-latency mode: the gaps behind the newest,
// the overdue numbers after it, and the stream's step and jitter that time the overdue ones.
#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "intake/latency_recovery.h"

namespace {

void send_lost(Intake* in, const uint32_t* seqs, int count) {
    if (count == 0)
        return;
    in->ctx->stats.lost_requested.add(static_cast<uint64_t>(count));
    if (intake_send_control(in, build_lost_request(&in->ctl, seqs, count)) < 0)
        relay_log("Error sending lost request: %s\n", strerror(errno));
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

// An ask that goes out now, noted in the fields a gap keeps its state in (a placeholder's
// `miss_` fields or an overdue entry's), with `keep` the entry's own flags.
void record_ask(MissingState* m, int64_t now, const AskDecision& d, uint32_t* asked_us,
                uint16_t* asks, uint8_t* copies, uint8_t* flags, uint8_t keep) {
    note_ask(m, now, d);
    *asked_us = low32(now);
    *asks = asks16(m->asks);
    *copies = static_cast<uint8_t>(m->copies_due);
    *flags = static_cast<uint8_t>(keep | kMissTracked | (m->last_sent ? kMissLastSent : 0));
}

}  // namespace

double current_loss(const RecoveryState& rc, int64_t now) {
    const double p = loss_window_rate(rc.loss, now, kLossMinSpan);
    return p < 0 ? kLossUnmeasured : p;
}

void scan_gaps(Intake* in, RecoveryState& rc, PacketRing* ring, int64_t now) {
    const uint32_t n = static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed));
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const uint32_t send_seq = sender_seq(in, ring, rc.pending_lo);
    // Numbers the sender has passed are no longer worth a request.
    uint32_t q = send_seq - rc.pending_lo < n ? send_seq : rc.pending_lo;
    const RttEstimate rtt =
        rtt_or_initial(rc.rtt, in->ctx->rtt.load(std::memory_order_relaxed) / 1000);
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
        record_ask(&m, now, d, &slot.miss_asked_us, &slot.miss_asks, &slot.miss_copies,
                   &slot.miss_flags, 0);
        ++rc.asked;
        seqs[count++] = q;
        if (count == kLostRequestMax) {
            send_lost(in, seqs, count);
            count = 0;
        }
    }
    send_lost(in, seqs, count);
    rc.pending = any;
    rc.next_scan = next;
}

void scan_overdue(Intake* in, RecoveryState& rc, PacketRing* ring, int64_t now) {
    rc.next_overdue = INT64_MAX;
    if (rc.interval_us <= 0 || rc.newest_count < kOverdueMinDatagrams ||
        in->flow.suspend_count != 0)
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
        rtt_or_initial(rc.rtt, in->ctx->rtt.load(std::memory_order_relaxed) / 1000);
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
        record_ask(&m, now, d, &e.asked_us, &e.asks, &e.copies, &e.flags, kOverdueUsed);
        ++rc.asked;
        ++rc.overdue_asked;
        seqs[count++] = q;
    }
    send_lost(in, seqs, count);
    rc.next_overdue = next > now + kOverdueEveryUs ? next : now + kOverdueEveryUs;
}

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
