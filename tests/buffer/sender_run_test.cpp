// Whole runs of the paced sender on a fake clock, the test acting as the intake.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <utility>
#include <vector>

#include "buffer/sender.h"
#include "buffer/sender_pacing.h"
#include "sender_test_support.h"
#include "support/process.h"

namespace {

using sendertest::FakeClock;
using sendertest::payload;
using sendertest::Rig;
using testsupport::count_of;
using Sleeps = std::vector<int64_t>;

// Sleeps given as runs of {how many, length in us}.
Sleeps runs(std::initializer_list<std::pair<int, int64_t>> list) {
    Sleeps v;
    for (const auto& [n, us] : list)
        v.insert(v.end(), static_cast<size_t>(n), us);
    return v;
}

TEST(SenderRunTest, StopDuringFirstPacketPollEndsTheRun) {
    Rig rig(MODE_HTTP);
    rig.run(3);
    EXPECT_EQ(rig.clock.sleeps, Sleeps(3, 10000));
}

TEST(SenderRunTest, HttpRunWaitsOneAndAHalfRttThenPacesAndBatches) {
    Rig rig(MODE_HTTP);
    rig.ctx.rtt = 300000000;
    rig.ctx.resetseq = 1;             // the client asked for the stream
    std::vector<std::string> writes;  // what the player got during the 300 ms sleep and after
    rig.clock.on_sleep = [&](FakeClock& c) {
        if (c.sleeps.size() == 2) {  // the intake re-bases during the first-packet poll
            rig.add(5000, {10, 0});
            rig.add(5001, {10, 300000000});
            rig.add(5002, {11, 800000000});  // 1.5 s ahead of where the clock will be
            rig.add(5003, {11, 800000000});
            rig.add(5004, {12, 0});
        }
        if (c.sleeps.size() == 48 || c.sleeps.size() == 49)
            writes.push_back(Rig::drain(rig.out_peer));
    };
    rig.run(69);

    // The margin wait looks at the backlog every 10 ms; 5001 is due 300 ms after 5000, which
    // the first write carries alone; 5003 is due with 5002, the jump's new anchor, and the
    // batch is written once nothing is left to send, not held until the stream resumes.
    EXPECT_EQ(rig.clock.sleeps, runs({{47, 10000}, {1, 300000}, {21, 400000}}));
    EXPECT_EQ(writes, (std::vector<std::string>{payload(5000),
                                                payload(5001) + payload(5002) + payload(5003)}));
    // The seven packets that keep the connection busy while the stream is dry, and the request
    // the 21st idle wait asked the event loop to send again.
    EXPECT_EQ(Rig::drain(rig.out_peer), payload(5004));
    EXPECT_EQ(Rig::drain(rig.upstream_peer), std::string(rig.req, 15));
    EXPECT_EQ(rig.scan_base.load(), 7u);  // the first wait leaves the loss-scan base alone
    // The operator's lines: statistics at the first packet, the numbers before it, the request.
    const std::string log = rig.log.text();
    EXPECT_EQ(count_of(log,
                       "sending 1316 bytes, 10 seconds, 0 nanoseconds; total packets=5000; "
                       "missed=0, curpos=5004; send_pos=5000; bufsize=2/0\n"),
              1);
    EXPECT_EQ(count_of(log, "!!! Lost sending 4999 packets\n"), 1);
    EXPECT_EQ(count_of(log, "!! Sending another request for chan:7\n"), 1);
}

TEST(SenderRunTest, TwentyOneIdleWaitsRepeatTheRequest) {
    const struct {
        int mode;
        bool with_req;
        int waits, requests;
    } cases[] = {{MODE_HTTP, true, 42, 2}, {MODE_UDP, true, 21, 1}, {MODE_UDP, false, 30, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.waits);
        Rig rig(c.mode, c.with_req);
        rig.add(50, {3, 0}, 100);
        // A player's run first waits its margin of 1.5 x rtt at the stream's first packet; a
        // datagram run that has sent nothing looks at the backlog every 10 ms of its idle waits.
        const Sleeps sleeps = c.mode == MODE_HTTP ? runs({{9, 10000}, {c.waits, 400000}})
                                                  : Sleeps(40 * c.waits, 10000);
        rig.run(sleeps.size());
        EXPECT_EQ(rig.clock.sleeps, sleeps);
        std::string asked, held;
        for (int i = 0; i < c.requests; ++i) {
            asked += std::string(rig.req, 15);
            // The HTTP client is kept busy with seven packets of the slot, whatever its length.
            held += c.mode == MODE_HTTP ? payload(50) : "";
        }
        EXPECT_EQ(Rig::drain(rig.upstream_peer), asked);
        EXPECT_EQ(Rig::drain(rig.out_peer), held);
        EXPECT_EQ(rig.ctx.resetseq.load(), c.requests > 0 ? 1 : 0);
    }
}

TEST(SenderRunTest, StarvationRebuffersAtTheNewestPacket) {
    const struct {
        int mode;
        Sleeps sleeps;  // to the second idle wait; waits look at the backlog every 10 ms
    } cases[] = {{MODE_HTTP, runs({{9, 10000}, {1, 400000}, {90, 10000}, {1, 400000}})},
                 {MODE_UDP, runs({{200, 10000}, {1, 400000}, {200, 10000}, {1, 400000}})}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Rig rig(c.mode);
        rig.add(10, {1, 0});
        rig.add(11, {1, 100000000});
        const size_t idle = c.mode == MODE_HTTP ? 10 : 201;
        rig.clock.on_sleep = [&](FakeClock& k) {  // the first idle wait brings 12 to 15
            for (uint32_t s = 12; k.sleeps.size() == idle && s <= 15; ++s)
                rig.add(s, {1, static_cast<int32_t>(s * 1000)});
        };
        rig.run(c.sleeps.size());
        EXPECT_EQ(rig.clock.sleeps, c.sleeps);
        EXPECT_EQ(rig.scan_base.load(), 15u);  // later waits move the loss-scan base
        EXPECT_EQ(rig.send_pos.load(), 15);    // 11 to 14 are skipped, and counted so
        EXPECT_EQ(rig.ctx.stats.unrecovered.load(), 4u);
        EXPECT_EQ(Rig::drain(rig.out_peer), payload(10));
    }
}

TEST(SenderRunTest, BrokenPipeEndsAnHttpRunButDatagramErrorsDoNot) {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    for (int mode : {MODE_HTTP, MODE_UDP}) {
        SCOPED_TRACE(mode);
        Rig rig(mode);
        for (uint32_t s = 1; s <= 3; ++s)
            rig.add(s, {1, static_cast<int32_t>(s * 1000)});
        close(rig.out_peer);
        rig.out_peer = -1;
        rig.clock.on_sleep = [&](FakeClock& c) {
            if (c.sleeps.back() == 400000)  // a datagram run waits for more
                rig.ctx.stop = STOP_REQUESTED;
        };
        rig.run(300);
        const std::string log = rig.log.text();
        if (mode == MODE_HTTP) {
            EXPECT_EQ(rig.clock.sleeps, Sleeps(9, 10000));
            EXPECT_EQ(count_of(log,
                               "!! Send error, send_pos=1, curpos = 3, written=-1, "
                               "error: Broken pipe !!!!\n"),
                      1);
        } else {  // the run went on to wait for more
            EXPECT_EQ(count_of(log, ", written=-1, error: "), 2);
            EXPECT_EQ(rig.clock.sleeps.back(), 400000);
        }
    }
}

// The rest come during the first sleep. A fast stream ends the buffering wait at the safe
// backlog; a player's run starts after its margin wait, not after an idle wait of 400 ms.
TEST(SenderRunTest, StartWithOnlyTheFirstPacketPlaysFromIt) {
    const struct {
        int mode;
        uint32_t more;
        size_t stop_at_sleep, polls;  // sleeps of 10 ms at the start
    } cases[] = {
        {MODE_UDP, 4, 250, 1}, {MODE_UDP, kBufferedEnoughBacklog, 3, 1}, {MODE_HTTP, 1, 10, 9}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.more);
        Rig rig(c.mode);
        rig.add(10, {1, 0});
        rig.clock.on_sleep = [&rig, &c](FakeClock& k) {
            for (uint32_t s = 11; k.sleeps.size() == 1 && s <= 10 + c.more; ++s)
                rig.add(s, {1, static_cast<int32_t>((s - 10) * 1000)});
        };
        rig.run(c.stop_at_sleep);
        EXPECT_EQ(Sleeps(rig.clock.sleeps.begin(), rig.clock.sleeps.begin() + c.polls),
                  Sleeps(c.polls, 10000));
        EXPECT_EQ(Rig::drain_one(rig.out_peer), payload(10));
    }
}

// A ring jump (an upstream that ignored suspend) left the first packet a placeholder before the
// player's run began; the run used to poll for that packet forever.
TEST(SenderRunTest, FirstPacketOverwrittenByARingJumpDoesNotStallTheRun) {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    Rig rig(MODE_HTTP);
    const uint32_t far = 1 + 2 * kRingSlots + 5;
    rig.add(1, {10, 0});
    rig.add(far, {70, 0});
    ASSERT_EQ(rig.ring()->filled[1].load(), 0);  // the first packet's slot is a placeholder
    rig.clock.on_sleep = [&](FakeClock& c) {
        // The stream goes on: the run, past its first wait, restarts at the newest packet.
        if (c.sleeps.size() == 11)
            rig.add(far + 1, {70, 5264000});
        if (c.sleeps.size() == 13)
            rig.add(far + 2, {70, 10528000});
    };
    rig.run(130);  // bounds the run while the fault is present
    EXPECT_NE(Rig::drain(rig.out_peer).find(payload(far + 1)), std::string::npos)
        << "still polling for the first packet";
}

}  // namespace
