// The playout-latency pacing (-L): every packet goes out a fixed latency after it would have
// arrived on a loss-free link, one slot at a time; a missing packet's slot is waited on until
// its own time, so that a copy asked for may still fill it. The decisions are buffer/playout.h's.
#include <cstdint>

#include "buffer/sender_run.h"
#include "core/log.h"

namespace {

void play_from(Run& r, int64_t clock, int64_t ts) {
    r.play = PlayAnchor{clock, ts};
    r.latency_us = load_latency(r);
    r.pace_base = false;
}

// The next index after p (one slot, not the ring's skip to the next filled one: in this mode a
// missing packet's slot is waited on until its own time).
int next_index(const Run& r, int p) {
    return p + 1 == r.ring->nslots.load(std::memory_order_relaxed) ? 0 : p + 1;
}

void step_send_pos(const Run& r, int sp) {
    // Release: flow control measures the backlog from this position.
    r.ctx->psend_pos->store(next_index(r, sp), std::memory_order_release);
}

// Starts (or, after the stream ran dry, restarts) the playout at packet p, due a latency after
// `arrival`.
Flow play_start(Run& r, int p, int64_t arrival) {
    const PacketSlot& slot = slot_at(r, p);
    play_from(r, arrival + load_latency(r), timespec_us(slot.ts));
    r.prevpos = p;
    r.phase = SENDER_RUNNING;
    relay_log("Playing out %d ms after arrival, send_pos=%d, curpos = %d\n", r.latency_us / 1000, p,
              load_curpos(r));
    return FLOW_NEXT;
}

// The stream's first packet is played a latency after it arrived.
Flow play_first(Run& r) {
    const int first = wait_first_packet(r);
    if (first < 0)
        return FLOW_END;
    const Timespec32 arrival{r.ctx->first_arrival_sec.load(std::memory_order_relaxed),
                             r.ctx->first_arrival_nsec.load(std::memory_order_relaxed)};
    return play_start(r, first, timespec_us(arrival));
}

// A missing packet at sp: its own time lies between the last packet sent and the next stored
// one; until then a copy may still fill the slot.
Flow play_missing(Run& r, int sp, int cp, int64_t now) {
    int nx = sp;
    uint32_t dist = 0;
    do {
        nx = next_index(r, nx);
        ++dist;
    } while (nx != cp && r.ring->filled[nx].load(std::memory_order_acquire) != 1);
    const PacketSlot& next = slot_at(r, nx);
    const int64_t next_ts = timespec_us(next.ts);
    const uint32_t q = next.seqnum - dist;
    // A stray stamp after the gap must not push the gap's time away: it is then due with the
    // packet before it.
    int64_t own_ts = next_ts;
    if (r.any_sent)
        own_ts = stamp_fits(next.ts, r.last_ts)
                     ? interpolate_ts(r.last_seq, r.last_ts, next.seqnum, next_ts, q)
                     : stamp_at_pace(r, r.last_seq, r.last_ts, q);
    const PlayDecision d = playout_missing(now, playout_due(r.play, own_ts));
    if (d.action == PLAY_WAIT) {
        sleep_us(r, d.wait_us);
        return FLOW_NEXT;
    }
    // Relaxed: a counter for the intake's minute line.
    r.ctx->given_up.fetch_add(1, std::memory_order_relaxed);
    r.ctx->stats.unrecovered.add(1);
    step_send_pos(r, sp);
    return FLOW_NEXT;
}

// The newest packet has gone out and nothing newer is stored. A stall upstream is not the end
// of the stream: the next packet is played as soon as it is stored, and only a stream dry for
// the idle wait starts over at the newest.
Flow wait_at_newest(Run& r, int sp, int cp, int64_t now) {
    if (r.phase == SENDER_RUNNING && r.idle_waits == 0) {
        // What is batched goes out at once, as the idle wait would write it.
        if (r.fill > 0 && !write_batch(r, sp, r.fill, now))
            return FLOW_END;
        if (r.newest_since == 0)
            r.newest_since = now;
        if (!playout_dry(now, r.newest_since)) {
            sleep_us(r, kMissingPollUs);
            return FLOW_NEXT;
        }
    }
    r.newest_since = 0;
    return idle_wait(r, sp, cp);
}

// The stamp the stored packet at sp is played by. One that does not fit after the last packet
// sent is a jump of the stream's clock when the packet after it agrees, and the playout starts
// over from it; otherwise the stamp went astray, the packet is played where its neighbours put
// it, and the anchor stays.
int64_t play_stamp(Run& r, int sp, int cp, const PacketSlot& slot, int64_t now) {
    int64_t ts = timespec_us(slot.ts);
    r.play_stray = false;
    if (!r.any_sent || stamp_fits(slot.ts, r.last_ts))
        return ts;
    const PacketSlot* next = sp != cp ? next_stored(r, sp) : nullptr;
    if (stamp_valid(slot.ts) && (next == nullptr || stamp_confirms(next->ts, ts))) {
        relay_log("!! timestamps jump by %ld ms at seqnum %u: playing out from it\n",
                  static_cast<long>((ts - r.last_ts) / 1000), slot.seqnum);
        play_from(r, now, ts);
        return ts;
    }
    r.play_stray = true;
    if (next != nullptr && stamp_fits(next->ts, r.last_ts))
        return interpolate_ts(r.last_seq, r.last_ts, next->seqnum, timespec_us(next->ts),
                              slot.seqnum);
    return stamp_at_pace(r, r.last_seq, r.last_ts, slot.seqnum);
}

// One step of the playout. *send_pos becomes the position to put out on FLOW_OUTPUT.
Flow playout_step(Run& r, int* send_pos) {
    if (r.phase == SENDER_STARTING)
        return play_first(r);
    const int32_t latency = load_latency(r);
    if (latency != r.latency_us) {
        r.play = playout_follow_cut(r.play, r.latency_us, latency);
        r.latency_us = latency;
    }
    const int64_t now = timespec_us(r.now);
    const int sp = load_send_pos(r);
    const int cp = load_curpos(r);
    const bool stored = r.ring->filled[sp].load(std::memory_order_acquire) == 1;
    const bool done = stored && r.any_sent && slot_at(r, sp).seqnum == r.last_seq;
    if (done && sp == cp)
        return wait_at_newest(r, sp, cp, now);
    if (r.newest_since != 0) {
        const int64_t newest_ts = timespec_us(slot_at(r, cp).ts);
        if (playout_resume_reanchors(now, playout_due(r.play, newest_ts)))
            play_from(r, now + r.latency_us, newest_ts);
        r.newest_since = 0;
    }
    if (r.phase == SENDER_RESTARTING) {
        // Whatever arrived while the sender ran dry is skipped: the consumer gets the live
        // stream again, a latency behind. Release: flow control measures from this position.
        r.ctx->psend_pos->store(cp, std::memory_order_release);
        return play_start(r, cp, now);
    }
    if (done) {
        step_send_pos(r, sp);
        return FLOW_NEXT;
    }
    if (!stored)
        return sp == cp ? idle_wait(r, sp, cp) : play_missing(r, sp, cp, now);
    const PacketSlot& slot = slot_at(r, sp);
    r.play_ts = play_stamp(r, sp, cp, slot, now);
    const PlayDecision d = playout_packet(now, playout_due(r.play, r.play_ts));
    if (d.action == PLAY_WAIT) {
        sleep_us(r, r.any_sent || d.wait_us < kFirstPacketPollUs ? d.wait_us : kFirstPacketPollUs);
        return FLOW_NEXT;
    }
    take_bufsize(r, slot);
    *send_pos = sp;
    return FLOW_OUTPUT;
}

// Each packet goes out on its own: in HTTP mode into the batch, which is written once full or
// once its timer has run out.
bool latency_iteration(Run& r) {
    int sp = -1;
    const Flow flow = playout_step(r, &sp);
    if (flow != FLOW_OUTPUT)
        return flow != FLOW_END;
    const int64_t now_us = timespec_us(r.now);
    const int32_t len = slot_send_len(slot_at(r, sp));
    if (!put_out(r, sp, now_us) || !write_if_full(r, sp, len, now_us) ||
        !write_if_timer_out(r, sp, len, now_us))
        return false;
    sent(r, sp);
    return true;
}

// After slot sp went out: this mode steps one slot at a time and stays on the newest packet,
// which it has sent, until a newer one arrives.
void latency_step_past(Run& r, int sp) {
    const PacketSlot& slot = slot_at(r, sp);
    r.any_sent = true;
    r.last_seq = slot.seqnum;
    r.last_ts = r.play_ts;
    if (!r.play_stray)
        measure_pace(r, slot.seqnum, r.play_ts);
    if (sp != load_curpos(r))
        step_send_pos(r, sp);
}

}  // namespace

const Pacer kPaceLatency{latency_iteration, latency_step_past};
