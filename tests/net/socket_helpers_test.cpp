// The socket helpers and the output socket opener on loopback.
#include "net/socket_helpers.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/openers.h"

namespace {

int multicast_ttl(int fd) {
    int ttl = -1;
    socklen_t len = sizeof ttl;
    getsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len);
    return ttl;
}

TEST(SocketHelpers, JoinMulticastOnlyForClassDAddresses) {
    int fd = socket_open(nullptr, 0);
    ASSERT_GT(fd, 0);
    EXPECT_EQ(socket_join_multicast(fd, "10.1.2.3"), 0);
    EXPECT_EQ(socket_join_multicast(fd, "223.255.255.255"), 0);
    EXPECT_EQ(socket_join_multicast(fd, "240.0.0.1"), 0);
    EXPECT_EQ(socket_join_multicast(fd, "not an address"), -1);
    socket_close(fd);
}

TEST(SocketHelpers, TtlZeroChangesNothing) {
    int fd = socket_open(nullptr, 0);
    const int before = multicast_ttl(fd);
    EXPECT_EQ(socket_set_ttl(fd, 0), 0);
    EXPECT_EQ(multicast_ttl(fd), before);
    EXPECT_EQ(socket_set_ttl(fd, 15), 0);
    EXPECT_EQ(multicast_ttl(fd), 15);
    socket_close(fd);
}

TEST(SocketHelpers, ReceiveBufferReadAndSet) {
    int fd = socket_open("127.0.0.1", 0);
    int size = 0;
    ASSERT_EQ(get_rcvbuf(fd, &size), 0);
    EXPECT_GT(size, 0);
    ASSERT_EQ(set_rcvbuf(fd, 4096), 0);
    ASSERT_EQ(get_rcvbuf(fd, &size), 0);
    EXPECT_GE(size, 4096);  // the kernel doubles what it is given
    EXPECT_EQ(get_rcvbuf(-1, &size), -1);
    socket_close(fd);
}

TEST(SocketHelpers, OutputSocketToUnicastIsConnectedNonBlockingWithTtl15) {
    int receiver = socket_open("127.0.0.1", 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(receiver, reinterpret_cast<sockaddr*>(&addr), &len);
    int osock = 0;
    ASSERT_EQ(prepare_osock(&osock, "127.0.0.1", ntohs(addr.sin_port)), 0);
    ASSERT_GT(osock, 0);
    EXPECT_TRUE(fcntl(osock, F_GETFL) & O_NONBLOCK);
    EXPECT_EQ(multicast_ttl(osock), 15);
    ASSERT_EQ(send(osock, "ping", 4, MSG_DONTWAIT), 4);  // connected: no address needed
    char buf[8];
    EXPECT_EQ(recv(receiver, buf, sizeof buf, 0), 4);
    socket_close(osock);
    socket_close(receiver);
}

TEST(SocketHelpers, UpstreamSocketIsConnectedNonBlockingAndReported) {
    int upstream = socket_open("127.0.0.1", 0);
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    getsockname(upstream, reinterpret_cast<sockaddr*>(&addr), &len);
    std::atomic<int> isock{0};
    ASSERT_EQ(prepare_isock(&isock, "127.0.0.1", ntohs(addr.sin_port)), 0);
    const int fd = isock.load();
    ASSERT_GT(fd, 0);
    EXPECT_TRUE(fcntl(fd, F_GETFL) & O_NONBLOCK);
    int size = 0;
    ASSERT_EQ(get_rcvbuf(fd, &size), 0);
    int fresh = socket_open(nullptr, 0), fresh_size = 0;
    get_rcvbuf(fresh, &fresh_size);
    socket_close(fresh);
    EXPECT_GT(size, fresh_size);  // asked for room for a burst; the system grants what it can
    char buf[8];
    EXPECT_LT(read(fd, buf, sizeof buf), 0);  // nothing there, and it does not block
    socket_close(fd);
    socket_close(upstream);
}

}  // namespace

namespace {

TEST(SocketHelpers, FailedUpstreamSocketLeavesNoDescriptorBehind) {
    std::atomic<int> isock{0};
    EXPECT_EQ(prepare_isock(&isock, "255.255.255.255", 5000), -1);
    EXPECT_EQ(isock.load(), 0);
}

}  // namespace
