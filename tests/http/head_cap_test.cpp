// The cap on connections still sending their head, with real sockets: who is closed, when a
// slot is free, and that a thread leaving and the loop closing never both win.
#include "http/head_cap.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>
#include <vector>

namespace {

struct Conn {
    int ours, peer;  // ours is what the daemon holds; peer is the client's end
};

Conn make_conn() {
    int sv[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    return {sv[0], sv[1]};
}

bool peer_sees_close(int peer) {
    pollfd p{peer, POLLIN, 0};
    char c;
    return poll(&p, 1, 0) == 1 && read(peer, &c, 1) == 0;
}

// A cap and the connections admitted to it, in order; `closed` and `wake` are the last
// admit's and leave's reports.
struct HeadCapTest : ::testing::Test {
    HeadCap heads;
    std::vector<Conn> conns;
    std::vector<int> slots;
    int closed = 0;
    bool wake = false;

    void admit() {
        conns.push_back(make_conn());
        slots.push_back(headcap_admit(&heads, conns.back().ours, &closed));
    }
    // Whether connection i's thread, leaving, learns that the loop closed it at the cap.
    bool leave(size_t i) { return headcap_leave(&heads, slots[i], conns[i].ours, &wake); }
    ~HeadCapTest() override {
        for (const Conn& c : conns) {
            close(c.ours);
            close(c.peer);
        }
    }
};

TEST_F(HeadCapTest, TheOldestStillSendingItsHeadMakesRoomForANewcomer) {
    ASSERT_EQ(headcap_init(&heads, 3), 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(headcap_has_room(&heads));
        admit();
        EXPECT_EQ(closed, 0);
    }
    // The second one has read its head: it no longer counts, so the fourth closes nobody.
    EXPECT_FALSE(leave(1));
    admit();
    EXPECT_EQ(closed, 0);
    // The fifth finds three: the oldest (the first) is shut down, nobody else.
    admit();
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(peer_sees_close(conns[0].peer));
    for (int i : {2, 3, 4})
        EXPECT_FALSE(peer_sees_close(conns[i].peer)) << i;
    // Its thread learns that it was closed at the cap; the others that they were not.
    EXPECT_TRUE(leave(0));
    EXPECT_FALSE(leave(2));
}

TEST_F(HeadCapTest, WithoutAFreeSlotTheLoopWaitsAndTheNextLeaverWakesIt) {
    ASSERT_EQ(headcap_init(&heads, 1), 0);
    // Each newcomer shuts the previous one down; shut slots stay taken until their threads
    // leave, so after 1 + spare connections nothing is free.
    while (headcap_has_room(&heads)) {
        admit();
        ASSERT_GE(slots.back(), 0);
    }
    EXPECT_EQ(static_cast<int>(conns.size()), 1 + kSpareHeadSlots);
    EXPECT_TRUE(leave(0));
    EXPECT_TRUE(wake);
    EXPECT_TRUE(headcap_has_room(&heads));
}

TEST_F(HeadCapTest, NoCapTracksNothing) {
    ASSERT_EQ(headcap_init(&heads, 0), 0);
    EXPECT_TRUE(headcap_has_room(&heads));
    admit();
    EXPECT_EQ(slots[0], -1);
    wake = true;
    EXPECT_FALSE(leave(0));
    EXPECT_FALSE(wake);
}

// Threads leave while the loop admits and closes: every connection is either left by its
// thread or closed by the loop, never both, and the counts add up.
TEST_F(HeadCapTest, LeaversAndTheLoopRacingNeverBothWin) {
    ASSERT_EQ(headcap_init(&heads, 4), 0);
    std::atomic<int> shut_seen{0};
    int closed_total = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 400; ++i) {
        while (!headcap_has_room(&heads))
            std::this_thread::yield();
        admit();
        closed_total += closed;
        const int slot = slots.back(), fd = conns.back().ours;
        threads.emplace_back([cap = &heads, &shut_seen, slot, fd, i] {
            if (i % 3)
                std::this_thread::yield();
            bool woken = false;
            if (headcap_leave(cap, slot, fd, &woken))
                shut_seen.fetch_add(1);
        });
        if (threads.size() == 16) {
            for (auto& t : threads)
                t.join();
            threads.clear();
        }
    }
    for (auto& t : threads)
        t.join();
    EXPECT_EQ(shut_seen.load(), closed_total);
}

}  // namespace
