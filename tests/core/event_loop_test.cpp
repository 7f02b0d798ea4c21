// The event loop's ring life and accept in HTTP mode, driven pass by pass over loopback.
#include "core/event_loop.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/openers.h"
#include "support/fake_upstream.h"
#include "support/process.h"

namespace {

using testsupport::count_of;
using testsupport::local_port;

struct HttpLoop : ::testing::Test {
    std::unique_ptr<EventLoop> loop = std::make_unique<EventLoop>();
    testsupport::UdpPeer upstream;
    testsupport::LogCapture log;

    void SetUp() override {
        ASSERT_EQ(event_loop_init(loop.get(), true), 0);
        loop->lsock = socket(AF_INET, SOCK_STREAM, 0);
        const sockaddr_in a = testsupport::loopback(0);
        ASSERT_EQ(bind(loop->lsock, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(loop->lsock, 10), 0);
    }
    void TearDown() override {
        ring_free(loop->sbuf.load());
        close(loop->lsock);
        // The detached client threads a test started use the loop's record until they end:
        // like the daemon's, it lives as long as the process.
        static auto* retired = new std::vector<std::unique_ptr<EventLoop>>;  // never destroyed
        retired->push_back(std::move(loop));
    }
    // Opens isock to our fake upstream and has the upstream send one datagram to it.
    void stream_one_datagram() {
        ASSERT_EQ(prepare_isock(&loop->isock, "127.0.0.1", upstream.port), 0);
        ASSERT_TRUE(upstream.send_to(local_port(loop->isock.load()),
                                     std::string(1, '\1') + std::string(199, '\0')));
    }
};

TEST_F(HttpLoop, RingIsAllocatedOnFirstDatagramAndFreedOnTwelfthIdlePass) {
    for (int i = 0; i < 3; ++i)  // without an upstream: no ring, and no idle pass counted
        event_loop_pass(loop.get());
    EXPECT_EQ(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->npasses, 3);
    EXPECT_EQ(log.text(), "");
    stream_one_datagram();
    loop->send_pos.store(7);
    event_loop_pass(loop.get());
    ASSERT_NE(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->send_pos.load(), -1);
    EXPECT_EQ(loop->sbuf.load()->nslots.load(), kRingSlots);
    EXPECT_EQ(count_of(log.text(), "Allocating sbuf\n"), 1);

    close(loop->isock.exchange(0));
    for (int pass = 1; pass <= 11; ++pass) {
        event_loop_pass(loop.get());
        ASSERT_NE(loop->sbuf.load(), nullptr) << "freed early on idle pass " << pass;
    }
    event_loop_pass(loop.get());
    EXPECT_EQ(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->idle_passes, 0);
    EXPECT_EQ(count_of(log.text(), "Freeing sbuf\n"), 1);
}

TEST_F(HttpLoop, ClientWithinTheIdlePassesKeepsTheRingAndTheCount) {
    stream_one_datagram();
    event_loop_pass(loop.get());
    PacketRing* ring = loop->sbuf.load();
    close(loop->isock.exchange(0));
    for (int i = 0; i < 5; ++i)
        event_loop_pass(loop.get());
    stream_one_datagram();  // a new client's socket: passes with a socket neither count nor clear
    for (int i = 0; i < 3; ++i)
        event_loop_pass(loop.get());
    EXPECT_EQ(loop->sbuf.load(), ring);
    EXPECT_EQ(loop->idle_passes, 5);
    EXPECT_EQ(count_of(log.text(), "Allocating sbuf"), 1);
    close(loop->isock.exchange(0));
}

TEST_F(HttpLoop, OneConnectionIsAcceptedPerPass) {
    const sockaddr_in a = testsupport::loopback(local_port(loop->lsock));
    int c[2];
    for (int& fd : c) {
        fd = socket(AF_INET, SOCK_STREAM, 0);
        ASSERT_EQ(connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
    }
    for (int accepted = 1; accepted <= 2; ++accepted) {
        event_loop_pass(loop.get());
        EXPECT_EQ(count_of(log.text(), "accepted http connection, fd="), accepted);
    }
    for (int fd : c)
        close(fd);
    // Their threads log into this test's capture: let them end before it goes.
    EXPECT_TRUE(testsupport::wait_for([&] { return count_of(log.text(), "Exiting") == 2; },
                                      std::chrono::seconds(5)));
}

// Datagram mode asks for a stream that does not come about every second, from the first timing.
TEST(EventLoopTest, StreamRequestIsRepeatedEverySecondOnceTimed) {
    const int64_t t0 = 9000000000;
    const struct {
        int64_t now_us, asked_us;
        bool want;
    } cases[] = {{t0, -1, false},  // not timed yet
                 {t0 + 999999, t0, false},
                 {t0 + 1000000, t0, true},
                 {t0 + 5000000, t0, true}};
    for (const auto& c : cases)
        EXPECT_EQ(stream_request_due(c.now_us, c.asked_us), c.want)
            << c.now_us << " " << c.asked_us;
}

}  // namespace
