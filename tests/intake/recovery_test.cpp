// The playout-latency mode's request timing: when a gap is asked for, when again, when twice,
// when no more; the round-trip smoothing behind it; the latency the ring can hold.
#include "intake/recovery.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

namespace {

using Times = std::vector<int64_t>;

// Every request a gap seen at `since` and due at `due` gets, stepping the clock by 1 ms as the
// event loop's arrivals would, with no copy ever coming; the estimate is rtt_at(now).
Times ask_times(int64_t due, const std::function<RttEstimate(int64_t)>& rtt_at, double loss = 0,
                int64_t since = 0) {
    MissingState m;
    m.since = since;
    Times asks;
    for (int64_t now = since; now <= due; now += 1000) {
        const AskDecision d = decide_ask(m, now, due, rtt_at(now), loss);
        if (d.action == ASK_NEVER)
            break;
        if (d.action == ASK_NOW) {
            note_ask(&m, now, d);
            asks.push_back(now / 1000);
        }
    }
    return asks;
}

Times ask_times(int64_t due, RttEstimate rtt, double loss = 0) {
    return ask_times(
        due, [rtt](int64_t) { return rtt; }, loss);
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
        // time (srtt + 4 x the 2 ms floor + 5 ms) has passed, twice at the last chance; a
        // variation above the floor lengthens the wait for an answer.
        {400, {100000, 1000}, {3, 116, 229, 234}},
        {400, {100000, 10000}, {3, 148, 293, 298}},
        // Less than a round trip left: a request could not be answered in time.
        {90, {100000, 1000}, {}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ask_times(c.due_ms * 1000, c.rtt), c.asks_ms) << "due " << c.due_ms;
}

TEST(RecoveryTest, LastRoundSendsTheCopiesTheMeasuredLossNeeds) {
    // 10 % each way over three rounds: one copy at each of the first two, five at the last,
    // 5 ms apart, all before the last useful moment (300 ms): seven tries leave 1e-5.
    EXPECT_EQ(ask_times(400000, {100000, 1000}, 0.10), (Times{3, 116, 229, 234, 239, 244, 249}));
    // One round only: the copies stay at two, what the re-sent bytes allow.
    EXPECT_EQ(ask_times(120000, {100000, 1000}, 0.10), (Times{3, 8}));
    const struct {
        double loss;
        int prior, rounds_left, copies;
    } cases[] = {
        {0.10, 0, 2, 1},  // a later round may carry it
        {0.00, 2, 1, 2},  // nothing measured: twice, as a last chance always was
        {0.01, 0, 1, 2},  // q = 2 %: two copies leave 4e-4 of the gaps, the budget allows two
        {0.10, 0, 1, 2},  // the budget (2.2 copies a lost datagram) caps a first round
        {0.10, 1, 1, 6},  // reached by 19 % of the gaps: 6 copies cost 1.14 more
        {0.05, 1, 1, 4},  // 4 more make 1e-5 at q = 9.75 %
        {0.10, 2, 1, 5},  // seven in all
        {0.20, 3, 1, 8},  // never more than eight
        {0.60, 3, 1, 2},  // earlier rounds spent the budget: two, as ever
    };
    for (const auto& c : cases)
        EXPECT_EQ(copies_for_round(c.loss, c.prior, c.rounds_left), c.copies)
            << c.loss << " " << c.prior << " " << c.rounds_left;
}

TEST(RecoveryTest, LossRateCoversTheLastFourSeconds) {
    LossWindow w;
    loss_window_note(&w, 500000, 100, 0);
    EXPECT_EQ(loss_window_rate(w, 600000, 200), -1) << "too little seen yet";
    loss_window_note(&w, 1500000, 100, 10);
    EXPECT_DOUBLE_EQ(loss_window_rate(w, 1600000, 200), 0.05);
    loss_window_note(&w, 1700000, 100, 20);
    EXPECT_DOUBLE_EQ(loss_window_rate(w, 1800000, 200), 0.1);
    // Four seconds on, the first second has left the window; five on, the second too.
    EXPECT_DOUBLE_EQ(loss_window_rate(w, 4200000, 100), 0.15);
    loss_window_note(&w, 5600000, 1000, 0);
    EXPECT_DOUBLE_EQ(loss_window_rate(w, 5700000, 100), 0);
}

// A stream of one datagram a millisecond, 30 ms in transit, then nothing: a burst is lost.
TEST(RecoveryTest, BurstHeadIsOverdueAsSoonAsTheJitterAllows) {
    int64_t base = 0, jitter = 0, peak = 0, prev = 30000;
    for (int i = 0; i < 200; ++i) {
        // Arrivals wobble by up to 300 us around their 30 ms transit.
        const int64_t transit = 30000 + (i % 3) * 150;
        base = i == 0 ? transit : transit_follow(base, transit);
        peak = late_peak_follow(peak, transit - base, 1000);
        jitter = jitter_smooth(jitter, transit - prev);
        prev = transit;
    }
    EXPECT_NEAR(base, 30000, 10);
    EXPECT_LE(peak, 300);
    const int64_t allowance = overdue_allowance_us(jitter, peak);
    EXPECT_GE(allowance, kReorderAllowanceUs);
    EXPECT_LE(allowance, kReorderAllowanceUs + 1000);
    // The newest, stamped 1.000 s, was expected at 1.030 s: the next one is overdue once its
    // own expected arrival and the allowance have passed, one more each millisecond after.
    const int64_t expected = 1000000 + base;
    EXPECT_EQ(overdue_count(expected + 1000 + allowance - 1, expected, 1000, allowance), 0u);
    EXPECT_EQ(overdue_count(expected + 1000 + allowance, expected, 1000, allowance), 1u);
    EXPECT_EQ(overdue_count(expected + 5000 + allowance, expected, 1000, allowance), 5u);
    EXPECT_EQ(overdue_count(expected + 5000, expected, 0, allowance), 0u) << "no step known";
    // A copy that answers a request comes a round trip late; the anchor barely moves, so the
    // numbers after it are not held back by its lateness.
    EXPECT_EQ(transit_follow(base, base + 64000), base + 1000);
    // A path that held datagrams back by 8 ms lately waits that long before asking.
    EXPECT_EQ(overdue_allowance_us(100, 8000), kReorderAllowanceUs + 8000);
    // It fades with time: a tenth of the fading time takes a tenth off.
    EXPECT_EQ(late_peak_follow(8000, 0, kLatePeakFadeUs / 10), 7200);
    EXPECT_EQ(late_peak_follow(8000, 9000, 1000), 9000);
}

// The fault: a gap asked for once under the initial estimate, whose regular repeat the first
// echoes then pushed past the last useful moment, was dropped without a second request.
TEST(RecoveryTest, GapWhoseRepeatTheGrowingEstimatePushesTooLateKeepsItsLastChance) {
    // The first echoes come back 100 ms after the stream started: srtt 100 ms and, from the
    // first sample, 50 ms of variation.
    const Times asks = ask_times(
        300000,
        [](int64_t now) {
            return now < 100000 ? rtt_or_initial({}, 60000) : rtt_smooth({}, 100000);
        },
        0, 27000);
    // Asked at once, then twice at the last moment whose copy is back by the slot's time.
    EXPECT_EQ(asks, (Times{30, 195, 200}));
    // The first sample's variation no longer holds a repeat back beyond two round trips.
    EXPECT_EQ(answer_time_us(rtt_smooth({}, 100000)), 205000);
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
