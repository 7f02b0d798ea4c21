// The playout-latency mode end to end: a lossy link both ways, and every payload arrives.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;
using testsupport::count_of;

// 5 % loss each way, a 20 ms round trip: requests, repeats and copies all cross the lossy link.
// A second of latency leaves the repeats room on a machine busy enough to stall the relay for
// hundreds of milliseconds (a sanitizer's build beside other tests).
TEST(PlayoutLatency, EveryPayloadArrivesInOrderThroughFivePercentLossEachWay) {
    Upstream up = start_upstream();
    Tool link = start_link(up.port, {"--up-loss", "5", "--down-loss", "5", "--up-delay", "10",
                                     "--down-delay", "10", "--seed", "7"});
    Relay relay = start_http_relay({"-L", "1000"});
    expect_plays_sample(relay, link, kChunk * 1500);  // about 8 s of the sample
    relay.child.stop();
    const std::string log = relay.log();
    EXPECT_EQ(count_of(log, "Playing out 1000 ms after arrival"), 1) << log.substr(0, 3000);
    EXPECT_EQ(count_of(log, "!!! Lost sending"), 0);
    EXPECT_EQ(count_of(log, "Adding duplicate packet"), 0) << "second copies are not stored";
    // A run shorter than a minute still gets its recovery line, on the way out.
    EXPECT_EQ(count_of(log, "recovery: asked "), 1) << log.substr(log.size() - 600);
    EXPECT_EQ(count_of(log, ", never 0, "), 1);
    EXPECT_GT(count_of(up.events(), " lost n="), 10);
    EXPECT_GT(link.counter("down-dropped"), 20);
}

// Bursts of 25 withheld, each longer than the latency: the datagram after a burst comes too late
// to ask for its head, so the head is asked for as it becomes overdue.
TEST(PlayoutLatency, EveryPayloadOfBurstsLongerThanTheLatencyArrivesInOrder) {
    Upstream up = start_upstream({"--withhold-out", "200:25"});
    // A 20 ms round trip leaves the recovery 80 ms of the latency, room for a busy machine.
    Tool link = start_link(up.port, {"--up-delay", "10", "--down-delay", "10"});
    Relay relay = start_http_relay({"-L", "100"});
    expect_plays_sample(relay, link, kChunk * 1200);
    relay.child.stop();
    const std::string log = relay.log();
    EXPECT_EQ(count_of(log, ", never 0, "), 1) << log.substr(log.size() - 600);
    EXPECT_EQ(count_of(log, "; overdue asked 0,"), 0) << "the bursts' heads were asked for";
    EXPECT_GE(up.counter("withheld"), 25 * 5);
}

// -L auto on clean loopback: the status page shows a latency far below the 120 ms it starts at.
TEST(PlayoutLatency, AutoLatencyPlaysTheSampleAndShowsTheLatencyInForce) {
    Upstream up = start_upstream();
    Relay relay = start_http_relay({"-L", "auto"});
    const int fd = http_get(relay.http_port, stream_path(up));
    expect_streams(fd, kChunk * 400);
    const std::string status = fetch(relay.http_port, "GET", "/status");
    close(fd);
    const size_t at = status.find("playout latency: ");
    ASSERT_NE(at, std::string::npos) << status;
    const int ms = std::atoi(status.c_str() + at + 17);
    EXPECT_GT(ms, 0);
    EXPECT_LT(ms, 120) << "picked from the round trip";
    EXPECT_NE(fetch(relay.http_port, "GET", "/metrics").find("quarlin_playout_latency_seconds "),
              std::string::npos);
}

}  // namespace
