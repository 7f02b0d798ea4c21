// The loss scan over a ring set up directly: window, grace, sender position, limit, interval.
#include "intake/loss_scan.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

constexpr uint32_t kRtt = 60000000;

struct Ring {
    PacketRing* ring = ring_alloc();
    ~Ring() { ring_free(ring); }
    void store(uint32_t seq) {
        PacketSlot p{};
        p.seqnum = seq;
        add_item(ring, &p, seq);
    }
    // The numbers one scan asks for, with the sender at send_seq's slot.
    std::vector<uint32_t> scan(uint32_t send_seq, uint32_t scan_base, Timespec32 now) {
        uint32_t out[kLostRequestMax];
        int n = loss_scan(ring, static_cast<int>(send_seq % kRingSlots), scan_base, kRtt, now, out);
        return std::vector<uint32_t>(out, out + n);
    }
};

std::vector<uint32_t> range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t s = from; s <= to; ++s)
        v.push_back(s);
    return v;
}

TEST(LossScanTest, GapIsAskedForOnlyFiftyOneBehindTheNewest) {
    Ring r;
    r.store(1000);
    r.store(1002);  // placeholder 1001
    r.store(1051);
    EXPECT_TRUE(r.scan(1000, 1000, {500, 0}).empty());  // curseq - 1001 = 50
    r.store(1052);
    EXPECT_EQ(r.scan(1000, 1000, {500, 0}), (std::vector<uint32_t>{1001}));
}

TEST(LossScanTest, NeverAsksForWhatTheSenderPassed) {
    Ring r;
    r.store(1000);
    r.store(1100);  // placeholders 1001..1099
    EXPECT_EQ(r.scan(1040, 1000, {500, 0}), range(1041, 1049));
}

TEST(LossScanTest, FortyNinePerScanTheRestLater) {
    Ring r;
    r.store(1000);
    r.store(1061);  // sixty placeholders, 1001..1060
    for (uint32_t s = 1062; s <= 1120; ++s)
        r.store(s);
    EXPECT_EQ(r.scan(1000, 1000, {500, 0}), range(1001, 1049));
    EXPECT_EQ(r.scan(1000, 1000, {500, 0}), range(1050, 1060));
}

TEST(LossScanTest, ReAsksOnlyAfterTheInterval) {
    Ring r;
    r.store(1000);
    r.store(1060);  // placeholders 1001..1059, of which 1001..1009 are past the grace
    EXPECT_EQ(r.scan(1000, 1000, {500, 0}), range(1001, 1009));
    EXPECT_TRUE(r.scan(1000, 1000, {500, 180000000}).empty());  // 2 * (60 + 30) ms
    EXPECT_EQ(r.scan(1000, 1000, {500, 180000001}), range(1001, 1009));
}

TEST(LossScanTest, WindowStartsAtTheScanBase) {
    Ring r;
    r.store(1000);
    r.store(3000);                                      // placeholders 1001..2999
    EXPECT_TRUE(r.scan(1000, 2999, {500, 0}).empty());  // one slot back: 2999, within grace
    EXPECT_EQ(r.scan(1000, 2900, {500, 0}), range(2900, 2948));
    EXPECT_EQ(r.scan(1000, 0, {500, 0}), range(1500, 1548));  // at most 1500 back
    // A base equal to the newest: once around the whole ring from curpos.
    Ring w;
    w.store(1000);
    w.store(3000);
    EXPECT_EQ(w.scan(1000, 3000, {500, 0}), range(1001, 1049));
}

}  // namespace
