// The paced sender's timing and bookkeeping rules, free of clocks, sleeps and descriptors.
#include "buffer/sender_pacing.h"

#include <cstdint>

#include "core/log.h"
#include "core/relay_context.h"

SenderStep sender_step(SenderPhase phase, int send_pos, int curpos, int prevpos) {
    if (phase != SENDER_RUNNING)
        return send_pos != curpos ? STEP_BUFFER_WAIT : STEP_IDLE_WAIT;
    if (send_pos == curpos)
        return STEP_IDLE_WAIT;
    return send_pos == prevpos ? STEP_REANCHOR : STEP_PACE;
}

PaceDecision sender_pace(Timespec32 anchor_clock, Timespec32 anchor_ts, Timespec32 now,
                         Timespec32 ts) {
    Timespec32 elapsed = now;
    timespec_fulsub(&elapsed, &anchor_clock);
    Timespec32 due = ts;
    timespec_fulsub(&due, &anchor_ts);
    Timespec32 diff = due;
    timespec_fulsub(&diff, &elapsed);

    PaceDecision d{PACE_SEND_NOW, diff, 0};
    if (timespec_negative(diff))
        return d;
    if (diff.tv_sec == 0) {
        d.action = PACE_SLEEP;
        d.sleep_us = timespec_sleep_us(&diff);
        return d;
    }
    d.action = PACE_JUMP;
    return d;
}

namespace {

constexpr int64_t kStampJumpNs = 1000000000;

// Worked in 64 bits: stray stamps may hold any value of either field.
int64_t stamp_ns(Timespec32 t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

}  // namespace

StampCheck sender_stamp_check(const PaceDecision& d, Timespec32 ts, bool have_prev,
                              Timespec32 prev_ts, bool have_next, Timespec32 next_ts) {
    const bool ahead = d.action == PACE_JUMP;
    const bool behind =
        d.action == PACE_SEND_NOW && have_prev && stamp_ns(prev_ts) - stamp_ns(ts) >= kStampJumpNs;
    if (!ahead && !behind)
        return STAMP_IN_STEP;
    // Without a later packet to ask, a packet ahead is taken as a jump, as it always was.
    if (!have_next)
        return ahead ? STAMP_JUMP : STAMP_STRAY;
    const int64_t apart = stamp_ns(next_ts) - stamp_ns(ts);
    return apart < kStampJumpNs && apart > -kStampJumpNs ? STAMP_JUMP : STAMP_STRAY;
}

int32_t sender_first_wait_ns(uint32_t rtt) {
    const uint64_t ns = static_cast<uint64_t>(rtt) * 15 / 10;
    return ns > INT32_MAX ? INT32_MAX : static_cast<int32_t>(ns);
}

SleepPlan sender_buffer_sleep(int mode, bool first_wait, uint32_t rtt) {
    if (mode != MODE_HTTP)
        return SleepPlan{1, kDatagramBufferUs};
    if (first_wait) {
        const Timespec32 wait{0, sender_first_wait_ns(rtt)};
        return SleepPlan{1, timespec_sleep_us(&wait)};
    }
    const Timespec32 step{0, kRebufferStepNs};
    return SleepPlan{kRebufferSteps, timespec_sleep_us(&step)};
}

void sender_bookkeep(SenderStats* stats, const PacketSlot& slot, int curpos, int send_pos,
                     Timespec32 bufsize) {
    const uint32_t sec = static_cast<uint32_t>(slot.ts.tv_sec);
    if (sec != stats->last_sec) {
        // Once a minute of packet time, and for a run's first packet.
        if (stats->last_sec % 60 == 0) {
            relay_log(
                "sending %d bytes, %u seconds, %lu nanoseconds; total packets=%u; missed=%d, "
                "curpos=%d; send_pos=%d; bufsize=%d/%li\n",
                slot.len, sec, static_cast<unsigned long>(static_cast<uint32_t>(slot.ts.tv_nsec)),
                slot.seqnum, stats->missed, curpos, send_pos, bufsize.tv_sec,
                static_cast<long>(bufsize.tv_nsec));
            stats->missed = 0;
        }
        stats->last_sec = sec;
    }
    const uint32_t gap = slot.seqnum - 1u - stats->last_seq;
    if (gap != 0) {
        if (stats->missed < 2)
            relay_log("!!! Lost sending %li packets\n",
                      static_cast<long>(static_cast<int32_t>(gap)));
        stats->missed = static_cast<int32_t>(static_cast<uint32_t>(stats->missed) + gap);
    }
    stats->last_seq = slot.seqnum;
}
