// The playout-latency mode's request timing: when a gap is asked for, when again, when twice,
// when no more; the round-trip smoothing behind it; the latency the ring can hold.
#include "intake/recovery.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Times = std::vector<int64_t>;

// Every request a gap seen at 0 and due at `due` gets, stepping the clock by 1 ms as the
// event loop's arrivals would, with no copy ever coming.
Times ask_times(int64_t due, RttEstimate rtt) {
    MissingState m;
    Times asks;
    for (int64_t now = 0; now <= due; now += 1000) {
        const AskDecision d = decide_ask(m, now, due, rtt);
        if (d.action == ASK_NEVER)
            break;
        if (d.action == ASK_NOW) {
            note_ask(&m, now, d);
            asks.push_back(now / 1000);
        }
    }
    return asks;
}

TEST(RecoveryTest, AskScheduleFollowsTheTimeLeftBeforeTheSlotIsDue) {
    const struct {
        int64_t due_ms;
        RttEstimate rtt;
        Times asks_ms;
    } cases[] = {
        // 120 ms at a 100 ms round trip: one chance only, so it is taken twice, 5 ms apart.
        {120, {100000, 1000}, {3, 8}},
        // Four round trips: asked after the reordering allowance, again each time the answer
        // time (srtt + 4 x the 2 ms floor + 5 ms) has passed, twice at the last chance.
        {400, {100000, 1000}, {3, 116, 229, 234}},
        {120, {20000, 500}, {3, 36, 69, 74}},
        // A variation above the floor lengthens the wait for an answer.
        {400, {100000, 10000}, {3, 148, 293, 298}},
        // Less than a round trip left: a request could not be answered in time.
        {90, {100000, 1000}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ask_times(c.due_ms * 1000, c.rtt), c.asks_ms) << "due " << c.due_ms;
}

// The fault: a gap asked for once under the initial estimate, whose regular repeat the first
// echoes then pushed past the last useful moment, was dropped without a second request.
TEST(RecoveryTest, GapWhoseRepeatTheGrowingEstimatePushesTooLateKeepsItsLastChance) {
    const int64_t due = 300000;
    MissingState m;
    m.since = 27000;
    Times asks;
    for (int64_t now = 27000; now <= due; now += 1000) {
        // The first echoes come back 100 ms after the stream started: srtt 100 ms and, from
        // the first sample, 50 ms of variation.
        const RttEstimate rtt = now < 100000 ? rtt_or_initial({}, 60000) : rtt_smooth({}, 100000);
        const AskDecision d = decide_ask(m, now, due, rtt);
        if (d.action == ASK_NEVER)
            break;
        if (d.action == ASK_NOW) {
            note_ask(&m, now, d);
            asks.push_back(now / 1000);
        }
    }
    // Asked at once, then twice at the last moment whose copy is back by the slot's time.
    EXPECT_EQ(asks, (Times{30, 195, 200}));
    // The first sample's variation no longer holds a repeat back beyond two round trips.
    EXPECT_EQ(answer_time_us(rtt_smooth({}, 100000)), 205000);
}

TEST(RecoveryTest, ReorderedDatagramIsNotAskedForWithinTheAllowance) {
    MissingState m;
    m.since = 50000;
    const RttEstimate rtt{20000, 2000};
    const AskDecision early = decide_ask(m, 52999, 500000, rtt);
    EXPECT_EQ(early.action, ASK_WAIT);
    EXPECT_EQ(early.next, 53000);
    EXPECT_EQ(decide_ask(m, 53000, 500000, rtt).action, ASK_NOW);
}

TEST(RecoveryTest, RoundTripIsSmoothedWithItsVariation) {
    RttEstimate e = rtt_smooth({}, 100000);
    EXPECT_EQ(e.srtt, 100000);
    EXPECT_EQ(e.rttvar, 50000);
    e = rtt_smooth({100000, 0}, 180000);
    EXPECT_EQ(e.srtt, 110000);
    EXPECT_EQ(e.rttvar, 20000);
    // A wall-clock step backwards is no sample.
    EXPECT_EQ(rtt_smooth(e, -5).srtt, 110000);
    // Until an echo is back the timers use the initial estimate.
    EXPECT_EQ(rtt_or_initial({}, 60000).srtt, 60000);
    EXPECT_EQ(rtt_or_initial({}, 60000).rttvar, 30000);
    EXPECT_EQ(rtt_or_initial({25000, 1000}, 60000).srtt, 25000);
}

TEST(RecoveryTest, LatencyIsCutToWhatTheRingHoldsAtTheStreamsRate) {
    // 760 datagrams a second (8 Mbit/s of 1316-byte payloads): 4250 slots last 5.59 s.
    EXPECT_EQ(latency_that_fits(10000000, 760, 1000000), 5592105);
    EXPECT_EQ(latency_that_fits(120000, 760, 1000000), 120000);
    EXPECT_EQ(latency_that_fits(120000, 0, 1000000), 120000) << "no rate measured";
    EXPECT_EQ(latency_that_fits(120000, 8000000, 1000000), 1000) << "never cut to nothing";
}

}  // namespace
