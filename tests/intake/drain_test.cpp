// The intake driven through a loopback socket: storing, echoes, schedule, re-base, loss scan.
#include <gtest/gtest.h>
#include <pthread.h>

#include <ctime>

#include "intake/intake_rules.h"
#include "intake_harness.h"

namespace {

using intaketest::count_of;
using intaketest::Harness;
using intaketest::LogCapture;

TEST(DrainTest, DatagramLengthsDecideDataOrControl) {
    LogCapture log;
    Harness h;
    h.store(99);
    h.send(100, 1000, 0, 188);
    h.send(101, 1000, 0, 1400);  // cut to 1328 by the read
    h.drain();
    ASSERT_TRUE(h.filled(100) && h.filled(101));
    EXPECT_EQ(h.slot_of(100).len, 176);
    EXPECT_EQ(h.slot_of(101).len, 1316);
    EXPECT_EQ(h.slot_of(101).payload[1315], 101);

    // 187 bytes of type 4: ignored, nothing stored.
    unsigned char ctl[187] = {4};
    h.up.send_raw(ctl, sizeof ctl);
    h.drain();
    EXPECT_EQ(h.curseq(), 101u);
    EXPECT_EQ(h.loop->ctx.rtt.load(), kInitialRtt);
}

Timespec32 ago(int32_t ms) {
    Timespec32 now;
    timespec_now(&now);
    Timespec32 d{ms / 1000, (ms % 1000) * 1000000};
    timespec_fulsub(&now, &d);
    return now;
}

TEST(DrainTest, EchoesSetTheRoundTripEstimate) {
    Harness h;
    std::atomic<uint32_t>& rtt = h.loop->ctx.rtt;
    h.up.send_echo(ago(120));
    h.drain();
    EXPECT_GE(rtt.load(), 120000000u);
    EXPECT_LT(rtt.load(), 170000000u);
    h.up.send_echo(ago(10), 187);
    h.drain();
    EXPECT_EQ(rtt.load(), kRttMin);
    h.up.send_echo(ago(100), 8);  // no whole stamp: ignored
    h.drain();
    EXPECT_EQ(rtt.load(), kRttMin);
}

TEST(DrainTest, KeepaliveAndStatisticsByStreamSecond) {
    LogCapture log;
    Harness h;
    struct Step {
        int32_t sec, nsec;
        int keepalives, stats_lines;
    };
    // The first datagram after start-up writes a line and sends a keepalive at once.
    const Step steps[] = {{59, 900000000, 1, 1}, {60, 0, 0, 0},         {60, 900000000, 0, 0},
                          {61, 0, 1, 1},         {70, 900000000, 0, 0}, {71, 0, 1, 0}};
    uint32_t seq = 5;
    for (const Step& s : steps) {
        const int lines_before = count_of(log.text(), "isock read ");
        h.send(seq++, s.sec, s.nsec);
        h.drain();
        EXPECT_EQ(h.sent(RELAY_MSG_KEEPALIVE).size(), static_cast<size_t>(s.keepalives)) << s.sec;
        EXPECT_EQ(count_of(log.text(), "isock read ") - lines_before, s.stats_lines) << s.sec;
    }
    EXPECT_NE(log.text().find("isock read 188 bytes, 59 sec, 900000 us; rtt=60000, total "
                              "packets=5, curpos=0, send_pos=-1, lost=0, loss rate=0.0000\n"),
              std::string::npos)
        << log.text();
}

TEST(DrainTest, StatisticsLineReportsTheMinutesLoss) {
    LogCapture log;
    Harness h;
    h.store(13800);
    IntakeState& in = h.loop->intake;
    in.last_sec = 60;
    in.prev_curseq = 13800;
    in.stats_base = 10000;
    in.lost = 38;
    h.send(13801, 61, 250000000);
    h.drain();
    EXPECT_EQ(log.text(),
              "isock read 188 bytes, 61 sec, 250000 us; rtt=60000, total packets=13801, "
              "curpos=3560, send_pos=-1, lost=38, loss rate=1.0000\n");
    EXPECT_EQ(in.lost, 0);
    EXPECT_EQ(in.stats_base, 13800u);
}

TEST(DrainTest, LostCountsSkippedNumbersOnly) {
    LogCapture log;
    Harness h;
    int& lost = h.loop->intake.lost;
    const struct {
        uint32_t seq;
        int grows;
    } steps[] = {{100, 99}, {101, 0}, {105, 3}, {103, 0}};
    for (const auto& s : steps) {
        const int before = lost;
        h.send(s.seq);
        h.drain();
        EXPECT_EQ(lost - before, s.grows) << s.seq;
    }
}

TEST(DrainTest, ResetseqRebasesOnTheFirstDatagram) {
    LogCapture log;
    Harness h;
    h.store(700);
    h.loop->ctx.resetseq.store(1);
    h.send(20000);
    h.send(20001);
    h.drain();
    EXPECT_NE(log.text().find("need resetseq: seqnum: 20000, curpos=4640\n"), std::string::npos);
    EXPECT_EQ(h.ring->curpos.load(), 4641);
    EXPECT_EQ(h.loop->send_pos.load(), 4640);
    EXPECT_EQ(h.loop->scan_base.load(), 20000u);
    EXPECT_EQ(h.loop->ctx.resetseq.load(), 0);
    EXPECT_TRUE(h.filled(20000));
    EXPECT_EQ(h.slot_of(20000).seqnum, 20000u);
}

TEST(DrainTest, EveryTwentiethNewestScansForLosses) {
    LogCapture log;
    Harness h;
    h.store(1000);
    h.sender_at(1000);
    h.loop->scan_base.store(1000);
    // Sixty newest datagrams without 1010 and 1011: the scans at 20 and 40 are within the
    // grace, the one at 60 (curseq 1062) asks for both.
    for (uint32_t s = 1001; s <= 1062; ++s)
        if (s != 1010 && s != 1011)
            h.send(s);
    h.drain();
    const auto lost = h.sent(RELAY_MSG_LOST_REQUEST);
    ASSERT_EQ(lost.size(), 1u);
    EXPECT_EQ(lost[0],
              (testsupport::Datagram{1, 0, 0, 0, 2, 0, 0, 0, 0xf2, 3, 0, 0, 0xf3, 3, 0, 0}));
}

TEST(DrainTest, RingFullDatagramsAreDroppedNotStored) {
    LogCapture log;
    Harness h;
    h.store(2000);
    h.sender_at(2000);
    h.send(7119);  // backlog 5119: stored
    h.send(7120);  // would overwrite slot 2000, which the sender has not sent
    h.send(7121);
    h.drain();
    EXPECT_EQ(h.curseq(), 7119u);
    EXPECT_EQ(h.slot_of(2000).seqnum, 2000u);
    EXPECT_EQ(h.loop->intake.ring_full_drops, 2u);
    EXPECT_EQ(h.loop->intake.lost, 7118);  // 1..7118; the dropped ones count once stored past
    EXPECT_EQ(count_of(log.text(), "!! ring full, dropping seq=7120 (send_pos seq=2000)\n"), 1);

    h.sender_at(2100);  // the sender moved on: the next datagram fills the gap with placeholders
    h.send(7122);
    h.drain();
    EXPECT_FALSE(h.filled(7120));
    EXPECT_EQ(h.slot_of(7121).seqnum, 7121u);
    EXPECT_EQ(h.loop->intake.lost, 7120);
    h.send(20000);  // a jump of a whole ring is a renumbered stream and is stored
    h.drain();
    EXPECT_EQ(h.curseq(), 20000u);
    EXPECT_EQ(h.loop->intake.ring_full_drops, 2u);
}

TEST(DrainTest, DatagramModeStartsTheSenderOnceOnTheFirstPacket) {
    LogCapture log;
    testsupport::FakeUpstream sink;
    auto* h = new Harness(false);
    h->loop->osock = sink.open_relay_socket();
    h->send(10);
    h->send(11);
    h->drain();
    EXPECT_EQ(count_of(log.text(), "!!\n"), 1);
    EXPECT_TRUE(h->loop->sender_started);
    EXPECT_NE(h->loop->send_pos.load(), -1);
    // The sender leaves its loop on stop; one that does not in time keeps its loop alive.
    h->loop->ctx.stop.store(STOP_REQUESTED);
    timespec deadline;
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += 3;
    if (pthread_timedjoin_np(h->loop->last_thread, nullptr, &deadline) == 0) {
        close(h->loop->osock);
        delete h;
    }
}

}  // namespace
