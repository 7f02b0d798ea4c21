// The playout-latency mode's recovery (-L, -L auto) on the event loop: stamping gaps as they
// appear, asking for them and for overdue numbers by time, keepalives by its own schedule, the
// minute's recovery line and the latency cut. Chosen at start-up when -L asks for a latency.
//
// Threads: the ring's placeholders and their `miss_` fields are written here alone; the sender
// reads `send_pos` (shared, relaxed here: a stale position only starts a walk one slot early)
// and publishes `given_up`, which -L auto reads and the minute line takes with an exchange.
// The latency in force (ctx `latency_us`) is written here and read by the sender and the pages.
#pragma once

#include <cstdint>

#include "core/timespec.h"
#include "intake/intake.h"
#include "intake/recovery.h"

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

// What the playout-latency mode's recovery keeps between datagrams.
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

struct LatencyRecovery final : IntakeRecovery {
    RecoveryState rc;
    int64_t (*clock)() = monotonic_us;  // monotonic microseconds; a test may run its own
    int64_t arrival_now = 0;            // the clock when the datagram being stored arrived

    // latency_us > 0; auto_cap_us bounds the latency -L auto may pick.
    LatencyRecovery(int32_t latency_us, bool auto_latency, int32_t auto_cap_us);

    bool before_store(Intake* in, const PacketRing* ring, uint32_t s, bool may_be_copy) override;
    void on_start(Intake* in, const PacketSlot* first) override;
    void after_store(Intake* in, PacketRing* ring, uint32_t prev_newest, uint32_t s, bool stored,
                     bool started) override;
    void on_echo(Intake* in, Timespec32 d) override;
    void tick(Intake* in) override;
    int wait_ms(const Intake* in, int longest_ms) const override;
    void final_line(Intake* in) override;
    bool pauses_after_drain() const override { return false; }
};

// The requests' own pieces (latency_asks.cpp), on the event loop's thread.

// Placeholders keep clock readings in 32 bits; a gap lives for seconds, far below the wrap.
inline uint32_t low32(int64_t t) {
    return static_cast<uint32_t>(t);
}

inline int64_t widen(uint32_t stored, int64_t now) {
    return now - static_cast<int64_t>(static_cast<uint32_t>(low32(now) - stored));
}

inline int64_t min64(int64_t a, int64_t b) {
    return a < b ? a : b;
}

// The loss rate the copies and -L auto are sized by.
double current_loss(const RecoveryState& rc, int64_t now);

// Asks for the gaps from pending_lo on whose time has come, and sets when to look again.
void scan_gaps(Intake* in, RecoveryState& rc, PacketRing* ring, int64_t now);

// Numbers after the newest whose datagrams are overdue: asked for before the datagram after a
// burst shows the gap. Only while the upstream is not held, at most one request per
// kOverdueEveryUs, at most kOverdueSlots numbers ahead, each asked as a gap would be.
void scan_overdue(Intake* in, RecoveryState& rc, PacketRing* ring, int64_t now);

// A datagram became the newest: the stream's stamp step, the loss window and (unless it is a
// copy that answers a request) the transit and its jitter follow it; the next overdue moment is
// the next number's predicted arrival and the allowance.
void follow_newest(RecoveryState& rc, uint32_t advance, int64_t ts, int64_t now, bool asked);
