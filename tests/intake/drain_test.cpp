// The intake fed through its upstream socket: storing, echoes, schedule, re-base, loss scan.
#include <gtest/gtest.h>
#include <pthread.h>

#include <climits>
#include <ctime>

#include "buffer/sender.h"
#include "intake/default_recovery.h"
#include "intake/intake_rules.h"
#include "intake/loss_scan.h"
#include "intake_harness.h"

namespace {

using intaketest::count_of;
using intaketest::Harness;

TEST(DrainTest, DataByLengthEchoesSetTheRoundTripEstimate) {
    Harness h;
    h.store(99);
    h.send(100, 1000, 0, 188);
    h.send(101, 1000, 0, 1400);  // cut to 1328 by the read
    h.drain();
    ASSERT_TRUE(h.filled(100) && h.filled(101));
    EXPECT_EQ(h.slot_of(100).len, 176);
    EXPECT_EQ(h.slot_of(101).len, 1316);
    EXPECT_EQ(h.slot_of(101).payload[1315], 101);
    const unsigned char ctl[187] = {4};  // any other type below 188 bytes: ignored
    h.send_raw(ctl, sizeof ctl);
    h.drain();
    EXPECT_EQ(h.curseq(), 101u);
    EXPECT_EQ(h.pauses, 1) << "a drain ended by a foreign datagram takes no pause";

    // The round trip runs to the drain's own reading of the clock; the clamp's edges are the
    // rules' test. A stamp from the future reads as the shortest however late the drain runs.
    auto ago = [](int32_t ms) {
        Timespec32 now, d{ms / 1000, ms % 1000 * 1000000};
        timespec_now(&now);
        timespec_fulsub(&now, &d);
        return now;
    };
    auto ns = [](Timespec32 t) { return t.tv_sec * 1000000000LL + t.tv_nsec; };
    std::atomic<uint32_t>& rtt = h.ctx.rtt;
    EXPECT_EQ(rtt.load(), kInitialRtt);
    const Timespec32 stamp = ago(100);
    h.send_echo(stamp);
    h.drain();
    EXPECT_GE(rtt.load(), 100000000u);
    EXPECT_LE(rtt.load(), ns(ago(0)) - ns(stamp));
    h.send_echo(ago(-2000), 187);
    h.drain();
    EXPECT_EQ(rtt.load(), kRttMin);
    h.send_echo(ago(100), 11);  // no whole stamp: ignored
    h.drain();
    EXPECT_EQ(rtt.load(), kRttMin);
}

// Keepalives and statistics lines by stream second, and the count of skipped numbers.
TEST(DrainTest, ScheduleAndLossCountFollowTheDatagrams) {
    Harness h;
    h.store(1000);
    h.in->state.prev_curseq = 1000;
    const struct {
        uint32_t seq;
        int32_t sec, nsec;
        int keepalives, lines, lost;
    } steps[] = {{1001, 59, 900000000, 1, 1, 0},  // the first datagram after start-up
                 {1002, 60, 0, 0, 0, 0},         {1040, 60, 5, 0, 0, 37},  // the same second
                 {1020, 60, 6, 0, 0, 37},                                  // late: not a skip
                 {1041, 61, 250000000, 1, 1, 0}, {1050, 70, 900000000, 0, 0, 8},
                 {1051, 69, 0, 1, 0, 8}};  // back from a multiple of 10: a change all the same
    for (const auto& s : steps) {
        const int lines_before = count_of(h.log.text(), "isock read ");
        h.send(s.seq, s.sec, s.nsec);
        h.drain();
        EXPECT_EQ(h.sent(RELAY_MSG_KEEPALIVE).size(), static_cast<size_t>(s.keepalives)) << s.seq;
        EXPECT_EQ(count_of(h.log.text(), "isock read ") - lines_before, s.lines) << s.seq;
        EXPECT_EQ(h.in->state.lost, s.lost) << s.seq;
    }
    EXPECT_NE(h.log.text().find("isock read 188 bytes, 61 sec, 250000 us; rtt=60000, total "
                                "packets=1041, curpos=1040, send_pos=-1, lost=37, loss "
                                "rate=92.5000\n"),
              std::string::npos)
        << h.log.text();
    EXPECT_EQ(h.in->state.stats_base, 1040u);
}

TEST(DrainTest, EveryTwentiethNewestScansForLosses) {
    Harness h;
    h.playing_at(1000);
    h.in->scan_base.store(1000);
    // Sixty newest datagrams without 1010 and 1011: the scans at 20 and 40 are within the
    // grace, the one at 60 (curseq 1062) asks for both.
    for (uint32_t s = 1001; s <= 1062; ++s)
        if (s != 1010 && s != 1011)
            h.send(s);
    h.drain();
    EXPECT_EQ(h.asked(), (std::vector<uint32_t>{1010, 1011}));
}

TEST(DrainTest, RingFullDatagramsAreDroppedNotStored) {
    Harness h;
    h.playing_at(2000);
    h.send(7119);  // backlog 5119: stored
    h.send(7120);  // would overwrite slot 2000, which the sender has not sent
    h.send(7121);
    h.drain();
    EXPECT_EQ(h.curseq(), 7119u);
    EXPECT_EQ(h.slot_of(2000).seqnum, 2000u);
    EXPECT_EQ(h.in->state.ring_full_drops, 2u);
    EXPECT_EQ(count_of(h.log.text(), "!! ring full, dropping seq=7120 (send_pos seq=2000)\n"), 1);
    EXPECT_EQ(count_of(h.log.text(), "!! ring full"), 1);  // one line a second

    h.sender_at(2100);  // the sender moved on: the next datagram fills the gap with placeholders
    h.send(7122);
    h.send(20000);  // a jump would clear the slots the sender has yet to play
    h.send(20001);
    h.drain();
    EXPECT_EQ(h.curseq(), 7122u);
    EXPECT_EQ(h.in->state.ring_full_drops, 4u);
    h.sender_at(7122);  // caught up: the jump is taken as the stream's new numbering
    h.send(20000);
    h.send(20001);
    h.drain();
    // The dropped ones count once.
    EXPECT_EQ(h.in->state.lost, 7118 + 2 + 20000 - 7123);
    EXPECT_EQ(h.curseq(), 20001u);
}

TEST(DrainTest, DatagramModeStartsTheSenderOnceAndItStopsWhenAsked) {
    static pthread_t sender;  // the hook is a plain function: the thread it starts is kept here
    static bool started = false;
    auto* h = new Harness(false);  // kept, with its ring, if its sender does not leave
    int out[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK, 0, out), 0);
    h->ctx.out_fd.store(out[0]);
    h->ctx.mode.store(MODE_UDP);
    h->in->hooks.start_sender = [](void* p) {  // as the loop's: the real sender
        Harness::start_hook(p);
        started =
            pthread_create(&sender, nullptr, sender_thread, &static_cast<Harness*>(p)->ctx) == 0;
    };
    h->send(10);
    h->send(11);
    h->drain();
    EXPECT_EQ(h->starts, 1);
    EXPECT_EQ(h->in->send_pos.load(), 10);
    ASSERT_TRUE(started);
    h->ctx.stop.store(STOP_REQUESTED);
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 5;
    ASSERT_EQ(pthread_timedjoin_np(sender, nullptr, &deadline), 0) << "the sender did not stop";
    close(out[0]);
    close(out[1]);
    delete h;
}

// Two jumps of about 2^31 each used to overflow the signed count of skipped numbers.
TEST(DrainTest, LostCountSaturatesInsteadOfOverflowing) {
    Harness h;
    const int& lost = h.in->state.lost;
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
TEST(DrainTest, TakeOverDoesNotAskForThePreviousStreamsPlaceholders) {
    Harness h;
    h.store(1000);
    h.store(1100);  // placeholders 1001..1099 of the stream before
    static_cast<DefaultRecovery*>(h.in->recovery.get())->newest_count = kLossScanEvery - 1;
    h.ctx.resetseq.store(1);
    h.send(5);  // the new stream's first datagram: re-base, then a scan of the whole ring
    h.send(7);
    h.drain();
    EXPECT_NE(h.log.text().find("need resetseq: seqnum: 5, curpos=5\n"), std::string::npos);
    EXPECT_EQ(h.in->send_pos.load(), 5);
    EXPECT_EQ(h.in->scan_base.load(), 5u);
    EXPECT_EQ(h.ctx.resetseq.load(), 0);
    ASSERT_EQ(h.curseq(), 7u);
    EXPECT_TRUE(h.asked().empty());

    // Its own gaps are still asked for once they are 51 behind.
    for (uint32_t s = 8; s <= 70; ++s)
        h.send(s);
    h.drain();
    EXPECT_EQ(h.asked(), std::vector<uint32_t>{6});
}

}  // namespace

// Copies of one junk datagram (numbered 0x58585858, impossible nanoseconds) amid a stream: the
// stream goes on in its window and no suspend goes out.
TEST(DrainTest, FloodOfOneJunkDatagramNeitherMovesTheRingNorHoldsTheUpstream) {
    for (const bool latency : {false, true}) {
        SCOPED_TRACE(latency ? "-L" : "default");
        Harness h;
        if (latency)
            h.latency(200000);
        h.playing_at(5000);
        Timespec32 start{}, end{};
        timespec_monotonic(&start);
        uint32_t seq = 5001;
        for (int round = 0; round < 20; ++round) {
            for (int i = 0; i < 40; ++i)
                h.send(0x58585858, 0x58585858, 0x58585858, 1316);
            for (int i = 0; i < 10; ++i, ++seq)
                h.send(seq, 1000 + round, i * 1000000);
            h.drain();
            EXPECT_EQ(h.curseq(), seq - 1);
        }
        for (uint32_t s = 5001; s < seq; ++s)
            EXPECT_TRUE(h.filled(s)) << s;
        timespec_monotonic(&end);
        EXPECT_TRUE(h.sent(RELAY_MSG_SUSPEND).empty());
        EXPECT_EQ(h.in->state.ring_full_drops, 0u);
        EXPECT_EQ(h.pauses, 0) << "no pause that would let the junk push the stream out";
        // A line a second of the monotonic clock, however many seconds the flood spanned.
        const int lines = count_of(h.log.text(), "held until the stream follows it");
        EXPECT_GE(lines, 1);
        EXPECT_LE(lines, end.tv_sec - start.tv_sec + 1);
    }
}

TEST(DrainTest, RenumberedStreamIsFollowedOnceItsNextDatagramConfirmsTheJump) {
    Harness h;
    h.playing_at(5000);
    h.send(900000, 50, 0);
    h.drain();
    EXPECT_EQ(h.curseq(), 5000u) << "held";
    h.send(900000, 50, 0);  // a copy confirms nothing
    h.send(900002, 50, 10000000);
    h.drain();
    EXPECT_EQ(h.curseq(), 900002u);
    EXPECT_TRUE(h.filled(900000));
    EXPECT_TRUE(h.filled(900002));
}

// A second copy of the held number used to leave its length with the first copy's bytes.
TEST(DrainTest, HeldJumpLoggedWithTheLengthOfALaterCopy) {
    Harness h;
    h.playing_at(5000);
    h.in->state.last_sec = 60;  // the next stamp's second writes the minute's line
    h.send(900000, 61, 0, 1000);
    h.send(900000, 61, 0, 300);
    h.send(900001, 61, 1000000);
    h.drain();
    EXPECT_EQ(h.slot_of(900000).len, 1000 - kDataHeaderBytes);
    EXPECT_NE(h.log.text().find("isock read 1000 bytes, 61 sec"), std::string::npos)
        << h.log.text();
}
