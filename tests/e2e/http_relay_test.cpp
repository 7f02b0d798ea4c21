// HTTP mode end to end: a player gets the head and the stream, and the latest player wins.
#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <thread>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;
using testsupport::count_of;
using testsupport::wait_for;

// The first player has stopped reading, so that the relay's writer is blocked on it; then
// quick players, the latest of which must get the stream.
TEST(HttpRelay, LaterPlayersTakeTheStreamOverFromABlockedOneAndOnlyTheLastOfQuickOnesStreams) {
    // A lead, so that a datagram dropped on a loaded machine is recovered (see StatusPages).
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    int first = http_get(relay.http_port, stream_path(up), 4096);
    ASSERT_EQ(read_bytes(first, kHeadBytes + kChunk, 10s).size(), kHeadBytes + kChunk);
    int last = -1;
    ASSERT_TRUE(wait_for(
        [&] {
            int now = 0;
            ioctl(first, FIONREAD, &now);
            const bool stable = now == last && now > 0;
            last = now;
            std::this_thread::sleep_for(300ms);
            return stable;
        },
        30s));
    int second = http_get(relay.http_port, stream_path(up));
    EXPECT_TRUE(peer_closed(first, 5s));
    expect_streams(second, kChunk * 100);
    // The upstream saw the first socket's stop request and a new request from a new socket.
    EXPECT_EQ(count_of(up.events(), " req len=15 url=sample"), 2);
    EXPECT_EQ(count_of(up.events(), " stop len=9"), 1);
    EXPECT_EQ(count_of(up.events(), "session-start"), 2);
    close(first);

    // Back to back: the take-over follows the order of the connections, not of their threads.
    int a = http_get(relay.http_port, stream_path(up));
    int b = http_get(relay.http_port, stream_path(up));
    int c = http_get(relay.http_port, stream_path(up));
    expect_streams(c, kChunk * 50);
    for (int fd : {second, a, b})
        EXPECT_TRUE(peer_closed(fd, 5s));
    for (int fd : {second, a, b, c})
        close(fd);
    // Channel-up pressed quickly: whole simple requests whose players leave at once, then the
    // player that stays. The daemon accepts one connection per pass with a listen backlog of
    // 10: more unaccepted connections would wait for the kernel's one-second SYN retry.
    for (int attempt = 0; attempt < 25; ++attempt) {
        for (int n = 0; n < 15; ++n) {
            const std::string req =
                "GET /127.0.0.1-" + std::to_string(up.port) + "/old-" + std::to_string(n);
            wait_for([&] { return accept_backlog(relay.http_port) < 8; }, 5s);
            ASSERT_EQ(close(send_request(relay.http_port, req)), 0);
        }
        SCOPED_TRACE(attempt);
        ASSERT_NO_FATAL_FAILURE(expect_plays_sample(relay, up, kChunk * 10));
    }
}

// The upstream ignores the first stream request: neither HEAD nor the unreachable upstream
// may have used it up, and the player's lost request is repeated until the stream comes. Loss
// is injected: the lost datagrams are recovered in time. Once the player leaves, the upstream
// hears the stop request and the ring is given back.
TEST(HttpRelay, PlayerGetsTheSampleByteExactThroughALostRequestAndLossAndItsLeaveStopsTheStream) {
    Upstream up = start_upstream(
        {"--drop-requests", "1", "--loss-out", "3", "--seed", "7", "--lead", "1000"});
    Relay relay = start_http_relay();
    EXPECT_EQ(fetch(relay.http_port, "HEAD", stream_path(up)), kHead);
    EXPECT_EQ(count_of(up.events(), " req "), 0);
    int bad = http_get(relay.http_port, "/255.255.255.255-5000/x");
    EXPECT_EQ(read_bytes(bad, 1, 10s), "");
    close(bad);
    EXPECT_NE(relay.log().find("prepare isock failed, "), std::string::npos);
    expect_plays_sample(relay, up, kChunk * 600);  // about 3 s of the stream
    EXPECT_NE(relay.log().find("!! Sending another request for sample\n"), std::string::npos);
    EXPECT_EQ(count_of(up.events(), "ignored=drop-requests"), 1);
    EXPECT_NE(up.events().find(" lost n="), std::string::npos);
    EXPECT_TRUE(up.saw(" stop len=9")) << up.events();
    EXPECT_TRUE(logs(relay.child, "Freeing sbuf\n"));
    EXPECT_EQ(count_of(up.events(), "session-start"), 1);
    EXPECT_EQ(count_of(relay.log(), "Sending request\n"), 1);
}

}  // namespace
