// The cap on connections still sending their head, with real sockets: who is closed, when a
// slot is free, and that a thread leaving and the loop closing never both win.
#include "http/head_cap.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <deque>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_upstream.h"

namespace {

bool peer_sees_close(int peer) {
    pollfd p{peer, POLLIN, 0};
    char c;
    return poll(&p, 1, 0) == 1 && read(peer, &c, 1) == 0;
}

// A cap and the connections admitted to it, in order, with the last admit's and leave's reports.
struct HeadCapTest : ::testing::Test {
    HeadCap heads;
    std::deque<testsupport::SocketPair> conns;  // fd[0] is what the daemon holds, fd[1] the client
    std::vector<int> slots;
    int closed = 0;
    bool wake = false;
    int64_t now_ms = 0;

    void admit_at(int64_t t) {
        conns.emplace_back();
        slots.push_back(headcap_admit(&heads, conns.back().fd[0], t, &closed));
    }
    // Admits a new connection, after every one before has had its grace.
    void admit() { admit_at(now_ms += kHeadGraceMs); }
    void send_text(size_t i, const std::string& text) {
        ASSERT_EQ(write(conns[i].fd[1], text.data(), text.size()),
                  static_cast<ssize_t>(text.size()));
    }
    // Whether connection i's thread, leaving, learns that the loop closed it at the cap.
    bool leave(size_t i) { return headcap_leave(&heads, slots[i], conns[i].fd[0], &wake); }
    // The connections whose clients see them closed, as "0 3".
    std::string shut() const {
        std::string list;
        for (size_t i = 0; i < conns.size(); ++i)
            if (peer_sees_close(conns[i].fd[1]))
                list += (list.empty() ? "" : " ") + std::to_string(i);
        return list;
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
    EXPECT_EQ(shut(), "0");
    // Its thread learns that it was closed at the cap; the others that they were not.
    EXPECT_TRUE(leave(0));
    EXPECT_FALSE(leave(2));
}

// Queued input as the loop finds it, before the thread has read anything or after part of it.
TEST(HeadHasArrived, AnEmptyLineOrASimpleRequestLineEndsTheHead) {
    const struct {
        const char* text;
        bool whole;
    } cases[] = {
        {"GET /a/b HTTP/1.0\r\nHost: box\r\n\r\n", true},
        {"GET /a/b HTTP/1.0\n\n", true},
        {"GET /a/b HTTP/1.0\r\nHost: box\r\n", false},  // the empty line is still to come
        {"GET /a/b HTTP/1.0\r\n\r", false},             // its line feed too
        {"GET /a/b HTTP/1.0", false},
        {"GET /a/b\r\n", true},  // a simple request: the reader stops after it
        {"HEAD /status\n", true},
        {"GET /a/b", false},
        {"", false},
        // A line of blanks and punctuation trims to nothing: the reader takes it for the end.
        {"GET / HTTP/1.0\r\n -- \r\n", true},
        {"GET / HTTP/1.0\r\n*\r\n", false},
        // The middle of a head whose start the thread has read: the first line may be the end
        // of one, so only a later empty line counts.
        {"\r\n", false},
        {"\nHost: box\r\n", false},
        {"ost: box\r\n\r\n", true},
        {"TP/1.0\r\n", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(head_has_arrived(c.text, strlen(c.text)), c.whole) << c.text;
}

// At the cap the loop closed connections whose heads had arrived whole, because their threads
// had not yet run to read them. Those are skipped and do not count against the cap; only the
// oldest one still sending gives way.
TEST_F(HeadCapTest, CompleteHeadsWereClosedAtTheCapBeforeTheirThreadsRan) {
    ASSERT_EQ(headcap_init(&heads, 2), 0);
    admit();
    admit();
    send_text(0, "GET /127.0.0.1-1234/a HTTP/1.0\r\nHost: box\r\n\r\n");
    send_text(1, "GET /127.0.0.1-1234/a HTTP/1.0\r\n");  // still sending
    admit();                                             // one still sending, under the cap of two
    EXPECT_EQ(closed, 0);
    send_text(2, "GET /status\r\n");
    admit();  // the newcomer has sent nothing yet: two still sending
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(shut(), "1");
    EXPECT_TRUE(leave(1));
    // With every head in the table whole, newcomers take spare slots and nobody is closed.
    send_text(3, "HEAD /metrics HTTP/1.0\r\n\r\n");
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(headcap_has_room(&heads));
        admit();
        EXPECT_EQ(closed, 0) << i;
        ASSERT_GE(slots.back(), 0);
    }
    // Two still sending beside four whole heads: the older of the two gives way.
    admit();
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(shut(), "1 4");
    for (size_t i : {0, 2, 3})
        EXPECT_FALSE(leave(i)) << i;
}

// At the cap the loop closed a connection the moment a newer one came, although clients
// connect first and send their heads a moment later: a burst of them lost its oldest.
TEST_F(HeadCapTest, ConnectionsThatHadNotYetSentWereClosedAtTheCapAtOnce) {
    ASSERT_EQ(headcap_init(&heads, 2), 0);
    const int64_t t = 5000;
    for (int i = 0; i < 3; ++i)
        admit_at(t);
    admit_at(t + kHeadGraceMs - 1);
    EXPECT_EQ(closed, 0);
    admit_at(t + kHeadGraceMs);  // the oldest has had its grace
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(shut(), "0");
    // The rest of the first three go as more come; the one admitted at t + 99 ms is in its grace.
    while (headcap_has_room(&heads))
        admit_at(t + kHeadGraceMs);
    EXPECT_EQ(static_cast<int>(conns.size()), 2 + kSpareHeadSlots);  // shut ones hold slots
    EXPECT_EQ(shut(), "0 1 2");
    // With no slot left, the oldest still sending makes room whatever its age.
    EXPECT_EQ(headcap_make_room(&heads), 1);
    EXPECT_EQ(shut(), "0 1 2 3");
    EXPECT_TRUE(leave(3));
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

// Threads leave while the loop admits, looks at queued heads and closes: every connection is
// either left by its thread or closed by the loop, never both, and the counts add up.
TEST_F(HeadCapTest, LeaversAndTheLoopRacingNeverBothWin) {
    ASSERT_EQ(headcap_init(&heads, 4), 0);
    std::atomic<int> shut_seen{0};
    int closed_total = 0;
    std::vector<std::thread> threads;
    for (int i = 0; i < 400; ++i) {
        while (!headcap_has_room(&heads))
            std::this_thread::yield();
        admit();
        if (i % 2)  // half of them have their heads whole: the loop looks and puts them back
            send_text(conns.size() - 1, "GET /status\r\n");
        closed_total += closed;
        const int slot = slots.back(), fd = conns.back().fd[0];
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

// A thread that found the loop at its descriptor waited for the loop to give it back. Now it
// leaves at once, and a close it wants before the loop is done is left to the loop.
TEST_F(HeadCapTest, ThreadLeavingWhileTheLoopHasItsDescriptorDoesNotWait) {
    ASSERT_EQ(headcap_init(&heads, 2), 0);
    admit();
    const int fd = conns[0].fd[0];
    heads.slots[slots[0]].fd.store(kSlotBusy);  // the loop's look at its queued head
    bool loop_busy = false;
    EXPECT_FALSE(headcap_leave(&heads, slots[0], fd, &wake, &loop_busy));
    EXPECT_TRUE(loop_busy);
    EXPECT_EQ(heads.slots[slots[0]].fd.load(), slot_left(fd));
    headcap_close(&heads, slots[0], fd);
    EXPECT_EQ(heads.slots[slots[0]].fd.load(), slot_handed(fd));
    EXPECT_FALSE(peer_sees_close(conns[0].fd[1])) << "closed under the loop";
    // Once the loop has freed the slot, the thread closes its own.
    admit();
    heads.slots[slots[1]].fd.store(slot_left(conns[1].fd[0]));
    heads.slots[slots[1]].fd.store(0);
    headcap_close(&heads, slots[1], conns[1].fd[0]);
    EXPECT_TRUE(peer_sees_close(conns[1].fd[1]));
    conns[1].fd[0] = -1;
}

}  // namespace
