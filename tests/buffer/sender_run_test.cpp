// Whole runs of the paced sender: on a fake clock with the test acting as the intake, and one
// on real threads and the real clock.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include "buffer/sender.h"
#include "sender_test_support.h"

namespace {

using sendertest::count;
using sendertest::FakeClock;
using sendertest::LogCapture;
using sendertest::payload;
using sendertest::Rig;

// The daemon ignores SIGPIPE; so must a process that runs the sender into a closed connection.
const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

std::vector<int64_t> repeat(std::vector<int64_t> v, int n, int64_t us) {
    v.insert(v.end(), static_cast<size_t>(n), us);
    return v;
}

void run(Rig& rig, FakeClock& clock) {
    const SenderEnv env = clock.env();
    sender_run(&rig.ctx, &env);
}

TEST(SenderRunTest, StopDuringFirstPacketPollEndsTheRun) {
    ASSERT_TRUE(kSigpipeIgnored);
    Rig rig(MODE_HTTP);
    LogCapture log;
    FakeClock clock;
    clock.on_sleep = [&](FakeClock& c) {
        if (c.sleeps.size() == 3)
            rig.ctx.stop = STOP_REQUESTED;
    };
    run(rig, clock);
    EXPECT_EQ(clock.sleeps, std::vector<int64_t>(3, 10000));
    EXPECT_EQ(log.text(),
              "Entering sender thread\n"
              "Sleeping to get buffer, send_pos=-1, curpos = 0, rtt=60000000\n");
    EXPECT_EQ(rig.scan_base.load(), 7u);
}

TEST(SenderRunTest, HttpRunWaitsOneAndAHalfRttThenPacesAndBatches) {
    Rig rig(MODE_HTTP);
    LogCapture log;
    FakeClock clock;
    rig.ctx.rtt = 300000000;
    rig.ctx.resetseq = 1;  // the client asked for the stream
    std::string at_first_idle;
    int idle = 0;
    clock.on_sleep = [&](FakeClock& c) {
        if (c.sleeps.size() == 2) {  // the intake re-bases during the first-packet poll
            rig.add(5000, {10, 0});
            rig.add(5001, {10, 300000000});
            rig.add(5002, {11, 800000000});  // 1.5 s ahead of where the clock will be
            rig.add(5003, {11, 800000000});
            rig.add(5004, {12, 0});
        }
        if (c.sleeps.back() == 400000 && ++idle == 1)
            at_first_idle = Rig::drain(rig.out_peer);
        if (idle == 21)
            rig.ctx.stop = STOP_REQUESTED;
    };
    run(rig, clock);

    EXPECT_EQ(clock.sleeps, repeat({10000, 10000, 450000, 300000, 100}, 21, 400000));
    std::string idle_lines;
    for (int i = 0; i < 21; ++i)
        idle_lines += "sendpos 5004 = curpos 5004, curseq = 5004\n";
    EXPECT_EQ(
        log.text(),
        "Entering sender thread\n"
        "Sleeping to get buffer, send_pos=-1, curpos = 0, rtt=300000000\n"
        "After sleep send_pos=5000, curpos = 5004\n"
        "sendpos 5000 = prevpos 5000\n"
        "sending 1316 bytes, 10 seconds, 0 nanoseconds; total packets=5000; missed=0, "
        "curpos=5004; send_pos=5000; bufsize=2/0\n"
        "!!! Lost sending 4999 packets\n"
        "!! sleeping, 1/500000000, seqnum: 5004, curpos: 5004, sendpos: 5002, prevpos: 5001\n" +
            idle_lines + "!! Sending another request for chan:7\n");
    // 5003 went out within the same 50 ms as 5002 and waits in the batch until the connection
    // is next written to: before the seven packets that keep it busy while the stream is dry.
    EXPECT_EQ(at_first_idle, payload(5000, 1316) + payload(5001, 1316) + payload(5002, 1316));
    EXPECT_EQ(Rig::drain(rig.out_peer), payload(5003, 1316) + payload(5004, 1316));
    EXPECT_EQ(rig.scan_base.load(), 7u);  // the first wait leaves the loss-scan base alone
}

int margin_waits(int mode) {
    return mode == MODE_HTTP ? 1 : 0;
}

TEST(SenderRunTest, TwentyOneIdleWaitsRepeatTheRequest) {
    const struct {
        int mode;
        bool with_req;
        int waits, requests;
    } cases[] = {{MODE_HTTP, true, 42, 2}, {MODE_UDP, true, 21, 1}, {MODE_UDP, false, 30, 0}};
    for (const auto& c : cases) {
        Rig rig(c.mode, c.with_req);
        LogCapture log;
        FakeClock clock;
        rig.add(50, {3, 0}, 100);
        clock.on_sleep = [&](FakeClock& k) {
            if (static_cast<int>(k.sleeps.size()) == c.waits + margin_waits(c.mode))
                rig.ctx.stop = STOP_REQUESTED;
        };
        run(rig, clock);
        SCOPED_TRACE(c.waits);
        // A player's run first waits its margin of 1.5 x rtt at the stream's first packet.
        std::vector<int64_t> sleeps(static_cast<size_t>(c.waits), 400000);
        if (margin_waits(c.mode))
            sleeps.insert(sleeps.begin(), 90000);
        EXPECT_EQ(clock.sleeps, sleeps);
        const std::string text = log.text();
        EXPECT_EQ(count(text, "sendpos 50 = curpos 50, curseq = 50\n"), c.waits);
        EXPECT_EQ(count(text, "!! Sending another request for chan:7\n"), c.requests);
        std::vector<std::string> sent;
        Rig::drain(rig.upstream_peer, &sent);
        EXPECT_EQ(sent, std::vector<std::string>(static_cast<size_t>(c.requests),
                                                 std::string(rig.req, 15)));
        EXPECT_EQ(rig.ctx.resetseq.load(), c.requests > 0 ? 1 : 0);
        // The HTTP client is kept busy with seven packets of the slot, whatever its length.
        std::string held;
        for (int i = 0; i < (c.mode == MODE_HTTP ? c.requests : 0); ++i)
            held += payload(50, 1316);
        EXPECT_EQ(Rig::drain(rig.out_peer), held);
    }
}

TEST(SenderRunTest, StarvationRebuffersAtTheNewestPacket) {
    const struct {
        int mode;
        std::vector<int64_t> sleeps;
    } cases[] = {
        {MODE_HTTP, repeat({90000, 400000}, 9, 100000)},
        {MODE_UDP, {2000000, 400000, 2000000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Rig rig(c.mode);
        LogCapture log;
        FakeClock clock;
        rig.add(10, {1, 0});
        rig.add(11, {1, 100000000});
        int idle = 0;
        clock.on_sleep = [&](FakeClock& k) {
            if (k.sleeps.back() != 400000)
                return;
            if (++idle == 1) {
                for (uint32_t s = 12; s <= 15; ++s)
                    rig.add(s, {1, static_cast<int32_t>(s * 1000)});
            } else {
                rig.ctx.stop = STOP_REQUESTED;
            }
        };
        run(rig, clock);
        EXPECT_EQ(clock.sleeps, repeat(c.sleeps, 1, 400000));
        const std::string text = log.text();
        EXPECT_EQ(count(text, "Sleeping to get buffer, send_pos=11, curpos = 15, rtt=60000000\n"),
                  1);
        EXPECT_EQ(count(text, "After sleep send_pos=15, curpos = 15\n"), 1);
        EXPECT_EQ(rig.scan_base.load(), 15u);  // later waits move the loss-scan base
        EXPECT_EQ(rig.send_pos.load(), 15);    // 11 to 14 are skipped
        EXPECT_EQ(Rig::drain(rig.out_peer), payload(10, 1316));
    }
}

TEST(SenderRunTest, BrokenPipeEndsAnHttpRunButDatagramErrorsDoNot) {
    for (int mode : {MODE_HTTP, MODE_UDP}) {
        SCOPED_TRACE(mode);
        Rig rig(mode);
        LogCapture log;
        FakeClock clock;
        for (uint32_t s = 1; s <= 3; ++s)
            rig.add(s, {1, static_cast<int32_t>(s * 1000)});
        close(rig.out_peer);
        rig.out_peer = -1;
        clock.on_sleep = [&](FakeClock& k) {
            if (k.sleeps.back() == 400000)
                rig.ctx.stop = STOP_REQUESTED;
        };
        run(rig, clock);
        const std::string text = log.text();
        if (mode == MODE_HTTP) {
            EXPECT_EQ(clock.sleeps, std::vector<int64_t>{90000});
            EXPECT_EQ(count(text,
                            "!! Send error, send_pos=1, curpos = 3, written=-1, "
                            "error: Broken pipe !!!!\n"),
                      1);
        } else {
            EXPECT_EQ(count(text, ", written=-1, error: "), 2);
            EXPECT_EQ(count(text, "sendpos 3 = curpos 3"), 1);  // went on to wait for more
        }
    }
}

TEST(SenderRunTest, ThreadedHttpRunDeliversPayloadsInOrder) {
    Rig rig(MODE_HTTP);
    LogCapture log;
    rig.ctx.rtt = 30000000;
    auto len = [](uint32_t seq) { return 188 * static_cast<int>(1 + seq % 7); };
    std::string expected;
    for (uint32_t seq = 1; seq <= 40; ++seq)
        expected += payload(seq, len(seq));
    auto add = [&](uint32_t seq) {
        rig.add(seq, {100, static_cast<int32_t>(seq * 2000000)}, len(seq));
    };

    // Two packets before the start, so that the sender buffers rather than idles at first.
    add(1);
    add(2);
    std::thread sender(sender_thread, &rig.ctx);
    std::string got;
    for (uint32_t seq = 3; seq <= 400 && got.size() < expected.size(); ++seq) {
        add(seq);
        usleep(2000);
        got += Rig::drain(rig.out_peer);
    }
    rig.ctx.stop = STOP_REQUESTED;
    sender.join();
    ASSERT_GE(got.size(), expected.size());
    const auto diff = std::mismatch(expected.begin(), expected.end(), got.begin());
    EXPECT_TRUE(diff.first == expected.end())
        << "first difference at byte " << (diff.first - expected.begin());
    EXPECT_EQ(count(log.text(), "!! Send error"), 0);
}

}  // namespace

namespace {

// A run that starts with only the stream's first packet stored must not skip to the newest
// packet after its first idle wait: the stream is played from its beginning.
TEST(SenderRunTest, IdleWaitBeforeTheFirstPacketKeepsTheStreamStart) {
    Rig rig(MODE_UDP);
    LogCapture log;
    FakeClock clock;
    rig.add(10, {1, 0});
    int idle = 0;
    clock.on_sleep = [&](FakeClock& k) {
        if (k.sleeps.back() == 400000 && ++idle == 1) {
            for (uint32_t s = 11; s <= 14; ++s)
                rig.add(s, {1, static_cast<int32_t>((s - 10) * 1000)});
        }
        if (k.sleeps.size() > 8)
            rig.ctx.stop = STOP_REQUESTED;
    };
    run(rig, clock);
    std::vector<std::string> datagrams;
    Rig::drain(rig.out_peer, &datagrams);
    ASSERT_GE(datagrams.size(), 1u);
    EXPECT_EQ(datagrams[0], payload(10, 1316));
}

}  // namespace

namespace {

// A player whose stream has delivered only its first packet still starts after the margin
// wait of 1.5 x rtt, not after an idle wait of 400 ms.
TEST(SenderRunTest, HttpStartWithOnlyTheFirstPacketWaitsTheMarginNotAnIdleWait) {
    Rig rig(MODE_HTTP);
    LogCapture log;
    FakeClock clock;
    rig.add(10, {1, 0});
    clock.on_sleep = [&](FakeClock& k) {
        if (k.sleeps.size() == 1)
            rig.add(11, {1, 1000});
        else
            rig.ctx.stop = STOP_REQUESTED;
    };
    run(rig, clock);
    ASSERT_GE(clock.sleeps.size(), 1u);
    EXPECT_EQ(clock.sleeps[0], 90000);  // 1.5 x the 60 ms start estimate
    EXPECT_EQ(Rig::drain(rig.out_peer), payload(10, 1316));
}

}  // namespace
