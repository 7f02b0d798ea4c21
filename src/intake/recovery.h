// Loss recovery of the playout-latency mode (-L): when a missing datagram is asked for, asked
// again, asked twice at its last chance, and when asking stops; the smoothed round trip that
// times it; and how much latency the ring can hold. Pure functions of clock readings (monotonic
// microseconds), so every timing rule is checked without sleeping.
#pragma once

#include <cstdint>

// A datagram may overtake its predecessor by this much before the gap counts as a loss. On a
// loopback or LAN path reordering is rare and within a millisecond or two; 3 ms keeps a
// reordered datagram from costing a request while spending little of a 120 ms budget.
constexpr int64_t kReorderAllowanceUs = 3000;
// Time an upstream needs beyond the round trip to answer, and our own wake-up slack.
constexpr int64_t kAnswerMarginUs = 5000;
// Floor of the round-trip variation: a quiet path must still leave room for jitter.
constexpr int64_t kMinRttVarUs = 2000;
// The second request of a last chance goes out this long after the first, so that one short
// burst of loss does not take both.
constexpr int64_t kLastChanceGapUs = 5000;
constexpr int64_t kKeepaliveEveryUs = 1000000;  // keepalives follow the path once a second
// ... after a quick start: the first sample's variation (half the round trip) would hold the
// first repeats back, so the first few come ten times as often.
constexpr int64_t kKeepaliveStartEveryUs = 100000;
constexpr int kKeepaliveStartSamples = 8;
constexpr int64_t kRecoveryLineEveryUs = 60000000;
constexpr int64_t kRateSpanUs = 1000000;  // stream time over which the rate is measured
// Latency is cut to what fits this far below the suspend threshold, so that a lead or a burst
// on top of it does not hold the upstream at once.
constexpr uint32_t kLatencyRingSlots = 4250;

// Smoothed round trip and its variation, microseconds; srtt 0 = no sample yet.
struct RttEstimate {
    int64_t srtt = 0;
    int64_t rttvar = 0;
};

// Folds one round-trip sample in as TCP does: the first sample sets srtt and half of it as the
// variation; later ones move srtt by 1/8 and the variation by 1/4 of the difference.
RttEstimate rtt_smooth(RttEstimate e, int64_t sample_us);

// The estimate the timers use: the smoothed one, or initial_us (with half of it as variation)
// before any echo has come back.
RttEstimate rtt_or_initial(RttEstimate e, int64_t initial_us);

// How long a request is given to be answered before it is repeated.
int64_t answer_time_us(RttEstimate e);

// Per missing datagram: what the recovery has done about it so far.
struct MissingState {
    int64_t since = 0;        // when the gap was seen (a later datagram arrived)
    int64_t last_ask = 0;     // when it was last asked for
    int asks = 0;             // requests sent for it
    bool second_due = false;  // a last-chance request waits for its twin
};

enum AskAction {
    ASK_WAIT,   // nothing now; look again at `next`
    ASK_NOW,    // ask now; look again at `next`
    ASK_NEVER,  // no copy asked for now could arrive before the slot is due
};

struct AskDecision {
    AskAction action;
    int64_t next;      // when the decision may change (ASK_WAIT, ASK_NOW)
    bool last_chance;  // ASK_NOW: no later request could be answered in time
};

// Whether to ask for a datagram missing since m.since, whose slot is played out at due, at
// clock reading now. The first request waits for the reordering allowance; a repeat waits for
// the previous one to have had its answer time; no request goes out once the round trip would
// bring its copy after due. The request after which no repeat could be answered in time is
// the last chance: it goes out twice, kLastChanceGapUs apart.
AskDecision decide_ask(const MissingState& m, int64_t now, int64_t due, RttEstimate rtt);

// Records that a request for it went out at now (d is what decide_ask said).
void note_ask(MissingState* m, int64_t now, const AskDecision& d);

// The latency (microseconds) to play out with: the one asked for, or less when the stream's
// rate (datagrams over span_us of stream time) would fill the ring past kLatencyRingSlots.
int32_t latency_that_fits(int32_t latency_us, uint32_t datagrams, int64_t span_us);
