// End-to-end tests of upstream-sim, driven by a fake relay: a UDP socket in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_upstream.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::count_of;

constexpr int64_t kMs = 1000000;  // nanoseconds

std::string words(std::initializer_list<uint32_t> ws) {
    std::string out;
    for (uint32_t w : ws)
        out.append(reinterpret_cast<const char*>(&w), 4);
    return out;
}

int64_t wall_ns() {
    return std::chrono::system_clock::now().time_since_epoch() / 1ns;
}

struct Datagram {
    std::string bytes;
    int64_t arrival_ns;  // wall clock
    uint32_t word(size_t i) const {
        uint32_t w;
        std::memcpy(&w, bytes.data() + 4 * i, 4);
        return w;
    }
    uint32_t seq() const { return word(0); }
    int64_t stamp_ns() const {
        return int64_t{static_cast<int32_t>(word(1))} * 1000000000 + word(2);
    }
};

// Plays the relay: one UDP socket per stream, as the daemon uses.
struct FakeRelay : testsupport::UdpPeer {
    int sim;
    explicit FakeRelay(int sim_port) : sim(sim_port) {}
    void send(std::initializer_list<uint32_t> ws) { send_to(sim, words(ws)); }
    void request(const std::string& url) { send_to(sim, words({2}) + url + std::string(5, '\0')); }
    std::optional<Datagram> recv(int timeout_ms) {
        const auto d = receive(timeout_ms);
        return d ? std::optional<Datagram>({*d, wall_ns()}) : std::nullopt;
    }
    // Data datagrams until n have come, none came for quiet_ms, or 5 s have passed.
    std::vector<Datagram> collect(size_t n, int quiet_ms = 1000) {
        std::vector<Datagram> out;
        const auto give_up = std::chrono::steady_clock::now() + 5s;
        while (out.size() < n && std::chrono::steady_clock::now() < give_up) {
            auto d = recv(quiet_ms);
            if (!d)
                break;
            if (d->bytes.size() >= 188)
                out.push_back(*d);
        }
        return out;
    }
};

struct Sim {
    testsupport::Child child;
    int port = testsupport::free_port(false);
    std::string events = testsupport::make_temp_dir() + "/events";

    // Ends the simulator and returns its counter line, each value followed by a space.
    std::string report() {
        child.stop();
        const std::string err = child.err();
        const size_t at = err.rfind("upstream-sim counters:");
        return at == std::string::npos ? "" : err.substr(at, err.find('\n', at) - at) + " ";
    }
    uint64_t counter(const std::string& key) {
        const std::string r = report();
        const size_t at = r.find(" " + key + "=");
        return at == std::string::npos ? UINT64_MAX : std::stoull(r.substr(at + key.size() + 2));
    }
};

Sim start_sim(std::vector<std::string> args) {
    Sim sim;
    args.insert(args.begin(),
                {UPSTREAM_SIM_BIN, "--port", std::to_string(sim.port), "--events", sim.events});
    sim.child = testsupport::start_child(args);
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return sim.child.err().find("listening on") != std::string::npos; }, 5s));
    return sim;
}

// A transport stream file in which packet i carries its index in the payload and, if pcr(i)
// gives one, a PCR (27 MHz) with its discontinuity flag on its PID (else on PID 0x100).
struct Pcr {
    int64_t value;
    bool discontinuity = false;
    int pid = 0x100;
};
std::string write_ts(int packets, const std::function<std::optional<Pcr>(int)>& pcr) {
    const std::string path = testsupport::make_temp_dir() + "/clip.ts";
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < packets; ++i) {
        const Pcr v = pcr(i).value_or(Pcr{-1});
        const int64_t base = v.value / 300, ext = v.value % 300;
        uint8_t p[188] = {0x47,
                          static_cast<uint8_t>(v.pid >> 8),
                          static_cast<uint8_t>(v.pid),
                          static_cast<uint8_t>(0x10 | (i & 0x0f)),
                          7,
                          static_cast<uint8_t>(v.discontinuity ? 0x90 : 0x10)};
        for (int b = 0; b < 4; ++b)
            p[6 + b] = static_cast<uint8_t>(base >> (25 - 8 * b));
        p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7e | (ext >> 8));
        p[11] = static_cast<uint8_t>(ext);
        const size_t body = v.value >= 0 ? 12 : 4;  // with an adaptation field for the PCR
        p[3] |= v.value >= 0 ? 0x20 : 0;
        std::memset(p + body, 0xff, sizeof p - body);
        std::memcpy(p + body, &i, sizeof i);
        out.write(reinterpret_cast<const char*>(p), sizeof p);
    }
    return path;
}

// A PCR every 7 packets, 10 ms apart from start on, and the packet at `at` carrying `odd`.
std::function<std::optional<Pcr>(int)> pcr_every_7(int64_t start, int at = -1, Pcr odd = {0}) {
    return [=](int i) -> std::optional<Pcr> {
        if (i == at || i % 7 != 0)
            return i == at ? std::optional<Pcr>(odd) : std::nullopt;
        return Pcr{(start + i / 7 * 270000) % ((int64_t{1} << 33) * 300)};
    };
}

// Sequence numbers run on from first; payloads, if a file is given, follow it from its start.
void expect_stream(const std::vector<Datagram>& got, uint32_t first, const std::string& file = "") {
    const std::string bytes = file.empty() ? "" : testsupport::read_file(file);
    const size_t per_pass = (bytes.size() + 1315) / 1316;
    for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].seq(), static_cast<uint32_t>(first + k)) << "datagram " << k;
        ASSERT_TRUE(file.empty() ||
                    got[k].bytes.substr(12) == bytes.substr(k % per_pass * 1316, 1316))
            << "payload of datagram " << k;
    }
}

TEST(UpstreamSim, ServesFileInOrderWithPcrStampsAndPacing) {
    const uint32_t first = 4294967200u;  // wraps after 96 datagrams
    Sim sim = start_sim({"--stream", std::string("chan:7=") + SAMPLE_TS, "--lead", "1000",
                         "--first-seq", std::to_string(first)});
    FakeRelay relay(sim.port);
    const int64_t asked = wall_ns();
    relay.request("chan:7");
    const std::vector<Datagram> got = relay.collect(500);
    ASSERT_EQ(got.size(), 500u);
    expect_stream(got, first, SAMPLE_TS);
    // Stamped from the wall clock at the request, advancing ~1 s per 250 KB of this file.
    EXPECT_NEAR(got[0].stamp_ns() - asked, 0, 200 * kMs);
    EXPECT_NEAR(got[190].stamp_ns() - got[0].stamp_ns(), 1000 * kMs, 100 * kMs);
    // The first second comes at once; later datagrams one lead ahead of their play-out. Sending
    // early is a fault whatever the load; lateness is bounded loosely and judged by the median.
    EXPECT_LT(got[150].arrival_ns - asked, 400 * kMs);
    std::vector<int64_t> late;
    for (size_t k = 1; k < got.size(); ++k) {
        ASSERT_GE(got[k].stamp_ns(), got[k - 1].stamp_ns());
        ASSERT_LT(got[k].word(2), 1000000000u);
        if (k < 250)
            continue;
        late.push_back(got[k].arrival_ns - (got[k].stamp_ns() - 1000 * kMs));
        ASSERT_GT(late.back(), -20 * kMs) << "datagram " << k << " sent early";
        ASSERT_LT(late.back(), 300 * kMs) << "datagram " << k;
    }
    std::nth_element(late.begin(), late.begin() + late.size() / 2, late.end());
    EXPECT_NEAR(late[late.size() / 2], 0, 40 * kMs);
}

// Every file has the same time line: 7 packets per 10 ms, 23 packets (three full datagrams and
// a two-packet tail), looping every 32.857 ms.
TEST(UpstreamSim, StampsFollowPcrAcrossWrapJumpsAndLoops) {
    const int64_t wrap = (int64_t{1} << 33) * 300;
    const struct {
        const char* what;
        std::function<std::optional<Pcr>(int)> pcr;
        std::vector<std::string> extra;
    } variants[] = {
        // A second PID with a PCR comes later and must not be used.
        {"wrap between PCRs", pcr_every_7(wrap - 2 * 270000 + 777, 3, {12345, false, 0x200}), {}},
        {"backward jump", pcr_every_7(90 * 270000, 21, {5000}), {}},
        {"flagged discontinuity", pcr_every_7(0, 21, {3600LL * 27000000, true}), {}},
        {"no PCR", [](int) { return std::optional<Pcr>(); }, {"--no-pcr-kbps", "1052.8"}},
        {"constant bitrate over PCR", pcr_every_7(135000), {"--cbr", "1052.8"}},
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(v.what);
        const std::string file = write_ts(23, v.pcr);
        std::vector<std::string> args = {"--default",       file, "--lead", "10000",
                                         "--max-datagrams", "10"};
        args.insert(args.end(), v.extra.begin(), v.extra.end());
        Sim sim = start_sim(args);
        FakeRelay relay(sim.port);
        relay.request("any");
        const std::vector<Datagram> got = relay.collect(10);
        ASSERT_EQ(got.size(), 10u);
        expect_stream(got, 1, file);
        for (size_t k = 0; k < got.size(); ++k)
            EXPECT_NEAR(got[k].stamp_ns() - got[0].stamp_ns(),
                        static_cast<int64_t>(k / 4 * 32857143 + k % 4 * 10 * kMs), 2000)
                << "datagram " << k;
    }
}

TEST(UpstreamSim, SuspendedSessionAnswersLostRequestsAndKeepalivesThenResumes) {
    Sim sim =
        start_sim({"--stream", std::string("a=") + SAMPLE_TS, "--lead", "300", "--history", "60"});
    FakeRelay relay(sim.port);
    relay.request("a");
    std::vector<Datagram> before = relay.collect(80);
    relay.send({4});
    for (const Datagram& d : relay.collect(100000, 300))
        before.push_back(d);
    expect_stream(before, 1);
    const uint32_t last = before.back().seq();
    ASSERT_LT(last, 200u) << "suspend did not pause the stream";

    // Within the 60 kept: last, last-10, last-59. Too old: last-60. Not sent yet: last+1.
    relay.send({1, 5, last, last - 10, last - 60, last + 1, last - 59});
    const std::vector<Datagram> again = relay.collect(100000, 300);
    ASSERT_EQ(again.size(), 3u);
    for (size_t i = 0; i < again.size(); ++i) {
        EXPECT_EQ(again[i].seq(), last - (i == 0 ? 0 : i == 1 ? 10 : 59));
        EXPECT_EQ(again[i].bytes, before.at(again[i].seq() - 1).bytes) << again[i].seq();
    }
    // The timed keepalive comes back byte for byte; the suspended-form one is not echoed.
    relay.send({3, 0});
    relay.send({3, 1700000123, 987654321});
    const auto echo = relay.receive(1000);
    EXPECT_EQ(echo.value_or(""), words({3, 1700000123, 987654321}));
    EXPECT_FALSE(relay.receive(200).has_value());

    // Release: the next sequence number, with its original stamp, nothing skipped.
    relay.send({5});
    const std::vector<Datagram> after = relay.collect(20);
    ASSERT_EQ(after.size(), 20u);
    expect_stream(after, last + 1);
    EXPECT_NEAR(after[0].stamp_ns() - before.back().stamp_ns(), 5 * kMs, 3 * kMs);
    const std::string report = sim.report();
    for (const char* kv :
         {" retransmitted=3 ", " seqs-asked=5 ", " seqs-not-in-history=2 ", " keepalives-echoed=1 ",
          " keepalives-unechoed=1 ", " suspends=1 ", " releases=1 "})
        EXPECT_NE(report.find(kv), std::string::npos) << kv << " in " << report;
}

TEST(UpstreamSim, IgnoreSuspendKeepsSending) {
    Sim sim = start_sim({"--default", SAMPLE_TS, "--lead", "300", "--ignore-suspend"});
    FakeRelay relay(sim.port);
    relay.request("x");
    ASSERT_EQ(relay.collect(10).size(), 10u);
    relay.send({4});
    const std::vector<Datagram> later = relay.collect(120);  // the 300 ms lead is ~57 of them
    EXPECT_EQ(later.size(), 120u);
    expect_stream(later, 11);
}

TEST(UpstreamSim, StopAndSilenceEndSessionsButKeepalivesKeepThemAlive) {
    Sim sim = start_sim(
        {"--stream", std::string("s=") + SAMPLE_TS, "--lead", "200", "--idle-timeout", "0.6"});
    FakeRelay stopping(sim.port), silent(sim.port), alive(sim.port), unknown(sim.port);
    for (FakeRelay* r : {&stopping, &silent, &alive})
        r->request("s");
    unknown.request("nope");
    ASSERT_EQ(stopping.collect(10).size(), 10u);
    stopping.request("");  // stop
    stopping.collect(100000, 200);
    EXPECT_FALSE(stopping.receive(300).has_value());
    // Only the relay that keeps talking still gets data after the idle time.
    for (int i = 0; i < 12; ++i) {
        alive.send({3, 0});
        std::this_thread::sleep_for(100ms);
        alive.collect(100000, 0);
    }
    EXPECT_EQ(alive.collect(20, 500).size(), 20u);
    const std::string ev = testsupport::read_file(sim.events);  // before it falls silent too
    silent.collect(100000, 100);
    EXPECT_FALSE(silent.receive(300).has_value());
    EXPECT_FALSE(unknown.receive(10).has_value());

    const std::regex line(R"(\d+ 127\.0\.0\.1:\d+ [a-z-]+( [a-z-]+=\S*)*)");
    for (size_t at = 0, end; (end = ev.find('\n', at)) != std::string::npos; at = end + 1)
        EXPECT_TRUE(std::regex_match(ev.substr(at, end - at), line)) << ev.substr(at, end - at);
    const struct {
        const char* line;
        int n;
    } events[] = {{" req len=10 url=s\n", 3},
                  {" req len=13 url=nope ignored=unknown-stream\n", 1},
                  {" stop len=9\n", 1},
                  {" session-end reason=stop ", 1},
                  {" session-end reason=idle ", 1}};
    for (const auto& e : events)
        EXPECT_EQ(count_of(ev, e.line), e.n) << e.line;
    EXPECT_GE(count_of(ev, " keepalive len=8\n"), 8);
}

TEST(UpstreamSim, ServesTwoRelaysAtOnceAndRestartsOnNewRequest) {
    const std::string other = write_ts(70, pcr_every_7(0));
    Sim sim = start_sim({"--stream", std::string("chan:7=") + SAMPLE_TS, "--default", other,
                         "--lead", "500", "--drop-requests", "1", "--first-seq", "100"});
    FakeRelay a(sim.port), b(sim.port);
    a.request("chan:7");  // ignored: stands for a lost stream request
    EXPECT_FALSE(a.receive(300).has_value());
    a.request("chan:7");
    b.request("anything");
    const std::vector<Datagram> got_a = a.collect(60), got_b = b.collect(60);
    ASSERT_EQ(got_a.size(), 60u);
    ASSERT_EQ(got_b.size(), 60u);
    expect_stream(got_a, 100, SAMPLE_TS);
    expect_stream(got_b, 100, other);
    // A new request from the same relay starts its stream again from the first number.
    b.request("chan:7");
    const std::string start = testsupport::read_file(SAMPLE_TS).substr(0, 1316);
    EXPECT_TRUE(testsupport::wait_for(
        [&] {
            auto d = b.recv(50);
            return d && d->seq() == 100 && d->bytes.substr(12) == start;
        },
        2s));
    const std::string report = sim.report();
    EXPECT_NE(report.find(" requests-ignored=1 "), std::string::npos) << report;
    EXPECT_NE(report.find(" sessions-started=3 "), std::string::npos) << report;
}

// What a 2000-datagram burst through the given impairment brings, from the request at *asked.
std::vector<Datagram> through(Sim& sim, const std::vector<std::string>& impairment,
                              int64_t* asked = nullptr) {
    std::vector<std::string> args = {"--default", SAMPLE_TS,         "--lead",
                                     "100000",    "--max-datagrams", "2000"};
    args.insert(args.end(), impairment.begin(), impairment.end());
    sim = start_sim(args);
    FakeRelay relay(sim.port);
    if (asked)
        *asked = wall_ns();
    relay.request("x");
    return relay.collect(100000, 500);
}

std::vector<uint32_t> seqs_through(Sim& sim, const std::vector<std::string>& impairment) {
    std::vector<uint32_t> seqs;
    for (const Datagram& d : through(sim, impairment))
        seqs.push_back(d.seq());
    return seqs;
}

TEST(UpstreamSim, SeededLossAndBurstsDropTheirShareRepeatably) {
    Sim sim, other;
    const std::vector<uint32_t> got = seqs_through(sim, {"--loss-out", "20", "--seed", "7"});
    EXPECT_NEAR(static_cast<double>(got.size()), 1600, 80);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(sim.counter("dropped-loss"), 2000 - got.size());
    EXPECT_EQ(seqs_through(other, {"--loss-out", "20", "--seed", "7"}), got);
    EXPECT_NE(seqs_through(other, {"--loss-out", "20", "--seed", "8"}), got);

    // Bursts of 5: every gap is a whole number of bursts.
    const std::vector<uint32_t> bursty =
        seqs_through(sim, {"--burst-loss-out", "2:5", "--seed", "3"});
    EXPECT_EQ(sim.counter("dropped-burst"), 2000 - bursty.size());
    int runs = 0;
    for (size_t i = 1; i < bursty.size(); ++i) {
        const uint32_t gap = bursty[i] - bursty[i - 1] - 1;
        runs += gap != 0;
        EXPECT_EQ(gap % 5, 0u) << "run ending before seq " << bursty[i];
    }
    EXPECT_GT(runs, 10);
}

TEST(UpstreamSim, DelayReorderAndDuplicateLoseNothing) {
    Sim sim;
    int64_t asked;
    const std::vector<Datagram> got = through(
        sim, {"--delay-out", "150", "--reorder-out", "10", "--duplicate-out", "10", "--seed", "5"},
        &asked);
    ASSERT_FALSE(got.empty());
    EXPECT_GE(got[0].arrival_ns - asked, 140 * kMs);
    std::set<uint32_t> distinct;
    int inversions = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        distinct.insert(got[i].seq());
        inversions += i > 0 && got[i].seq() < got[i - 1].seq();
    }
    EXPECT_EQ(distinct.size(), 2000u);
    EXPECT_EQ(*distinct.begin(), 1u);
    const uint64_t duplicated = sim.counter("duplicated");
    EXPECT_EQ(got.size(), 2000 + duplicated);
    EXPECT_NEAR(static_cast<double>(duplicated), 200, 70);
    EXPECT_NEAR(inversions, static_cast<int>(sim.counter("reordered")), 10);
    EXPECT_GT(inversions, 100);
}

}  // namespace
