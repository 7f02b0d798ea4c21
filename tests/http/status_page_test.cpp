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
    s.stream = {1, 990, 5000, "10.0.0.1", "chan:7", "192.168.1.9:40000"};
    s.datagrams_received = 5000000000ull;  // beyond 32 bits
    s.bytes_sent = 123;
    s.rtt_ns = 60000000;
    s.head_cap = 64;
    return s;
}

constexpr const char* kBrowserAccept =
    "text/html,application/xhtml+xml,application/xml;q=0.9,image/avif,image/webp,*/*;q=0.8";

TEST(StatusPage, OnlyTheExactPathsNameAPage) {
    EXPECT_EQ(status_page_for("/status"), PAGE_STATUS);
    EXPECT_EQ(status_page_for("/metrics"), PAGE_METRICS);
    EXPECT_EQ(status_page_for("/status.json"), PAGE_JSON);
    for (const char* p :
         {"/status/", "/Status", "/metrics2", "/", "/10.0.0.1-5000/status", "/status.json/", "//"})
        EXPECT_EQ(status_page_for(p, kBrowserAccept, true) == PAGE_NONE,
                  strcmp(p, "/") != 0 && strcmp(p, "/status") != 0)
            << p;
    // "/" only with a version: a simple request for it stays refused.
    EXPECT_EQ(status_page_for("/", nullptr, true), PAGE_HTML);
    EXPECT_EQ(status_page_for("/", kBrowserAccept, false), PAGE_NONE);
    EXPECT_EQ(status_page_for("/status", kBrowserAccept, true), PAGE_HTML);
    EXPECT_EQ(status_page_for("/status", "*/*", true), PAGE_STATUS);
    EXPECT_EQ(status_page_for("/metrics", kBrowserAccept, true), PAGE_METRICS);
}

TEST(StatusPage, HtmlOnlyWhenAcceptRanksItAbovePlainText) {
    const struct {
        const char* accept;
        bool html;
    } cases[] = {
        {kBrowserAccept, true},
        {"text/html", true},
        {"TEXT/HTML;level=1", true},
        {"text/html, text/plain", true},
        {"text/plain, text/html", false},  // a tie goes to the one listed first
        {"text/plain;q=0.5, text/html;q=0.6", true},
        {"text/html;q=0.5, */*", false},
        {"text/html;q=0", false},
        {"*/*", false},
        {"application/json", false},
        {"text/htmlx", false},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(accept_prefers_html(c.accept), c.html) << c.accept;
    EXPECT_FALSE(accept_prefers_html(nullptr));
}

TEST(StatusPage, JsonEscapesTheStreamTextsAndHtmlPageStandsAlone) {
    StatsSnapshot s = sample_snapshot();
    strcpy(s.stream.name, "a\"b\\c\x01</script>");
    char out[4096];
    const std::string json(out, render_json(s, out, sizeof out));
    for (const char* want : {"\"name\":\"a\\\"b\\\\c\\u0001</script>\"",
                             "\"datagrams_received\":5000000000,", "\"rtt_seconds\":0.06,"})
        EXPECT_NE(json.find(want), std::string::npos) << json;
    EXPECT_EQ(json.rfind("}\n"), json.size() - 2);
    const std::string none(out, render_json(StatsSnapshot{}, out, sizeof out));
    EXPECT_NE(none.find("\"streaming\":false,\"stream\":null,"), std::string::npos) << none;

    const std::string page(kStatusHtml, kStatusHtmlBytes);
    EXPECT_LT(page.size(), 20u * 1024);
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    // Nothing from elsewhere: the box may have no way out, and the page must not leak visits.
    for (const char* outside : {"http:", "https:", "src=", "<link", "@import", "url("})
        EXPECT_EQ(page.find(outside), std::string::npos) << outside;
    EXPECT_NE(page.find("fetch(\"/status.json\""), std::string::npos);
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
    for (const char* want : {"\nquarlin_datagrams_received_total 5000000000\n",
                             "\nquarlin_rtt_seconds 0.06", "\nquarlin_streaming 1\n"})
        EXPECT_NE(text.find(want), std::string::npos) << want;
    EXPECT_EQ(text.back(), '\n');
}

TEST(StatusPage, StatusNamesTheStreamAndIsCutToFit) {
    char out[4096];
    const std::string text(out, render_status(sample_snapshot(), out, sizeof out));
    for (const char* want : {"mode: http\n", "\"chan:7\" from upstream 10.0.0.1:5000", "(10 s)",
                             "player: 192.168.1.9:40000", "rtt: 60.000 ms"})
        EXPECT_NE(text.find(want), std::string::npos) << want;
    const std::string none(out, render_status(StatsSnapshot{}, out, sizeof out));
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
