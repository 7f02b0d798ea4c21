// lossy-link end to end: byte-exact forwarding both ways, clients kept apart, seeded loss and
// bursts, delay, duplication and reordering. (The relay's upstream through it: DatagramRelay.)
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <thread>

#include "e2e/relay_harness.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using Udp = testsupport::UdpPeer;

std::string pattern(char tag, size_t size) {
    std::string s(size, '\0');
    for (size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>(tag + i * 7);
    return s;
}

std::string numbered(uint32_t n) {
    return std::string(reinterpret_cast<const char*>(&n), sizeof n) + std::string(60, 'x');
}

// The numbers of the datagrams that reach target, until none came for quiet_ms.
std::vector<uint32_t> numbers(const Udp& target, int quiet_ms) {
    std::vector<uint32_t> got;
    for (auto d = target.receive(quiet_ms); d; d = target.receive(quiet_ms))
        std::memcpy(&got.emplace_back(), d->data(), sizeof(uint32_t));
    return got;
}

TEST(LossyLink, ForwardsBothWaysByteExactAndKeepsClientsApart) {
    Udp target, a, b;
    Tool link = start_link(target.port);
    int side[2] = {-1, -1};  // the link's target-facing port for each client
    for (size_t size : {1, 1316, 65507}) {
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
        EXPECT_EQ(link.counter(key), 6) << key;
    for (const char* key : {"send-errors", "unsent"})
        EXPECT_EQ(link.counter(key), 0) << key;
}

TEST(LossyLink, ServesAtMostMaxClientsAndForgetsIdleOnes) {
    Udp target, a, b;
    Tool link = start_link(target.port, {"--max-clients", "1", "--idle-timeout", "0.3"});
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

// Sends 2000 numbered datagrams through a link with the given impairment and returns the
// numbers that reached the target, draining as it goes so that no socket buffer overflows.
std::vector<uint32_t> delivered_through(const std::vector<std::string>& impairment) {
    Udp target, client;
    Tool link = start_link(target.port, impairment);
    std::vector<uint32_t> got;
    for (uint32_t i = 0; i < 2000; ++i) {
        client.send_to(link.port, numbered(i));
        for (uint32_t n : numbers(target, i % 50 == 49 ? 5 : 0))
            got.push_back(n);
    }
    for (uint32_t n : numbers(target, 300))
        got.push_back(n);
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
    Tool link = start_link(target.port, {"--up-delay", "150", "--down-delay", "100",
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
    Tool link = start_link(target.port, {"--up-reorder", "100", "--up-duplicate", "100"});
    for (uint32_t i = 1; i <= 6; ++i)
        ASSERT_TRUE(client.send_to(link.port, numbered(i)));
    // Each datagram waits behind the next one, and every one goes out twice.
    EXPECT_EQ(numbers(target, 500), (std::vector<uint32_t>{2, 2, 1, 1, 4, 4, 3, 3, 6, 6, 5, 5}));
    EXPECT_EQ(link.counter("up-duplicated"), 6);
    EXPECT_EQ(link.counter("up-reordered"), 3);
}

}  // namespace
