// Plain records of the intake's and flow control's state; they live with the event loop.
//
// Threads: only the event loop's thread reads or writes these records, so none of it is atomic.
// What the intake shares with other threads lives in EventLoop and RelayContext as atomics.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"
#include "intake/recovery.h"

struct IntakeState {
    uint32_t last_sec = 0;         // timestamp seconds of the previous data datagram
    uint32_t prev_curseq = 0;      // the ring's curseq after the previous data datagram
    uint32_t stats_base = 0;       // curseq at the previous statistics line; 0 = no line yet
    int lost = 0;                  // sequence numbers skipped since the previous statistics line
    int newest_count = 0;          // data datagrams that became the ring's newest packet
    uint32_t ring_full_drops = 0;  // datagrams not stored because they would overrun the sender
    int32_t drop_log_sec = -1;     // monotonic second of the last "ring full" line; -1 = none
    // A jump of a whole ring that waits for the datagram confirming it (see far_jump_verdict).
    bool holding = false;
    int held_bytes = 0;         // its datagram's length
    PacketSlot held{};          // the datagram itself, stored once confirmed
    int32_t held_log_sec = -1;  // monotonic second of the last "held back" line; -1 = none
    int64_t held_at_us = 0;     // monotonic time of the last datagram held; 0 = none yet
};

struct FlowState {
    int suspend_count = 0;   // queue-full datagrams since the suspension began; 0 = flowing
    int release_checks = 0;  // release checks since the last data datagram
};

// A number after the newest that was asked for as overdue, before any placeholder exists for
// it; the gap it becomes takes this state over. Clock readings modulo 2^32, as in the slots.
constexpr int kOverdueSlots = 256;  // how far past the newest datagram numbers are asked for
struct OverdueEntry {
    uint32_t seq = 0;
    uint32_t since_us = 0;
    uint32_t asked_us = 0;
    uint16_t asks = 0;
    uint8_t copies = 0;
    uint8_t flags = 0;  // kMissTracked, kMissLastSent, kOverdueUsed
};
constexpr uint8_t kOverdueUsed = 4;  // the entry belongs to `seq` (tracked or finished)

// The playout-latency mode's recovery (-L); latency_us 0 = the mode is off and nothing here is
// touched.
struct RecoveryState {
    int32_t latency_us = 0;  // the latency played out with (cut once if the ring is small)
    RttEstimate rtt;         // smoothed from the keepalive echoes
    int rtt_samples = 0;
    int64_t offset_us = 0;      // a slot stamped ts is due at ts (in us) + offset_us
    int64_t last_arrival = 0;   // clock reading when the newest datagram arrived
    int64_t newest_ts = 0;      // the newest datagram's timestamp that fitted, microseconds
    bool jump_held = false;     // a datagram stamped a second or more away waits for a second one
    int64_t jump_ts = 0;        // ... and was stamped this, microseconds
    uint32_t stream_first = 0;  // the number the current stream started with
    bool pending = false;       // some gap at or after pending_lo may still be asked for
    uint32_t pending_lo = 0;
    int64_t next_scan = 0;  // the gaps need a look at this clock reading
    int64_t last_keepalive = 0;
    int64_t last_line = 0;    // the minute's recovery line; 0 = stream not started
    bool rate_known = false;  // the stream's rate was measured (and the latency cut if need be)
    uint32_t rate_base_seq = 0;
    int64_t rate_base_ts = 0;
    uint32_t asked = 0;          // numbers asked for (each request of each number)
    uint32_t in_time = 0;        // copies that filled a gap before the sender reached it
    uint32_t late = 0;           // copies that came after the sender had given the slot up
    uint32_t duplicates = 0;     // second copies of stored datagrams, not stored again
    uint32_t overdue_asked = 0;  // numbers asked for as overdue, before a later one arrived
    // Overdue datagrams: the stream's stamp step per datagram, the jitter of arrivals against
    // their stamps, and the newest datagram's transit (arrival minus stamp).
    int64_t interval_us = 0;
    int64_t jitter_us = 0;
    int64_t newest_transit = 0;
    int64_t transit_base = 0;   // transit of a datagram on time: the predicted arrivals' anchor
    int64_t late_peak = 0;      // lateness against it seen lately
    uint32_t newest_count = 0;  // datagrams of this stream that became the newest
    int64_t next_overdue = INT64_MAX;  // the next number turns overdue, or a repeat is due
    int64_t last_overdue_scan = 0;
    OverdueEntry overdue[kOverdueSlots];
    LossWindow loss;  // of the data path, over the last seconds
    // -L auto: the latency follows auto_latency_target within the ring's limit, a step at a
    // time; gaps given up raise it by the bump.
    bool auto_latency = false;
    int32_t auto_cap_us = 0;
    int64_t auto_next_step = 0;
    int64_t bump_us = 0;
    int64_t last_give_up = 0;
    uint32_t given_up_seen = 0;  // the sender's count of gaps given up, as last taken
    int64_t stream_start = 0;    // clock reading when the current stream's first datagram came
};
