// The paced sender's decisions, as plain functions of ring positions and clock readings.
//
// Nothing here reads a clock, sleeps or touches a descriptor: the pacers (pace_stamps.cpp,
// pace_latency.cpp) read those at their edges and ask these functions what to do, so the
// timing rules can be checked with made-up clock readings.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"
#include "core/timespec.h"

constexpr int kBatchBytes = 51200;           // HTTP batch: written when about to fill ...
constexpr int64_t kBatchIntervalUs = 50000;  // ... or when this long since the last write
constexpr int32_t kFirstPollUs = 10000;      // poll for the stream's first packet
constexpr int32_t kIdleWaitNs = 400000000;   // one wait with nothing to send
constexpr int kIdleWaitsBeforeRepeat = 20;   // the 21st idle wait in a row repeats the request
constexpr int kRepeatWriteBytes = 1316;      // seven transport-stream packets to the client
constexpr int32_t kRebufferStepNs = 100000000;
constexpr int kRebufferSteps = 9;  // 0.9 s after a starvation in HTTP mode
constexpr int64_t kDatagramBufferUs = 2000000;
constexpr int64_t kBufferPollUs = 10000;  // a buffering wait looks at the backlog this often
// A buffering wait ends early at this backlog: what arrives between two of its looks plus the
// burst after the intake's 20 ms pause (about 860 slots at 300 Mbit/s, 570 of them the burst)
// still stays below the suspend threshold, while 2 s of a 20 Mbit/s stream (3800 slots) fits.
constexpr uint32_t kBufferedEnoughBacklog = kQueueFullBacklog - 768;
static_assert(kBufferedEnoughBacklog > 20000000 / 8 * 2 / 1316, "2 s of 20 Mbit/s must fit");

enum SenderPhase { SENDER_STARTING, SENDER_RESTARTING, SENDER_RUNNING };

// What one iteration does before (possibly) putting a packet out.
enum SenderStep {
    STEP_BUFFER_WAIT,  // gather a margin before sending
    STEP_IDLE_WAIT,    // caught up with the intake: nothing to send
    STEP_REANCHOR,     // first packet after a buffering wait: send now, pace from it
    STEP_PACE,         // sleep until the packet's timestamp is due, then send
};

SenderStep sender_step(SenderPhase phase, int send_pos, int curpos, int prevpos);

enum PaceAction {
    PACE_SEND_NOW,  // already late
    PACE_SLEEP,     // due within the second: sleep sleep_us, then send
    PACE_JUMP,      // a second or more ahead: move the anchor and send now
};

struct PaceDecision {
    PaceAction action;
    Timespec32 diff;   // due - elapsed
    int32_t sleep_us;  // PACE_SLEEP only
};

// Whether the packet may go out now: late, exactly on time, or a jump.
inline bool pace_due(const PaceDecision& d) {
    return d.action != PACE_SLEEP || (d.diff.tv_sec == 0 && d.diff.tv_nsec == 0);
}

// The packet stamped ts is up at clock reading now; the packet stamped anchor_ts went out at
// clock reading anchor_clock.
PaceDecision sender_pace(Timespec32 anchor_clock, Timespec32 anchor_ts, Timespec32 now,
                         Timespec32 ts);

// A packet whose stamp lies a second or more from where the pacing puts it: ahead of the
// anchor (PACE_JUMP), or behind the packet sent before it. The stream's clock jumped when the
// next stored packet agrees with it (within a second); otherwise it is one stray stamp, sent
// in its place with the anchor kept, so that its neighbours lose nothing to it.
enum StampCheck {
    STAMP_IN_STEP,  // paced as usual
    STAMP_STRAY,    // sent at once; the anchor stays
    STAMP_JUMP,     // the clock jumped: the anchor moves to this packet
};

// ts is the packet's stamp and d its pacing; prev_ts the stamp of the packet sent before it
// (have_prev false at a run's start); next_ts the stamp of the next stored packet (have_next
// false when none is stored yet).
StampCheck sender_stamp_check(const PaceDecision& d, Timespec32 ts, bool have_prev,
                              Timespec32 prev_ts, bool have_next, Timespec32 next_ts);

// Length of the first HTTP-mode buffering wait, rtt x 1.5, in nanoseconds. Worked in 64 bits
// (rtt may be 300,000,000) and held below what a signed 32-bit nanosecond field can carry.
int32_t sender_first_wait_ns(uint32_t rtt);

// A buffering wait is `count` sleeps of `us_each` microseconds.
struct SleepPlan {
    int count;
    int64_t us_each;
};
SleepPlan sender_buffer_sleep(int mode, bool first_wait, uint32_t rtt);

// Whether a buffering wait that has slept waited_us of its planned_us ends, the ring holding
// backlog datagrams beyond the sender's slot: a fast stream would otherwise fill the ring up
// to the suspend threshold before the wait is over.
inline bool buffer_wait_over(int64_t waited_us, int64_t planned_us, uint32_t backlog) {
    return waited_us >= planned_us || backlog >= kBufferedEnoughBacklog;
}

// Whether an idle wait that brought the count to idle_waits asks the upstream again.
inline bool sender_repeat_due(int idle_waits, const char* req) {
    return idle_waits > kIdleWaitsBeforeRepeat && req != nullptr;
}

// A packet of len bytes would overflow a batch holding fill bytes: write the batch first.
inline bool batch_overflows(int fill, int len) {
    return fill + len > kBatchBytes;
}

// After a packet of len bytes brought the batch to fill: one more such packet would reach the
// batch size, so the batch is written now.
inline bool batch_full(int fill, int len) {
    return fill + len >= kBatchBytes;
}

// Whether the batch is written now: full, or its timer has run out.
inline bool batch_write_due(int fill, int len, int64_t now_us, int64_t last_write_us) {
    return batch_full(fill, len) || now_us - last_write_us > kBatchIntervalUs;
}

// HTTP mode: when the sender next wakes, all on the clock in microseconds. The next datagram
// is due at next_due_us; the one that would fill the batch at fill_due_us (as far as the ring
// shows); the batch was last written at last_write_us. The write is due when the timer runs
// out or the batch fills, whichever comes first, but never before the next datagram is due.
inline int64_t batch_wake_us(int64_t next_due_us, int64_t fill_due_us, int64_t last_write_us) {
    const int64_t timer_us = last_write_us + kBatchIntervalUs + 1;
    const int64_t write_us = fill_due_us < timer_us ? fill_due_us : timer_us;
    return write_us > next_due_us ? write_us : next_due_us;
}

// Payload length of a slot as the sender may use it: never beyond the slot's payload bytes.
inline int32_t slot_send_len(const PacketSlot& slot) {
    if (slot.len < 0)
        return 0;
    return slot.len > kSlotPayload ? kSlotPayload : slot.len;
}

// Counters behind the statistics and lost-sending lines.
struct SenderStats {
    int32_t missed = 0;     // sequence numbers skipped since the last statistics line
    uint32_t last_sec = 0;  // ts seconds of the last packet sent
    uint32_t last_seq = 0;  // seqnum of the last packet sent
};

// Accounts for the slot just put out at send_pos; logs the statistics line when the packet
// clock leaves a minute boundary, and the lost-sending line for sequence numbers skipped.
void sender_bookkeep(SenderStats* stats, const PacketSlot& slot, int curpos, int send_pos,
                     Timespec32 bufsize);
