// What the end-to-end tests and the benches take from their tools but cannot see from the
// relay's side: upstream-sim paces by its stamps, suspends, and answers lost requests with the
// copies it sent; both tools' impairments take their share, and lossy-link delays each way.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "e2e/relay_harness.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using Udp = testsupport::UdpPeer;

constexpr int64_t kMs = 1000000;  // nanoseconds

int64_t wall_ns() {
    return std::chrono::system_clock::now().time_since_epoch() / 1ns;
}

struct Datagram {
    std::string bytes;
    int64_t arrival_ns;  // wall clock
    uint32_t word(size_t i) const { return read_word(bytes.data(), i); }
    uint32_t seq() const { return word(0); }
    int64_t stamp_ns() const {
        return int64_t{static_cast<int32_t>(word(1))} * 1000000000 + word(2);
    }
};

// Plays the relay: one UDP socket per stream, as the daemon uses.
struct FakeRelay : Udp {
    int sim;
    explicit FakeRelay(const Tool& s) : sim(s.port) {}
    // The n bytes a builder wrote into msg; returns them.
    std::string send(const void* msg, int n) {
        const std::string bytes(static_cast<const char*>(msg), n);
        send_to(sim, bytes);
        return bytes;
    }
    void request(const char* url) {
        char record[kStartupRequestBytes];
        send(record, build_stream_request(record, sizeof record, url));
    }
    // Data datagrams until n have come, none came for quiet_ms, or 5 s have passed.
    std::vector<Datagram> collect(size_t n, int quiet_ms = 1000) {
        std::vector<Datagram> out;
        for (const auto give_up = std::chrono::steady_clock::now() + 5s;
             out.size() < n && std::chrono::steady_clock::now() < give_up;) {
            const auto d = receive(quiet_ms);
            if (!d)
                break;
            if (d->size() >= kMinDataDatagram)
                out.push_back({*d, wall_ns()});
        }
        return out;
    }
};

TEST(UpstreamSim, PacesByItsStampsSuspendsAndAnswersLostRequestsWithTheCopiesItSent) {
    Tool sim =
        start_sim({"--stream", std::string("a=") + SAMPLE_TS, "--lead", "1000", "--history", "60"});
    FakeRelay relay(sim);
    const int64_t asked = wall_ns();
    relay.request("a");
    std::vector<Datagram> got = relay.collect(500);
    ASSERT_EQ(got.size(), 500u);
    // Stamped from the wall clock at the request, ~1 s per 250 KB of the sample; the first
    // second comes at once, later datagrams one lead ahead, never earlier.
    EXPECT_GE(got[0].stamp_ns(), asked - kMs);
    EXPECT_LE(got[0].stamp_ns(), got[0].arrival_ns + kMs);
    EXPECT_NEAR(got[190].stamp_ns() - got[0].stamp_ns(), 1000 * kMs, 100 * kMs);
    EXPECT_LT(got[150].arrival_ns, got[150].stamp_ns() - 200 * kMs);
    for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].seq(), k + 1);
        ASSERT_EQ(got[k].bytes.compare(12, kChunk, sample_bytes(), k * kChunk, kChunk), 0) << k;
        ASSERT_LT(got[k].word(2), 1000000000u);
        ASSERT_GE(got[k].stamp_ns(), got[k ? k - 1 : 0].stamp_ns());
        ASSERT_TRUE(k < 250 || got[k].arrival_ns > got[k].stamp_ns() - 1020 * kMs) << k;
    }

    // Suspended, it sends nothing new: the stream's end is what is queued here once its event
    // is written.
    ControlMessage msg;
    relay.send(&msg, build_suspend(&msg));
    ASSERT_TRUE(sim.saw(" suspend\n"));
    for (const Datagram& d : relay.collect(100000, 200))
        got.push_back(d);
    const uint32_t last = got.back().seq();
    ASSERT_EQ(last, got.size());
    // Of the 60 kept, last, last-10 and last-59 come again; last-60 and last+1 do not.
    const uint32_t lost[] = {last, last - 10, last - 60, last + 1, last - 59};
    relay.send(&msg, build_lost_request(&msg, lost, 5));
    const std::vector<Datagram> again = relay.collect(3, 5000);
    ASSERT_EQ(again.size(), 3u) << "the copies did not come";
    for (size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].seq(), last - (i == 0 ? 0 : i == 1 ? 10 : 59));
        EXPECT_EQ(again[i].bytes, got.at(again[i].seq() - 1).bytes) << again[i].seq();
    }
    // The timed keepalive comes back byte for byte; the suspended-form one is not echoed.
    relay.send(&msg, build_keepalive_suspended(&msg));
    const std::string keepalive = relay.send(&msg, build_keepalive(&msg, {1700000123, 987654321}));
    EXPECT_EQ(relay.receive(5000).value_or(""), keepalive);

    // Released: the next number with its own stamp, nothing skipped.
    relay.send(&msg, build_release(&msg));
    const std::vector<Datagram> after = relay.collect(20);
    ASSERT_EQ(after.size(), 20u);
    for (size_t k = 0; k < after.size(); ++k)
        EXPECT_EQ(after[k].seq(), last + 1 + k);
    EXPECT_NEAR(after[0].stamp_ns() - got.back().stamp_ns(), 5 * kMs, 3 * kMs);
    relay.request("");  // stop: the session ends
    relay.collect(100000, 200);
    EXPECT_FALSE(relay.receive(300).has_value());
    EXPECT_EQ(sim.counter("retransmitted"), 3);
    EXPECT_EQ(sim.counter("seqs-not-in-history"), 2);
    EXPECT_EQ(sim.counter("keepalives-echoed"), 1);
}

// Seeded loss takes its share; a constant bitrate stamps evenly (1052.8 kbit/s is one
// 1316-byte payload each 10 ms).
TEST(UpstreamSim, SeededLossTakesItsShareAndConstantBitrateStampsEvenly) {
    Tool sim = start_sim({"--default", SAMPLE_TS, "--lead", "100000", "--max-datagrams", "2000",
                          "--loss-out", "20", "--seed", "7", "--cbr", "1052.8"});
    FakeRelay relay(sim);
    relay.request("x");
    const std::vector<Datagram> got = relay.collect(100000, 500);
    EXPECT_NEAR(static_cast<double>(got.size()), 1600, 80);
    EXPECT_EQ(sim.counter("dropped-loss"), 2000 - static_cast<long long>(got.size()));
    for (const Datagram& d : got)
        ASSERT_NEAR(d.stamp_ns() - got[0].stamp_ns(), int64_t{d.seq() - got[0].seq()} * 10 * kMs,
                    2000)
            << d.seq();
}

std::string numbered(uint32_t n) {
    return std::string(reinterpret_cast<const char*>(&n), sizeof n) + std::string(60, 'x');
}

// The numbers of 2000 datagrams sent through a link with the given impairment that reached
// the target, drained as they come so that no socket buffer overflows.
std::vector<uint32_t> delivered_through(const std::vector<std::string>& impairment) {
    Udp target, client;
    Tool link = start_link(target.port, impairment);
    std::vector<uint32_t> got;
    for (uint32_t i = 0; i <= 2000; ++i) {
        if (i < 2000)
            client.send_to(link.port, numbered(i));
        const int wait_ms = i == 2000 ? 300 : i % 50 == 49 ? 5 : 0;
        for (auto d = target.receive(wait_ms); d; d = target.receive(wait_ms))
            std::memcpy(&got.emplace_back(), d->data(), sizeof(uint32_t));
    }
    EXPECT_EQ(link.counter("up-received"), 2000) << "lost before the link";
    EXPECT_EQ(link.counter("up-forwarded"), static_cast<long long>(got.size()));
    return got;
}

TEST(LossyLink, LossAndBurstsTakeTheirShareInOrderAndDelayHoldsEachDirectionBack) {
    const auto lossy = delivered_through({"--up-loss", "25", "--seed", "11"});
    EXPECT_NEAR(static_cast<double>(lossy.size()), 1500, 100);
    EXPECT_TRUE(std::is_sorted(lossy.begin(), lossy.end()));
    // Bursts of 5: every gap is a whole number of bursts.
    const auto bursty = delivered_through({"--up-burst", "4:5", "--seed", "3"});
    size_t gaps = 0;
    for (size_t i = 1; i < bursty.size(); ++i) {
        gaps += bursty[i] != bursty[i - 1] + 1;
        ASSERT_EQ((bursty[i] - bursty[i - 1] - 1) % 5, 0u) << "gap before " << bursty[i];
    }
    EXPECT_GT(gaps, 20u);

    Udp target, client;
    Tool link = start_link(target.port, {"--up-delay", "150", "--down-delay", "100",
                                         "--down-jitter", "40", "--seed", "5"});
    auto sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(client.send_to(link.port, numbered(1)));
    int side = 0;
    ASSERT_EQ(target.receive(3000, &side), numbered(1));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 150ms);
    sent = std::chrono::steady_clock::now();
    ASSERT_TRUE(target.send_to(side, numbered(2)));
    ASSERT_EQ(client.receive(3000), numbered(2));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 60ms) << "100 ms less 40 of jitter";
}

}  // namespace
