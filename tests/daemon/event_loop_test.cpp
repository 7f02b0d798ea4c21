// The event loop's ring life and accept in HTTP mode, driven pass by pass over loopback, and
// the reading of the datagram output socket.
#include "daemon/event_loop.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "daemon/accept.h"
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
        fcntl(loop->lsock, F_SETFL, O_NONBLOCK);  // as the daemon's: an accept never blocks
    }
    void TearDown() override {
        ring_free(loop->intake.sbuf.load());
        close(loop->lsock);
        // The detached client threads a test started use the loop's record until they end:
        // like the daemon's, it lives as long as the process.
        static auto* retired = new std::vector<std::unique_ptr<EventLoop>>;  // never destroyed
        retired->push_back(std::move(loop));
    }
    // n connections to the listener, not yet accepted.
    std::vector<int> connect_clients(int n) {
        const sockaddr_in a = testsupport::loopback(local_port(loop->lsock));
        std::vector<int> fds;
        for (int i = 0; i < n; ++i) {
            fds.push_back(socket(AF_INET, SOCK_STREAM, 0));
            EXPECT_EQ(connect(fds.back(), reinterpret_cast<const sockaddr*>(&a), sizeof a), 0);
        }
        return fds;
    }
    // The client threads log into this test's capture: they end before it goes.
    void close_and_await_threads(const std::vector<int>& fds) {
        for (int fd : fds)
            close(fd);
        const int n = static_cast<int>(fds.size());
        EXPECT_TRUE(testsupport::wait_for([&] { return count_of(log.text(), "Exiting") == n; },
                                          std::chrono::seconds(5)));
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
    EXPECT_EQ(loop->intake.sbuf.load(), nullptr);
    EXPECT_EQ(loop->npasses, 3);
    EXPECT_EQ(log.text(), "");
    stream_one_datagram();
    loop->intake.send_pos.store(7);
    event_loop_pass(loop.get());
    ASSERT_NE(loop->intake.sbuf.load(), nullptr);
    EXPECT_EQ(loop->intake.send_pos.load(), -1);
    EXPECT_EQ(loop->intake.sbuf.load()->nslots.load(), kRingSlots);
    PacketRing* ring = loop->intake.sbuf.load();

    close(loop->isock.exchange(0));
    for (int pass = 1; pass <= 11; ++pass) {
        if (pass == 6) {  // a new client's socket: passes with a socket neither count nor clear
            stream_one_datagram();
            for (int i = 0; i < 3; ++i)
                event_loop_pass(loop.get());
            EXPECT_EQ(loop->idle_passes, 5);
            close(loop->isock.exchange(0));
        }
        event_loop_pass(loop.get());
        ASSERT_EQ(loop->intake.sbuf.load(), ring) << "freed early on idle pass " << pass;
    }
    event_loop_pass(loop.get());
    EXPECT_EQ(loop->intake.sbuf.load(), nullptr);
    EXPECT_EQ(loop->idle_passes, 0);
    EXPECT_EQ(count_of(log.text(), "Allocating sbuf\n"), 1);
    EXPECT_EQ(count_of(log.text(), "Freeing sbuf\n"), 1);
}

TEST_F(HttpLoop, AcceptingOneConnectionAPassLeftABurstQueued) {
    std::vector<int> c = connect_clients(3);
    event_loop_pass(loop.get());
    EXPECT_EQ(count_of(log.text(), "accepted http connection, fd="), 3);
    close_and_await_threads(c);
}

// Connections are accepted during the pause after an empty read, which still lasts as long.
TEST_F(HttpLoop, ConnectionsWaitedBehindTheDrainsPause) {
    std::vector<int> c = connect_clients(2);
    const auto start = std::chrono::steady_clock::now();
    pause_accepting(loop.get(), 30000);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(30));
    EXPECT_EQ(count_of(log.text(), "accepted http connection, fd="), 2);
    close_and_await_threads(c);
}

TEST(EventLoopTest, OsockArrivalsAndErrorsAreLogged) {
    testsupport::LogCapture log;
    auto loop = std::make_unique<EventLoop>();
    testsupport::UdpPeer peer;  // the consumer
    ASSERT_EQ(prepare_osock(&loop->osock, "127.0.0.1", peer.port), 0);
    const std::string junk(100, '\0');
    peer.send_to(local_port(loop->osock), junk);
    testsupport::wait_readable(loop->osock, 500);
    osock_read(loop.get());
    EXPECT_EQ(log.text().rfind("osock read 100 bytes, ", 0), 0u) << log.text();

    // A send to a port nobody listens on leaves a pending error on the socket.
    close(peer.fd);
    peer.fd = -1;
    send(loop->osock, junk.data(), 1, 0);
    testsupport::wait_readable(loop->osock, 500);
    osock_read(loop.get());
    EXPECT_NE(log.text().find("osock error: Connection refused\n"), std::string::npos);
    close(loop->osock);
}

}  // namespace
