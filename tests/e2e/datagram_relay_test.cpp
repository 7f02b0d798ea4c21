// Datagram mode end to end: the stream named by -u arrives at a UDP receiver, in order.
#include <gtest/gtest.h>

#include "e2e/relay_harness.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using testsupport::count_of;

// The upstream ignores the first stream request and is reached through lossy-link, which drops
// and jitters what comes down.
TEST(DatagramRelay, LostStartRequestIsAskedAgainAndEveryPayloadArrivesInOrderThroughLoss) {
    Upstream up = start_upstream({"--drop-requests", "1"});
    Tool link = start_link(up.port, {"--down-loss", "3", "--down-jitter", "2", "--seed", "9"});
    testsupport::UdpPeer rx;
    auto relay = start_datagram_relay(link.port, rx.port);
    std::string got;
    for (int i = 0; i < 1000; ++i) {  // about 5 s of the sample
        const auto d = rx.receive(15000);
        ASSERT_TRUE(d) << "only " << i << " datagrams relayed\n" << up.events();
        ASSERT_EQ(d->size(), kChunk) << "datagram " << i;
        got += *d;
    }
    EXPECT_EQ(sample_mismatch(got, 0, 0, got.size()), "");
    relay.stop();
    EXPECT_NE(relay.out().find("!! Sending another request for sample\n"), std::string::npos);
    EXPECT_EQ(count_of(up.events(), "ignored=drop-requests"), 1);
    EXPECT_EQ(count_of(relay.out(), "\n!!\n"), 1) << "the sender started more than once";
    EXPECT_NE(up.events().find(" lost n="), std::string::npos);
    EXPECT_GT(link.counter("down-dropped"), 0);
}

}  // namespace
