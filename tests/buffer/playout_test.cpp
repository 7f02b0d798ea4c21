// The playout-latency mode's sender rules and whole sender runs in that mode on a fake clock.
#include "buffer/playout.h"

#include <gtest/gtest.h>

#include <vector>

#include "sender_test_support.h"

namespace {

using sendertest::FakeClock;
using sendertest::payload;
using sendertest::Rig;

TEST(PlayoutTest, PacketWaitsForItsDueTimeInBoundedSleeps) {
    const PlayAnchor a{5000000000, 10000000};  // ts 10 s goes out at clock 5000 s
    // The runs below show packets going out at their due times; these are the edges.
    EXPECT_EQ(playout_packet(5000000000, 5000250000).action, PLAY_WAIT);
    EXPECT_EQ(playout_packet(5000000000, 5000250000).wait_us, kPlayMaxSleepUs);
    EXPECT_EQ(playout_packet(5000240000, 5000250000).wait_us, 10000);
    EXPECT_EQ(playout_packet(5000900000, 5000250000).action, PLAY_SEND) << "late: at once";
    // A latency cut after the anchor was taken brings every packet forward by the cut.
    EXPECT_EQ(playout_follow_cut(a, 4000000, 3000000).clock, 4999000000);
}

// The runs below give a missing packet up at its own time, between its neighbours'.
TEST(PlayoutTest, MissingPacketIsGivenUpOnlyAtItsOwnTime) {
    EXPECT_EQ(playout_missing(999, 5000).wait_us, kMissingPollUs);
    EXPECT_EQ(playout_missing(4999, 5000).wait_us, 1) << "not a whole poll past its time";
    EXPECT_EQ(interpolate_ts(0xfffffffe, 0, 2, 4000, 0), 2000) << "across the 32-bit wrap";
    EXPECT_FALSE(playout_jump(10000000, 10999999));
    EXPECT_TRUE(playout_jump(10000000, 11000000));
    EXPECT_TRUE(playout_jump(10000000, 9000000));
}

constexpr int64_t kSec = 1000000000;

// A datagram-mode run with a 100 ms latency; the first packet arrived at clock 4999.95 s and
// `stored` (stamped 10 ms apart from 10 s for 100) are in the ring when it starts. At each
// sleep `intake` acts as the intake, given the clock (ns after 5000 s) at which the sleep began
// and the clock at its end; the run stops past `stop_ms`. Returns each datagram's number (its
// payload's) and the clock (ms after 5000 s) at which it went out.
struct Sent {
    uint32_t seq;
    int64_t at_ms;
    bool operator==(const Sent&) const = default;
};

std::vector<Sent> play(Rig& rig, const std::vector<uint32_t>& stored, int64_t stop_ms,
                       const std::function<void(Rig&, int64_t, int64_t)>& intake) {
    rig.ctx.latency_us = 100000;
    rig.ctx.first_arrival_sec = 4999;
    rig.ctx.first_arrival_nsec = 950000000;
    for (uint32_t s : stored)
        rig.add(s, {10, static_cast<int32_t>((s - 100) * 10000000)});
    std::vector<Sent> sent;
    rig.clock.on_sleep = [&](FakeClock& c) {
        const int64_t to = c.now_ns - 5000 * kSec, from = to - c.sleeps.back() * 1000;
        for (std::string d = Rig::drain_one(rig.out_peer); !d.empty();
             d = Rig::drain_one(rig.out_peer))
            for (uint32_t s = 100; s <= 104; ++s)
                if (d == payload(s))
                    sent.push_back({s, from / 1000000});
        intake(rig, from, to);
        if (to > stop_ms * 1000000)
            rig.ctx.stop = STOP_REQUESTED;
    };
    rig.run(100000);
    return sent;
}

TEST(PlayoutTest, RunPlaysALatencyAfterArrivalAndWaitsForACopyUntilItsSlotIsDue) {
    Rig rig(MODE_UDP);
    const auto sent = play(
        rig, {100, 101, 103, 104}, 300, [stored = false](Rig& r, int64_t from, int64_t) mutable {
            if (!stored && from >= 55000000) {  // the copy of 102 comes 55 ms after 5000 s
                r.add(102, {10, 20000000});
                stored = true;
            }
        });
    EXPECT_EQ(sent, (std::vector<Sent>{{100, 50}, {101, 60}, {102, 70}, {103, 80}, {104, 90}}));
    EXPECT_EQ(rig.ctx.given_up.load(), 0u);
}

TEST(PlayoutTest, RunGivesAMissingSlotUpAtItsOwnTimeNotAtThePreviousPackets) {
    Rig rig(MODE_UDP);
    const int slot102 = 102 % kRingSlots;
    int64_t left_at = -1;  // when the sender stepped past 102's slot
    const auto sent = play(rig, {100, 101, 103, 104}, 300, [&](Rig& r, int64_t from, int64_t) {
        if (left_at < 0 && r.send_pos.load() > slot102)
            left_at = from;
    });
    EXPECT_EQ(sent, (std::vector<Sent>{{100, 50}, {101, 60}, {103, 80}, {104, 90}}));
    EXPECT_EQ(rig.ctx.given_up.load(), 1u);
    // 102's own time is 70 ms (between 101's 60 and 103's 80): not a poll earlier.
    EXPECT_GE(left_at, 70000000);
    EXPECT_LE(left_at, 71000000);
}

// 100 and 101 are stored at the start; 102 and 103 (stamped ts102 and 10 ms later) arrive
// `at_ms` after 5000 s, a millisecond apart.
TEST(PlayoutTest, PauseUpstreamDelaysPacketsAndSkipsNone) {
    const struct {
        int64_t at_ms;
        int32_t ts102_ns;
        int64_t stop_ms;
        std::vector<Sent> sent;
    } cases[] = {
        // 250 ms late: played a latency after it came; then stamped by the pause too.
        {220, 20000000, 400, {{100, 50}, {101, 60}, {102, 320}, {103, 330}}},
        {200, 250000000, 400, {{100, 50}, {101, 60}, {102, 300}, {103, 310}}},
        // Dry for the idle wait: the run starts over at the newest, 103, and skips 102.
        {500, 20000000, 1200, {{100, 50}, {101, 60}, {103, 960}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.at_ms);
        Rig rig(MODE_UDP);
        int arrived = 0;
        const auto sent = play(rig, {100, 101}, c.stop_ms, [&](Rig& r, int64_t, int64_t to) {
            for (; arrived < 2 && to / 1000000 >= c.at_ms + arrived; ++arrived)
                r.add(102 + static_cast<uint32_t>(arrived), {10, c.ts102_ns + arrived * 10000000});
        });
        EXPECT_EQ(sent, c.sent);
        EXPECT_EQ(rig.ctx.given_up.load(), 0u);
    }
}

}  // namespace
