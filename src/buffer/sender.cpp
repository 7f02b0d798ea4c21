// The paced sender's loop: buffering and idle waits, pacing, and output to the consumer.
//
// Threads: the sender shares the ring with the intake and `send_pos`, `resetseq`, `stop`,
// `rtt`, `req` and the loss-scan base with the event loop. Every one of them is loaded afresh
// where it is used. A slot is read only after an acquire load of its `filled` flag or of a
// `curpos` at or past it, which pairs with the intake's release stores. The upstream socket is
// never touched here: a repeated request is asked of the event loop (`asks`), and so are the
// players' connections given up (see core/players.h).
#include "buffer/sender.h"

#include <errno.h>
#include <sys/socket.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "buffer/fanout.h"
#include "buffer/packet_ring.h"
#include "buffer/playout.h"
#include "buffer/sender_pacing.h"
#include "core/log.h"
#include "core/players.h"
#include "core/relay_context.h"
#include "intake/protocol.h"

namespace {

void real_now(void*, Timespec32* out) {
    timespec_monotonic(out);
}

void real_sleep_us(void*, int64_t us) {
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
    nanosleep(&ts, nullptr);
}

// Where an iteration goes after its wait or pacing step.
enum Flow { FLOW_NEXT, FLOW_OUTPUT, FLOW_END };

struct Run {
    RelayContext* ctx = nullptr;
    PacketRing* ring = nullptr;
    const SenderEnv* env = nullptr;
    int mode = 0;                    // fixed for the run: the batch exists in HTTP mode only
    PlayerTable* players = nullptr;  // HTTP mode in the daemon; else the stream goes to `out_fd`
    SenderPhase phase = SENDER_STARTING;
    int prevpos = -1;
    Timespec32 now{};  // the iteration's one clock reading; renewed after a buffering wait
    Timespec32 anchor_clock{};
    Timespec32 anchor_ts{};
    Timespec32 bufsize{};
    bool first_wait = true;
    int idle_waits = 0;
    unsigned char* batch = nullptr;
    int fill = 0;
    int64_t last_write_us = 0;
    SenderStats stats;
    // The stamp of the last packet sent whose stamp fitted its neighbours'.
    Timespec32 prev_stamp{};
    uint32_t prev_seq = 0;  // ... and its number
    bool have_prev_stamp = false;
    bool stray = false;  // the packet being put out carries a stray stamp
    // Playout-latency mode only: the anchor, the latency it was taken with, the last packet out.
    PlayAnchor play{};
    int32_t latency_us = 0;
    bool any_sent = false;
    uint32_t last_seq = 0;
    int64_t last_ts = 0;
    int64_t newest_since = 0;  // waiting at the newest packet since this clock reading; 0 = not
    int64_t play_ts = 0;       // the stamp the packet being put out is played by
    bool play_stray = false;   // ... which is not its own: its stamp went astray
    // The stream's pace in stamp time, measured between packets whose stamps fit: step_us over
    // step_seqs numbers (0: not measured yet), from the packet at pace_seq, pace_ts on.
    bool pace_base = false;
    uint32_t pace_seq = 0;
    int64_t pace_ts = 0;
    uint32_t step_seqs = 0;
    int64_t step_us = 0;
};

// Acquire: pairs with the event loop's release store of the stop request.
bool stopped(const Run& r) {
    return r.ctx->stop.load(std::memory_order_acquire) != 0;
}

// Acquire: pairs with the re-base's release store of the position.
int load_send_pos(const Run& r) {
    return r.ctx->psend_pos->load(std::memory_order_acquire);
}

// Acquire: every slot up to the newest is complete once its `curpos` is seen.
int load_curpos(const Run& r) {
    return r.ring->curpos.load(std::memory_order_acquire);
}

uint32_t load_curseq(const Run& r) {
    return r.ring->curseq.load(std::memory_order_acquire);
}

// Acquire on the flag: a late packet stored into a placeholder is published by it.
const PacketSlot& slot_at(const Run& r, int p) {
    (void)r.ring->filled[p].load(std::memory_order_acquire);
    return r.ring->slots[p];
}

void sleep_us(const Run& r, int64_t us) {
    r.env->sleep_us(r.env->user, us);
}

void log_send_error(const Run& r, int send_pos, ssize_t written, int err) {
    relay_log_as(kCauseOutputRefused,
                 "!! Send error, send_pos=%d, curpos = %d, written=%d, error: %s !!!!\n", send_pos,
                 load_curpos(r), static_cast<int>(written), strerror(err));
}

// Where packet seq lies in stamp time, seq - base_seq numbers after the packet stamped base_ts,
// at the stream's pace: for a packet whose own stamp says nothing. Without a measured pace,
// with the packet before it.
int64_t stamp_at_pace(const Run& r, uint32_t base_seq, int64_t base_ts, uint32_t seq) {
    const uint32_t ahead = seq - base_seq;
    if (r.step_seqs == 0 || ahead >= static_cast<uint32_t>(kRingSlots))
        return base_ts;
    return base_ts + r.step_us * static_cast<int64_t>(ahead) / r.step_seqs;
}

// Measures the stream's pace over at least kPaceSpanUs of stamps, from packets whose stamps
// fit; a jump of the stream's clock starts the measurement over.
void measure_pace(Run& r, uint32_t seq, int64_t ts) {
    constexpr int64_t kPaceSpanUs = 100000;
    const uint32_t seqs = seq - r.pace_seq;
    if (!r.pace_base || seqs >= static_cast<uint32_t>(kRingSlots) || ts < r.pace_ts ||
        ts - r.pace_ts >= kTimestampJumpUs) {
        r.pace_base = true;
    } else if (ts - r.pace_ts >= kPaceSpanUs && seqs > 0) {
        r.step_seqs = seqs;
        r.step_us = ts - r.pace_ts;
    } else {
        return;
    }
    r.pace_seq = seq;
    r.pace_ts = ts;
}

// The default pacing's stamp of a slot: its own, or, when its nanoseconds are impossible, the
// one its neighbours give it (the last good stamp advanced at the stream's pace; due now
// before any is known). Such a packet never moves the anchor.
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

// Logs a send or write whose result is not len. Returns false when the client has gone.
bool check_written(const Run& r, int send_pos, ssize_t written, int err, int32_t len) {
    if (written == len)
        return true;
    log_send_error(r, send_pos, written, err);
    return !(r.mode == MODE_HTTP && err == EPIPE);
}

// What one write to the consumer came to, as write() reports it.
struct Written {
    ssize_t written;
    int err;
};

// HTTP mode: writes n bytes of buf to the consumer, every player (see buffer/fanout.h) or, in a
// run without a player table, `out_fd`; counts the bytes sent. With several players a player
// that failed is logged here and the write reported whole: the run goes on without it.
Written write_out(const Run& r, const unsigned char* buf, int n, int send_pos, int64_t now_us) {
    if (r.players == nullptr) {
        errno = 0;
        const ssize_t written =
            write(r.ctx->out_fd.load(std::memory_order_acquire), buf, static_cast<size_t>(n));
        const int err = errno;
        if (written > 0)
            r.ctx->stats.bytes_sent.add(static_cast<uint64_t>(written));
        return {written, err};
    }
    const FanoutResult f = fanout_write(r.players, buf, n, now_us, &r.ctx->stats);
    if (f.handed_back)
        relay_wake(r.ctx);
    if (f.fault)
        log_send_error(r, send_pos, f.fault_written, f.fault_err);
    return {f.written, f.err};
}

// Writes the whole batch and empties it, whatever the result. False when the client has gone.
bool flush_batch(Run& r, int send_pos, int32_t len, int64_t now_us) {
    const int size = r.fill;
    const Written w = write_out(r, r.batch, size, send_pos, now_us);
    r.last_write_us = now_us;
    r.fill = 0;
    if (w.written == size)
        return true;
    return check_written(r, send_pos, w.written, w.err, len);
}

// Datagram mode: sends slot send_pos as one datagram. Its errors never end the run.
void send_datagram(Run& r, int send_pos) {
    const PacketSlot& slot = slot_at(r, send_pos);
    const int32_t len = slot_send_len(slot);
    errno = 0;
    const ssize_t written =
        send(r.ctx->out_fd.load(std::memory_order_acquire), slot.payload, len, MSG_DONTWAIT);
    const int err = errno;
    if (written > 0)
        r.ctx->stats.bytes_sent.add(static_cast<uint64_t>(written));
    check_written(r, send_pos, written, err, len);
}

// The slot just put out at send_pos is accounted for and the send position moves on.
void sent(Run& r, int send_pos) {
    sender_bookkeep(&r.stats, slot_at(r, send_pos), load_curpos(r), send_pos, r.bufsize);
    const PacketSlot& slot = slot_at(r, send_pos);
    if (!r.stray && stamp_valid(slot.ts)) {
        r.prev_stamp = slot.ts;
        r.prev_seq = slot.seqnum;
        r.have_prev_stamp = true;
        measure_pace(r, slot.seqnum, timespec_us(slot.ts));
    }
    r.stray = false;
    const int gaps = advance_send_pos(r.ring, r.ctx->psend_pos, send_pos);
    if (gaps > 0)
        r.ctx->stats.unrecovered.add(static_cast<uint64_t>(gaps));
    r.prevpos = send_pos;
    r.phase = SENDER_RUNNING;
    r.idle_waits = 0;
}

// The stream has been dry for a long time: keep the client's connection busy and ask the
// upstream for the stream again. False when the client has gone.
bool repeat_request(Run& r, int send_pos) {
    if (r.mode == MODE_HTTP) {
        const Written w = write_out(r, slot_at(r, send_pos).payload, kRepeatWriteBytes, send_pos,
                                    timespec_to_us(r.now));
        if (w.written != kRepeatWriteBytes) {
            log_send_error(r, send_pos, w.written, w.err);
            if (w.err == EPIPE)
                return false;
        }
    }
    const char* req = r.ctx->req.load(std::memory_order_acquire);
    if (req != nullptr)
        post_request_again(r.ctx, req);
    // Release: the event loop re-bases on the next data packet only after seeing it.
    r.ctx->resetseq.store(1, std::memory_order_release);
    r.idle_waits = 0;
    return true;
}

// Datagrams in the ring beyond the sender's slot, as flow control counts them.
uint32_t backlog(const Run& r) {
    const int sp = ring_slot_or_none(r.ring, load_send_pos(r));
    if (sp < 0)
        return 0;
    return load_curseq(r) - slot_at(r, sp).seqnum;
}

// Nothing to send: the newest packet waits until a newer one has arrived.
Flow idle_wait(Run& r, int send_pos, int curpos) {
    // The stream has paused or ended: what is batched must not wait for it to resume.
    if (r.fill > 0 && !flush_batch(r, send_pos, r.fill, timespec_to_us(r.now)))
        return FLOW_END;
    relay_log("sendpos %d = curpos %d, curseq = %u\n", send_pos, curpos, load_curseq(r));
    ++r.idle_waits;
    const Timespec32 wait{0, kIdleWaitNs};
    const int64_t wait_us = timespec_sleep_us(&wait);
    if (r.mode == MODE_UDP && r.phase == SENDER_STARTING && r.latency_us == 0) {
        // A datagram run that has sent nothing yet looks at the backlog as a buffering wait
        // does: 400 ms of a fast stream (11,400 datagrams at 300 Mbit/s) would fill the ring
        // past the suspend threshold, so the wait ends at the safe backlog instead.
        for (int64_t waited_us = 0; !buffer_wait_over(waited_us, wait_us, backlog(r));
             waited_us += kBufferPollUs)
            sleep_us(r, kBufferPollUs);
    } else {
        sleep_us(r, wait_us);
    }
    // Before the run's first packet has gone out there is nothing to catch up with: keep the
    // start of the stream instead of skipping to the newest packet.
    if (r.phase != SENDER_STARTING)
        r.phase = SENDER_RESTARTING;
    if (!sender_repeat_due(r.idle_waits, r.ctx->req.load(std::memory_order_acquire)))
        return FLOW_NEXT;
    return repeat_request(r, send_pos) ? FLOW_NEXT : FLOW_END;
}

// Polls for the stream's first packet: placed by the intake's re-base and stored. Returns its
// position, or -1 when `stop` ends the run. A jump of a whole ring (a renumbered stream, or an
// upstream far ahead) may already have turned that slot into a placeholder that nobody asks
// for again; once the newest packet is elsewhere the run starts there all the same.
int wait_first_packet(const Run& r) {
    const int n = r.ring->nslots.load(std::memory_order_relaxed);
    for (;;) {
        const int sp = load_send_pos(r);
        if (sp >= 0 && sp < n && r.ctx->resetseq.load(std::memory_order_acquire) == 0 &&
            (r.ring->filled[sp].load(std::memory_order_acquire) == 1 || sp != load_curpos(r)))
            return stopped(r) ? -1 : sp;
        if (stopped(r))
            return -1;
        sleep_us(r, kFirstPollUs);
    }
}

void take_bufsize(Run& r, const PacketSlot& slot) {
    r.bufsize = slot_at(r, load_curpos(r)).ts;
    timespec_fulsub(&r.bufsize, &slot.ts);
}

// The first packet after a buffering wait goes out at once and anchors the pacing.
void reanchor(Run& r, int send_pos) {
    relay_log("sendpos %d = prevpos %d\n", r.prevpos, r.prevpos);
    const PacketSlot& slot = slot_at(r, send_pos);
    r.anchor_ts = pacing_stamp(r, slot);
    r.anchor_clock = r.now;
    take_bufsize(r, slot);
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
        // What arrived since the sender ran dry is skipped: the consumer gets the live stream.
        // The skipped datagrams never reach it, and are counted so.
        const int old = ring_slot_or_none(r.ring, *send_pos);
        if (old >= 0) {
            const uint32_t skipped = slot_at(r, curpos).seqnum - slot_at(r, old).seqnum;
            if (skipped < static_cast<uint32_t>(r.ring->nslots.load(std::memory_order_relaxed)))
                r.ctx->stats.unrecovered.add(skipped);
        }
        // Release: flow control measures the backlog from this position.
        r.ctx->psend_pos->store(curpos, std::memory_order_release);
        r.prevpos = curpos;
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

// The next stored packet after slot p, up to the newest; nullptr when p is the newest.
const PacketSlot* next_stored(const Run& r, int p) {
    const int cp = load_curpos(r);
    const int n = r.ring->nslots.load(std::memory_order_relaxed);
    while (p != cp) {
        p = p + 1 < n ? p + 1 : 0;
        if (r.ring->filled[p].load(std::memory_order_acquire) == 1)
            return &r.ring->slots[p];
    }
    return nullptr;
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
    const int64_t now_us = timespec_to_us(r.now);
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
        if (fill + len >= kBatchBytes)
            break;
    }
    return batch_wake_us(next_us, fill_us, r.last_write_us) - now_us;
}

// HTTP mode: puts every datagram due by r.now into the batch, from send_pos on (that one at
// once when due is set), writes the batch when it is full or its timer has run out, and sleeps
// until the next write can be due: one wake per write, not per datagram. False ends the run.
bool batch_round(Run& r, int send_pos, bool due) {
    const int64_t now_us = timespec_to_us(r.now);
    int sp = send_pos;
    int32_t len = r.prevpos >= 0 ? slot_send_len(slot_at(r, r.prevpos)) : 0;
    for (;;) {
        if (!due) {
            const PaceDecision d =
                sender_pace(r.anchor_clock, r.anchor_ts, r.now, pacing_stamp(r, slot_at(r, sp)));
            if (!pace_due(d)) {
                // The write belongs to the packet last put in, as its error line says.
                if (batch_write_due(r.fill, 0, now_us, r.last_write_us) && r.fill > 0 &&
                    !flush_batch(r, r.prevpos, len, now_us))
                    return false;
                sleep_us(r, batch_sleep_us(r, sp, load_curpos(r), d));
                return true;
            }
            check_stamp(r, sp, d);
        }
        const PacketSlot& slot = slot_at(r, sp);
        take_bufsize(r, slot);
        len = slot_send_len(slot);
        if (batch_overflows(r.fill, len) && !flush_batch(r, sp, len, now_us))
            return false;
        std::memcpy(r.batch + r.fill, slot.payload, len);
        r.fill += len;
        sent(r, sp);
        if (r.fill + len >= kBatchBytes && !flush_batch(r, sp, len, now_us))
            return false;
        sp = load_send_pos(r);
        // Caught up (the next iteration's idle wait writes the batch), re-based, or asked to
        // stop: the loop decides.
        if (sp == load_curpos(r) || sp == r.prevpos || stopped(r))
            break;
        due = false;
    }
    if (r.fill > 0 && batch_write_due(r.fill, 0, now_us, r.last_write_us))
        return flush_batch(r, r.prevpos, len, now_us);
    return true;
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

// Relaxed: a one-word setting (see RelayContext).
int32_t load_latency(const Run& r) {
    return r.ctx->latency_us.load(std::memory_order_relaxed);
}

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

// One iteration of the playout-latency mode. *send_pos becomes the position to put out on
// FLOW_OUTPUT.
Flow playout_step(Run& r, int* send_pos) {
    if (r.phase == SENDER_STARTING) {
        const int first = wait_first_packet(r);
        if (first < 0)
            return FLOW_END;
        const Timespec32 arrival{r.ctx->first_arrival_sec.load(std::memory_order_relaxed),
                                 r.ctx->first_arrival_nsec.load(std::memory_order_relaxed)};
        return play_start(r, first, timespec_us(arrival));
    }
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
    if (done && sp == cp) {
        // A stall upstream is not the end of the stream: the next packet is played as soon as
        // it is stored, and only a stream dry for the idle wait starts over at the newest.
        if (r.phase == SENDER_RUNNING && r.idle_waits == 0) {
            // What is batched goes out at once, as the idle wait would write it.
            if (r.fill > 0 && !flush_batch(r, sp, r.fill, now))
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
    int64_t ts = timespec_us(slot.ts);
    r.play_stray = false;
    if (r.any_sent && !stamp_fits(slot.ts, r.last_ts)) {
        const PacketSlot* next = sp != cp ? next_stored(r, sp) : nullptr;
        if (stamp_valid(slot.ts) && (next == nullptr || stamp_confirms(next->ts, ts))) {
            relay_log("!! timestamps jump by %ld ms at seqnum %u: playing out from it\n",
                      static_cast<long>((ts - r.last_ts) / 1000), slot.seqnum);
            play_from(r, now, ts);
        } else {
            // A stamp astray: the packet is played where its neighbours put it, and the anchor
            // stays.
            ts = next != nullptr && stamp_fits(next->ts, r.last_ts)
                     ? interpolate_ts(r.last_seq, r.last_ts, next->seqnum, timespec_us(next->ts),
                                      slot.seqnum)
                     : stamp_at_pace(r, r.last_seq, r.last_ts, slot.seqnum);
            r.play_stray = true;
        }
    }
    r.play_ts = ts;
    const PlayDecision d = playout_packet(now, playout_due(r.play, ts));
    if (d.action == PLAY_WAIT) {
        sleep_us(r, r.any_sent || d.wait_us < kFirstPacketPollUs ? d.wait_us : kFirstPacketPollUs);
        return FLOW_NEXT;
    }
    take_bufsize(r, slot);
    *send_pos = sp;
    return FLOW_OUTPUT;
}

// After slot sp went out: this mode steps one slot at a time and stays on the newest packet,
// which it has sent, until a newer one arrives.
void playout_sent(Run& r, int sp) {
    const PacketSlot& slot = slot_at(r, sp);
    r.any_sent = true;
    r.last_seq = slot.seqnum;
    r.last_ts = r.play_ts;
    if (!r.play_stray)
        measure_pace(r, slot.seqnum, r.play_ts);
    if (sp != load_curpos(r))
        step_send_pos(r, sp);
}

// Playout-latency mode: puts slot send_pos out on its own, one datagram or into the HTTP
// batch, which is written once full or its timer has run out. False ends the run.
bool output(Run& r, int send_pos) {
    if (r.mode != MODE_HTTP) {
        send_datagram(r, send_pos);
        return true;
    }
    const int32_t len = slot_send_len(slot_at(r, send_pos));
    const int64_t now_us = timespec_to_us(r.now);
    if (batch_overflows(r.fill, len) && !flush_batch(r, send_pos, len, now_us))
        return false;
    std::memcpy(r.batch + r.fill, slot_at(r, send_pos).payload, len);
    r.fill += len;
    if (!batch_write_due(r.fill, len, now_us, r.last_write_us))
        return true;
    return flush_batch(r, send_pos, len, now_us);
}

// One iteration of the playout-latency mode. False ends the run.
bool playout_iteration(Run& r) {
    int sp = -1;
    const Flow flow = playout_step(r, &sp);
    if (flow != FLOW_OUTPUT)
        return flow != FLOW_END;
    if (!output(r, sp))
        return false;
    sender_bookkeep(&r.stats, slot_at(r, sp), load_curpos(r), sp, r.bufsize);
    playout_sent(r, sp);
    r.prevpos = sp;
    r.phase = SENDER_RUNNING;
    r.idle_waits = 0;
    return true;
}

// One iteration of the default pacing. False ends the run.
bool default_iteration(Run& r) {
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
    send_datagram(r, sp);
    sent(r, sp);
    return true;
}

void run_loop(Run& r) {
    while (!stopped(r)) {
        r.env->now(r.env->user, &r.now);
        const bool go_on = load_latency(r) != 0 ? playout_iteration(r) : default_iteration(r);
        if (!go_on)
            return;
    }
}

}  // namespace

void sender_run(RelayContext* ctx, const SenderEnv* env) {
    PacketRing* ring = ctx->psbuf->load(std::memory_order_acquire);
    relay_log("Entering sender thread\n");
    if (ring == nullptr)
        return;
    Run r;
    r.ctx = ctx;
    r.ring = ring;
    r.env = env;
    r.mode = ctx->mode.load(std::memory_order_acquire);
    if (r.mode == MODE_HTTP) {
        r.players = ctx->players;
        r.batch = static_cast<unsigned char*>(std::malloc(kBatchBytes));
        if (r.batch == nullptr) {
            relay_log("!! Cannot allocate the send batch: %s\n", strerror(errno));
            return;
        }
    }
    run_loop(r);
    std::free(r.batch);  // bytes still batched are dropped with the connection
}

void* sender_thread(void* context) {
    const SenderEnv env{real_now, real_sleep_us, nullptr};
    sender_run(static_cast<RelayContext*>(context), &env);
    return nullptr;
}
