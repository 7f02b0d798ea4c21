// Datagram mode end to end: the stream named by -u arrives at a UDP receiver, in order.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;
using testsupport::wait_for;

struct Receiver {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    Receiver() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
        int size = 4 << 20;
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    ~Receiver() { close(fd); }
    // Concatenated payloads until n bytes or the time-out; counts the datagrams.
    std::string receive(size_t n, std::chrono::milliseconds timeout, int* datagrams) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + timeout;
        char buf[2048];
        while (got.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 100) <= 0)
                continue;
            ssize_t r = recv(fd, buf, sizeof buf, 0);
            if (r > 0) {
                got.append(buf, static_cast<size_t>(r));
                ++*datagrams;
            }
        }
        return got;
    }
};

testsupport::Child start_datagram_relay(const Upstream& up, int out_port) {
    return testsupport::start_child({QUARLIN_BIN, "-i", "127.0.0.1", "-r", std::to_string(up.port),
                                     "-u", "sample", "-o", "127.0.0.1", "-p",
                                     std::to_string(out_port)});
}

TEST(DatagramRelay, EveryPayloadArrivesInOrderWithLossRecovered) {
    Upstream up = start_upstream({"--loss-out", "2", "--seed", "3", "--lead", "500"});
    Receiver rx;
    auto relay = start_datagram_relay(up, rx.port);
    const size_t n = 1316 * 1000;  // about 5 s of the sample
    int datagrams = 0;
    std::string got = rx.receive(n, 30s, &datagrams);
    ASSERT_GE(got.size(), n);
    EXPECT_TRUE(got.compare(0, n, sample_bytes(), 0, n) == 0) << "payloads differ from the sample";
    EXPECT_EQ(datagrams, static_cast<int>(got.size() / 1316));
    EXPECT_EQ(testsupport::count_of(relay.out(), "!!\n"), 1);
    EXPECT_NE(up.events().find(" lost n="), std::string::npos);
}

TEST(DatagramRelay, SilentUpstreamIsAskedAgainAfterAbout8Seconds) {
    Upstream up = start_upstream({"--max-datagrams", "100", "--lead", "2000"});
    Receiver rx;
    auto relay = start_datagram_relay(up, rx.port);
    ASSERT_TRUE(wait_for(
        [&] {
            return relay.out().find("!! Sending another request for sample\n") != std::string::npos;
        },
        20s));
    EXPECT_TRUE(wait_for(
        [&] { return testsupport::count_of(up.events(), " req len=15 url=sample") >= 2; }, 5s));
}

}  // namespace
