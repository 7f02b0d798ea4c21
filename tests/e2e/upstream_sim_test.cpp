// End-to-end tests of upstream-sim, driven by a fake relay: a UDP socket in the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <set>
#include <thread>

#include "e2e/relay_harness.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
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
    explicit FakeRelay(const Tool& s) : sim(s.port) {}
    void send(std::initializer_list<uint32_t> ws) { send_to(sim, words(ws)); }
    void request(const std::string& url) { send_to(sim, words({2}) + url + std::string(5, '\0')); }
    // Data datagrams until n have come, none came for quiet_ms, or 5 s have passed.
    std::vector<Datagram> collect(size_t n, int quiet_ms = 1000) {
        std::vector<Datagram> out;
        for (const auto give_up = std::chrono::steady_clock::now() + 5s;
             out.size() < n && std::chrono::steady_clock::now() < give_up;) {
            const auto d = receive(quiet_ms);
            if (!d)
                break;
            if (d->size() >= 188)
                out.push_back({*d, wall_ns()});
        }
        return out;
    }
};

// A transport stream file in which packet i carries i in its payload and, if pcr(i) gives one,
// a PCR (27 MHz) with its discontinuity flag on its PID (else on PID 0x100).
struct Pcr {
    int64_t value;
    bool discontinuity = false;
    int pid = 0x100;
};
std::string write_ts(int packets, const std::function<std::optional<Pcr>(int)>& pcr) {
    const std::string path = testsupport::make_temp_dir() + "/clip.ts";
    std::ofstream out(path, std::ios::binary);
    auto b = [](int64_t v) { return static_cast<char>(v); };
    for (int i = 0; i < packets; ++i) {
        const std::optional<Pcr> v = pcr(i);
        const int pid = v ? v->pid : 0x100;
        std::string p = {b(0x47), b(pid >> 8), b(pid), b((v ? 0x30 : 0x10) | (i & 0x0f))};
        if (v) {  // an adaptation field: its length, flags, then the PCR's base and extension
            const int64_t base = v->value / 300, ext = v->value % 300;
            p += {b(7),
                  b(v->discontinuity ? 0x90 : 0x10),
                  b(base >> 25),
                  b(base >> 17),
                  b(base >> 9),
                  b(base >> 1),
                  b((base & 1) << 7 | 0x7e | ext >> 8),
                  b(ext)};
        }
        p.append(reinterpret_cast<const char*>(&i), sizeof i);
        p.resize(188, b(0xff));
        out << p;
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
    const size_t per_pass = (bytes.size() + kChunk - 1) / kChunk;
    for (size_t k = 0; k < got.size(); ++k) {
        ASSERT_EQ(got[k].seq(), static_cast<uint32_t>(first + k)) << "datagram " << k;
        ASSERT_TRUE(file.empty() ||
                    got[k].bytes.substr(12) == bytes.substr(k % per_pass * kChunk, kChunk))
            << "payload of datagram " << k;
    }
}

TEST(UpstreamSim, ServesTwoRelaysAtOnceInOrderWithPcrStampsAndPacing) {
    const uint32_t first = 4294967200u;  // wraps after 96 datagrams
    const std::string other = write_ts(70, pcr_every_7(0));
    Tool sim =
        start_sim({"--stream", std::string("chan:7=") + SAMPLE_TS, "--default", other, "--lead",
                   "1000", "--first-seq", std::to_string(first), "--drop-requests", "1"});
    FakeRelay a(sim), b(sim);
    a.request("chan:7");  // ignored: stands for a lost stream request
    EXPECT_FALSE(a.receive(300).has_value());
    const int64_t asked = wall_ns();
    a.request("chan:7");
    b.request("anything");
    const std::vector<Datagram> got = a.collect(500);
    ASSERT_EQ(got.size(), 500u);
    expect_stream(got, first, SAMPLE_TS);
    expect_stream(b.collect(60), first, other);
    // A new request from the same relay starts its stream again from the first number.
    b.collect(100000, 0);
    b.request("chan:7");
    EXPECT_TRUE(testsupport::wait_for(
        [&] {
            const auto d = b.collect(1, 50);
            return !d.empty() && d[0].seq() == first &&
                   d[0].bytes.compare(12, kChunk, sample_bytes(), 0, kChunk) == 0;
        },
        2s));
    // Stamped from the wall clock at the request, advancing ~1 s per 250 KB of this file. The
    // first second comes at once; later datagrams one lead ahead of their play-out. Sending
    // early is a fault whatever the load; lateness is bounded loosely and judged by the median.
    EXPECT_NEAR(got[0].stamp_ns() - asked, 0, 200 * kMs);
    EXPECT_NEAR(got[190].stamp_ns() - got[0].stamp_ns(), 1000 * kMs, 100 * kMs);
    EXPECT_LT(got[150].arrival_ns - asked, 400 * kMs);
    std::vector<int64_t> late;
    for (size_t k = 1; k < got.size(); ++k) {
        ASSERT_GE(got[k].stamp_ns(), got[k - 1].stamp_ns());
        ASSERT_LT(got[k].word(2), 1000000000u);
        if (k >= 250)
            late.push_back(got[k].arrival_ns - (got[k].stamp_ns() - 1000 * kMs));
    }
    EXPECT_GT(*std::min_element(late.begin(), late.end()), -20 * kMs) << "sent early";
    EXPECT_LT(*std::max_element(late.begin(), late.end()), 300 * kMs);
    std::nth_element(late.begin(), late.begin() + late.size() / 2, late.end());
    EXPECT_NEAR(late[late.size() / 2], 0, 40 * kMs);
    EXPECT_EQ(sim.counter("requests-ignored"), 1);
    EXPECT_EQ(sim.counter("sessions-started"), 3);
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
        // Half a second ahead: a jump only because it is flagged.
        {"flagged discontinuity", pcr_every_7(0, 21, {3 * 270000 + 13500000, true}), {}},
        {"no PCR", [](int) { return std::optional<Pcr>(); }, {"--no-pcr-kbps", "1052.8"}},
        {"constant bitrate over PCR", pcr_every_7(135000), {"--cbr", "1052.8"}},
    };
    for (const auto& v : variants) {
        SCOPED_TRACE(v.what);
        const std::string file = write_ts(23, v.pcr);
        std::vector<std::string> args = {"--default",       file, "--lead", "10000",
                                         "--max-datagrams", "10"};
        args.insert(args.end(), v.extra.begin(), v.extra.end());
        Tool sim = start_sim(args);
        FakeRelay relay(sim);
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
    Tool sim =
        start_sim({"--stream", std::string("a=") + SAMPLE_TS, "--lead", "300", "--history", "60"});
    FakeRelay relay(sim);
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
    EXPECT_EQ(relay.receive(1000).value_or(""), words({3, 1700000123, 987654321}));
    EXPECT_FALSE(relay.receive(200).has_value());

    // Release: the next sequence number, with its original stamp, nothing skipped.
    relay.send({5});
    const std::vector<Datagram> after = relay.collect(20);
    ASSERT_EQ(after.size(), 20u);
    expect_stream(after, last + 1);
    EXPECT_NEAR(after[0].stamp_ns() - before.back().stamp_ns(), 5 * kMs, 3 * kMs);
    sim.child.stop();
    for (const char* kv :
         {" retransmitted=3 ", " seqs-asked=5 ", " seqs-not-in-history=2 ", " keepalives-echoed=1 ",
          " keepalives-unechoed=1 ", " suspends=1 ", " releases=1 "})
        EXPECT_NE(sim.child.err().find(kv), std::string::npos) << kv;
}

TEST(UpstreamSim, StopAndSilenceEndSessionsButKeepalivesKeepThemAlive) {
    Tool sim = start_sim(
        {"--stream", std::string("s=") + SAMPLE_TS, "--lead", "200", "--idle-timeout", "0.6"});
    FakeRelay stopping(sim), silent(sim), alive(sim), unknown(sim);
    for (FakeRelay* r : {&stopping, &silent, &alive})
        r->request("s");
    unknown.request("nope");
    // Its stream, once what was sent already has come, is over.
    auto ended = [](FakeRelay& r) {
        r.collect(100000, 200);
        return !r.receive(300);
    };
    ASSERT_EQ(stopping.collect(10).size(), 10u);
    stopping.request("");  // stop
    EXPECT_TRUE(ended(stopping));
    // Only the relay that keeps talking still gets data after the idle time.
    for (int i = 0; i < 12; ++i) {
        alive.send({3, 0});
        std::this_thread::sleep_for(100ms);
        alive.collect(100000, 0);
    }
    EXPECT_EQ(alive.collect(20, 500).size(), 20u);
    const std::string ev = sim.events();  // before it falls silent too
    EXPECT_TRUE(ended(silent));
    EXPECT_FALSE(unknown.receive(10).has_value());
    EXPECT_EQ(count_of(ev, " req len=10 url=s\n"), 3);
    for (const char* line : {" req len=13 url=nope ignored=unknown-stream\n", " stop len=9\n",
                             " session-end reason=stop ", " session-end reason=idle "})
        EXPECT_EQ(count_of(ev, line), 1) << line;
    EXPECT_GE(count_of(ev, " keepalive len=8\n"), 8);
}

// What a 2000-datagram burst through the given impairment brings, from the request at *asked.
std::vector<Datagram> through(Tool& sim, const std::vector<std::string>& impairment,
                              int64_t* asked = nullptr) {
    std::vector<std::string> args = {"--default", SAMPLE_TS,         "--lead",
                                     "100000",    "--max-datagrams", "2000"};
    args.insert(args.end(), impairment.begin(), impairment.end());
    sim = start_sim(args);
    FakeRelay relay(sim);
    if (asked)
        *asked = wall_ns();
    relay.request("x");
    return relay.collect(100000, 500);
}

std::vector<uint32_t> seqs(const std::vector<Datagram>& got) {
    std::vector<uint32_t> out;
    for (const Datagram& d : got)
        out.push_back(d.seq());
    return out;
}

TEST(UpstreamSim, SeededImpairmentsTakeTheirShareRepeatablyAndAreCounted) {
    Tool sim, other;
    const std::vector<uint32_t> lossy = seqs(through(sim, {"--loss-out", "20", "--seed", "7"}));
    EXPECT_NEAR(static_cast<double>(lossy.size()), 1600, 80);
    EXPECT_EQ(sim.counter("dropped-loss"), 2000 - static_cast<long long>(lossy.size()));
    EXPECT_EQ(seqs(through(other, {"--loss-out", "20", "--seed", "7"})), lossy);
    EXPECT_NE(seqs(through(other, {"--loss-out", "20", "--seed", "8"})), lossy);

    // Bursts of 5: every gap is a whole number of bursts.
    const std::vector<uint32_t> bursty =
        seqs(through(sim, {"--burst-loss-out", "2:5", "--seed", "3"}));
    EXPECT_EQ(sim.counter("dropped-burst"), 2000 - static_cast<long long>(bursty.size()));
    EXPECT_LT(bursty.size(), 1900u);
    for (size_t i = 1; i < bursty.size(); ++i)
        EXPECT_EQ((bursty[i] - bursty[i - 1] - 1) % 5, 0u) << "run ending before seq " << bursty[i];

    // Delay, reordering and duplication lose nothing.
    int64_t asked;
    const std::vector<Datagram> delayed = through(
        sim, {"--delay-out", "150", "--reorder-out", "10", "--duplicate-out", "10", "--seed", "5"},
        &asked);
    ASSERT_FALSE(delayed.empty());
    EXPECT_GE(delayed[0].arrival_ns - asked, 140 * kMs);
    const std::vector<uint32_t> got = seqs(delayed);
    int inversions = 0;
    for (size_t i = 1; i < got.size(); ++i)
        inversions += got[i] < got[i - 1];
    EXPECT_EQ(std::set<uint32_t>(got.begin(), got.end()).size(), 2000u);
    const long long duplicated = sim.counter("duplicated");
    EXPECT_EQ(static_cast<long long>(got.size()), 2000 + duplicated);
    EXPECT_NEAR(static_cast<double>(duplicated), 200, 70);
    EXPECT_NEAR(inversions, sim.counter("reordered"), 10);
    EXPECT_GT(inversions, 100);
}

}  // namespace
