// Several players on one stream (-n) end to end: joining, another stream, the cap, a stalled
// player, and the last one leaving.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;
using testsupport::count_of;
using testsupport::wait_for;

// A player that reads its connection on a thread of its own, as a real one does, until it has
// n bytes, the relay closes it, or 30 s pass.
struct Reader {
    int fd;
    std::string got;
    std::atomic<size_t> have{0};      // written by the reader's thread, read by the test's
    std::atomic<bool> closed{false};  // written by the reader's thread, read once it has joined
    std::thread thread;

    Reader(int port, const std::string& path, size_t n)
        : fd(http_get(port, path)),
          thread([this, n] { closed = read_until(fd, 30s, &got, n, &have); }) {}
    ~Reader() {
        if (thread.joinable())
            thread.join();
        close(fd);
    }
    // Datagrams of the stream received so far.
    size_t datagrams() const {
        const size_t h = have;
        return h > kHeadBytes ? (h - kHeadBytes) / kChunk : 0;
    }
    const std::string& finish() {
        thread.join();
        return got;
    }
};

// got is the head and then n bytes of the sample from a datagram boundary on. Returns where in
// the sample (in datagrams) they start, or -1. The sample repeats some datagrams (stuffing), so
// the start is where the whole of got fits.
long joined_at(const std::string& got, size_t n) {
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);
    const std::string& sample = sample_bytes();
    const std::string first = got.substr(std::min(got.size(), kHeadBytes), kChunk);
    for (size_t at = sample.find(first); first.size() == kChunk && at != std::string::npos;
         at = sample.find(first, at + 1))
        if (at % kChunk == 0 && sample_mismatch(got, kHeadBytes, at, n).empty())
            return static_cast<long>(at / kChunk);
    ADD_FAILURE() << "not " << n << " bytes of the sample from a datagram boundary, of "
                  << got.size() - std::min(got.size(), kHeadBytes);
    return -1;
}

// The upstream's events of one kind.
int events(const Upstream& up, const std::string& kind) {
    return count_of(up.events(), " " + kind + " ");
}

// Polls /status until it lists the players as given ("2 (at most 3)\n").
bool shows_players(const Relay& relay, const std::string& players) {
    return wait_for(
        [&] {
            return fetch(relay.http_port, "GET", "/status").find("  players: " + players) !=
                   std::string::npos;
        },
        10s);
}

// A second player joins while the first plays: the first sees no gap, the second starts at a
// datagram of the sample, and the upstream hears nothing of it. The first leaves and the stream
// goes on; the stop request and the ring's release wait for the last.
TEST(Players, SecondJoinsByteExactWithoutAWordUpstreamAndOnlyTheLastToLeaveStopsTheStream) {
    // A lead, so that a datagram dropped on a loaded machine is recovered (see StatusPages).
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay({"-n", "3"});
    const size_t first_n = kChunk * 700, second_n = kChunk * 600;
    Reader first(relay.http_port, stream_path(up), kHeadBytes + first_n);
    ASSERT_TRUE(wait_for([&] { return first.datagrams() >= 150; }, 20s)) << relay.log();
    Reader second(relay.http_port, stream_path(up), kHeadBytes + second_n);
    ASSERT_TRUE(wait_for([&] { return second.datagrams() >= 1; }, 20s)) << relay.log();
    EXPECT_TRUE(shows_players(relay, "2 (at most 3)\n    127.0.0.1:"));
    EXPECT_NE(fetch(relay.http_port, "GET", "/metrics").find("\nquarlin_players 2\n"),
              std::string::npos);
    expect_head_then_sample(first.finish(), first_n);
    close(first.fd);
    first.fd = -1;
    ASSERT_TRUE(shows_players(relay, "1 (at most 3)\n")) << "the relay did not let the first go";
    EXPECT_EQ(events(up, "stop"), 0);
    const long k = joined_at(second.finish(), second_n);  // it played on past the first's leave
    EXPECT_GE(k, 150) << "the second player did not start at the stream's position";
    EXPECT_LE(k, 400);
    EXPECT_FALSE(second.closed);
    EXPECT_EQ(count_of(relay.log(), "Freeing sbuf\n"), 0);
    close(second.fd);
    second.fd = -1;
    EXPECT_TRUE(up.saw(" stop len=9")) << up.events();
    EXPECT_TRUE(logs(relay.child, "Freeing sbuf\n")) << relay.log();
    for (const char* kind : {"stop", "req", "session-start"})
        EXPECT_EQ(events(up, kind), 1) << kind;
    EXPECT_EQ(count_of(relay.log(), "Sending request\n"), 1);
}

// A player for another stream closes every player of the stream, the old session is stopped,
// and the newcomer's stream is asked for on a new socket.
TEST(Players, AnotherStreamTakesTheStreamOverFromEveryPlayer) {
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay({"-n", "4"});
    Reader a(relay.http_port, stream_path(up), kHeadBytes + kChunk * 5000);
    ASSERT_TRUE(wait_for([&] { return a.datagrams() >= 20; }, 20s)) << relay.log();
    Reader b(relay.http_port, stream_path(up), kHeadBytes + kChunk * 5000);
    ASSERT_TRUE(wait_for([&] { return b.datagrams() >= 20; }, 20s)) << relay.log();
    Reader c(relay.http_port, stream_path(up, "other"), kHeadBytes + kChunk * 100);
    expect_head_then_sample(c.finish(), kChunk * 100);  // "other" is the sample from its start
    a.finish();
    b.finish();
    EXPECT_TRUE(a.closed && b.closed) << relay.log();
    EXPECT_TRUE(wait_for([&] { return events(up, "stop") == 1; }, 5s)) << up.events();
    EXPECT_EQ(count_of(up.events(), " req len=15 url=sample"), 1);
    EXPECT_EQ(count_of(up.events(), " req len=14 url=other"), 1);
    EXPECT_EQ(events(up, "session-start"), 2);
}

// -n 2: a player that stops reading is cut while the other stays byte-exact; then at the cap a
// newcomer closes the player that joined first, and the other two play on.
TEST(Players, StalledPlayerIsCutAndAtTheCapThePlayerThatJoinedFirstGoes) {
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay({"-n", "2"});
    Reader a(relay.http_port, stream_path(up), kHeadBytes + kChunk * 5000);
    ASSERT_TRUE(wait_for([&] { return a.datagrams() >= 20; }, 20s)) << relay.log();
    const int stalled = http_get(relay.http_port, stream_path(up), 4096);
    ASSERT_GE(stalled, 0);
    EXPECT_TRUE(
        wait_for([&] { return count_of(relay.log(), "took nothing for 2 s: closed\n") == 1; }, 20s))
        << relay.log();
    EXPECT_TRUE(peer_closed(stalled, 5s));
    close(stalled);
    Reader b(relay.http_port, stream_path(up), kHeadBytes + kChunk * 300);
    ASSERT_TRUE(wait_for([&] { return b.datagrams() >= 20; }, 20s)) << relay.log();
    Reader c(relay.http_port, stream_path(up), kHeadBytes + kChunk * 200);
    joined_at(c.finish(), kChunk * 200);
    joined_at(b.finish(), kChunk * 300);
    const std::string& got = a.finish();
    EXPECT_TRUE(a.closed) << "the earliest player was not closed";
    EXPECT_FALSE(b.closed || c.closed);
    // Every whole datagram the first player got, through the stall and up to its close.
    const size_t whole = (got.size() - std::min(got.size(), kHeadBytes)) / kChunk * kChunk;
    EXPECT_GE(whole, kChunk * 40);
    expect_head_then_sample(got.substr(0, kHeadBytes + whole), whole);
    EXPECT_EQ(count_of(relay.log(), "players watch (-n 2): closing 127.0.0.1:"), 1) << relay.log();
    EXPECT_EQ(events(up, "req"), 1);
    EXPECT_EQ(events(up, "stop"), 0);
}

}  // namespace
