// Storing datagrams into the ring by sequence number, and the send position's advance over it.
#include "buffer/packet_ring.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct Ring {
    PacketRing* r = ring_alloc();
    ~Ring() { ring_free(r); }
    PacketRing* operator->() { return r; }

    // Stores packet seq, and returns what the ring printed meanwhile.
    std::string add(uint32_t seq, unsigned char tag = 0) {
        PacketSlot pkt{};
        pkt.seqnum = seq;
        pkt.len = 188;
        pkt.payload[0] = tag;
        CaptureStdout();
        add_item(r, &pkt, seq);
        return GetCapturedStdout();
    }
    // Marks slot p with content add_item never writes, to see whether it was left alone.
    void mark(int p) {
        r->slots[p].seqnum = 0xDEADBEEF;
        r->filled[p].store(1);
    }
    bool marked(int p) const {
        return r->slots[p].seqnum == 0xDEADBEEF && r->filled[p].load() == 1;
    }
    bool holds(uint32_t seq) const {
        const int p = static_cast<int>(seq % kRingSlots);
        return r->filled[p].load() == 1 && r->slots[p].seqnum == seq && r->slots[p].len == 188;
    }
    bool placeholder(uint32_t seq) const {
        const int p = static_cast<int>(seq % kRingSlots);
        return r->filled[p].load() == 0 && r->slots[p].seqnum == seq && r->slots[p].len == 0;
    }
};

TEST(PacketRingTest, NewestPacketLeavesPlaceholdersForTheNumbersItSkips) {
    Ring ring;
    ring.mark(0);
    ring.add(3);
    EXPECT_TRUE(ring.placeholder(1) && ring.placeholder(2) && ring.holds(3));
    EXPECT_EQ(ring->curseq.load(), 3u);
    EXPECT_EQ(ring->curpos.load(), 3);
    EXPECT_TRUE(ring.marked(0));

    // A jump of a whole ring or more refills every slot but the one after the newest.
    ring.mark(1601);
    ring.add(1000000);
    EXPECT_EQ(ring->curseq.load(), 1000000u);
    EXPECT_EQ(ring->curpos.load(), 1600);
    EXPECT_TRUE(ring.holds(1000000) && ring.marked(1601));
    for (uint32_t s = 994882; s <= 999999; ++s)
        ASSERT_TRUE(ring.placeholder(s)) << s;
}

TEST(PacketRingTest, InOrderLateDuplicateAndStalePackets) {
    Ring ring;
    ring.add(9);
    ring.add(10);
    EXPECT_TRUE(ring.holds(9) && ring.holds(10));
    EXPECT_EQ(ring.add(7), "");  // fills its placeholder
    EXPECT_EQ(ring.add(7), "Adding duplicate packet seq=7, pos=7!!\n");
    EXPECT_EQ(ring.add(10), "Adding duplicate packet seq=10, pos=10!!\n");  // equal to curseq
    EXPECT_TRUE(ring.holds(7));
    EXPECT_EQ(ring->curseq.load(), 10u);
    EXPECT_EQ(ring->curpos.load(), 10);

    ring.add(10000);
    ring.mark(4880);
    EXPECT_EQ(ring.add(10000 - 5120), "");  // just outside the window: dropped
    EXPECT_TRUE(ring.marked(4880));
    EXPECT_EQ(ring->curseq.load(), 10000u);
}

TEST(PacketRingTest, SequenceNumberWrapsPast32Bits) {
    const struct {
        uint32_t curseq, seq;
        const char* out;
        uint32_t want_curseq;
        int steps;  // slots the newest position moves on
    } cases[] = {{4294967295u, 0, "Seqnum=0\n", 0, 1},
                 {4294967294u, 0, "Seqnum=0\n", 0, 2},   // one placeholder for 4294967295
                 {4294967290u, 3, "", 4294967291u, 1}};  // no placeholders across the wrap
    for (const auto& c : cases) {
        Ring ring;
        const int start = static_cast<int>(c.curseq % kRingSlots);
        ring->curseq.store(c.curseq);
        ring->curpos.store(start);
        EXPECT_EQ(ring.add(c.seq), c.out) << c.curseq;
        EXPECT_EQ(ring->curseq.load(), c.want_curseq) << c.curseq;
        EXPECT_EQ(ring->curpos.load(), (start + c.steps) % kRingSlots) << c.curseq;
        EXPECT_EQ(ring->slots[(start + c.steps) % kRingSlots].seqnum, c.seq);
        EXPECT_TRUE(c.steps == 1 || ring.placeholder(4294967295u));
    }
}

TEST(PacketRingTest, SendPositionSkipsPlaceholdersAndStopsAtTheNewest) {
    Ring ring, wrap;
    ring.add(100);
    ring.add(104);  // placeholders 101..103
    ring.add(105);
    std::atomic<int> send_pos{-1};
    advance_send_pos(ring.r, &send_pos, 100);
    EXPECT_EQ(send_pos.load(), 104);
    advance_send_pos(ring.r, &send_pos, 104);
    EXPECT_EQ(send_pos.load(), 105);
    // Past the last index the position wraps to 0 (a placeholder) and goes on to the newest.
    wrap.add(5119);
    wrap.add(5121);
    advance_send_pos(wrap.r, &send_pos, 5119);
    EXPECT_EQ(send_pos.load(), 1);
}

// A re-based ring keeps the old stream's slots, one of them maybe with the same number.
TEST(PacketRingTest, RebaseOverStaleSlotWithSameSeqnumStoresTheNewPacket) {
    Ring ring;
    ring.add(1, 'o');
    ring->curseq.store(1);  // the intake's re-base on the new stream's first packet
    ring->curpos.store(1);
    ring.add(1, 'n');
    EXPECT_EQ(ring->slots[1].payload[0], 'n');
}

}  // namespace
