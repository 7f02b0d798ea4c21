// Stray timestamps in a live stream, in both pacing modes: a datagram stamped seconds away from
// its neighbours, or with impossible nanoseconds, must cost no datagram and no lasting delay,
// while a real jump of the stream's clock still moves the pacing.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sender_test_support.h"

namespace {

using sendertest::FakeClock;
using sendertest::payload;
using sendertest::Rig;
using testsupport::count_of;

constexpr int64_t kSec = 1000000000;
constexpr uint32_t kFirst = 1000;
constexpr uint32_t kCount = 1200;  // 6 s of stream, a datagram every 5 ms
constexpr int kLen = 188;

// The stream's own stamp of datagram seq: 5 ms apart from 100 s.
Timespec32 stamp_of(uint32_t seq) {
    const int64_t ns = 100 * kSec + static_cast<int64_t>(seq - kFirst) * 5000000;
    return Timespec32{static_cast<int32_t>(ns / kSec), static_cast<int32_t>(ns % kSec)};
}

struct Outcome {
    std::string got;             // every byte the consumer received
    int64_t late_delay_ms = -1;  // datagram kFirst + 1100's time out minus its arrival
    uint32_t last_sent = 0;      // its number
    std::string expected;        // every datagram's payload, in order, up to last_sent
};

// Runs the sender while the stream arrives on time, stamped by `stamp`; stops 3 s after its end.
Outcome live_stream(Rig& rig, const std::function<Timespec32(uint32_t)>& stamp) {
    const int64_t start = rig.clock.now_ns;
    uint32_t next = kFirst;
    Outcome out;
    auto intake = [&](FakeClock& c) {
        while (next < kFirst + kCount &&
               c.now_ns - start >= static_cast<int64_t>(next - kFirst) * 5000000) {
            rig.add(next, stamp(next), kLen);
            ++next;
        }
        const std::string d = Rig::drain(rig.out_peer);
        if (!d.empty()) {
            // Taken as in order; the comparison with `expected` checks that.
            out.got += d;
            out.last_sent = kFirst + static_cast<uint32_t>(out.got.size() / kLen) - 1;
            if (out.late_delay_ms < 0 && out.last_sent >= kFirst + 1100)
                out.late_delay_ms = (c.now_ns - start) / 1000000 - 1100 * 5;
        }
        if (c.now_ns - start > (static_cast<int64_t>(kCount) * 5 + 3000) * 1000000)
            rig.ctx.stop = STOP_REQUESTED;
    };
    intake(rig.clock);
    rig.clock.on_sleep = intake;
    rig.run(SIZE_MAX);
    for (uint32_t s = kFirst; s <= out.last_sent; ++s)
        out.expected += payload(s, kLen);
    return out;
}

// Five seconds ahead, at the 300th datagram.
Timespec32 one_far_ahead(uint32_t seq) {
    Timespec32 t = stamp_of(seq);
    if (seq == kFirst + 300)
        t.tv_sec += 5;
    return t;
}

// The default pacing: all but the newest go out in order, as late as on a clean stream; of the
// pacing's own lines only `line` (if any), once.
void expect_default_kept(const std::function<Timespec32(uint32_t)>& stamp, const char* line,
                         std::initializer_list<int> modes = {MODE_UDP, MODE_HTTP}) {
    for (const int mode : modes) {
        SCOPED_TRACE(mode == MODE_UDP ? "datagrams" : "http");
        Rig clean_rig(mode, false);
        const Outcome clean = live_stream(clean_rig, stamp_of);
        Rig rig(mode, false);
        const Outcome o = live_stream(rig, stamp);
        EXPECT_EQ(o.last_sent, kFirst + kCount - 2) << "the newest waits for a newer one";
        EXPECT_TRUE(o.got == o.expected) << "a datagram was lost or repeated";
        EXPECT_EQ(rig.ctx.stats.unrecovered.load(), 0u);
        EXPECT_NEAR(o.late_delay_ms, clean.late_delay_ms, 20);
        const std::string log = rig.log.text();
        EXPECT_EQ(count_of(log, "!! sleeping") + count_of(log, "step back") +
                      count_of(log, "ahead of its neighbours"),
                  line != nullptr ? 1 : 0);
        if (line != nullptr) {
            EXPECT_EQ(count_of(log, line), 1) << line;
        }
    }
}

// The playout-latency mode: 200 ms after arrival, whatever the stamps say.
void expect_latency_kept(const std::function<Timespec32(uint32_t)>& stamp) {
    Rig rig(MODE_UDP, false);
    rig.ctx.latency_us = 200000;
    rig.ctx.first_arrival_sec = static_cast<int32_t>(rig.clock.now_ns / kSec);
    rig.ctx.first_arrival_nsec = static_cast<int32_t>(rig.clock.now_ns % kSec);
    const Outcome o = live_stream(rig, stamp);
    // The newest is played too in this mode.
    EXPECT_EQ(o.last_sent, kFirst + kCount - 1);
    EXPECT_TRUE(o.got == o.expected);
    EXPECT_NEAR(o.late_delay_ms, 200, 5);
    EXPECT_EQ(count_of(rig.log.text(), "timestamps jump"), 0);
    EXPECT_EQ(rig.ctx.given_up.load(), 0u);
}

TEST(StrayStampTest, OneDatagramStampedFiveSecondsAheadLosesNothingAndAddsNoDelay) {
    expect_default_kept(one_far_ahead, "seqnum 1300 stamped 5/");
    expect_latency_kept(one_far_ahead);
}

TEST(StrayStampTest, StampsThatJumpForGoodMoveThePacingInBothDirections) {
    for (const int32_t step : {5, -50}) {
        SCOPED_TRACE(step);
        const auto restarted = [step](uint32_t seq) {
            Timespec32 t = stamp_of(seq);
            if (seq >= kFirst + 300)
                t.tv_sec += step;  // the upstream's clock restarted
            return t;
        };
        expect_default_kept(restarted, step > 0 ? "!! sleeping" : "step back at seqnum 1300",
                            {MODE_UDP});
    }
}

// 600 stamps in a row with impossible nanoseconds: the default pacing slept on some and
// re-anchored on others, and fell seconds behind the stream.
TEST(StrayStampTest, DefaultPacingSleptOnImpossibleStampsAndFellBehind) {
    expect_default_kept(
        [](uint32_t seq) {
            Timespec32 t = stamp_of(seq);
            if (seq >= kFirst + 200 && seq < kFirst + 800) {
                uint32_t v = (seq - kFirst) * 2654435761u;
                v = v % 1147483648u + 1000000000u;  // 1e9 .. 2^31 - 1
                t.tv_nsec = static_cast<int32_t>(seq % 2 == 0 ? v : 0u - v);
            }
            return t;
        },
        nullptr);
}

// 600 impossible stamps in a row were played at once, and the good stamp after them, taken for a
// jump, dropped the latency. Scattered ones (every fifth) must not move it either.
TEST(StrayStampTest, RunOfImpossibleStampsWasPlayedAtOnceAndLostTheLatency) {
    expect_latency_kept([](uint32_t seq) {
        Timespec32 t = stamp_of(seq);
        if (seq >= kFirst + 300 && seq < kFirst + 900)
            t.tv_nsec += seq % 2 == 0 ? 1000000000 : -1000000000;
        return t;
    });
    expect_latency_kept([](uint32_t seq) {
        Timespec32 t = stamp_of(seq);
        if (seq >= kFirst + 200 && seq < kFirst + 800 && seq % 5 == 0)
            t.tv_nsec = static_cast<int32_t>(1999999999 - (seq % 7) * 300000000);
        return t;
    });
}

}  // namespace
