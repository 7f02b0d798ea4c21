// The status pages while a player streams, the upstream allow-list, the listener address and
// the stream's content type, end to end.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>

#include "e2e/relay_harness.h"
#include "http/status_page.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using testsupport::count_of;
using testsupport::wait_for;

// While a player streams: both pages read a hundred times each, a browser's and curl's views,
// a silent connection, refused methods and resources, and an upstream outside the allow-list
// (the second upstream listens on every loopback address; the daemon may only name 127.0.0.1).
TEST(StatusPages, PagesRefusalsAndAnUpstreamOutsideTheAllowListLeaveAPlayerStreamingByteExact) {
    // The lead lets a datagram that a loaded machine drops on loopback be asked for again in
    // time; without one the relay plays too close behind the newest to recover it.
    Upstream up = start_upstream({"--lead", "1000"});
    Upstream outside = start_upstream({"--bind", "0.0.0.0"});
    Relay relay = start_http_relay({"-a", "127.0.0.1/32", "-a", "10.0.0.0/8", "-t", "video/mp2t"});
    const int player = http_get(relay.http_port, stream_path(up));
    const std::string head =
        "HTTP/1.0 200 OK\r\nServer: Tidewater v0.1\r\nContent-Type: video/mp2t\r\n\r\n";
    ASSERT_EQ(read_bytes(player, head.size() + kChunk, 10s).substr(0, head.size()), head);
    const int silent = connect_tcp(relay.http_port);
    const int refused = connect_tcp(relay.http_port);
    ASSERT_EQ(write(refused, "POST / HTTP/1.0\r\n\r\n", 19), 19);
    const int wrong = http_get(relay.http_port, "/favicon.ico");
    const int not_allowed =
        http_get(relay.http_port, "/127.0.0.2-" + std::to_string(outside.port) + "/sample");
    for (int fd : {refused, wrong, not_allowed})
        EXPECT_TRUE(peer_closed(fd, 5s));
    for (int fd : {silent, refused, wrong, not_allowed})
        close(fd);
    EXPECT_EQ(count_of(relay.log(), "upstream 127.0.0.2 is not allowed (-a)\n"), 1);
    std::string status, metrics;
    for (int i = 0; i < 100; ++i) {
        status = fetch(relay.http_port, "GET", "/status");
        metrics = fetch(relay.http_port, "GET", "/metrics");
        ASSERT_EQ(status.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n", 0), 0u);
        ASSERT_NE(metrics.find("Content-Type: text/plain; version=0.0.4\r\n"), std::string::npos);
    }
    const std::string metrics_head = fetch(relay.http_port, "HEAD", "/metrics");
    EXPECT_EQ(metrics_head.size(), metrics_head.find("\r\n\r\n") + 4) << "HEAD gets the head alone";
    // Which page an Accept line picks is the unit tests' business; here, that it reaches them.
    const std::string html =
        answer_to(relay.http_port,
                  "GET / HTTP/1.1\r\nHost: box\r\nAccept: text/html,application/"
                  "xhtml+xml,application/xml;q=0.9,*/*;q=0.8\r\n\r\n");
    EXPECT_EQ(html.rfind("HTTP/1.0 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n", 0), 0u);
    EXPECT_EQ(html.substr(html.find("\r\n\r\n") + 4), std::string(kStatusHtml, kStatusHtmlBytes));
    const auto refusals = [&] {
        const std::string j = fetch(relay.http_port, "GET", "/status.json");
        EXPECT_NE(j.find("Content-Type: application/json\r\n"), std::string::npos) << j;
        const size_t at = j.find("\"refused\":");
        return at == std::string::npos ? -1 : atoi(j.c_str() + at + 10);
    };
    const int before = refusals();
    EXPECT_EQ(answer_to(relay.http_port, "GET /\r\n"), "") << "a simple request got an answer";
    EXPECT_TRUE(wait_for([&] { return refusals() == before + 1; }, 5s)) << relay.log();
    // The stream went on undisturbed: the rest of 300 datagrams, byte for byte.
    const size_t n = kChunk * 300;
    const std::string more = read_bytes(player, n - kChunk, 20s);
    ASSERT_EQ(more.size(), n - kChunk);
    EXPECT_EQ(sample_mismatch(more, 0, kChunk, more.size()), "") << relay.log();
    close(player);
    EXPECT_EQ(count_of(up.events(), " req "), 1) << "the upstream was asked something else";
    EXPECT_EQ(outside.events(), "") << "a datagram reached the upstream outside the list";
    EXPECT_EQ(outside.counter("stream-requests"), 0);
    EXPECT_EQ(outside.counter("unknown-control"), 0);
    EXPECT_NE(status.find("stream: \"sample\" from upstream 127.0.0.1:"), std::string::npos)
        << status;
    EXPECT_NE(metrics.find("\nquarlin_streaming 1\n"), std::string::npos) << metrics;

    // What a deployment checks the page with, where installed: promtool's linter.
    const std::string promtool = testsupport::on_path("promtool");
    if (promtool.empty())
        GTEST_SKIP() << "promtool is not installed (Debian: prometheus)";
    const std::string dir = testsupport::make_temp_dir();
    std::ofstream(dir + "/metrics") << metrics.substr(metrics.find("\r\n\r\n") + 4);
    const std::string lint =
        promtool + " check metrics < " + dir + "/metrics > " + dir + "/lint 2>&1";
    EXPECT_EQ(system(lint.c_str()), 0) << testsupport::read_file(dir + "/lint");
}

// Keeps a player's stream flowing while a child runs, at most a minute; its exit status.
int run_beside_player(testsupport::Child& child, int player) {
    for (const auto give_up = std::chrono::steady_clock::now() + 60s;
         child.running() && std::chrono::steady_clock::now() < give_up;)
        read_bytes(player, 1 << 16, 100ms);
    return child.stop(9, 1s);
}

// Headless Chromium loads the page from a relay that streams through loss, lets ten seconds of
// its own time pass (the page polls once a second), and dumps what the page drew.
TEST(StatusPages, ChromiumDrawsThePageOfAStreamingRelay) {
    std::string chromium = testsupport::on_path("chromium");
    if (chromium.empty())
        chromium = testsupport::on_path("chromium-browser");
    if (chromium.empty())
        GTEST_SKIP() << "Chromium is not installed (Debian: chromium)";
    Upstream up = start_upstream({"--lead", "1000", "--loss-out", "3", "--seed", "5"});
    Relay relay = start_http_relay();
    const int player = http_get(relay.http_port, stream_path(up));
    ASSERT_EQ(read_bytes(player, kHeadBytes + kChunk, 10s).size(), kHeadBytes + kChunk);
    auto dom = testsupport::start_child(
        {chromium, "--user-data-dir=" + testsupport::make_temp_dir(), "--headless", "--no-sandbox",
         "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
         "--disable-component-update", "--disable-sync", "--virtual-time-budget=10000",
         "--dump-dom", "http://127.0.0.1:" + std::to_string(relay.http_port) + "/"});
    ASSERT_EQ(run_beside_player(dom, player), 0) << dom.err();
    const std::string drawn = dom.out();
    EXPECT_NE(drawn.find("<span id=\"state\" class=\"on\">streaming</span>"), std::string::npos)
        << drawn;
    const size_t at = drawn.find("data-samples=\"");
    ASSERT_NE(at, std::string::npos) << drawn;
    EXPECT_GE(atoi(drawn.c_str() + at + 14), 3) << "the page did not poll and draw";
    for (const char* chart : {"c-rate", "c-rtt", "c-backlog", "c-rec", "c-lost"})
        EXPECT_NE(drawn.find(chart), std::string::npos) << chart;
    EXPECT_EQ(count_of(up.events(), " req "), 1) << "the page disturbed the stream";
    close(player);
}

TEST(StatusPages, ListenerBindsOnlyTheGivenAddress) {
    const int port = testsupport::free_port(true);
    auto relay =
        testsupport::start_child({QUARLIN_BIN, "-h", std::to_string(port), "-b", "127.0.0.2"});
    sockaddr_in given = testsupport::loopback(port);
    given.sin_addr.s_addr = htonl(0x7f000002);
    const auto accepts_there = [&] {
        const int fd = socket(AF_INET, SOCK_STREAM, 0);
        const bool ok = connect(fd, reinterpret_cast<const sockaddr*>(&given), sizeof given) == 0;
        close(fd);
        return ok;
    };
    ASSERT_TRUE(wait_for(accepts_there, 5s)) << relay.out();
    EXPECT_LT(connect_tcp(port), 0);  // 127.0.0.1 is not listened on
}

}  // namespace
