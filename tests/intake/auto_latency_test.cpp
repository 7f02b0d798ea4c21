// The latency that picks itself: what it aims for at a round trip and a loss rate, and how it
// moves from one step to the next.
#include "intake/auto_latency.h"

#include <gtest/gtest.h>

namespace {

TEST(AutoLatencyTest, TargetHasTheRoundsTheLossNeeds) {
    EXPECT_EQ(rounds_needed(0), 1);
    EXPECT_EQ(rounds_needed(0.01), 1);
    EXPECT_EQ(rounds_needed(0.02), 2);
    EXPECT_EQ(rounds_needed(0.10), 2);
    const struct {
        RttEstimate rtt;
        double loss;
        int32_t target_ms;
    } cases[] = {
        // Seeing the gap (8 ms), one answer time (srtt + 8 + 5 ms), the twin 5 ms on.
        {{200, 10}, 0, 26},
        {{20000, 500}, 0, 46},
        {{20000, 500}, 0.10, 99},  // two rounds, six copies at the last
        {{100000, 1000}, 0.01, 126},
        {{100000, 1000}, 0.05, 249},
        {{100000, 1000}, 0.10, 259},
        // A first sample's variation counts for one more round trip at most.
        {{20000, 10000}, 0, 58},
    };
    for (const auto& c : cases)
        EXPECT_EQ(auto_latency_target(c.rtt, c.loss, 0) / 1000, c.target_ms)
            << c.rtt.srtt << " " << c.loss;
    EXPECT_EQ(auto_latency_target({20000, 500}, 0, 10000), 56000) << "the bump adds";
    // The fixed-latency advice (3 x RTT up to 1 %, 6 x at 10 %) is never exceeded at these
    // round trips without a bump.
    EXPECT_LE(auto_latency_target({20000, 500}, 0.01, 0), 60000);
    EXPECT_LE(auto_latency_target({20000, 500}, 0.10, 0), 120000);
}

TEST(AutoLatencyTest, StepsAreOnePercentOfRealTimeOnceThePayloadPlays) {
    // Before the first payload nothing has played at the old latency: the target at once.
    EXPECT_EQ(auto_latency_step(120000, 46000, false), 46000);
    EXPECT_EQ(auto_latency_step(120000, 259000, false), 259000);
    // Playing: growing from 46 to 259 ms takes 213 steps of 100 ms, 21.3 s; each step moves
    // the play-out by 1 ms in 100 ms of stream.
    int32_t l = 46000;
    int steps = 0;
    while (l != 259000 && steps < 1000) {
        const int32_t next = auto_latency_step(l, 259000, true);
        EXPECT_LE(next - l, kAutoGrowStepUs);
        l = next;
        ++steps;
    }
    EXPECT_EQ(steps, 213);
    // Shrinking stops 5 % above the target, so a wavering target does not keep it moving.
    EXPECT_EQ(auto_latency_step(100000, 96000, true), 100000);
    EXPECT_EQ(auto_latency_step(100000, 94000, true), 99000);
    l = 259000;
    for (int i = 0; i < 1000; ++i)
        l = auto_latency_step(l, 126000, true);
    EXPECT_GE(l, 126000);
    EXPECT_LE(l, 126000 * 20 / 19 + 1000);
}

TEST(AutoLatencyTest, GapsGivenUpRaiseItAndCleanSecondsLetItFade) {
    int64_t bump = auto_bump_raise(0, 1, 100000);
    EXPECT_EQ(bump, 25000) << "a quarter round trip";
    EXPECT_EQ(auto_bump_raise(0, 1, 4000), kAutoBumpMinUs);
    EXPECT_EQ(auto_bump_raise(bump, 100, 100000), 150000) << "a round trip and 50 ms at most";
    EXPECT_EQ(auto_bump_fade(bump, kAutoCleanUs - 1), bump) << "not clean long enough";
    // 1 ms a second: one step of 100 ms takes 100 us off.
    EXPECT_EQ(auto_bump_fade(bump, kAutoCleanUs), bump - 100);
    EXPECT_EQ(auto_bump_fade(50, kAutoCleanUs), 0);
}

}  // namespace
