// The default pacing: after a margin gathered in the ring, every packet goes out at the time
// its timestamp gives, counted from an anchor packet; a stamp far from its neighbours either
// moves the anchor (the stream's clock jumped) or goes out in its place (one stray stamp). In
// HTTP mode the packets due are batched and the sender wakes once per write, not per packet.
#include <cstdint>

#include "buffer/sender_run.h"
#include "core/log.h"

namespace {

// A slot's stamp for pacing: its own, or, when its nanoseconds are impossible, the one its
// neighbours give it (the last good stamp advanced at the stream's pace; due now before any is
// known). Such a packet never moves the anchor.
Timespec32 pacing_stamp(const Run& r, const PacketSlot& slot) {
    if (stamp_valid(slot.ts))
        return slot.ts;
    if (r.have_prev_stamp)
        return timespec_from_us(
            stamp_at_pace(r, r.prev_seq, timespec_us(r.prev_stamp), slot.seqnum));
    Timespec32 elapsed = r.now;
    timespec_fulsub(&elapsed, &r.anchor_clock);
    return timespec_from_us(timespec_us(r.anchor_ts) + timespec_us(elapsed));
}

// The first packet after a buffering wait goes out at once and anchors the pacing.
void reanchor(Run& r, int send_pos) {
    relay_log("sendpos %d = prevpos %d\n", r.prevpos, r.prevpos);
    const PacketSlot& slot = slot_at(r, send_pos);
    r.anchor_ts = pacing_stamp(r, slot);
    r.anchor_clock = r.now;
    take_bufsize(r, slot);
}

// After a starvation the margin is gathered at the newest packet: what arrived since the
// sender ran dry is skipped, so that the consumer gets the live stream. The skipped datagrams
// never reach it, and are counted so.
void skip_to_newest(Run& r, int send_pos, int curpos) {
    const int old = ring_slot_or_none(r.ring, send_pos);
    if (old >= 0) {
        const uint32_t skipped = slot_at(r, curpos).seqnum - slot_at(r, old).seqnum;
        if (skipped < static_cast<uint32_t>(r.ring->nslots.load(std::memory_order_relaxed)))
            r.ctx->stats.unrecovered.add(skipped);
    }
    // Release: flow control measures the backlog from this position.
    r.ctx->psend_pos->store(curpos, std::memory_order_release);
    r.prevpos = curpos;
}

// Gathers a margin before sending, at the stream's first packet or, after a starvation, at
// the newest one. *send_pos becomes the position to put out on FLOW_OUTPUT.
Flow buffer_wait(Run& r, int* send_pos, int curpos) {
    // The first wait leaves the loss-scan base where the intake's re-base put it, so that
    // datagrams missing from the stream's first burst are still asked for. (Release: the loss
    // scan on the event loop's thread reads the ring from this base.)
    if (!r.first_wait)
        r.ctx->pcurseq->store(load_curseq(r), std::memory_order_release);
    const uint32_t rtt = r.ctx->rtt.load(std::memory_order_relaxed);
    relay_log("Sleeping to get buffer, send_pos=%d, curpos = %d, rtt=%u\n", *send_pos, curpos, rtt);
    if (r.phase == SENDER_RESTARTING) {
        skip_to_newest(r, *send_pos, curpos);
    } else {
        const int first = wait_first_packet(r);
        if (first < 0)
            return FLOW_END;
        r.prevpos = first;
    }
    r.anchor_ts = pacing_stamp(r, slot_at(r, r.prevpos));
    r.anchor_clock = r.now;
    const SleepPlan plan = sender_buffer_sleep(r.mode, r.first_wait, rtt);
    const int64_t planned_us = plan.count * plan.us_each;
    for (int64_t waited_us = 0; !buffer_wait_over(waited_us, planned_us, backlog(r));) {
        const int64_t step_us =
            planned_us - waited_us < kBufferPollUs ? planned_us - waited_us : kBufferPollUs;
        sleep_us(r, step_us);
        waited_us += step_us;
    }

    const int sp = load_send_pos(r);
    const int cp = load_curpos(r);
    relay_log("After sleep send_pos=%d, curpos = %d\n", sp, cp);
    r.first_wait = false;
    if (sp == cp)
        return idle_wait(r, sp, cp);
    r.env->now(r.env->user, &r.now);
    *send_pos = sp;
    return FLOW_OUTPUT;
}

// A packet a second or more from where the pacing puts it. When the packet after it agrees,
// the stream's clock jumped and the pacing moves to it; holding it back for seconds would
// starve the consumer. When it does not, one stamp went astray: the packet goes out in its
// place and the anchor stays, so that the packets after it are paced as before.
void check_stamp(Run& r, int send_pos, const PaceDecision& d) {
    const PacketSlot& slot = slot_at(r, send_pos);
    if (!stamp_valid(slot.ts))
        return;  // paced by its neighbours' stamps already
    // Most late packets are only late: the next packet is looked up for the rare far ones.
    if (sender_stamp_check(d, slot.ts, r.have_prev_stamp, r.prev_stamp, false, {}) == STAMP_IN_STEP)
        return;
    const PacketSlot* next = next_stored(r, send_pos);
    const StampCheck c = sender_stamp_check(d, slot.ts, r.have_prev_stamp, r.prev_stamp,
                                            next != nullptr, next != nullptr ? next->ts : slot.ts);
    const bool ahead = d.action == PACE_JUMP;
    if (c == STAMP_STRAY) {
        r.stray = true;
        if (ahead)
            relay_log("!! seqnum %u stamped %d/%li ahead of its neighbours: sent in its place\n",
                      slot.seqnum, d.diff.tv_sec, static_cast<long>(d.diff.tv_nsec));
        return;
    }
    if (ahead)
        relay_log("!! sleeping, %d/%li, seqnum: %u, curpos: %d, sendpos: %d, prevpos: %d\n",
                  d.diff.tv_sec, static_cast<long>(d.diff.tv_nsec), load_curseq(r), load_curpos(r),
                  send_pos, r.prevpos);
    else
        relay_log("!! timestamps step back at seqnum %u: pacing from it\n", slot.seqnum);
    r.anchor_clock = r.now;
    r.anchor_ts = slot.ts;
}

// HTTP mode: how long to sleep from r.now until the next write can be due, the datagram at
// send_pos being due after next.sleep_us. The datagrams the ring already holds show when the
// batch would fill; beyond the newest one nothing is known, so the sender looks again then.
int64_t batch_sleep_us(const Run& r, int send_pos, int curpos, const PaceDecision& next) {
    const int64_t now_us = timespec_us(r.now);
    const int64_t next_us = now_us + next.sleep_us;
    const int64_t timer_us = r.last_write_us + kBatchIntervalUs + 1;
    const int n = r.ring->nslots.load(std::memory_order_relaxed);
    int64_t fill_us = next_us;
    int fill = r.fill;
    for (int p = send_pos; p != curpos && fill_us < timer_us; p = p + 1 < n ? p + 1 : 0) {
        if (r.ring->filled[p].load(std::memory_order_acquire) != 1)
            continue;  // a placeholder: the advance skips it
        const PacketSlot& slot = r.ring->slots[p];
        const PaceDecision d =
            sender_pace(r.anchor_clock, r.anchor_ts, r.now, pacing_stamp(r, slot));
        if (d.action == PACE_JUMP)
            break;
        fill_us = pace_due(d) ? now_us : now_us + d.sleep_us;
        const int32_t len = slot_send_len(slot);
        if (batch_overflows(fill, len))
            break;  // written before this one goes in
        fill += len;
        if (batch_full(fill, len))
            break;
    }
    return batch_wake_us(next_us, fill_us, r.last_write_us) - now_us;
}

// HTTP mode: puts every datagram due by r.now into the batch, from send_pos on (that one at
// once when due is set), writes the batch when it is full or its timer has run out, and sleeps
// until the next write can be due: one wake per write, not per datagram. False ends the run.
bool batch_round(Run& r, int send_pos, bool due) {
    const int64_t now_us = timespec_us(r.now);
    int sp = send_pos;
    int32_t len = r.prevpos >= 0 ? slot_send_len(slot_at(r, r.prevpos)) : 0;
    for (;;) {
        if (!due) {
            const PaceDecision d =
                sender_pace(r.anchor_clock, r.anchor_ts, r.now, pacing_stamp(r, slot_at(r, sp)));
            if (!pace_due(d)) {
                // The write belongs to the packet last put in, as its error line says.
                if (!write_if_timer_out(r, r.prevpos, len, now_us))
                    return false;
                sleep_us(r, batch_sleep_us(r, sp, load_curpos(r), d));
                return true;
            }
            check_stamp(r, sp, d);
        }
        const PacketSlot& slot = slot_at(r, sp);
        take_bufsize(r, slot);
        len = slot_send_len(slot);
        if (!put_out(r, sp, now_us))
            return false;
        sent(r, sp);
        if (!write_if_full(r, sp, len, now_us))
            return false;
        sp = load_send_pos(r);
        // Caught up (the next iteration's idle wait writes the batch), re-based, or asked to
        // stop: the loop decides.
        if (sp == load_curpos(r) || sp == r.prevpos || stopped(r))
            break;
        due = false;
    }
    return write_if_timer_out(r, r.prevpos, len, now_us);
}

// Datagram mode: sleeps until the slot is due (one clock reading per datagram, taken at the
// top of the iteration), then sends it.
void pace(Run& r, int send_pos) {
    const PacketSlot& slot = slot_at(r, send_pos);
    const PaceDecision d = sender_pace(r.anchor_clock, r.anchor_ts, r.now, pacing_stamp(r, slot));
    take_bufsize(r, slot);
    if (d.action == PACE_SLEEP)
        sleep_us(r, d.sleep_us);
    else
        check_stamp(r, send_pos, d);
}

bool stamps_iteration(Run& r) {
    int sp = load_send_pos(r);
    const int cp = load_curpos(r);
    SenderStep step = sender_step(r.phase, sp, cp, r.prevpos);
    // A player's stream starts with the margin wait even when only its first packet has
    // arrived yet: idling 400 ms first would only delay the start.
    if (step == STEP_IDLE_WAIT && r.phase == SENDER_STARTING && r.first_wait && r.mode == MODE_HTTP)
        step = STEP_BUFFER_WAIT;
    if (step == STEP_BUFFER_WAIT) {
        const Flow flow = buffer_wait(r, &sp, cp);
        if (flow != FLOW_OUTPUT)
            return flow != FLOW_END;
        step = sp == r.prevpos ? STEP_REANCHOR : STEP_PACE;
    }
    if (step == STEP_IDLE_WAIT)
        return idle_wait(r, sp, cp) != FLOW_END;
    if (step == STEP_REANCHOR)
        reanchor(r, sp);
    if (r.mode == MODE_HTTP)
        return batch_round(r, sp, step == STEP_REANCHOR);
    if (step == STEP_PACE)
        pace(r, sp);
    put_out(r, sp, timespec_us(r.now));  // a datagram's errors never end the run
    sent(r, sp);
    return true;
}

// After slot sp went out: a stamp that fitted becomes the neighbour the next stray stamps are
// judged by, and the send position moves to the next stored packet; the placeholders it steps
// over are gaps given up for good.
void stamps_step_past(Run& r, int sp) {
    const PacketSlot& slot = slot_at(r, sp);
    if (!r.stray && stamp_valid(slot.ts)) {
        r.prev_stamp = slot.ts;
        r.prev_seq = slot.seqnum;
        r.have_prev_stamp = true;
        measure_pace(r, slot.seqnum, timespec_us(slot.ts));
    }
    r.stray = false;
    const int gaps = advance_send_pos(r.ring, r.ctx->psend_pos, sp);
    if (gaps > 0)
        r.ctx->stats.unrecovered.add(static_cast<uint64_t>(gaps));
}

}  // namespace

const Pacer kPaceStamps{stamps_iteration, stamps_step_past};
