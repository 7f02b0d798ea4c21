// The intake's and flow control's pure decisions, and the loss scan over a ring set up directly.
#include "intake/intake_rules.h"

#include <gtest/gtest.h>

#include <vector>

#include "intake/flow_control.h"
#include "intake/loss_scan.h"
#include "intake_harness.h"

namespace {

TEST(IntakeRulesTest, RoundTripIsClampedTo30To300Ms) {
    const struct {
        Timespec32 d;
        uint32_t rtt;
    } cases[] = {{{0, 10000000}, 30000000},
                 {{0, 120000000}, 120000000},
                 {{0, 400000000}, 300000000},
                 {{1, 200000000}, 300000000},
                 {{0, -5000000}, 30000000}};  // the last from a clock ahead of ours
    for (const auto& c : cases)
        EXPECT_EQ(rtt_from_round_trip(c.d), c.rtt) << c.d.tv_sec << " s " << c.d.tv_nsec << " ns";
}

TEST(IntakeRulesTest, LossRateAndQueueFull) {
    EXPECT_FLOAT_EQ(loss_rate(38, 13800, 10000), 1.0f);
    EXPECT_EQ(loss_rate(38, 13800, 0), 0.0f);     // no line yet
    EXPECT_EQ(loss_rate(5, 10000, 10000), 0.0f);  // nothing advanced: no division by zero
    EXPECT_FALSE(is_queue_full(1500, 4800));      // never below sequence number 1501
    EXPECT_TRUE(is_queue_full(1501, 4800));
}

TEST(IntakeRulesTest, OverrunOnlyWhenStoringWouldPassTheSender) {
    const struct {
        uint32_t seq, curseq, send_seq;
        bool behind, drop;
    } cases[] = {{7000, 7119, 2000, true, false},             // late: lands in its window slot
                 {7119, 7119, 2000, true, false},             // equal to the newest
                 {5, 4294967290u, 4294960000u, true, true}};  // across the 32-bit wrap
    for (const auto& c : cases)
        EXPECT_EQ(would_overrun_sender(c.seq, c.curseq, c.send_seq, 5120, c.behind), c.drop)
            << c.seq;
}

TEST(IntakeRulesTest, ReRequestIntervalIsTwiceRttPlus30Ms) {
    const struct {
        uint32_t rtt;
        Timespec32 asked, now;
        bool too_recent;
    } cases[] = {{300000000, {500, 0}, {500, 660000000}, true},
                 {300000000, {500, 0}, {500, 660000001}, false},
                 {30000000, {500, 900000000}, {501, 10000000}, true},  // 110 ms across a second
                 {60000000, {502, 0}, {500, 0}, false}};               // the clock stepped back
    for (const auto& c : cases)
        EXPECT_EQ(asked_too_recently(c.now, c.asked, c.rtt), c.too_recent)
            << c.rtt << " " << c.now.tv_sec << "." << c.now.tv_nsec;
}

using Seqs = std::vector<uint32_t>;

Seqs range(uint32_t from, uint32_t to) {
    Seqs v;
    for (uint32_t s = from; s <= to; ++s)
        v.push_back(s);
    return v;
}

// A ring holding the given packets, with placeholders for the numbers they skip.
struct Ring : intaketest::Harness {
    explicit Ring(const Seqs& stored) {
        for (uint32_t seq : stored)
            store(seq);
    }
    // The numbers one scan at second 500 + now_ns asks for, with the sender at send_seq.
    Seqs scan(uint32_t scan_base, int32_t now_ns = 0, uint32_t send_seq = 1000) {
        uint32_t out[kLostRequestMax];
        const int n = loss_scan(ring, static_cast<int>(send_seq % kRingSlots), scan_base, 60000000,
                                Timespec32{500, now_ns}, out);
        return Seqs(out, out + n);
    }
};

TEST(LossScanTest, GraceSenderLimitIntervalAndWindow) {
    EXPECT_EQ(Ring({1000, 1002, 1051}).scan(1000), Seqs{});  // 50 behind the newest
    EXPECT_EQ(Ring({1000, 1002, 1052}).scan(1000), Seqs{1001});
    EXPECT_EQ(Ring({1000, 1100}).scan(1000, 0, 1040), range(1041, 1049));  // the sender passed
    Ring limit({1000, 1120});  // 49 per scan, the rest later
    EXPECT_EQ(limit.scan(1000), range(1001, 1049));
    EXPECT_EQ(limit.scan(1000), range(1050, 1069));
    Ring again({1000, 1060});  // asked again only after 2 x (rtt + 30 ms)
    EXPECT_EQ(again.scan(1000), range(1001, 1009));
    EXPECT_EQ(again.scan(1000, 180000000), Seqs{});
    EXPECT_EQ(again.scan(1000, 180000001), range(1001, 1009));
    Ring window({1000, 3000});             // from the scan base, at most 1500 back
    EXPECT_EQ(window.scan(2999), Seqs{});  // one slot back: within the grace
    EXPECT_EQ(window.scan(2900), range(2900, 2948));
    EXPECT_EQ(window.scan(0), range(1500, 1548));
    EXPECT_EQ(Ring({1000, 3000}).scan(3000), range(1001, 1049));  // the base at the newest: all
}

}  // namespace
