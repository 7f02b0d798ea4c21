// The loss scan: which placeholders of the ring to ask the upstream for again.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"
#include "intake/protocol.h"

constexpr uint32_t kLossWindow = 1500;  // sequence numbers behind the newest that a scan covers
constexpr uint32_t kLossGrace = 51;     // a gap this close to the newest may still arrive late
constexpr int kLossScanEvery = 20;      // a scan runs when the newest count is a multiple of it

// Index where the scan starts: at most 1500 numbers behind curpos, and never before the point
// scan_base at which the sender last began buffering.
int loss_scan_start(int curpos, uint32_t curseq, uint32_t scan_base, int nslots);

// Walks the ring from loss_scan_start up to curpos (a whole turn when scan_base equals curseq)
// and collects, in ring order, at most 49 placeholders that are at least 51 and less than a
// whole ring behind curseq, not yet passed by the sender at send_pos and not asked for within
// 2 * (rtt + 30 ms) of now. Each
// one collected gets now as its lostreq_ts. Returns how many were written to out.
// Runs on the event loop's thread (the only writer of the ring); send_pos is a valid index.
int loss_scan(PacketRing* ring, int send_pos, uint32_t scan_base, uint32_t rtt, Timespec32 now,
              uint32_t out[kLostRequestMax]);
