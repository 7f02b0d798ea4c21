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

void close_all(const std::vector<Conn>& conns) {
    for (const Conn& c : conns) {
        close(c.ours);
        close(c.peer);
    }
}

bool peer_sees_close(int peer) {
    pollfd p{peer, POLLIN, 0};
    char c;
    return poll(&p, 1, 0) == 1 && read(peer, &c, 1) == 0;
}

TEST(HeadCap, TheOldestStillSendingItsHeadMakesRoomForANewcomer) {
    HeadCap heads;
    ASSERT_EQ(headcap_init(&heads, 3), 0);
    std::vector<Conn> conns;
    std::vector<int> slots;
    int closed = 0;
    for (int i = 0; i < 3; ++i) {
        conns.push_back(make_conn());
        ASSERT_TRUE(headcap_has_room(&heads));
        slots.push_back(headcap_admit(&heads, conns[i].ours, &closed));
        EXPECT_EQ(closed, 0);
    }
    // The second one has read its head: it no longer counts, so the fourth closes nobody.
    bool wake = false;
    EXPECT_FALSE(headcap_leave(&heads, slots[1], conns[1].ours, &wake));
    conns.push_back(make_conn());
    slots.push_back(headcap_admit(&heads, conns[3].ours, &closed));
    EXPECT_EQ(closed, 0);
    // The fifth finds three: the oldest (the first) is shut down, nobody else.
    conns.push_back(make_conn());
    slots.push_back(headcap_admit(&heads, conns[4].ours, &closed));
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(peer_sees_close(conns[0].peer));
    for (int i : {2, 3, 4})
        EXPECT_FALSE(peer_sees_close(conns[i].peer)) << i;
    // Its thread learns that it was closed at the cap; the others that they were not.
    EXPECT_TRUE(headcap_leave(&heads, slots[0], conns[0].ours, &wake));
    EXPECT_FALSE(headcap_leave(&heads, slots[2], conns[2].ours, &wake));
    close_all(conns);
}

TEST(HeadCap, WithoutAFreeSlotTheLoopWaitsAndTheNextLeaverWakesIt) {
    HeadCap heads;
    ASSERT_EQ(headcap_init(&heads, 1), 0);
    std::vector<Conn> conns;
    std::vector<int> slots;
    int closed = 0;
    // Each newcomer shuts the previous one down; shut slots stay taken until their threads
    // leave, so after 1 + spare connections nothing is free.
    while (headcap_has_room(&heads)) {
        conns.push_back(make_conn());
        slots.push_back(headcap_admit(&heads, conns.back().ours, &closed));
        ASSERT_GE(slots.back(), 0);
    }
    EXPECT_EQ(static_cast<int>(conns.size()), 1 + kSpareHeadSlots);
    bool wake = false;
    EXPECT_TRUE(headcap_leave(&heads, slots[0], conns[0].ours, &wake));
    EXPECT_TRUE(wake);
    EXPECT_TRUE(headcap_has_room(&heads));
    close_all(conns);
}

TEST(HeadCap, NoCapTracksNothing) {
    HeadCap heads;
    ASSERT_EQ(headcap_init(&heads, 0), 0);
    int closed = 0;
    EXPECT_TRUE(headcap_has_room(&heads));
    EXPECT_EQ(headcap_admit(&heads, 5, &closed), -1);
    bool wake = true;
    EXPECT_FALSE(headcap_leave(&heads, -1, 5, &wake));
    EXPECT_FALSE(wake);
}

// Threads leave while the loop admits and closes: every connection is either left by its
// thread or closed by the loop, never both, and the counts add up.
TEST(HeadCap, LeaversAndTheLoopRacingNeverBothWin) {
    HeadCap heads;
    ASSERT_EQ(headcap_init(&heads, 4), 0);
    std::atomic<int> shut_seen{0};
    int closed_total = 0;
    std::vector<std::thread> threads;
    std::vector<Conn> conns;
    for (int i = 0; i < 400; ++i) {
        while (!headcap_has_room(&heads))
            std::this_thread::yield();
        conns.push_back(make_conn());
        int closed = 0;
        const int fd = conns.back().ours;
        const int slot = headcap_admit(&heads, fd, &closed);
        closed_total += closed;
        threads.emplace_back([&heads, &shut_seen, slot, fd, i] {
            if (i % 3)
                std::this_thread::yield();
            bool wake = false;
            if (headcap_leave(&heads, slot, fd, &wake))
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
    close_all(conns);
}

}  // namespace
