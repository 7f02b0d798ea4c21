// Flow control: holding the upstream back while the ring's backlog is high.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"

struct Intake;

constexpr uint32_t kQueueFullMinSeq = 1501;  // lower sequence numbers are never queue-full
constexpr uint32_t kReleaseBacklog = kRingSlots - 2000;  // 3120
constexpr int kFlowRepeat = 30;              // suspend and release go out on every 30th occasion
constexpr int kSuspendKeepalivePasses = 50;  // keepalive during suspension every 50th pass

// Whether a newest datagram s with backlog = s - (seqnum at the sender's slot) is queue-full.
inline bool is_queue_full(uint32_t s, uint32_t backlog) {
    return s >= kQueueFullMinSeq && backlog >= kQueueFullBacklog;
}

// Whether a suspended upstream's backlog has drained far enough for a release check.
inline bool may_release(uint32_t backlog) {
    return backlog < kReleaseBacklog;
}

// Per data datagram, before it is stored: a datagram after a release check ends the suspension.
void flow_end_suspension(Intake* in);

// Per data datagram, after it is stored (newest: it became the ring's newest, or was dropped
// for being a whole ring ahead of the sender): counts queue-full datagrams and sends suspend
// on the 1st, 31st, 61st ... of them.
void flow_queue_full_check(Intake* in, uint32_t s, bool newest);

// Release check, then keepalive during suspension (on every 50th of the loop's passes, npasses
// counting them); once per pass with `isock` and a ring.
void flow_pass_checks(Intake* in, int npasses);
