// Faults the end-to-end bad-input runs found in the buffer and the paced sender.
#include <gtest/gtest.h>
#include <signal.h>

#include <string>

#include "buffer/sender.h"
#include "sender_test_support.h"

namespace {

using sendertest::FakeClock;
using sendertest::LogCapture;
using sendertest::payload;
using sendertest::Rig;

const bool kSigpipeIgnored = signal(SIGPIPE, SIG_IGN) != SIG_ERR;

// An upstream that ignores suspend and sends a minute ahead overflows the socket; the next
// datagram is then a whole ring ahead, the ring jumps, and the stream's first packet becomes a
// placeholder before the player's run has begun. The run used to poll for that packet forever.
TEST(SenderBadInputRegressions, FirstPacketOverwrittenByAJumpNoLongerStallsTheRun) {
    ASSERT_TRUE(kSigpipeIgnored);
    Rig rig(MODE_HTTP);
    LogCapture log;
    FakeClock clock;
    const uint32_t far = 1 + 2 * kRingSlots + 5;
    rig.add(1, {10, 0});
    rig.add(far, {70, 0});
    ASSERT_EQ(rig.ring()->filled[1].load(), 0);  // the first packet's slot is a placeholder
    clock.on_sleep = [&](FakeClock& c) {
        // The stream goes on: the run, past its first wait, restarts at the newest packet.
        if (c.sleeps.size() == 11)
            rig.add(far + 1, {70, 5264000});
        if (c.sleeps.size() == 13)
            rig.add(far + 2, {70, 10528000});
        if (c.sleeps.size() == 130)  // bounds the run while the fault is present
            rig.ctx.stop = STOP_REQUESTED;
    };
    const SenderEnv env = clock.env();
    sender_run(&rig.ctx, &env);
    const std::string out = Rig::drain(rig.out_peer);
    EXPECT_NE(log.text().find("After sleep"), std::string::npos)
        << "no margin wait: still polling for the first packet";
    EXPECT_NE(out.find(payload(far + 1, 1316)), std::string::npos) << log.text();
}

}  // namespace
