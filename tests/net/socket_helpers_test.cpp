// The socket helpers and the output socket opener on loopback.
#include "net/socket_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <net/route.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "net/openers.h"
#include "support/fake_upstream.h"
#include "support/process.h"

namespace {

using testsupport::local_port;

// Whether this network namespace's /proc/net/igmp lists group as joined.
bool igmp_lists(const char* group) {
    in_addr addr{};
    inet_aton(group, &addr);
    char hex[9];
    std::snprintf(hex, sizeof hex, "%08X", addr.s_addr);  // printed as the raw word
    return testsupport::read_file("/proc/net/igmp").find(hex) != std::string::npos;
}

// Moves this process into a network namespace of its own with only loopback, routed for
// multicast, so that a join reports nowhere else. False, with why on standard error, if not.
bool loopback_only_multicast() {
    if (unshare(CLONE_NEWNET) != 0) {
        perror("no network namespace of our own");
        return false;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, 0);
    ifreq lo{};
    std::strcpy(lo.ifr_name, "lo");
    lo.ifr_flags = IFF_UP | IFF_LOOPBACK | IFF_RUNNING | IFF_MULTICAST;
    rtentry rt{};
    auto* dst = reinterpret_cast<sockaddr_in*>(&rt.rt_dst);
    auto* mask = reinterpret_cast<sockaddr_in*>(&rt.rt_genmask);
    dst->sin_family = mask->sin_family = AF_INET;
    dst->sin_addr.s_addr = htonl(0xE0000000);  // 224.0.0.0/4
    mask->sin_addr.s_addr = htonl(0xF0000000);
    rt.rt_flags = RTF_UP;
    rt.rt_dev = lo.ifr_name;
    const bool ready = ioctl(fd, SIOCSIFFLAGS, &lo) == 0 && ioctl(fd, SIOCADDRT, &rt) == 0;
    if (!ready)
        perror("cannot set up loopback for multicast");
    close(fd);
    return ready;
}

TEST(SocketHelpers, JoinMulticastOnlyForClassDAddresses) {
    int fd = socket_open(nullptr, 0);
    ASSERT_GT(fd, 0);
    for (const char* other : {"10.1.2.3", "223.255.255.255", "240.0.0.1"})
        EXPECT_EQ(socket_join_multicast(fd, other), 0) << other;
    EXPECT_EQ(socket_join_multicast(fd, "not an address"), -1);
    socket_close(fd);
}

TEST(SocketHelpers, JoinMulticastJoinsTheGroup) {
    // In a child, whose namespace ends with it: 0 joined, 1 not, 2 skipped (why on its stderr).
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (!loopback_only_multicast())
            _exit(2);
        const int fd = socket_open(nullptr, 0);
        const bool listed_before = igmp_lists("239.1.2.3");
        _exit(!listed_before && socket_join_multicast(fd, "239.1.2.3") == 0 &&
                      igmp_lists("239.1.2.3")
                  ? 0
                  : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2)
        GTEST_SKIP() << "no loopback of our own to join on (the child said why above)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "239.1.2.3 is not in /proc/net/igmp after the join";
}

TEST(SocketHelpers, OutputSocketToUnicastIsConnectedNonBlockingWithTtl15) {
    int receiver = socket_open("127.0.0.1", 0);
    int osock = 0;
    ASSERT_EQ(prepare_osock(&osock, "127.0.0.1", local_port(receiver)), 0);
    ASSERT_GT(osock, 0);
    EXPECT_TRUE(fcntl(osock, F_GETFL) & O_NONBLOCK);
    int ttl = -1;
    socklen_t len = sizeof ttl;
    ASSERT_EQ(getsockopt(osock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, &len), 0);
    EXPECT_EQ(ttl, 15);
    ASSERT_EQ(send(osock, "ping", 4, MSG_DONTWAIT), 4);  // connected: no address needed
    char buf[8];
    EXPECT_EQ(recv(receiver, buf, sizeof buf, 0), 4);
    socket_close(osock);
    socket_close(receiver);
}

// And one that cannot be connected leaves no descriptor behind.
TEST(SocketHelpers, UpstreamSocketIsConnectedNonBlockingAndReported) {
    const int before = testsupport::entries_in("/proc/self/fd");
    std::atomic<int> failed{0};
    EXPECT_EQ(prepare_isock(&failed, "255.255.255.255", 5000), -1);
    EXPECT_EQ(failed.load(), 0);
    EXPECT_EQ(testsupport::entries_in("/proc/self/fd"), before);
    int upstream = socket_open("127.0.0.1", 0);
    std::atomic<int> isock{0};
    ASSERT_EQ(prepare_isock(&isock, "127.0.0.1", local_port(upstream)), 0);
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
