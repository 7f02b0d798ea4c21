// The latency that picks itself (-L auto): how long the playout-latency mode waits, from the
// measured round trip, its variation and the loss rate, and how fast it may move while the
// stream plays. Pure functions of clock readings (monotonic microseconds).
//
// The rule: enough time for as many rounds of requests as the loss rate needs. One round (a
// request sent twice, kCopyGapUs apart) keeps a gap unfilled with (1 - (1 - p)^2)^2, which is
// below kAutoResidual / p up to about 1 % loss; above that a second round, whose copies are
// sized by copies_for_round, reaches it up to well beyond 10 %. The latency is then the time to
// see the gap, each round's answer time (round trip, four times its variation up to one more
// round trip, margin) and the last round's copies. A gap given up adds to it; the bump fades
// once the path has been clean for a while.
#pragma once

#include <cstdint>

#include "intake/recovery.h"

// Latency until the first round trip is measured: the first payload is out within this of the
// first datagram on any path.
constexpr int32_t kAutoStartUs = 120000;
// A gap may stay unfilled with at most this chance per datagram of the stream (99.999 %).
constexpr double kAutoResidual = 1e-5;
// Seeing a gap: the reordering allowance, one overdue scan period, and wake-up slack.
constexpr int64_t kAutoSeeUs = kReorderAllowanceUs + kOverdueEveryUs + 1000;
// Each gap given up raises the latency by a quarter round trip (at least 5 ms), up to one
// round trip and 50 ms in all; after kAutoCleanUs without one it fades by 1 ms a second.
constexpr int64_t kAutoBumpMinUs = 5000;
constexpr int64_t kAutoCleanUs = 10000000;
// How often the latency moves, and by how much at most: 1 % of real time either way, and
// down only while the target lies 5 % below the latency in force.
constexpr int64_t kAutoStepEveryUs = 100000;
constexpr int32_t kAutoGrowStepUs = 1000;
constexpr int32_t kAutoShrinkStepUs = 1000;
constexpr int32_t kAutoMinUs = 10000;

// Rounds of requests that keep the stream's residual loss at kAutoResidual at loss rate p.
int rounds_needed(double loss);

// The latency the measurements ask for, microseconds, before the ring's limit.
int32_t auto_latency_target(RttEstimate rtt, double loss, int64_t bump_us);

// The latency after one step from current towards target. Before the first payload has gone
// out (playing false) nothing has been played at the old latency, so the target is taken at
// once.
int32_t auto_latency_step(int32_t current, int32_t target, bool playing);

// The bump after `given_up` more gaps were given up (srtt the round trip now).
int64_t auto_bump_raise(int64_t bump_us, uint32_t given_up, int64_t srtt);
// ... and after one step of kAutoStepEveryUs with none given up for clean_us.
int64_t auto_bump_fade(int64_t bump_us, int64_t clean_us);
