// End-to-end tests of upstream-sim, driven by a fake relay: a UDP socket in the test.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::Child;

constexpr int64_t kMs = 1000000;  // nanoseconds

int64_t wall_ns() {
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return int64_t{tv.tv_sec} * 1000000000 + int64_t{tv.tv_usec} * 1000;
}

uint32_t word_at(const std::vector<uint8_t>& d, size_t i) {
    uint32_t w;
    std::memcpy(&w, d.data() + 4 * i, 4);
    return w;
}

std::vector<uint8_t> words(std::initializer_list<uint32_t> ws) {
    std::vector<uint8_t> out(ws.size() * 4);
    size_t i = 0;
    for (uint32_t w : ws)
        std::memcpy(out.data() + 4 * i++, &w, 4);
    return out;
}

struct Datagram {
    std::vector<uint8_t> bytes;
    int64_t arrival_ns = 0;  // wall clock
    uint32_t seq() const { return word_at(bytes, 0); }
    int64_t stamp_ns() const {
        return int64_t{static_cast<int32_t>(word_at(bytes, 1))} * 1000000000 +
               static_cast<int32_t>(word_at(bytes, 2));
    }
};

// Plays the relay: a connected UDP socket, one per stream, as the daemon uses.
class FakeRelay {
  public:
    explicit FakeRelay(int sim_port) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 32 << 20;  // whole bursts must fit while the test is busy elsewhere
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(static_cast<uint16_t>(sim_port));
        connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    ~FakeRelay() { close(fd_); }

    void send(const std::vector<uint8_t>& d) { ::send(fd_, d.data(), d.size(), 0); }
    void request(const std::string& url) {
        std::vector<uint8_t> d = words({2});
        d.insert(d.end(), url.begin(), url.end());
        d.resize(d.size() + 5, 0);  // the NUL and four zero bytes
        send(d);
    }
    void stop() { request(""); }
    void lost(const std::vector<uint32_t>& seqs) {
        std::vector<uint8_t> d = words({1, static_cast<uint32_t>(seqs.size())});
        for (uint32_t s : seqs) {
            auto w = words({s});
            d.insert(d.end(), w.begin(), w.end());
        }
        send(d);
    }

    // Next datagram of any kind, or nullopt after timeout.
    std::optional<Datagram> recv(std::chrono::milliseconds timeout) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return std::nullopt;
        Datagram d;
        d.bytes.resize(2048);
        ssize_t n = ::recv(fd_, d.bytes.data(), d.bytes.size(), 0);
        if (n < 0)
            return std::nullopt;
        d.bytes.resize(static_cast<size_t>(n));
        d.arrival_ns = wall_ns();
        return d;
    }
    // Data datagrams until n have come, none came for quiet, or 5 s have passed; echoes are
    // kept aside.
    std::vector<Datagram> collect(size_t n, std::chrono::milliseconds quiet = 1000ms) {
        std::vector<Datagram> out;
        auto give_up = std::chrono::steady_clock::now() + 5s;
        while (out.size() < n && std::chrono::steady_clock::now() < give_up) {
            auto d = recv(quiet);
            if (!d)
                break;
            if (d->bytes.size() >= 188) {
                out.push_back(std::move(*d));
            } else {
                echoes.push_back(std::move(*d));
            }
        }
        return out;
    }
    std::vector<Datagram> drain(std::chrono::milliseconds quiet) { return collect(100000, quiet); }
    // Data datagrams that arrive within the next span, for streams that never go quiet.
    std::vector<Datagram> take_for(std::chrono::milliseconds span) {
        std::vector<Datagram> out;
        auto end = std::chrono::steady_clock::now() + span;
        for (auto now = std::chrono::steady_clock::now(); now < end;
             now = std::chrono::steady_clock::now()) {
            auto d = recv(std::chrono::duration_cast<std::chrono::milliseconds>(end - now) + 1ms);
            if (d && d->bytes.size() >= 188)
                out.push_back(std::move(*d));
        }
        return out;
    }

    std::vector<Datagram> echoes;

  private:
    int fd_ = -1;
};

struct Sim {
    Child child;
    int port = 0;
    std::string events_path;

    std::string events() const { return testsupport::read_file(events_path); }
    // Ends the simulator and returns one counter from its report.
    uint64_t counter(const std::string& key) {
        if (child.running())
            child.stop();
        std::smatch m;
        std::string err = child.err();
        if (!std::regex_search(err, m, std::regex(" " + key + "=(\\d+)")))
            return UINT64_MAX;
        return std::stoull(m[1]);
    }
};

Sim start_sim(std::vector<std::string> args) {
    Sim sim;
    sim.port = testsupport::free_port(false);
    sim.events_path = testsupport::make_temp_dir() + "/events";
    args.insert(args.begin(), {UPSTREAM_SIM_BIN, "--port", std::to_string(sim.port), "--events",
                               sim.events_path});
    sim.child = testsupport::start_child(args);
    bool ready = testsupport::wait_for(
        [&] { return sim.child.err().find("upstream-sim listening on") != std::string::npos; }, 5s);
    EXPECT_TRUE(ready) << sim.child.err();
    return sim;
}

std::vector<uint8_t> read_bytes(const std::string& path) {
    std::string s = testsupport::read_file(path);
    return std::vector<uint8_t>(s.begin(), s.end());
}

// A transport stream file in which packet i carries its index in the payload; pcr(i) gives
// the PCR (27 MHz) and discontinuity flag of packet i, if it has one; pid(i) its PID.
struct Pcr {
    int64_t value;
    bool discontinuity = false;
};
std::string write_ts(
    const std::string& name, int packets, const std::function<std::optional<Pcr>(int)>& pcr,
    const std::function<int(int)>& pid = [](int) { return 0x100; }) {
    std::string path = testsupport::make_temp_dir() + "/" + name;
    std::ofstream out(path, std::ios::binary);
    for (int i = 0; i < packets; ++i) {
        uint8_t p[188];
        std::memset(p, 0xff, sizeof p);
        p[0] = 0x47;
        p[1] = static_cast<uint8_t>(pid(i) >> 8);
        p[2] = static_cast<uint8_t>(pid(i));
        p[3] = static_cast<uint8_t>(0x10 | (i & 0x0f));
        size_t body = 4;
        if (auto v = pcr(i)) {
            int64_t base = v->value / 300, ext = v->value % 300;
            p[3] |= 0x20;
            p[4] = 7;
            p[5] = static_cast<uint8_t>(0x10 | (v->discontinuity ? 0x80 : 0));
            p[6] = static_cast<uint8_t>(base >> 25);
            p[7] = static_cast<uint8_t>(base >> 17);
            p[8] = static_cast<uint8_t>(base >> 9);
            p[9] = static_cast<uint8_t>(base >> 1);
            p[10] = static_cast<uint8_t>(((base & 1) << 7) | 0x7e | (ext >> 8));
            p[11] = static_cast<uint8_t>(ext);
            body = 12;
        }
        std::memcpy(p + body, &i, sizeof i);
        out.write(reinterpret_cast<const char*>(p), sizeof p);
    }
    return path;
}

void expect_payloads_match(const std::vector<Datagram>& got, const std::vector<uint8_t>& file,
                           size_t first_index = 0) {
    size_t datagrams_per_pass = (file.size() + 1315) / 1316;
    for (size_t k = 0; k < got.size(); ++k) {
        size_t i = (first_index + k) % datagrams_per_pass;
        size_t len = std::min<size_t>(1316, file.size() - i * 1316);
        ASSERT_EQ(got[k].bytes.size(), 12 + len) << "datagram " << k;
        ASSERT_TRUE(std::equal(file.begin() + i * 1316, file.begin() + i * 1316 + len,
                               got[k].bytes.begin() + 12))
            << "payload of datagram " << k;
    }
}

void expect_consecutive(const std::vector<Datagram>& got, uint32_t first) {
    for (size_t k = 0; k < got.size(); ++k)
        ASSERT_EQ(got[k].seq(), static_cast<uint32_t>(first + k)) << "datagram " << k;
}

TEST(UpstreamSim, ServesFileInOrderWithPcrStampsAndPacing) {
    const uint32_t first = 4294967200u;  // wraps after 96 datagrams
    Sim sim = start_sim({"--stream", std::string("chan:7=") + SAMPLE_TS, "--lead", "1000",
                         "--first-seq", std::to_string(first)});
    FakeRelay relay(sim.port);
    int64_t asked = wall_ns();
    relay.request("chan:7");
    std::vector<Datagram> got = relay.collect(500);
    ASSERT_EQ(got.size(), 500u);
    expect_consecutive(got, first);
    expect_payloads_match(got, read_bytes(SAMPLE_TS));

    // Stamped from the wall clock at the request, advancing ~1 s per 250 KB of this file.
    EXPECT_NEAR(got[0].stamp_ns() - asked, 0, 200 * kMs);
    EXPECT_NEAR(got[190].stamp_ns() - got[0].stamp_ns(), 1000 * kMs, 100 * kMs);
    for (size_t k = 1; k < got.size(); ++k) {
        ASSERT_GE(got[k].stamp_ns(), got[k - 1].stamp_ns());
        ASSERT_LT(static_cast<int32_t>(word_at(got[k].bytes, 2)), 1000000000);
    }
    // The first second comes at once; later datagrams one lead ahead of their play-out.
    EXPECT_LT(got[150].arrival_ns - asked, 400 * kMs);
    // Sending early is a fault whatever the load; lateness from a busy machine is bounded loosely
    // and judged by the median.
    std::vector<int64_t> late;
    for (size_t k = 250; k < got.size(); ++k) {
        late.push_back(got[k].arrival_ns - (got[k].stamp_ns() - 1000 * kMs));
        ASSERT_GT(late.back(), -20 * kMs) << "datagram " << k << " sent early";
        ASSERT_LT(late.back(), 300 * kMs) << "datagram " << k;
    }
    std::nth_element(late.begin(), late.begin() + late.size() / 2, late.end());
    EXPECT_NEAR(late[late.size() / 2], 0, 40 * kMs);
}

// Files built so that every variant has the same time line: 7 packets per 10 ms, 23 packets
// (three full datagrams and a two-packet tail), looping every 32.857 ms.
TEST(UpstreamSim, StampsFollowPcrAcrossWrapJumpsAndLoops) {
    const int64_t step = 270000;  // 10 ms at 27 MHz
    const int64_t wrap = (int64_t{1} << 33) * 300;
    auto regular = [&](int64_t start) {
        return [=](int i) -> std::optional<Pcr> {
            if (i % 7 != 0)
                return std::nullopt;
            return Pcr{(start + i / 7 * step) % wrap};
        };
    };
    struct Variant {
        const char* what;
        std::string file;
        std::vector<std::string> extra;
    };
    std::vector<Variant> variants = {
        // A second PID with PCR at another rate comes later and must not be used.
        {"wrap between PCRs",
         write_ts(
             "wrap.ts", 23,
             [&](int i) -> std::optional<Pcr> {
                 if (i == 3)
                     return Pcr{12345};
                 return regular(wrap - 2 * step + 777)(i);
             },
             [](int i) { return i == 3 ? 0x200 : 0x100; }),
         {}},
        {"backward jump",
         write_ts("back.ts", 23,
                  [&](int i) -> std::optional<Pcr> {
                      if (i == 21)
                          return Pcr{5000};
                      return regular(90 * step)(i);
                  }),
         {}},
        {"flagged discontinuity",
         write_ts("disc.ts", 23,
                  [&](int i) -> std::optional<Pcr> {
                      if (i == 21)
                          return Pcr{3600LL * 27000000, true};
                      return regular(0)(i);
                  }),
         {}},
        {"no PCR",
         write_ts("nopcr.ts", 23, [](int) { return std::nullopt; }),
         {"--no-pcr-kbps", "1052.8"}},
        {"constant bitrate overrides PCR",
         write_ts("cbr.ts", 23, regular(step / 2)),
         {"--cbr", "1052.8"}},
    };
    for (const Variant& v : variants) {
        SCOPED_TRACE(v.what);
        std::vector<std::string> args = {"--default",       v.file, "--lead", "10000",
                                         "--max-datagrams", "10"};
        args.insert(args.end(), v.extra.begin(), v.extra.end());
        Sim sim = start_sim(args);
        FakeRelay relay(sim.port);
        relay.request("any");
        std::vector<Datagram> got = relay.collect(10);
        ASSERT_EQ(got.size(), 10u);
        expect_consecutive(got, 1);
        expect_payloads_match(got, read_bytes(v.file));
        const int64_t loop = 32857143;
        for (size_t k = 0; k < got.size(); ++k) {
            int64_t expected =
                static_cast<int64_t>(k / 4) * loop + static_cast<int64_t>(k % 4) * 10 * kMs;
            EXPECT_NEAR(got[k].stamp_ns() - got[0].stamp_ns(), expected, 2000) << "datagram " << k;
        }
    }
}

TEST(UpstreamSim, SuspendedSessionAnswersLostRequestsAndKeepalivesThenResumes) {
    Sim sim =
        start_sim({"--stream", std::string("a=") + SAMPLE_TS, "--lead", "300", "--history", "60"});
    FakeRelay relay(sim.port);
    relay.request("a");
    std::vector<Datagram> before = relay.collect(80);
    ASSERT_EQ(before.size(), 80u);
    relay.send(words({4}));
    std::vector<Datagram> rest = relay.drain(300ms);
    before.insert(before.end(), rest.begin(), rest.end());
    expect_consecutive(before, 1);
    const uint32_t last = before.back().seq();
    ASSERT_LT(last, 200u) << "suspend did not pause the stream";

    // Within the 60 kept: last, last-10, last-59. Too old: last-60. Not sent yet: last+1.
    relay.lost({last, last - 10, last - 60, last + 1, last - 59});
    std::vector<Datagram> again = relay.drain(300ms);
    ASSERT_EQ(again.size(), 3u);
    ASSERT_EQ(again[0].seq(), last);
    ASSERT_EQ(again[1].seq(), last - 10);
    ASSERT_EQ(again[2].seq(), last - 59);
    for (const Datagram& d : again)
        EXPECT_EQ(d.bytes, before[d.seq() - 1].bytes) << "re-sent seq " << d.seq();

    // The timed keepalive comes back byte for byte; the suspended-form one is not echoed.
    std::vector<uint8_t> keepalive = words({3, 1700000123, 987654321});
    relay.send(words({3, 0}));
    relay.send(keepalive);
    auto echo = relay.recv(1000ms);
    ASSERT_TRUE(echo.has_value());
    EXPECT_EQ(echo->bytes, keepalive);
    EXPECT_FALSE(relay.recv(200ms).has_value());

    // Release: the next sequence number, with its original stamp, nothing skipped.
    relay.send(words({5}));
    std::vector<Datagram> after = relay.collect(20);
    ASSERT_EQ(after.size(), 20u);
    expect_consecutive(after, last + 1);
    EXPECT_NEAR(after[0].stamp_ns() - before.back().stamp_ns(), 5 * kMs, 3 * kMs);

    EXPECT_EQ(sim.counter("retransmitted"), 3u);
    EXPECT_EQ(sim.counter("seqs-asked"), 5u);
    EXPECT_EQ(sim.counter("seqs-not-in-history"), 2u);
    EXPECT_EQ(sim.counter("keepalives-echoed"), 1u);
    EXPECT_EQ(sim.counter("keepalives-unechoed"), 1u);
    EXPECT_EQ(sim.counter("suspends"), 1u);
    EXPECT_EQ(sim.counter("releases"), 1u);
}

TEST(UpstreamSim, IgnoreSuspendKeepsSending) {
    Sim sim = start_sim({"--default", SAMPLE_TS, "--lead", "300", "--ignore-suspend"});
    FakeRelay relay(sim.port);
    relay.request("x");
    ASSERT_EQ(relay.collect(10).size(), 10u);
    relay.send(words({4}));
    std::vector<Datagram> later = relay.take_for(400ms);
    EXPECT_GT(later.size(), 50u);
    expect_consecutive(later, 11);
}

TEST(UpstreamSim, StopAndSilenceEndSessionsButKeepalivesKeepThemAlive) {
    Sim sim = start_sim(
        {"--stream", std::string("s=") + SAMPLE_TS, "--lead", "200", "--idle-timeout", "0.6"});
    FakeRelay stopping(sim.port), silent(sim.port), alive(sim.port), unknown(sim.port);
    stopping.request("s");
    silent.request("s");
    alive.request("s");
    unknown.request("nope");
    ASSERT_EQ(stopping.collect(10).size(), 10u);
    stopping.stop();
    stopping.drain(200ms);
    EXPECT_FALSE(stopping.recv(300ms).has_value());

    // Only the relay that keeps talking still gets data after the idle time.
    auto until = std::chrono::steady_clock::now() + 1200ms;
    while (std::chrono::steady_clock::now() < until) {
        alive.send(words({3, 0}));
        alive.take_for(100ms);
    }
    EXPECT_EQ(alive.collect(20, 500ms).size(), 20u);
    std::string ev = sim.events();  // before the kept-alive relay falls silent too
    silent.drain(100ms);
    EXPECT_FALSE(silent.recv(300ms).has_value());
    EXPECT_FALSE(unknown.recv(10ms).has_value());

    const std::regex line(R"(\d+ 127\.0\.0\.1:\d+ [a-z-]+( [a-z-]+=\S*)*)");
    std::istringstream lines(ev);
    for (std::string l; std::getline(lines, l);)
        EXPECT_TRUE(std::regex_match(l, line)) << l;
    EXPECT_EQ(testsupport::count_of(ev, " req len=10 url=s\n"), 3);
    EXPECT_EQ(testsupport::count_of(ev, " req len=13 url=nope ignored=unknown-stream\n"), 1);
    EXPECT_EQ(testsupport::count_of(ev, " stop len=9\n"), 1);
    EXPECT_EQ(testsupport::count_of(ev, " session-end reason=stop "), 1);
    EXPECT_EQ(testsupport::count_of(ev, " session-end reason=idle "), 1);
    EXPECT_GE(testsupport::count_of(ev, " keepalive len=8\n"), 8);
}

TEST(UpstreamSim, ServesTwoRelaysAtOnceAndRestartsOnNewRequest) {
    std::string other = write_ts("other.ts", 70, [](int i) -> std::optional<Pcr> {
        return i % 7 ? std::nullopt : std::optional<Pcr>(Pcr{i / 7 * 270000LL});
    });
    Sim sim = start_sim({"--stream", std::string("chan:7=") + SAMPLE_TS, "--default", other,
                         "--lead", "500", "--drop-requests", "1", "--first-seq", "100"});
    FakeRelay a(sim.port), b(sim.port);
    a.request("chan:7");  // ignored: stands for a lost stream request
    EXPECT_FALSE(a.recv(300ms).has_value());
    a.request("chan:7");
    b.request("anything");
    std::vector<Datagram> got_a = a.collect(60), got_b = b.collect(60);
    ASSERT_EQ(got_a.size(), 60u);
    ASSERT_EQ(got_b.size(), 60u);
    expect_consecutive(got_a, 100);
    expect_consecutive(got_b, 100);
    expect_payloads_match(got_a, read_bytes(SAMPLE_TS));
    expect_payloads_match(got_b, read_bytes(other));

    // A new request from the same relay starts its stream again from the first number.
    b.request("chan:7");
    std::vector<Datagram> fresh;
    bool restarted = testsupport::wait_for(
        [&] {
            auto d = b.recv(50ms);
            if (d && d->bytes.size() >= 188 && d->seq() == 100 &&
                std::equal(d->bytes.begin() + 12, d->bytes.end(), read_bytes(SAMPLE_TS).begin()))
                fresh.push_back(*d);
            return !fresh.empty();
        },
        2s);
    EXPECT_TRUE(restarted);
    EXPECT_EQ(sim.counter("requests-ignored"), 1u);
    EXPECT_EQ(sim.counter("sessions-started"), 3u);
}

// Sequence numbers of a 2000-datagram burst through the given impairment.
std::vector<uint32_t> seqs_through(const std::vector<std::string>& impairment,
                                   Sim* keep = nullptr) {
    std::vector<std::string> args = {"--default", SAMPLE_TS,         "--lead",
                                     "100000",    "--max-datagrams", "2000"};
    args.insert(args.end(), impairment.begin(), impairment.end());
    Sim sim = start_sim(args);
    FakeRelay relay(sim.port);
    relay.request("x");
    std::vector<uint32_t> seqs;
    for (const Datagram& d : relay.drain(500ms))
        seqs.push_back(d.seq());
    if (keep)
        *keep = std::move(sim);
    return seqs;
}

TEST(UpstreamSim, SeededLossDropsAboutTheRightShareRepeatably) {
    Sim sim;
    std::vector<uint32_t> got = seqs_through({"--loss-out", "20", "--seed", "7"}, &sim);
    EXPECT_NEAR(static_cast<double>(got.size()), 1600, 80);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_EQ(sim.counter("sent"), 2000u);
    EXPECT_EQ(sim.counter("dropped-loss"), 2000 - got.size());
    EXPECT_EQ(seqs_through({"--loss-out", "20", "--seed", "7"}), got);
    EXPECT_NE(seqs_through({"--loss-out", "20", "--seed", "8"}), got);
}

TEST(UpstreamSim, BurstLossDropsRunsOfTheGivenLength) {
    Sim sim;
    std::vector<uint32_t> got = seqs_through({"--burst-loss-out", "2:5", "--seed", "3"}, &sim);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(sim.counter("dropped-burst"), 2000 - got.size());
    EXPECT_GT(2000 - got.size(), 50u);
    int runs = 0;
    for (size_t i = 1; i < got.size(); ++i) {
        uint32_t gap = got[i] - got[i - 1] - 1;
        if (gap == 0)
            continue;
        ++runs;
        EXPECT_EQ(gap % 5, 0u) << "run ending before seq " << got[i];
    }
    EXPECT_GT(runs, 10);
}

TEST(UpstreamSim, DelayReorderAndDuplicateLoseNothing) {
    Sim sim = start_sim({"--default", SAMPLE_TS, "--lead", "100000", "--max-datagrams", "1000",
                         "--delay-out", "150", "--reorder-out", "10", "--duplicate-out", "10",
                         "--seed", "5"});
    FakeRelay relay(sim.port);
    int64_t asked = wall_ns();
    relay.request("x");
    std::vector<Datagram> got = relay.drain(500ms);
    ASSERT_FALSE(got.empty());
    EXPECT_GE(got[0].arrival_ns - asked, 140 * kMs);
    std::set<uint32_t> distinct;
    int inversions = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        distinct.insert(got[i].seq());
        if (i > 0 && got[i].seq() < got[i - 1].seq())
            ++inversions;
    }
    EXPECT_EQ(distinct.size(), 1000u);
    EXPECT_EQ(*distinct.begin(), 1u);
    uint64_t duplicated = sim.counter("duplicated");
    EXPECT_EQ(got.size(), 1000 + duplicated);
    EXPECT_NEAR(static_cast<double>(duplicated), 100, 45);
    EXPECT_NEAR(inversions, static_cast<int>(sim.counter("reordered")), 5);
    EXPECT_GT(inversions, 50);
}

}  // namespace
