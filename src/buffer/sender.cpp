// The paced sender's run: its start and end, the pacer it is given, and what both pacers share
// (the first packet, idle waits and the repeated request, the stream's pace in stamp time).
// The default pacing lives in pace_stamps.cpp, the playout latency (-L) in pace_latency.cpp,
// and the output both use in sender_output.cpp. sender_run.h gives the threads' rules.
#include "buffer/sender.h"

#include <errno.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>

#include "buffer/sender_run.h"
#include "core/log.h"

namespace {

void real_now(void*, Timespec32* out) {
    timespec_monotonic(out);
}

void real_sleep_us(void*, int64_t us) {
    timespec ts{static_cast<time_t>(us / 1000000), static_cast<long>(us % 1000000 * 1000)};
    nanosleep(&ts, nullptr);
}

// The stream has been dry for a long time: keep the client's connection busy and ask the
// upstream for the stream again. False when the client has gone.
bool repeat_request(Run& r, int send_pos) {
    if (r.mode == MODE_HTTP) {
        const Written w = write_out(r, slot_at(r, send_pos).payload, kRepeatWriteBytes, send_pos,
                                    timespec_us(r.now));
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

void run_loop(Run& r) {
    while (!stopped(r)) {
        r.env->now(r.env->user, &r.now);
        if (!r.pacer->iteration(r))
            return;
    }
}

}  // namespace

int64_t stamp_at_pace(const Run& r, uint32_t base_seq, int64_t base_ts, uint32_t seq) {
    const uint32_t ahead = seq - base_seq;
    if (r.step_seqs == 0 || ahead >= static_cast<uint32_t>(kRingSlots))
        return base_ts;
    return base_ts + r.step_us * static_cast<int64_t>(ahead) / r.step_seqs;
}

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

// A jump of a whole ring (a renumbered stream, or an upstream far ahead) may already have
// turned the first packet's slot into a placeholder that nobody asks for again; once the
// newest packet is elsewhere the run starts there all the same.
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

uint32_t backlog(const Run& r) {
    const int sp = ring_slot_or_none(r.ring, load_send_pos(r));
    if (sp < 0)
        return 0;
    return load_curseq(r) - slot_at(r, sp).seqnum;
}

void take_bufsize(Run& r, const PacketSlot& slot) {
    r.bufsize = slot_at(r, load_curpos(r)).ts;
    timespec_fulsub(&r.bufsize, &slot.ts);
}

Flow idle_wait(Run& r, int send_pos, int curpos) {
    // The stream has paused or ended: what is batched must not wait for it to resume.
    if (r.fill > 0 && !write_batch(r, send_pos, r.fill, timespec_us(r.now)))
        return FLOW_END;
    relay_log("sendpos %d = curpos %d, curseq = %u\n", send_pos, curpos, load_curseq(r));
    ++r.idle_waits;
    const Timespec32 wait{0, kIdleWaitNs};
    const int64_t wait_us = timespec_sleep_us(&wait);
    // Only the default pacing idles before its first packet (the playout latency waits for
    // that packet's time instead).
    if (r.mode == MODE_UDP && r.phase == SENDER_STARTING) {
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

namespace {

struct FreeBytes {
    void operator()(unsigned char* p) const { std::free(p); }
};

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
    r.pacer = load_latency(r) != 0 ? &kPaceLatency : &kPaceStamps;
    r.mode = ctx->mode.load(std::memory_order_acquire);
    // Bytes still batched at the end are dropped with the connection when the holder frees them.
    std::unique_ptr<unsigned char, FreeBytes> batch;
    if (r.mode == MODE_HTTP) {
        r.players = ctx->players;
        batch.reset(static_cast<unsigned char*>(std::malloc(kBatchBytes)));
        if (batch == nullptr) {
            relay_log("!! Cannot allocate the send batch: %s\n", strerror(errno));
            return;
        }
        r.batch = batch.get();
    }
    run_loop(r);
}

void* sender_thread(void* context) {
    const SenderEnv env{real_now, real_sleep_us, nullptr};
    sender_run(static_cast<RelayContext*>(context), &env);
    return nullptr;
}
