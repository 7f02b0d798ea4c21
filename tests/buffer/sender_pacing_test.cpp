// The paced sender's decisions, fed with made-up positions and clock readings.
#include "buffer/sender_pacing.h"

#include <gtest/gtest.h>

#include <tuple>

#include "sender_test_support.h"

namespace {

TEST(SenderPacingTest, PaceSleepsUntilDueSendsLateAtOnceAndJumpsFromASecondAhead) {
    // The packet stamped 10 s went out at anchor_clock.
    const struct {
        Timespec32 anchor_clock, now, ts;
        PaceAction want;
        int32_t sleep_us;
    } cases[] = {{{1000, 0}, {1000, 100000000}, {10, 300000000}, PACE_SLEEP, 200000},
                 {{999, 900000000}, {1000, 100000000}, {10, 500000000}, PACE_SLEEP, 300000},
                 {{1000, 0}, {1000, 0}, {10, 50000}, PACE_SLEEP, 100},  // the shortest sleep
                 {{1000, 0}, {1000, 500000000}, {10, 300000000}, PACE_SEND_NOW, 0},
                 {{1000, 0}, {1003, 0}, {10, 300000000}, PACE_SEND_NOW, 0},
                 {{1000, 0}, {1000, 0}, {11, 500000000}, PACE_JUMP, 0}};
    for (const auto& c : cases) {
        const PaceDecision d = sender_pace(c.anchor_clock, Timespec32{10, 0}, c.now, c.ts);
        EXPECT_EQ(d.action, c.want) << c.ts.tv_sec << "." << c.ts.tv_nsec;
        EXPECT_EQ(d.sleep_us, c.sleep_us) << c.ts.tv_sec << "." << c.ts.tv_nsec;
    }
    // The first wait (1.5 x rtt) is held below the largest signed 32-bit value.
    EXPECT_EQ(sender_first_wait_ns(4000000000u), INT32_MAX);
}

TEST(SenderPacingTest, BatchIsWrittenBeforeItFillsOrWhenTheTimerRunsOut) {
    const int64_t t0 = 5000000000;
    int fill = 0, packets = 0;
    do {
        ASSERT_FALSE(batch_overflows(fill, 1316));
        fill += 1316;
        ++packets;
    } while (!batch_write_due(fill, 1316, t0, t0));
    EXPECT_EQ(packets, 38);
    EXPECT_EQ(fill, 50008);

    EXPECT_FALSE(batch_write_due(1316, 1316, t0 + 50000, t0));
    EXPECT_TRUE(batch_write_due(1316, 1316, t0 + 50001, t0));
    EXPECT_TRUE(batch_write_due(1316, 1316, t0, 0));  // a run's first packet
    EXPECT_FALSE(batch_overflows(49700, 1500));       // fits exactly
    EXPECT_TRUE(batch_overflows(49701, 1500));
}

TEST(SenderPacingTest, BatchWakeIsTheEarlierOfTimerAndFillButNotBeforeTheNextDatagram) {
    const int64_t last = 7000000;  // the batch's last write
    const struct {
        int64_t next_due, fill_due, want;
    } cases[] = {{last + 1000, INT64_MAX, last + 50001},  // fill not in sight: the timer
                 {last + 1000, last + 20000, last + 20000},
                 {last + 1000, last + 50001, last + 50001},
                 {last + 80000, last + 60000, last + 80000},  // a pause in the stream
                 {last + 30000, last + 20000, last + 30000}};
    for (const auto& c : cases)
        EXPECT_EQ(batch_wake_us(c.next_due, c.fill_due, last), c.want)
            << c.next_due - last << " " << c.fill_due - last;
}

// A stamp a second or more off is a jump when the next packet agrees, else one stray stamp;
// the stray-stamp runs show a stray ahead, and jumps either way. These are the other edges.
TEST(SenderPacingTest, StampCheckAsksTheNextPacket) {
    const PaceDecision ahead{PACE_JUMP, {5, 0}, 0}, late{PACE_SEND_NOW, {-1, 0}, 0};
    const Timespec32 prev{100, 0}, far{105, 0}, back{90, 0}, near{100, 5000000};
    EXPECT_EQ(sender_stamp_check(ahead, far, true, prev, false, {}), STAMP_JUMP)
        << "nothing to ask: a jump, as always";
    EXPECT_EQ(sender_stamp_check(late, back, true, prev, true, near), STAMP_STRAY);
    EXPECT_EQ(sender_stamp_check(late, {99, 500000000}, true, prev, true, near), STAMP_IN_STEP)
        << "only late, not a step back of a second";
}

TEST(SenderPacingTest, BookkeepingLogsStatisticsAndSkippedNumbers) {
    const struct {
        SenderStats before;
        uint32_t seq;
        Timespec32 ts;
        const char* log;
        SenderStats after;
    } cases[] = {
        {{0, 42, 100}, 104, {42, 0}, "!!! Lost sending 3 packets\n", {3, 42, 104}},
        {{2, 42, 100}, 104, {42, 0}, "", {5, 42, 104}},  // counted, no longer logged
        {{5, 120, 7},
         8,
         {121, 5},  // the packet clock leaves a minute
         "sending 1316 bytes, 121 seconds, 5 nanoseconds; total packets=8; missed=5, curpos=9; "
         "send_pos=8; bufsize=1/250000000\n",
         {0, 121, 8}},
        {{5, 121, 7}, 8, {122, 0}, "", {5, 122, 8}},
        {{0, 0, 0}, 1, {0, 0}, "", {0, 0, 1}}};
    for (const auto& c : cases) {
        PacketSlot slot{};
        slot.seqnum = c.seq;
        slot.ts = c.ts;
        slot.len = 1316;
        SenderStats s = c.before;
        sendertest::LogCapture log;
        sender_bookkeep(&s, slot, 9, 8, Timespec32{1, 250000000});
        EXPECT_EQ(log.text(), c.log) << c.seq;
        EXPECT_EQ(std::make_tuple(s.missed, s.last_sec, s.last_seq),
                  std::make_tuple(c.after.missed, c.after.last_sec, c.after.last_seq))
            << c.seq;
    }
}

}  // namespace
