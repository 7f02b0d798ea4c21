// The counters' torn-free reads, the stream description's sequence lock and the input rate.
#include "core/stats.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

namespace {

// Runs write(1..n) on a second thread while this one checks what it reads, until the writer is
// done: a torn read shows as a value that no single write made.
template <class Write, class Check>
void race(uint32_t n, Write write, Check check) {
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (uint32_t i = 1; i <= n; ++i)
            write(i);
        done.store(true);
    });
    while (!done.load() && !testing::Test::HasFailure())
        check();
    writer.join();
}

// Every add carries into the high half: a read that mixes the halves of two values is not a
// multiple of the step.
template <bool kWhole>
void expect_no_torn_counts() {
    BasicWideCounter<kWhole> c;
    constexpr uint64_t kStep = 0x1'0000'0001ull;
    uint64_t last = 0;
    race(
        200000, [&](uint32_t) { c.add(kStep); },
        [&] {
            const uint64_t v = c.load();
            ASSERT_EQ(v % kStep, 0u) << v;
            ASSERT_GE(v, last);
            last = v;
        });
    EXPECT_EQ(c.load(), kStep * 200000);
}

TEST(WideCounter, NeverReadsTornInEitherForm) {
    expect_no_torn_counts<false>();
    // The whole-word form, where 64-bit atomics need no library (on the box it is the split
    // form again: WideCounter never uses the other there).
    expect_no_torn_counts<std::atomic<uint64_t>::is_always_lock_free>();
}

TEST(StreamBoard, ReaderGetsOneWholeRecordWhileTheHolderRewritesIt) {
    StreamBoard board;
    race(
        20000,
        [&](uint32_t i) {
            StreamRecord rec{};
            rec.active = 1;
            rec.since = i;
            rec.remote_port = static_cast<int32_t>(i);
            std::memset(rec.name, 'a' + static_cast<int>(i % 26), sizeof rec.name - 1);
            stream_publish(&board, rec);
        },
        [&] {
            const StreamRecord r = stream_read(board);
            ASSERT_EQ(r.since, static_cast<uint32_t>(r.remote_port));
            ASSERT_EQ(r.name[0], r.name[sizeof r.name - 2]);
        });
    EXPECT_EQ(stream_read(board).since, 20000u);
}

TEST(StreamBoard, OverlongTextsEndInsideTheirFields) {
    StreamBoard board;
    StreamRecord rec;
    std::memset(&rec, 'x', sizeof rec);
    stream_publish(&board, rec);
    const StreamRecord r = stream_read(board);
    EXPECT_EQ(strlen(r.name), sizeof r.name - 1);
    EXPECT_EQ(strlen(r.player), sizeof r.player - 1);
}

TEST(RateWindow, RateOverTheLastSecondsFollowsTheInputAndFallsWhenItStops) {
    RateWindow w;
    EXPECT_EQ(rate_update(&w, 1000, 0), 0u);       // one sample: no rate yet
    EXPECT_EQ(rate_update(&w, 1500, 999999), 0u);  // within the second: not sampled
    EXPECT_EQ(rate_update(&w, 2000, 250000), 2000000u);
    // 2 Mbit/s for ten seconds: the window holds the last five steps only.
    uint64_t bytes = 250000;
    for (int64_t ms = 3000; ms <= 12000; ms += 1000)
        rate_update(&w, ms, bytes += 250000);
    EXPECT_EQ(rate_update(&w, 12000, bytes), 2000000u);
    // The input stops: after five dry seconds the rate is 0.
    uint32_t rate = 0;
    for (int64_t ms = 13000; ms <= 17000; ms += 1000)
        rate = rate_update(&w, ms, bytes);
    EXPECT_EQ(rate, 0u);
}

}  // namespace
