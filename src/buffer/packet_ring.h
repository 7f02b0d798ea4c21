// The packet ring (`sbuf`): 5120 slots of 1536 bytes between the intake and the paced sender.
//
//   index:    0     1     2          curpos-k        curpos                      5119
//           +-----+-----+-----+ ... +--------+ ... +--------+-----+ ... +-----+-----+
//   slots:  | old | old | ... |     |send_pos|     | newest | old | ... | old | old |
//           +-----+-----+-----+ ... +--------+ ... +--------+-----+ ... +-----+-----+
//                                   <----- backlog ----->
//   window: sequence numbers curseq-5119 .. curseq, packet s at index s mod 5120.
//   backlog = curseq - seqnum(send_pos): flow control suspends the upstream at 4721 (399 below
//   a whole ring) and releases it below 3120 (2000 below); at 5120 the intake would overwrite
//   slots that the sender has not sent yet.
//
// Threads: the event loop alone writes slots, `filled`, `curpos` and `curseq` (through
// add_item and the re-base); the sender reads them concurrently. A slot is published by
// release stores in the order copy, `filled`, `curpos`, `curseq`; the sender's acquire loads
// of `curpos` and `filled` therefore see complete slot contents. `lostreq_ts` belongs to the
// intake's loss scan alone, as do the `miss_` fields and, in the playout-latency mode, the
// estimated `ts` of a placeholder; the sender reads no placeholder's content.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "core/timespec.h"

constexpr int kRingSlots = 5120;
constexpr int kSlotPayload = 1500;
constexpr int kMaxDatagram = 1328;  // 12 bytes of header, 1316 of payload (7 x 188)
constexpr int kMaxPayload = kMaxDatagram - 12;
// The backlog at which flow control suspends the upstream (4721); the sender's buffering wait
// ends below it.
constexpr uint32_t kQueueFullBacklog = kRingSlots - 399;

// One stored datagram. Its head has the layout of an upstream data datagram, so the intake
// reads each datagram straight into a slot-shaped buffer.
struct PacketSlot {
    uint32_t seqnum;
    Timespec32 ts;
    unsigned char payload[kSlotPayload];
    int32_t len;
    Timespec32 lostreq_ts;  // last lost request for this placeholder; seconds 0 = never
    // The playout-latency mode's recovery state of a placeholder (monotonic microseconds,
    // modulo 2^32): when the gap was seen, when it was last asked for, how often, and how many
    // copies of the current round's request are still to go.
    uint32_t miss_since_us;
    uint32_t miss_asked_us;
    uint16_t miss_asks;
    uint8_t miss_flags;  // kMissTracked, kMissLastSent
    uint8_t miss_copies;
};
static_assert(sizeof(PacketSlot) == 1536);
static_assert(offsetof(PacketSlot, ts) == 4);
static_assert(offsetof(PacketSlot, payload) == 12);
static_assert(offsetof(PacketSlot, len) == 1512);
constexpr uint8_t kMissTracked = 1;   // a gap the recovery asks for
constexpr uint8_t kMissLastSent = 2;  // its last chance has gone out

struct PacketRing {
    std::atomic<uint32_t> curseq;  // newest sequence number stored
    std::atomic<int32_t> curpos;   // index of the newest packet
    std::atomic<int32_t> nslots;   // 5120; every index computation reads it
    std::atomic<int32_t> filled[kRingSlots];
    int32_t reserved;
    PacketSlot slots[kRingSlots];
};
static_assert(std::atomic<uint32_t>::is_always_lock_free);
static_assert(offsetof(PacketRing, slots) == 20496);
static_assert(sizeof(PacketRing) == 7884816);

// sp when it names a slot of the ring, else -1 (the sender's "no position yet" included).
inline int ring_slot_or_none(const PacketRing* ring, int sp) {
    return sp >= 0 && sp < ring->nslots.load(std::memory_order_relaxed) ? sp : -1;
}

// A new ring: every byte zero, then nslots = 5120, curseq = curpos = 0. nullptr when the
// memory cannot be had.
PacketRing* ring_alloc();
void ring_free(PacketRing* ring);

// Stores one datagram image by its sequence number: in its window slot, as the new newest
// packet (with placeholders for the numbers it skipped), or not at all when it is older than
// the window. Runs on the event loop only.
void add_item(PacketRing* ring, const PacketSlot* packet, uint32_t seq);

// The sender's step past the slot at p: the next filled slot, or curpos, whichever comes first.
// Each intermediate index is stored in *send_pos as it is reached. Returns the number of
// unfilled slots stepped over: gaps given up for good.
int advance_send_pos(const PacketRing* ring, std::atomic<int>* send_pos, int p);
