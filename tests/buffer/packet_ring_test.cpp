// Storing datagrams into the ring by sequence number, and the send position's advance over it.
#include "buffer/packet_ring.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct RingDeleter {
    void operator()(PacketRing* r) const { ring_free(r); }
};
using RingPtr = std::unique_ptr<PacketRing, RingDeleter>;

RingPtr new_ring() {
    RingPtr ring(ring_alloc());
    EXPECT_NE(ring, nullptr);
    return ring;
}

void add(PacketRing* ring, uint32_t seq) {
    PacketSlot pkt;
    std::memset(&pkt, 0, sizeof pkt);
    pkt.seqnum = seq;
    pkt.ts = Timespec32{7, static_cast<int32_t>(seq % 1000)};
    pkt.len = 188;
    pkt.payload[0] = static_cast<unsigned char>(seq);
    add_item(ring, &pkt, seq);
}

// Marks slot p with content add_item never writes, to see whether it was left alone.
void mark(PacketRing* ring, int p) {
    ring->slots[p].seqnum = 0xDEADBEEF;
    ring->filled[p].store(1);
}

bool marked(const PacketRing* ring, int p) {
    return ring->slots[p].seqnum == 0xDEADBEEF && ring->filled[p].load() == 1;
}

void expect_placeholder(const PacketRing* ring, int p, uint32_t seq) {
    EXPECT_EQ(ring->filled[p].load(), 0) << p;
    EXPECT_EQ(ring->slots[p].seqnum, seq) << p;
    EXPECT_EQ(ring->slots[p].len, 0) << p;
}

TEST(PacketRingTest, FirstPacketMakesPlaceholdersForTheNumbersBelowIt) {
    RingPtr ring = new_ring();
    mark(ring.get(), 0);
    add(ring.get(), 3);
    expect_placeholder(ring.get(), 1, 1);
    expect_placeholder(ring.get(), 2, 2);
    EXPECT_EQ(ring->filled[3].load(), 1);
    EXPECT_EQ(ring->slots[3].seqnum, 3u);
    EXPECT_EQ(ring->curseq.load(), 3u);
    EXPECT_EQ(ring->curpos.load(), 3);
    EXPECT_TRUE(marked(ring.get(), 0));
}

TEST(PacketRingTest, JumpOfAWholeRingRefillsAllButOneSlot) {
    RingPtr ring = new_ring();
    mark(ring.get(), 1601);
    add(ring.get(), 1000000);
    EXPECT_EQ(ring->curseq.load(), 1000000u);
    EXPECT_EQ(ring->curpos.load(), 1600);
    EXPECT_EQ(ring->filled[1600].load(), 1);
    EXPECT_TRUE(marked(ring.get(), 1601));
    int placeholders = 0;
    for (uint32_t s = 994882; s <= 999999; ++s) {
        expect_placeholder(ring.get(), static_cast<int>(s % kRingSlots), s);
        ++placeholders;
    }
    EXPECT_EQ(placeholders, 5118);
}

TEST(PacketRingTest, InOrderLateDuplicateAndStalePackets) {
    RingPtr ring = new_ring();
    add(ring.get(), 9);
    add(ring.get(), 10);
    EXPECT_EQ(ring->curpos.load(), 10);
    EXPECT_EQ(ring->filled[9].load(), 1);

    const struct {
        uint32_t seq;
        const char* out;  // what the ring prints
    } steps[] = {
        {7, ""},  // fills its placeholder
        {7, "Adding duplicate packet seq=7, pos=7!!\n"},
        {10, "Adding duplicate packet seq=10, pos=10!!\n"},  // equal to curseq
    };
    for (const auto& s : steps) {
        CaptureStdout();
        add(ring.get(), s.seq);
        EXPECT_EQ(GetCapturedStdout(), s.out) << s.seq;
        EXPECT_EQ(ring->filled[7].load(), 1);
        EXPECT_EQ(ring->curseq.load(), 10u);
        EXPECT_EQ(ring->curpos.load(), 10);
    }

    add(ring.get(), 10000);
    mark(ring.get(), 4880 % kRingSlots);
    CaptureStdout();
    add(ring.get(), 10000 - 5120);  // just outside the window
    EXPECT_EQ(GetCapturedStdout(), "");
    EXPECT_TRUE(marked(ring.get(), 4880 % kRingSlots));
    EXPECT_EQ(ring->curseq.load(), 10000u);
}

TEST(PacketRingTest, SequenceNumberWrapsPast32Bits) {
    const struct {
        uint32_t curseq, seq;
        const char* out;
        uint32_t want_curseq;
        int steps;  // slots the newest position moves on
    } cases[] = {
        {4294967295u, 0, "Seqnum=0\n", 0, 1},
        {4294967294u, 0, "Seqnum=0\n", 0, 2},  // one placeholder for 4294967295
        {4294967290u, 3, "", 4294967291u, 1},  // no placeholders across the wrap
    };
    for (const auto& c : cases) {
        RingPtr ring = new_ring();
        const int start = static_cast<int>(c.curseq % kRingSlots);
        ring->curseq.store(c.curseq);
        ring->curpos.store(start);
        CaptureStdout();
        add(ring.get(), c.seq);
        EXPECT_EQ(GetCapturedStdout(), c.out) << c.curseq;
        EXPECT_EQ(ring->curseq.load(), c.want_curseq) << c.curseq;
        const int pos = (start + c.steps) % kRingSlots;
        EXPECT_EQ(ring->curpos.load(), pos) << c.curseq;
        EXPECT_EQ(ring->slots[pos].seqnum, c.seq);
        if (c.steps == 2)
            expect_placeholder(ring.get(), start + 1, 4294967295u);
    }
}

TEST(PacketRingTest, SendPositionSkipsPlaceholdersAndStopsAtTheNewest) {
    RingPtr ring = new_ring();
    add(ring.get(), 100);
    add(ring.get(), 104);  // placeholders 101..103
    add(ring.get(), 105);
    std::atomic<int> send_pos{-1};
    advance_send_pos(ring.get(), &send_pos, 100);
    EXPECT_EQ(send_pos.load(), 104);
    advance_send_pos(ring.get(), &send_pos, 104);
    EXPECT_EQ(send_pos.load(), 105);

    // Past the last index the position wraps to 0 (a placeholder) and goes on to the newest.
    RingPtr wrap = new_ring();
    add(wrap.get(), 5119);
    add(wrap.get(), 5121);  // placeholder 5120 at index 0, newest at 1
    advance_send_pos(wrap.get(), &send_pos, 5119);
    EXPECT_EQ(send_pos.load(), 1);
}

}  // namespace

namespace {

// A re-based ring keeps the slots of the stream before it; the new stream's first packet must
// replace what its slot held, even when the old packet there had the same sequence number.
TEST(PacketRingTest, RebaseOverStaleSlotWithSameSeqnumStoresTheNewPacket) {
    PacketRing* ring = ring_alloc();
    PacketSlot old_pkt{}, new_pkt{};
    old_pkt.seqnum = new_pkt.seqnum = 1;
    old_pkt.payload[0] = 'o';
    new_pkt.payload[0] = 'n';
    add_item(ring, &old_pkt, 1);
    ring->curseq.store(1);  // the intake's re-base on the new stream's first packet
    ring->curpos.store(1);
    testing::internal::CaptureStdout();
    add_item(ring, &new_pkt, 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(ring->slots[1].payload[0], 'n');
    ring_free(ring);
}

}  // namespace
