// The intake's and flow control's pure decisions.
#include "intake/intake_rules.h"

#include <gtest/gtest.h>

#include "intake/flow_control.h"

namespace {

TEST(IntakeRulesTest, RoundTripIsClampedTo30To300Ms) {
    struct Case {
        Timespec32 d;
        uint32_t rtt;
    };
    const Case cases[] = {
        {{0, 10000000}, 30000000},   {{0, 30000000}, 30000000},   {{0, 120000000}, 120000000},
        {{0, 300000000}, 300000000}, {{0, 400000000}, 300000000}, {{1, 200000000}, 300000000},
        {{0, -5000000}, 30000000},  // an echo from a clock ahead of ours
    };
    for (const Case& c : cases)
        EXPECT_EQ(rtt_from_round_trip(c.d), c.rtt) << c.d.tv_sec << " s " << c.d.tv_nsec << " ns";
}

TEST(IntakeRulesTest, KeepaliveAndStatisticsFollowTheStreamSecond) {
    struct Case {
        uint32_t last, t;
        SecondAction action;
    };
    const Case cases[] = {
        {0, 1000, SECOND_STATS_AND_KEEPALIVE},  // the first datagram of a stream
        {59, 60, SECOND_NOTHING},
        {60, 60, SECOND_NOTHING},
        {60, 61, SECOND_STATS_AND_KEEPALIVE},
        {70, 71, SECOND_KEEPALIVE},
        {71, 72, SECOND_NOTHING},
        {120, 119, SECOND_STATS_AND_KEEPALIVE},
    };
    for (const Case& c : cases)
        EXPECT_EQ(on_timestamp_second(c.last, c.t), c.action) << c.last << " -> " << c.t;
}

TEST(IntakeRulesTest, LossRate) {
    EXPECT_FLOAT_EQ(loss_rate(38, 13800, 10000), 1.0f);
    EXPECT_EQ(loss_rate(38, 13800, 0), 0.0f);     // no line yet
    EXPECT_EQ(loss_rate(5, 10000, 10000), 0.0f);  // nothing advanced: no division by zero
}

TEST(IntakeRulesTest, OverrunOnlyWhenStoringWouldPassTheSender) {
    struct Case {
        uint32_t seq, curseq, send_seq;
        bool drop;
    };
    const Case cases[] = {
        {7119, 7118, 2000, false},            // a whole ring minus one ahead of the sender
        {7120, 7119, 2000, true},             // would overwrite the sender's own slot
        {7130, 7000, 2000, true},             // a gap does not make it any better
        {7000, 7119, 2000, false},            // late: lands in its window slot
        {7119, 7119, 2000, false},            // equal to the newest
        {20000, 7119, 2000, false},           // a jump of a whole ring: a renumbered stream
        {5, 4294967290u, 4294960000u, true},  // across the 32-bit wrap
    };
    for (const Case& c : cases)
        EXPECT_EQ(would_overrun_sender(c.seq, c.curseq, c.send_seq, 5120), c.drop) << c.seq;
}

TEST(IntakeRulesTest, ReRequestIntervalIsTwiceRttPlus30Ms) {
    struct Case {
        uint32_t rtt;
        Timespec32 asked, now;
        bool too_recent;
    };
    const Case cases[] = {
        {60000000, {0, 0}, {500, 0}, false},  // never asked
        {300000000, {500, 0}, {500, 660000000}, true},
        {300000000, {500, 0}, {500, 660000001}, false},
        {30000000, {500, 900000000}, {501, 10000000}, true},  // 110 ms across a second
        {60000000, {502, 0}, {500, 0}, false},                // the clock stepped back
    };
    for (const Case& c : cases)
        EXPECT_EQ(asked_too_recently(c.now, c.asked, c.rtt), c.too_recent)
            << c.rtt << " " << c.now.tv_sec << "." << c.now.tv_nsec;
}

TEST(FlowRulesTest, NoQueueFullBelowSequence1501) {
    EXPECT_FALSE(is_queue_full(1500, 4800));
    EXPECT_TRUE(is_queue_full(1501, 4800));
}

}  // namespace
