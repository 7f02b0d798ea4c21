// The status pages' texts: which paths name them, every metric described, cut to fit.
#include "http/status_page.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

StatsSnapshot sample_snapshot() {
    StatsSnapshot s{};
    s.http_mode = true;
    s.uptime_s = 42;
    s.now_wall = 1000;
    s.stream.active = 1;
    s.stream.since = 990;
    s.stream.remote_port = 5000;
    strcpy(s.stream.remote_ip, "10.0.0.1");
    strcpy(s.stream.name, "chan:7");
    strcpy(s.stream.player, "192.168.1.9:40000");
    s.datagrams_received = 5000000000ull;  // beyond 32 bits
    s.bytes_sent = 123;
    s.rtt_ns = 60000000;
    s.head_cap = 64;
    return s;
}

TEST(StatusPage, OnlyTheExactPathsNameAPage) {
    EXPECT_EQ(status_page_for("/status"), PAGE_STATUS);
    EXPECT_EQ(status_page_for("/metrics"), PAGE_METRICS);
    for (const char* p : {"/status/", "/Status", "/metrics2", "/", "/10.0.0.1-5000/status"})
        EXPECT_EQ(status_page_for(p), PAGE_NONE) << p;
}

TEST(StatusPage, EveryMetricHasHelpTypeAndOneValue) {
    char out[4096];
    const std::string text(out, render_metrics(sample_snapshot(), out, sizeof out));
    for (const char* name :
         {"quarlin_datagrams_received_total", "quarlin_lost_requested_total",
          "quarlin_recovered_total", "quarlin_unrecovered_total", "quarlin_bytes_sent_total",
          "quarlin_takeovers_total", "quarlin_connections_rejected_total", "quarlin_rtt_seconds",
          "quarlin_backlog_datagrams", "quarlin_streaming"}) {
        const std::string n = name;
        EXPECT_NE(text.find("# HELP " + n + " "), std::string::npos) << n;
        EXPECT_NE(text.find("# TYPE " + n + (n.ends_with("_total") ? " counter" : " gauge")),
                  std::string::npos)
            << n;
        EXPECT_NE(text.find("\n" + n + " "), std::string::npos) << n;
    }
    EXPECT_NE(text.find("\nquarlin_datagrams_received_total 5000000000\n"), std::string::npos);
    EXPECT_NE(text.find("\nquarlin_rtt_seconds 0.06"), std::string::npos);
    EXPECT_NE(text.find("\nquarlin_streaming 1\n"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatusPage, StatusNamesTheStreamAndIsCutToFit) {
    char out[4096];
    const std::string text(out, render_status(sample_snapshot(), out, sizeof out));
    EXPECT_NE(text.find("mode: http\n"), std::string::npos);
    EXPECT_NE(text.find("\"chan:7\" from upstream 10.0.0.1:5000"), std::string::npos);
    EXPECT_NE(text.find("(10 s)"), std::string::npos);
    EXPECT_NE(text.find("player: 192.168.1.9:40000"), std::string::npos);
    EXPECT_NE(text.find("rtt: 60.000 ms"), std::string::npos);
    StatsSnapshot idle{};
    const std::string none(out, render_status(idle, out, sizeof out));
    EXPECT_NE(none.find("stream: none\n"), std::string::npos);
    EXPECT_NE(none.find("mode: datagram\n"), std::string::npos);
    char small[40];
    memset(small, 'z', sizeof small);
    EXPECT_EQ(render_metrics(sample_snapshot(), small, sizeof small), sizeof small - 1);
    EXPECT_EQ(small[sizeof small - 1], '\0');
}

// With -n 2 or more the page lists each player and the metrics count them; with one player
// allowed both stay as they were.
TEST(StatusPage, PlayersAreListedAndCountedOnlyWhenSeveralMayWatch) {
    StatsSnapshot s = sample_snapshot();
    char out[8192];
    for (int max : {0, 1}) {
        s.max_players = max;
        const std::string status(out, render_status(s, out, sizeof out));
        EXPECT_NE(status.find("  player: 192.168.1.9:40000\n"), std::string::npos);
        EXPECT_EQ(status.find("players"), std::string::npos);
        const std::string metrics(out, render_metrics(s, out, sizeof out));
        EXPECT_EQ(metrics.find("quarlin_players"), std::string::npos);
    }
    s.max_players = 4;
    s.nplayers = 2;
    s.players[0] = {{1, 995, "192.168.1.9:40000"}, 5000000000ull};
    s.players[1] = {{1, 999, "192.168.1.7:41000"}, 1316};
    const std::string status(out, render_status(s, out, sizeof out));
    EXPECT_NE(status.find("  players: 2 (at most 4)\n"
                          "    192.168.1.9:40000 since 1970-01-01 00:16:35 UTC (5 s), "
                          "5000000000 bytes sent\n"
                          "    192.168.1.7:41000 since 1970-01-01 00:16:39 UTC (1 s), "
                          "1316 bytes sent\n"),
              std::string::npos)
        << status;
    EXPECT_EQ(status.find("  player: "), std::string::npos);
    const std::string metrics(out, render_metrics(s, out, sizeof out));
    EXPECT_NE(metrics.find("# TYPE quarlin_players gauge\nquarlin_players 2\n"), std::string::npos)
        << metrics;
}

}  // namespace
