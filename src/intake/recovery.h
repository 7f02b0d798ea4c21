// Loss recovery of the playout-latency mode (-L): when a missing datagram is asked for, asked
// again, how many copies of a request each round sends, and when asking stops; when a datagram
// not yet arrived counts as overdue; the smoothed round trip, jitter and loss rate that time
// it; and how much latency the ring can hold. Pure functions of clock readings (monotonic
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
// The copies of one round's request go out this far apart, so that one short burst of loss
// does not take them all.
constexpr int64_t kCopyGapUs = 5000;
// Copies by loss rate: a lost datagram's gap should stay unfilled with at most this chance
// (with 10 % loss each way that keeps a stream at 99.9999 %) ...
constexpr double kGapResidual = 1e-5;
// ... while the copies a lost datagram costs, counted by the chance that its round is reached,
// stay at this many, below the 2.5 x the loss rate that re-sent bytes may cost.
constexpr double kCopyBudget = 2.2;
constexpr int kMaxCopies = 8;
constexpr int64_t kKeepaliveEveryUs = 1000000;  // keepalives follow the path once a second
// ... after a quick start: the first sample's variation (half the round trip) would hold the
// first repeats back, and the latency picked at the start (-L auto) needs the round trip, so
// the first few come fifty times as often.
constexpr int64_t kKeepaliveStartEveryUs = 20000;
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

// How long a request is given to be answered before it is repeated: the round trip and four
// times its variation, but never more than two round trips. A first sample's variation is
// half the round trip, which alone would hold repeats back for three round trips.
int64_t answer_time_us(RttEstimate e);

// Per missing datagram: what the recovery has done about it so far.
struct MissingState {
    int64_t since = 0;       // when the gap was seen (a later datagram arrived, or overdue)
    int64_t last_ask = 0;    // when it was last asked for
    int asks = 0;            // requests sent for it, copies included
    int copies_due = 0;      // further copies of the current round still to go
    bool last_sent = false;  // its last chance has gone out: nothing after its copies
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
    int copies_due;    // ASK_NOW: further copies of this round, kCopyGapUs apart
};

// Whether to ask for a datagram missing since m.since, whose slot is played out at due, at
// clock reading now, with `loss` the measured loss rate (0..1). The first request waits for
// the reordering allowance; a repeat waits for the previous one to have had its answer time;
// no request goes out once the round trip would bring its copy after due. The request after
// which no repeat could be answered in time is the last chance; a repeat whose regular time
// falls after the last useful moment is that last chance, pulled in so that its copies go out
// by then. Each round sends copies_for_round copies.
AskDecision decide_ask(const MissingState& m, int64_t now, int64_t due, RttEstimate rtt,
                       double loss = 0);

// Copies of a request for one gap in one round: one while later rounds remain; at the last
// chance as many as keep the gap unfilled with at most kGapResidual, counting the `prior`
// copies already sent, within kCopyBudget, and never fewer than two. A try fails when its
// request or its copy is lost, 1 - (1 - loss)^2, assuming the same loss on the way back.
int copies_for_round(double loss, int prior, int rounds_left);

// Records that a request for it went out at now (d is what decide_ask said).
void note_ask(MissingState* m, int64_t now, const AskDecision& d);

// Datagrams after the newest that are overdue at now: the k-th after it is expected k stamp
// intervals after the newest's predicted arrival (its stamp plus the transit of a datagram on
// time) and counts as overdue once allowance_us has passed too.
uint32_t overdue_count(int64_t now, int64_t newest_expected, int64_t interval_us,
                       int64_t allowance_us);

// How late a datagram may be before it counts as overdue: the reordering allowance and four
// times the jitter of arrivals against their stamps, or the lateness seen lately if more: a
// path (or a busy machine) that holds datagrams back now and then would otherwise cost a
// needless copy each time.
int64_t overdue_allowance_us(int64_t jitter_us, int64_t late_peak_us);

// The lateness seen lately: a later datagram raises it at once; it fades by the share of
// kLatePeakFadeUs that passed since the datagram before (dt_us), so that one hiccup of the
// machine does not hold overdue requests back for long, whatever the stream's rate.
constexpr int64_t kLatePeakFadeUs = 500000;
int64_t late_peak_follow(int64_t peak_us, int64_t lateness_us, int64_t dt_us);

// The transit (arrival minus stamp) of a datagram on time: follows a shorter one at once and a
// longer one by 1/64 of the difference, so that one late datagram barely moves it while a
// clock that drifts against the stamps is still followed.
int64_t transit_follow(int64_t base_us, int64_t transit_us);

// Folds one change of transit time (arrival minus stamp, against the datagram before) into the
// jitter, as a mean deviation moved by 1/16 of the difference.
int64_t jitter_smooth(int64_t jitter_us, int64_t transit_change_us);

// The data path's loss over the last seconds: numbers the newest datagram advanced by and
// numbers it skipped, in per-second buckets.
constexpr int kLossBuckets = 4;
constexpr int64_t kLossBucketUs = 1000000;
struct LossWindow {
    int64_t bucket_start[kLossBuckets] = {};
    uint32_t span[kLossBuckets] = {};
    uint32_t skipped[kLossBuckets] = {};
};

void loss_window_note(LossWindow* w, int64_t now, uint32_t span, uint32_t skipped);
// Loss rate 0..1 over the buckets of the last kLossBuckets seconds; -1 with fewer than
// min_span numbers in them (nothing measured yet).
double loss_window_rate(const LossWindow& w, int64_t now, uint32_t min_span);

// Overdue datagrams are asked for only once the stream's step is known from this many ...
constexpr uint32_t kOverdueMinDatagrams = 32;
// ... at most once per this long, so that a stalled upstream costs few requests ...
constexpr int64_t kOverdueEveryUs = 4000;
// ... and one arrival's change of transit counts for at most this much jitter: a pause
// upstream is not the path's jitter.
constexpr int64_t kMaxJitterSampleUs = 20000;
// The loss rate is measured once the last seconds hold this many numbers; until then it is
// taken as 10 %: a stream that starts on a lossy path must not start with too few copies, and
// on a clean one the few gaps of its first moments cost little more.
constexpr uint32_t kLossMinSpan = 200;
constexpr double kLossUnmeasured = 0.10;

// The latency (microseconds) to play out with: the one asked for, or less when the stream's
// rate (datagrams over span_us of stream time) would fill the ring past kLatencyRingSlots.
int32_t latency_that_fits(int32_t latency_us, uint32_t datagrams, int64_t span_us);
