// lossy-link end to end: byte-exact forwarding both ways, clients kept apart, seeded loss and
// bursts, delay, duplication and reordering, and the relay's upstream carried through it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;
using Clock = std::chrono::steady_clock;
using testsupport::wait_for;

// The tools are built next to each other.
std::string lossy_link_bin() {
    std::string sim = UPSTREAM_SIM_BIN;
    return sim.substr(0, sim.rfind('/') + 1) + "lossy-link";
}

// A UDP socket on 127.0.0.1 with an ephemeral port.
struct Udp {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = 0;
    Udp() {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        socklen_t len = sizeof a;
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
        port = ntohs(a.sin_port);
    }
    ~Udp() { close(fd); }
    Udp(const Udp&) = delete;
    Udp& operator=(const Udp&) = delete;

    bool send_to(int to_port, const std::string& bytes) const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(to_port));
        return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&a),
                      sizeof a) == static_cast<ssize_t>(bytes.size());
    }
    // One datagram, or nullopt after the time-out; *from_port gets the sender's port.
    std::optional<std::string> receive(std::chrono::milliseconds timeout,
                                       int* from_port = nullptr) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        std::string buf(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof from;
        ssize_t n =
            recvfrom(fd, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::nullopt;
        if (from_port)
            *from_port = ntohs(from.sin_port);
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
};

struct Link {
    testsupport::Child child;
    int port = 0;

    // The value of key in the counter line printed at the end; -1 if absent.
    long long counter(const std::string& key) const {
        std::string err = child.err();
        size_t line = err.rfind("lossy-link counters:");
        if (line == std::string::npos)
            return -1;
        size_t at = err.find(" " + key + "=", line);
        return at == std::string::npos ? -1 : std::stoll(err.substr(at + key.size() + 2));
    }
};

Link start_link(int target_port, const std::vector<std::string>& extra = {}) {
    Link link;
    link.port = testsupport::free_port(false);
    std::vector<std::string> argv = {lossy_link_bin(), "--listen", std::to_string(link.port),
                                     "--target", "127.0.0.1:" + std::to_string(target_port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    link.child = testsupport::start_child(argv);
    EXPECT_TRUE(wait_for(
        [&] { return link.child.err().find("lossy-link listening on") != std::string::npos; }, 5s))
        << link.child.err();
    return link;
}

std::string pattern(char tag, size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(tag + i * 7);
    return s;
}

std::string numbered(uint32_t n, size_t size = 64) {
    std::string s(size, 'x');
    std::memcpy(s.data(), &n, sizeof n);
    return s;
}

uint32_t number_of(const std::string& datagram) {
    uint32_t n = 0;
    std::memcpy(&n, datagram.data(), sizeof n);
    return n;
}

class LossyLink : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(lossy_link_bin().c_str(), X_OK) != 0)
            FAIL() << lossy_link_bin() << " is missing: build the lossy-link target";
    }
};

TEST_F(LossyLink, ForwardsBothWaysByteExactAndKeepsClientsApart) {
    Udp target;
    Link link = start_link(target.port);
    Udp a, b;
    const size_t sizes[] = {1, 188, 1316, 9000, 65507};

    int a_side = -1, b_side = -1;  // the link's target-facing port for each client
    for (size_t size : sizes) {
        for (Udp* client : {&a, &b}) {
            const char tag = client == &a ? 'a' : 'b';
            ASSERT_TRUE(client->send_to(link.port, pattern(tag, size)));
            int from = 0;
            auto got = target.receive(2s, &from);
            ASSERT_TRUE(got) << "nothing forwarded of " << size << " bytes from " << tag;
            EXPECT_EQ(*got, pattern(tag, size));
            int& side = client == &a ? a_side : b_side;
            if (side < 0)
                side = from;
            EXPECT_EQ(from, side) << "one client, one target-facing socket";
        }
    }
    EXPECT_NE(a_side, b_side);
    EXPECT_NE(a_side, link.port);

    // Replies to each target-facing socket reach only its own client, from the listen port.
    for (size_t size : sizes) {
        ASSERT_TRUE(target.send_to(b_side, pattern('B', size)));
        ASSERT_TRUE(target.send_to(a_side, pattern('A', size)));
        int from = 0;
        auto got_a = a.receive(2s, &from);
        ASSERT_TRUE(got_a);
        EXPECT_EQ(*got_a, pattern('A', size));
        EXPECT_EQ(from, link.port);
        auto got_b = b.receive(2s);
        ASSERT_TRUE(got_b);
        EXPECT_EQ(*got_b, pattern('B', size));
    }
    EXPECT_FALSE(a.receive(100ms));
    EXPECT_FALSE(b.receive(0ms));

    ASSERT_EQ(link.child.stop(SIGTERM), 0);
    EXPECT_EQ(link.counter("clients"), 2);
    EXPECT_EQ(link.counter("up-forwarded"), 10);
    EXPECT_EQ(link.counter("down-forwarded"), 10);
    EXPECT_EQ(link.counter("send-errors"), 0);
    EXPECT_EQ(link.counter("unsent"), 0);
}

TEST_F(LossyLink, ServesAtMostMaxClientsAndForgetsIdleOnes) {
    Udp target;
    Link link = start_link(target.port, {"--max-clients", "1", "--idle-timeout", "0.3"});
    Udp a, b;
    int first_side = 0, second_side = 0;
    ASSERT_TRUE(a.send_to(link.port, "a1"));
    ASSERT_TRUE(target.receive(2s, &first_side));
    ASSERT_TRUE(b.send_to(link.port, "b1"));
    EXPECT_FALSE(target.receive(200ms)) << "a second client while the table is full";
    // Once a has been quiet past the idle time-out its place is free, and b gets a new socket.
    std::this_thread::sleep_for(400ms);
    ASSERT_TRUE(b.send_to(link.port, "b2"));
    auto got = target.receive(2s, &second_side);
    ASSERT_TRUE(got);
    EXPECT_EQ(*got, "b2");
    EXPECT_NE(second_side, first_side);
    link.child.stop(SIGTERM);
    EXPECT_EQ(link.counter("refused"), 1);
    EXPECT_EQ(link.counter("clients"), 2);
    EXPECT_GE(link.counter("clients-expired"), 1);
}

// Sends n numbered datagrams through a link with the given impairment and returns the numbers
// that reached the target, draining as it goes so that no socket buffer overflows.
std::vector<uint32_t> delivered_through(const std::vector<std::string>& impairment, uint32_t n) {
    Udp target;
    Link link = start_link(target.port, impairment);
    Udp client;
    std::vector<uint32_t> got;
    auto drain = [&](std::chrono::milliseconds quiet) {
        while (auto d = target.receive(quiet))
            got.push_back(number_of(*d));
    };
    for (uint32_t i = 0; i < n; ++i) {
        client.send_to(link.port, numbered(i));
        drain(i % 50 == 49 ? 5ms : 0ms);
    }
    drain(300ms);
    link.child.stop(SIGTERM);
    EXPECT_EQ(link.counter("up-received"), static_cast<long long>(n)) << "lost before the link";
    EXPECT_EQ(link.counter("up-forwarded"), static_cast<long long>(got.size()))
        << "lost after the link; " << link.child.err();
    return got;
}

TEST_F(LossyLink, SeededLossTakesRoughlyItsShareAndRepeats) {
    const uint32_t n = 2000;
    auto first = delivered_through({"--up-loss", "25", "--seed", "11"}, n);
    auto again = delivered_through({"--up-loss", "25", "--seed", "11"}, n);
    auto other = delivered_through({"--up-loss", "25", "--seed", "12"}, n);
    const double share = 1.0 - static_cast<double>(first.size()) / n;
    EXPECT_GT(share, 0.20);
    EXPECT_LT(share, 0.30);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    EXPECT_EQ(first, again) << "the same seed must drop the same datagrams";
    EXPECT_NE(first, other);

    // Bursts of 5: every gap is a whole number of bursts, except one cut short by the end.
    auto bursty = delivered_through({"--up-burst", "4:5", "--seed", "3"}, n);
    ASSERT_FALSE(bursty.empty());
    size_t gaps = 0;
    uint32_t expect = 0;
    for (uint32_t got : bursty) {
        if (got != expect) {
            ++gaps;
            EXPECT_EQ((got - expect) % 5, 0u) << "gap before " << got;
        }
        expect = got + 1;
    }
    EXPECT_GT(gaps, 20u);
}

TEST_F(LossyLink, DelaysEachDirectionByAtLeastItsSetting) {
    Udp target;
    Link link = start_link(target.port, {"--up-delay", "150", "--down-delay", "100",
                                         "--down-jitter", "40", "--seed", "5"});
    Udp client;
    for (int i = 0; i < 5; ++i) {
        auto sent = Clock::now();
        ASSERT_TRUE(client.send_to(link.port, numbered(i)));
        int side = 0;
        auto there = target.receive(3s, &side);
        auto up_took = Clock::now() - sent;
        ASSERT_TRUE(there);
        EXPECT_GE(up_took, 150ms);

        auto replied = Clock::now();
        ASSERT_TRUE(target.send_to(side, *there));
        auto back = client.receive(3s);
        auto down_took = Clock::now() - replied;
        ASSERT_TRUE(back);
        EXPECT_EQ(*back, numbered(i));
        EXPECT_GE(down_took, 60ms) << "delay 100 ms less at most 40 ms of jitter";
    }
}

TEST_F(LossyLink, FullDuplicationAndReorderingGiveAKnownOrder) {
    Udp target;
    Link link = start_link(target.port, {"--up-reorder", "100", "--up-duplicate", "100"});
    Udp client;
    for (uint32_t i = 1; i <= 6; ++i)
        ASSERT_TRUE(client.send_to(link.port, numbered(i)));
    // Each datagram waits behind the next one, and every one goes out twice.
    const std::vector<uint32_t> expected = {2, 2, 1, 1, 4, 4, 3, 3, 6, 6, 5, 5};
    std::vector<uint32_t> got;
    while (auto d = target.receive(500ms))
        got.push_back(number_of(*d));
    EXPECT_EQ(got, expected);
    link.child.stop(SIGTERM);
    EXPECT_EQ(link.counter("up-duplicated"), 6);
    EXPECT_EQ(link.counter("up-reordered"), 3);
}

TEST_F(LossyLink, CarriesTheRelaysUpstreamWithLossRecovered) {
    Upstream up = start_upstream({"--lead", "500"});
    Link link = start_link(up.port, {"--down-loss", "3", "--down-jitter", "2", "--seed", "9"});
    Udp rx;
    int size = 4 << 20;
    setsockopt(rx.fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    auto relay = testsupport::start_child({QUARLIN_BIN, "-i", "127.0.0.1", "-r",
                                           std::to_string(link.port), "-u", "sample", "-o",
                                           "127.0.0.1", "-p", std::to_string(rx.port)});
    std::string got;
    const size_t n = 400;
    for (size_t i = 0; i < n; ++i) {
        auto d = rx.receive(15s);
        ASSERT_TRUE(d) << "only " << i << " datagrams relayed";
        got += *d;
    }
    // An unbroken run of the sample: every datagram the link dropped was asked for again.
    const std::string& sample = sample_bytes();
    size_t start = sample.find(got.substr(0, 1316 * 8));
    ASSERT_NE(start, std::string::npos) << "relayed bytes are not from the sample";
    EXPECT_EQ(start % 1316, 0u);
    EXPECT_TRUE(got.compare(0, got.size(), sample, start, got.size()) == 0)
        << "relayed stream has a gap or a wrong payload";
    relay.stop(SIGTERM);
    link.child.stop(SIGTERM);
    EXPECT_GT(link.counter("down-dropped"), 0);
    EXPECT_GT(link.counter("up-received"), 1) << "the relay's requests and keepalives pass too";
    EXPECT_NE(up.events().find(" lost n="), std::string::npos);
}

}  // namespace
