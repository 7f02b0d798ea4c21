// Plain records of the intake's and flow control's state; they live in the intake's record.
//
// Threads: only the event loop's thread reads or writes these records, so none of it is atomic.
// What the intake shares with other threads lives in Intake and RelayContext as atomics.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"

struct IntakeState {
    uint32_t last_sec = 0;         // timestamp seconds of the previous data datagram
    uint32_t prev_curseq = 0;      // the ring's curseq after the previous data datagram
    uint32_t stats_base = 0;       // curseq at the previous statistics line; 0 = no line yet
    int lost = 0;                  // sequence numbers skipped since the previous statistics line
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
