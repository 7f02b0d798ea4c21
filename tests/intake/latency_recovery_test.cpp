// The playout-latency recovery through the intake's interface, on a fake clock: gaps stamped
// as they appear and asked for at their time, jumps, restarts and the anchor of the requests.
#include "intake/latency_recovery.h"

#include <gtest/gtest.h>

#include "intake_harness.h"

namespace {

using intaketest::fake_now_us;
using intaketest::Harness;
using Seqs = std::vector<uint32_t>;

constexpr int64_t kT = 1000000000;  // the fake clock when the stream starts

// A stream at 200 ms started with 100 (stamped 50 s) and 101 one millisecond later, and 105 at
// 5 ms: the gaps 102..104 are waiting.
struct LatencyRecoveryTest : ::testing::Test {
    Harness h;
    LatencyRecovery* lat = h.latency(200000);
    void SetUp() override {
        fake_now_us = kT;
        h.ctx.resetseq.store(1);
        for (uint32_t s : {100, 101, 105})
            h.send(s, 50, static_cast<int32_t>(s - 100) * 1000000);
        h.drain();
    }
    Seqs tick_at(int64_t t) {
        fake_now_us = t;
        lat->tick(h.in);
        return h.asked();
    }
};

TEST_F(LatencyRecoveryTest, GapsAreStampedAndAskedForAtTheirTime) {
    for (uint32_t q = 102; q <= 104; ++q) {
        EXPECT_FALSE(h.filled(q));
        EXPECT_EQ(h.slot_of(q).miss_flags, kMissTracked) << q;
        EXPECT_EQ(h.slot_of(q).miss_since_us, static_cast<uint32_t>(kT)) << q;
    }
    EXPECT_EQ(h.slot_of(103).ts.tv_nsec, 3000000) << "stamped between its neighbours";
    EXPECT_EQ(h.pauses, 0) << "the latency mode takes no pause after a drain";
    // First asked once the reordering allowance has passed; the loop wakes for it.
    EXPECT_EQ(lat->wait_ms(h.in, 100), 3);
    EXPECT_EQ(tick_at(kT + kReorderAllowanceUs - 1), Seqs{});
    EXPECT_EQ(tick_at(kT + kReorderAllowanceUs), (Seqs{102, 103, 104}));
    h.send(103, 50, 3000000);  // its copy, before the sender reached it
    h.drain();
    EXPECT_EQ(lat->rc.in_time, 1u);
    // Repeated after the answer time of the initial 60 ms estimate (60 + 60 + 5 ms), the last
    // chance before the slots are due: its copies follow 5 ms apart while they can be of use.
    EXPECT_EQ(tick_at(kT + 127999), Seqs{});
    EXPECT_EQ(tick_at(kT + 128000), (Seqs{102, 104}));
    EXPECT_EQ(tick_at(kT + 133000), (Seqs{102, 104}));
    EXPECT_EQ(tick_at(kT + 138000), (Seqs{102, 104}));
    // Each slot is due a millisecond after the one before: 104 has one more copy's time.
    EXPECT_EQ(tick_at(kT + 143000), Seqs{104});
    EXPECT_EQ(tick_at(kT + 148000), Seqs{}) << "a copy asked now would come after its slot";
    EXPECT_EQ(lat->rc.asked, 10u);
    EXPECT_FALSE(lat->rc.pending);
}

TEST_F(LatencyRecoveryTest, JumpOfAWholeRingStampsNoGaps) {
    const uint32_t far = 105 + 3 * kRingSlots;
    h.sender_at(105);  // caught up, so the jump is taken once the next datagram confirms it
    h.send(far, 50, 6000000);
    h.send(far + 1, 50, 7000000);
    h.drain();
    ASSERT_EQ(h.curseq(), far + 1);
    EXPECT_EQ(h.slot_of(far - 1).miss_flags, 0);
    // Only the gaps from before the jump were waiting; their slots now hold other numbers.
    EXPECT_EQ(tick_at(kT + kReorderAllowanceUs), Seqs{});
}

TEST_F(LatencyRecoveryTest, RestartedStreamDropsTheGapsOfTheOneBefore) {
    h.ctx.resetseq.store(1);
    fake_now_us = kT + 1000;
    h.send(7000, 80, 0);
    h.drain();
    EXPECT_FALSE(lat->rc.pending);
    EXPECT_EQ(lat->rc.offset_us, kT + 1000 + 200000 - 80000000);
    EXPECT_EQ(h.ctx.first_arrival_sec.load(), kT / 1000000);
    EXPECT_EQ(tick_at(kT + 10000), Seqs{});
}

TEST_F(LatencyRecoveryTest, StrayStampsAndImpossibleNanosecondsNeverMoveTheAnchor) {
    const int64_t offset = lat->rc.offset_us;
    EXPECT_EQ(offset, kT + 200000 - 50000000);
    fake_now_us = kT + 1000;
    h.send(106, 55, 6000000);  // five seconds ahead
    h.send(107, 50, 7000000);
    h.send(108, 50, 1999999999);  // impossible nanoseconds
    h.send(109, 50, -5);
    h.send(111, 50, 30000000);  // a gap before it, timed by the stamps that fit
    h.drain();
    EXPECT_EQ(lat->rc.offset_us, offset);
    EXPECT_EQ(lat->rc.newest_ts, 50030000);
    EXPECT_EQ(h.slot_of(110).ts.tv_nsec, 18500000);
    h.send(112, 90, 0);  // the clock restarts, and the next datagram agrees
    h.send(113, 90, 5000000);
    h.drain();
    EXPECT_EQ(lat->rc.offset_us, kT + 1000 + 200000 - 90005000);
    // A stream that ran dry for longer than the latency starts over from its next datagram.
    fake_now_us = kT + 400000;
    h.send(114, 90, 6000000);
    h.drain();
    EXPECT_EQ(lat->rc.offset_us, kT + 400000 + 200000 - 90006000);
}

}  // namespace
