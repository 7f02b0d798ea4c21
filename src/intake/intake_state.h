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
    uint32_t asked = 0;       // numbers asked for (each request of each number)
    uint32_t in_time = 0;     // copies that filled a gap before the sender reached it
    uint32_t late = 0;        // copies that came after the sender had given the slot up
    uint32_t duplicates = 0;  // second copies of stored datagrams, not stored again
};
