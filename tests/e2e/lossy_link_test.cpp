// lossy-link end to end: byte-exact forwarding both ways, clients kept apart, seeded loss and
// bursts, delay, duplication and reordering, and the relay's upstream carried through it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "e2e/relay_harness.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using Udp = testsupport::UdpPeer;

struct Link {
    testsupport::Child child;
    int port = testsupport::free_port(false);

    // Stops the link and returns the value of key in the counter line it prints; -1 if absent.
    long long counter(const std::string& key) {
        child.stop(SIGTERM);
        const std::string err = child.err();
        const size_t at = err.find(" " + key + "=", err.rfind("lossy-link counters:"));
        return at == std::string::npos ? -1 : std::stoll(err.substr(at + key.size() + 2));
    }
};

Link start_link(int target_port, const std::vector<std::string>& extra = {}) {
    Link link;
    const std::string sim = UPSTREAM_SIM_BIN;  // the tools are built next to each other
    std::vector<std::string> argv = {sim.substr(0, sim.rfind('/') + 1) + "lossy-link", "--listen",
                                     std::to_string(link.port), "--target",
                                     "127.0.0.1:" + std::to_string(target_port)};
    argv.insert(argv.end(), extra.begin(), extra.end());
    link.child = testsupport::start_child(argv);
    EXPECT_TRUE(testsupport::wait_for(
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

std::string numbered(uint32_t n) {
    std::string s(64, 'x');
    std::memcpy(s.data(), &n, sizeof n);
    return s;
}

uint32_t number_of(const std::string& datagram) {
    uint32_t n = 0;
    std::memcpy(&n, datagram.data(), sizeof n);
    return n;
}

TEST(LossyLink, ForwardsBothWaysByteExactAndKeepsClientsApart) {
    Udp target, a, b;
    Link link = start_link(target.port);
    int side[2] = {-1, -1};  // the link's target-facing port for each client
    for (size_t size : {1, 188, 1316, 65507}) {
        for (int c : {0, 1}) {
            ASSERT_TRUE((c ? b : a).send_to(link.port, pattern("ab"[c], size)));
            int from = 0;
            EXPECT_EQ(target.receive(2000, &from), pattern("ab"[c], size)) << size;
            EXPECT_TRUE(side[c] < 0 || from == side[c]) << "one client, one target-facing socket";
            side[c] = from;
        }
        // Replies to each target-facing socket reach only its own client, from the listen port.
        ASSERT_TRUE(target.send_to(side[1], pattern('B', size)));
        ASSERT_TRUE(target.send_to(side[0], pattern('A', size)));
        int from = 0;
        EXPECT_EQ(a.receive(2000, &from), pattern('A', size));
        EXPECT_EQ(from, link.port);
        EXPECT_EQ(b.receive(2000), pattern('B', size));
    }
    EXPECT_NE(side[0], side[1]);
    EXPECT_FALSE(a.receive(100) || b.receive(0));
    EXPECT_EQ(link.counter("clients"), 2);
    for (const char* key : {"up-forwarded", "down-forwarded"})
        EXPECT_EQ(link.counter(key), 8) << key;
    for (const char* key : {"send-errors", "unsent"})
        EXPECT_EQ(link.counter(key), 0) << key;
}

TEST(LossyLink, ServesAtMostMaxClientsAndForgetsIdleOnes) {
    Udp target, a, b;
    Link link = start_link(target.port, {"--max-clients", "1", "--idle-timeout", "0.3"});
    int first_side = 0, second_side = 0;
    ASSERT_TRUE(a.send_to(link.port, "a1"));
    ASSERT_TRUE(target.receive(2000, &first_side));
    ASSERT_TRUE(b.send_to(link.port, "b1"));
    EXPECT_FALSE(target.receive(200)) << "a second client while the table is full";
    // Once a has been quiet past the idle time-out its place is free, and b gets a new socket.
    std::this_thread::sleep_for(400ms);
    ASSERT_TRUE(b.send_to(link.port, "b2"));
    EXPECT_EQ(target.receive(2000, &second_side), "b2");
    EXPECT_NE(second_side, first_side);
    EXPECT_EQ(link.counter("refused"), 1);
    EXPECT_EQ(link.counter("clients"), 2);
    EXPECT_GE(link.counter("clients-expired"), 1);
}

// Sends n numbered datagrams through a link with the given impairment and returns the numbers
// that reached the target, draining as it goes so that no socket buffer overflows.
std::vector<uint32_t> delivered_through(const std::vector<std::string>& impairment) {
    Udp target, client;
    Link link = start_link(target.port, impairment);
    std::vector<uint32_t> got;
    auto drain = [&](int quiet_ms) {
        while (auto d = target.receive(quiet_ms))
            got.push_back(number_of(*d));
    };
    for (uint32_t i = 0; i < 2000; ++i) {
        client.send_to(link.port, numbered(i));
        drain(i % 50 == 49 ? 5 : 0);
    }
    drain(300);
    EXPECT_EQ(link.counter("up-received"), 2000) << "lost before the link";
    EXPECT_EQ(link.counter("up-forwarded"), static_cast<long long>(got.size()));
    return got;
}

TEST(LossyLink, SeededLossTakesRoughlyItsShareAndRepeats) {
    const auto first = delivered_through({"--up-loss", "25", "--seed", "11"});
    EXPECT_NEAR(static_cast<double>(first.size()), 1500, 100);
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end()));
    EXPECT_EQ(delivered_through({"--up-loss", "25", "--seed", "11"}), first);
    EXPECT_NE(delivered_through({"--up-loss", "25", "--seed", "12"}), first);

    // Bursts of 5: every gap is a whole number of bursts.
    const auto bursty = delivered_through({"--up-burst", "4:5", "--seed", "3"});
    size_t gaps = 0;
    for (size_t i = 1; i < bursty.size(); ++i) {
        gaps += bursty[i] != bursty[i - 1] + 1;
        EXPECT_EQ((bursty[i] - bursty[i - 1] - 1) % 5, 0u) << "gap before " << bursty[i];
    }
    EXPECT_GT(gaps, 20u);
}

TEST(LossyLink, DelaysEachDirectionByAtLeastItsSetting) {
    Udp target, client;
    Link link = start_link(target.port, {"--up-delay", "150", "--down-delay", "100",
                                         "--down-jitter", "40", "--seed", "5"});
    for (uint32_t i = 0; i < 3; ++i) {
        auto sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(client.send_to(link.port, numbered(i)));
        int side = 0;
        ASSERT_EQ(target.receive(3000, &side), numbered(i));
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
        sent = std::chrono::steady_clock::now();
        ASSERT_TRUE(target.send_to(side, numbered(i)));
        ASSERT_EQ(client.receive(3000), numbered(i));
        EXPECT_GE(std::chrono::steady_clock::now() - sent, 60ms) << "100 ms less 40 of jitter";
    }
}

TEST(LossyLink, FullDuplicationAndReorderingGiveAKnownOrder) {
    Udp target, client;
    Link link = start_link(target.port, {"--up-reorder", "100", "--up-duplicate", "100"});
    for (uint32_t i = 1; i <= 6; ++i)
        ASSERT_TRUE(client.send_to(link.port, numbered(i)));
    // Each datagram waits behind the next one, and every one goes out twice.
    std::vector<uint32_t> got;
    while (auto d = target.receive(500))
        got.push_back(number_of(*d));
    EXPECT_EQ(got, (std::vector<uint32_t>{2, 2, 1, 1, 4, 4, 3, 3, 6, 6, 5, 5}));
    EXPECT_EQ(link.counter("up-duplicated"), 6);
    EXPECT_EQ(link.counter("up-reordered"), 3);
}

TEST(LossyLink, CarriesTheRelaysUpstreamWithLossRecovered) {
    Upstream up = start_upstream({"--lead", "500"});
    Link link = start_link(up.port, {"--down-loss", "3", "--down-jitter", "2", "--seed", "9"});
    Udp rx;
    auto relay = testsupport::start_child({QUARLIN_BIN, "-i", "127.0.0.1", "-r",
                                           std::to_string(link.port), "-u", "sample", "-o",
                                           "127.0.0.1", "-p", std::to_string(rx.port)});
    std::string got;
    for (size_t i = 0; i < 400; ++i) {
        auto d = rx.receive(15000);
        ASSERT_TRUE(d) << "only " << i << " datagrams relayed";
        got += *d;
    }
    // An unbroken run of the sample: every datagram the link dropped was asked for again.
    const size_t start = sample_bytes().find(got.substr(0, 1316 * 8));
    ASSERT_NE(start, std::string::npos) << "relayed bytes are not from the sample";
    EXPECT_EQ(start % 1316, 0u);
    EXPECT_TRUE(sample_bytes().compare(start, got.size(), got) == 0) << "a gap or a wrong payload";
    relay.stop(SIGTERM);
    EXPECT_GT(link.counter("down-dropped"), 0);
    EXPECT_GT(link.counter("up-received"), 1) << "the relay's requests and keepalives pass too";
    EXPECT_NE(up.events().find(" lost n="), std::string::npos);
}

}  // namespace
