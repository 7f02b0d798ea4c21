// Draining the upstream socket: data datagrams into the ring, echoes into the round-trip
// estimate, and the keepalive and statistics schedule that rides on the data; what the
// recovery policy does with each datagram is its own (see IntakeRecovery).
#include "intake/drain.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "core/log.h"
#include "core/timespec.h"
#include "intake/flow_control.h"
#include "intake/intake.h"
#include "intake/intake_rules.h"

namespace {

constexpr useconds_t kEmptyReadPauseUs = 20000;  // keeps a trickle of datagrams from spinning
// How long after the last datagram held as a ring jump the drain takes no pause (see below).
constexpr int64_t kHeldNoPauseUs = 1000000;

// The minute's line: n, t and s are the current datagram's; curpos, send_pos, lost and the
// rate stand as they were before it is stored.
void write_stats_line(Intake* intake, const PacketRing* ring, int n, uint32_t s, Timespec32 t) {
    IntakeState& in = intake->state;
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const float rate = loss_rate(in.lost, curseq, in.stats_base);
    relay_log(
        "isock read %d bytes, %u sec, %lu us; rtt=%u, total packets=%u, curpos=%d, send_pos=%d, "
        "lost=%d, loss rate=%.4f\n",
        n, static_cast<unsigned>(t.tv_sec),
        static_cast<unsigned long>(static_cast<uint32_t>(t.tv_nsec / 1000)),
        intake->ctx->rtt.load(std::memory_order_relaxed) / 1000, s,
        ring->curpos.load(std::memory_order_relaxed),
        intake->send_pos.load(std::memory_order_relaxed), in.lost, static_cast<double>(rate));
    in.lost = 0;
    in.stats_base = curseq;
}

// A new stream's first datagram becomes the ring's newest and the sender's position, and the
// loss scan starts from it. The flag is cleared by the caller once the packet is in its slot.
void rebase(Intake* in, PacketRing* ring, uint32_t s) {
    const int pos =
        static_cast<int>(s % static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed)));
    ring->curseq.store(s, std::memory_order_release);
    ring->curpos.store(pos, std::memory_order_release);
    in->send_pos.store(pos, std::memory_order_release);
    in->scan_base.store(s, std::memory_order_relaxed);
    in->state.holding = false;  // a jump held from the stream before belongs to nobody now
    relay_log("need resetseq: seqnum: %u, curpos=%d\n", s, pos);
}

// Adds the numbers a datagram skipped to the minute's count, saturating: an upstream that jumps
// by billions must not overflow it.
int add_skipped(int lost, uint32_t skipped) {
    const int64_t sum = static_cast<int64_t>(lost) + skipped;
    return sum > INT32_MAX ? INT32_MAX : static_cast<int>(sum);
}

// The guard in front of add_item when an upstream keeps sending past a full ring.
bool overruns_sender(const Intake* in, const PacketRing* ring, uint32_t s) {
    const int sp = sender_slot(in, ring);
    if (sp < 0)
        return false;
    const int n = ring->nslots.load(std::memory_order_relaxed);
    const bool behind = sp != ring->curpos.load(std::memory_order_relaxed);
    return would_overrun_sender(s, ring->curseq.load(std::memory_order_relaxed),
                                ring->slots[sp].seqnum, static_cast<uint32_t>(n), behind);
}

void note_ring_full_drop(Intake* intake, const PacketRing* ring, uint32_t s) {
    IntakeState& in = intake->state;
    ++in.ring_full_drops;
    Timespec32 now{0, 0};
    timespec_monotonic(&now);
    if (now.tv_sec == in.drop_log_sec)
        return;
    in.drop_log_sec = now.tv_sec;
    // The sender may have left its slot since the guard looked.
    const int sp = sender_slot(intake, ring);
    relay_log("!! ring full, dropping seq=%u (send_pos seq=%u)\n", s,
              sp >= 0 ? ring->slots[sp].seqnum : 0);
}

// A late datagram whose number the ring holds as a gap: the sender has not passed it yet.
bool fills_placeholder(const PacketRing* ring, uint32_t s) {
    const uint32_t n = static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed));
    const uint32_t behind = ring->curseq.load(std::memory_order_relaxed) - s;
    if (behind == 0 || behind >= n)
        return false;
    const uint32_t pos = s % n;
    // Relaxed: the slots are written by this thread alone.
    return ring->filled[pos].load(std::memory_order_relaxed) == 0 && ring->slots[pos].seqnum == s;
}

// Stores one data datagram of n bytes (its len already set) with everything that rides on it.
void store_data(Intake* intake, PacketRing* ring, PacketSlot* arrival, int n) {
    IntakeState& in = intake->state;
    IntakeRecovery* recovery = intake->recovery.get();
    const uint32_t s = arrival->seqnum;
    const Timespec32 t = arrival->ts;
    const uint32_t t_sec = static_cast<uint32_t>(t.tv_sec);
    RelayContext& ctx = *intake->ctx;

    if (t_sec != in.last_sec) {
        const SecondAction action = on_timestamp_second(in.last_sec, t_sec);
        if (action == SECOND_STATS_AND_KEEPALIVE)
            write_stats_line(intake, ring, n, s, t);
        if (action != SECOND_NOTHING)
            send_keepalive(intake);
        in.last_sec = t_sec;
    }

    // Read once: a client that sets the flag again meanwhile is served by the next datagram.
    const bool rebasing = ctx.resetseq.load(std::memory_order_acquire) != 0;
    const bool drop = !rebasing && overruns_sender(intake, ring, s);
    const bool duplicate = !recovery->before_store(intake, ring, s, !drop && !rebasing);
    // A dropped datagram leaves curseq where it was, so the next stored one counts it as lost.
    if (!drop)
        in.lost = add_skipped(in.lost, skipped_before(in.prev_curseq, s));
    if (rebasing)
        rebase(intake, ring, s);
    flow_end_suspension(intake);

    bool started = rebasing;
    if (drop) {
        note_ring_full_drop(intake, ring, s);
    } else if (!duplicate) {
        if (!rebasing && fills_placeholder(ring, s))
            ctx.stats.recovered.add(1);
        if (rebasing)
            recovery->on_start(intake, arrival);
        add_item(ring, arrival, s);
        // Release: a sender that sees the flag clear must find the packet in its slot.
        if (rebasing)
            ctx.resetseq.store(0, std::memory_order_release);
        if (!intake->http_mode && intake->send_pos.load(std::memory_order_relaxed) == -1) {
            recovery->on_start(intake, arrival);
            started = true;
            intake->hooks.start_sender(intake->hooks.owner);
        }
    }

    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    recovery->after_store(intake, ring, in.prev_curseq, s, !drop && !duplicate, started);
    // A dropped datagram is as queue-full as it gets: it keeps the suspend repeating.
    flow_queue_full_check(intake, s, drop || s == curseq);
    in.prev_curseq = curseq;
    intake->flow.release_checks = 0;
}

// A jump of a whole ring is held back until a datagram confirms it: true when the datagram was
// taken into the hold (and so must not be stored now).
bool hold_far_jump(Intake* intake, PacketRing* ring, PacketSlot* arrival, int n) {
    IntakeState& in = intake->state;
    // Relaxed: the flag and the sender's position are only looked at; a re-base is read again
    // with acquire where it is acted on.
    const bool playing = intake->ctx->resetseq.load(std::memory_order_relaxed) == 0 &&
                         intake->send_pos.load(std::memory_order_relaxed) != -1;
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const JumpVerdict v = far_jump_verdict(
        playing, curseq, static_cast<uint32_t>(ring->nslots.load(std::memory_order_relaxed)),
        arrival->seqnum, arrival->ts, in.holding, in.held.seqnum, in.held.ts);
    if (v == JUMP_NONE)
        return false;
    if (v == JUMP_CONFIRMED) {
        in.holding = false;
        store_data(intake, ring, &in.held, in.held_bytes);
        return false;
    }
    // A second copy of the held number leaves the first held, with its own length.
    if (!in.holding || in.held.seqnum != arrival->seqnum) {
        std::memcpy(static_cast<void*>(&in.held), arrival, sizeof in.held);
        in.held_bytes = n;
    }
    in.holding = true;
    in.held_at_us = monotonic_us();
    const int32_t sec = static_cast<int32_t>(in.held_at_us / 1000000);
    if (sec != in.held_log_sec) {
        in.held_log_sec = sec;
        relay_log(
            "!! seq=%u would jump a whole ring past curseq=%u: held until the stream "
            "follows it\n",
            arrival->seqnum, curseq);
    }
    return true;
}

void handle_data(Intake* in, PacketRing* ring, PacketSlot* arrival, int n) {
    arrival->len = n - kDataHeaderBytes;
    Stats& stats = in->ctx->stats;
    stats.datagrams_received.add(1);
    stats.bytes_received.add(static_cast<uint64_t>(arrival->len));
    if (hold_far_jump(in, ring, arrival, n))
        return;
    store_data(in, ring, arrival, n);
}

void handle_echo(Intake* in, const PacketSlot* arrival) {
    const Timespec32 stamp = echo_stamp(arrival);
    Timespec32 d{0, 0};
    timespec_now(&d);
    timespec_fulsub(&d, &stamp);
    // Relaxed: the estimate is one self-contained word; no other data rides on it.
    in->ctx->rtt.store(rtt_from_round_trip(d), std::memory_order_relaxed);
    in->recovery->on_echo(in, d);
}

}  // namespace

bool intake_handle(Intake* in, PacketRing* ring, PacketSlot* arrival, ssize_t n) {
    switch (classify_arrival(arrival, n)) {
        case ARRIVAL_DATA:
            handle_data(in, ring, arrival, static_cast<int>(n));
            return false;
        case ARRIVAL_ECHO:
            handle_echo(in, arrival);
            return true;
        case ARRIVAL_SHORT_ECHO:  // no whole stamp to measure with
        case ARRIVAL_IGNORED:
            return true;
        case ARRIVAL_NONE:
            break;
    }
    return false;
}

void intake_drain(Intake* in) {
    PacketRing* ring = in->sbuf.load(std::memory_order_relaxed);  // the loop's own pointer
    if (ring == nullptr)
        return;
    for (;;) {
        const int fd = in->isock->load(std::memory_order_relaxed);
        if (fd == 0)
            break;
        // A batch at a time; fewer than asked for means the socket is empty, so no empty read
        // is needed to learn it. Failures (EAGAIN included) end the drain as an empty read did.
        const int got = recvmmsg(fd, in->arrival_msgs, kDrainBatch, MSG_DONTWAIT, nullptr);
        if (got <= 0)
            break;
        // An echo or a foreign datagram ends the drain without the pause, as before; the rest
        // of the batch, already taken from the socket, is handled first.
        bool ended = false;
        for (int i = 0; i < got; ++i) {
            const ssize_t n = static_cast<ssize_t>(in->arrival_msgs[i].msg_len);
            if (intake_handle(in, ring, &in->arrivals[i], n))
                ended = true;
        }
        if (ended)
            return;
        if (got < kDrainBatch)
            break;
    }
    // The playout-latency mode times its requests in milliseconds: it takes no pause.
    // Within a second of a datagram held as a ring jump the upstream's address may be sending
    // a flood of junk, no trickle: a pause would let the junk fill the socket and push the
    // stream's own datagrams out, even after a drain that happened to read none of it.
    const int64_t held_at = in->state.held_at_us;
    if (in->recovery->pauses_after_drain() &&
        (held_at == 0 || monotonic_us() - held_at >= kHeldNoPauseUs))
        in->hooks.pause(in->hooks.owner, kEmptyReadPauseUs);
}

void intake_reset_stats(Intake* in) {
    in->state.last_sec = 0;
    in->state.prev_curseq = 0;
    in->state.stats_base = 0;
    in->state.lost = 0;
}
