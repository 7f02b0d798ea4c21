// The event loop's ring life and accept in HTTP mode, driven pass by pass over loopback.
#include "core/event_loop.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

#include "core/log.h"
#include "net/openers.h"
#include "net/socket_helpers.h"

namespace {

// Points the log at a temporary file for the test's lifetime.
struct LogCapture {
    FILE* file = tmpfile();
    FILE* saved = log_fp.exchange(file);
    ~LogCapture() {
        log_fp.store(saved);
        fclose(file);
    }
    // Read through the descriptor: rewinding the stream would move the position that client
    // threads write at.
    std::string text() const {
        fflush(file);
        std::string s;
        char buf[4096];
        ssize_t n;
        for (off_t at = 0; (n = pread(fileno(file), buf, sizeof buf, at)) > 0; at += n)
            s.append(buf, static_cast<size_t>(n));
        return s;
    }
};

int occurrences(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

int bound_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

struct HttpLoop : ::testing::Test {
    std::unique_ptr<EventLoop> loop = std::make_unique<EventLoop>();
    int upstream = socket_open("127.0.0.1", 0);
    LogCapture log;

    void SetUp() override {
        ASSERT_EQ(event_loop_init(loop.get(), true), 0);
        loop->lsock = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ASSERT_EQ(bind(loop->lsock, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        ASSERT_EQ(listen(loop->lsock, 10), 0);
    }
    void TearDown() override {
        ring_free(loop->sbuf.load());
        close(loop->lsock);
        close(upstream);
    }
    // Opens isock to our fake upstream and has the upstream send one datagram to it.
    void stream_one_datagram() {
        ASSERT_EQ(prepare_isock(&loop->isock, "127.0.0.1", bound_port(upstream)), 0);
        sockaddr_in to{};
        socklen_t len = sizeof to;
        getsockname(loop->isock.load(), reinterpret_cast<sockaddr*>(&to), &len);
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        char datagram[200] = {};
        datagram[0] = 1;
        sendto(upstream, datagram, sizeof datagram, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
};

TEST_F(HttpLoop, NoUpstreamNoRing) {
    for (int i = 0; i < 3; ++i)
        event_loop_pass(loop.get());
    EXPECT_EQ(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->npasses, 3);
    EXPECT_EQ(log.text(), "");
}

TEST_F(HttpLoop, RingIsAllocatedOnFirstDatagramAndFreedOnTwelfthIdlePass) {
    stream_one_datagram();
    loop->send_pos.store(7);
    event_loop_pass(loop.get());
    ASSERT_NE(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->send_pos.load(), -1);
    PacketRing* ring = loop->sbuf.load();
    EXPECT_EQ(ring->nslots.load(), kRingSlots);
    EXPECT_NE(log.text().find("Allocating sbuf\n"), std::string::npos);

    const int fd = loop->isock.exchange(0);
    close(fd);
    for (int pass = 1; pass <= 11; ++pass) {
        event_loop_pass(loop.get());
        ASSERT_NE(loop->sbuf.load(), nullptr) << "freed early on idle pass " << pass;
    }
    EXPECT_EQ(loop->idle_passes, 11);
    event_loop_pass(loop.get());
    EXPECT_EQ(loop->sbuf.load(), nullptr);
    EXPECT_EQ(loop->idle_passes, 0);
    EXPECT_NE(log.text().find("Freeing sbuf\n"), std::string::npos);
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
    EXPECT_EQ(occurrences(log.text(), "Allocating sbuf"), 1);
    close(loop->isock.exchange(0));
}

TEST_F(HttpLoop, OneConnectionIsAcceptedPerPass) {
    int port = bound_port(loop->lsock);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    int c1 = socket(AF_INET, SOCK_STREAM, 0);
    int c2 = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(c1, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(connect(c2, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    event_loop_pass(loop.get());
    EXPECT_EQ(occurrences(log.text(), "accepted http connection, fd="), 1);
    event_loop_pass(loop.get());
    EXPECT_EQ(occurrences(log.text(), "accepted http connection, fd="), 2);
    close(c1);
    close(c2);
}

}  // namespace
