// Faults the intake fuzzer found, each pinned by the input that showed it.
#include <gtest/gtest.h>

#include <climits>

#include "intake/loss_scan.h"
#include "intake_harness.h"

namespace {

using intaketest::Harness;
using intaketest::LogCapture;

// Two jumps of about 2^31 each used to overflow the signed count of skipped numbers.
TEST(IntakeFuzzRegressions, LostCountSaturatesInsteadOfOverflowing) {
    LogCapture log;
    Harness h;
    const int& lost = h.loop->intake.lost;
    h.send(0x7FFFFFF0u);
    h.drain();
    EXPECT_EQ(lost, 0x7FFFFFEF);
    h.send(0xFFFFFF00u);
    h.drain();
    EXPECT_EQ(lost, INT_MAX);
    EXPECT_EQ(h.curseq(), 0xFFFFFF00u);  // the datagram is stored all the same
    h.send(0xFFFFFF05u);
    h.drain();
    EXPECT_EQ(lost, INT_MAX);
}

// After a take-over the ring still holds the previous stream's placeholders; the scan that makes
// a whole turn from the new stream's first datagram used to ask the new upstream for them.
TEST(IntakeFuzzRegressions, TakeOverDoesNotAskForThePreviousStreamsPlaceholders) {
    LogCapture log;
    Harness h;
    h.store(1000);
    h.store(1100);  // placeholders 1001..1099 of the stream before
    h.loop->intake.newest_count = kLossScanEvery - 1;
    h.loop->ctx.resetseq.store(1);
    h.send(5);  // the new stream's first datagram: re-base, then a scan of the whole ring
    h.drain();
    ASSERT_EQ(h.curseq(), 5u);
    EXPECT_TRUE(h.sent(RELAY_MSG_LOST_REQUEST, 100).empty());

    // Its own gaps are still asked for once they are 51 behind.
    h.send(7);
    for (uint32_t s = 8; s <= 70; ++s)
        h.send(s);
    h.drain();
    const auto asked = h.sent(RELAY_MSG_LOST_REQUEST, 500);
    ASSERT_FALSE(asked.empty());
    uint32_t seqs[kLostRequestMax];
    ASSERT_EQ(read_lost_request(asked[0].data(), asked[0].size(), seqs, kLostRequestMax), 1);
    EXPECT_EQ(seqs[0], 6u);
}

}  // namespace
