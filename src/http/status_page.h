// The pages that tell what the daemon is doing: /status for a person (plain text, or a small
// HTML page with charts for a browser), /status.json for that page, /metrics for a Prometheus
// scraper. None touches the stream: they only read counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/players.h"
#include "core/stats.h"

struct RelayContext;

enum StatusPage { PAGE_NONE = 0, PAGE_STATUS = 1, PAGE_METRICS = 2, PAGE_HTML = 3, PAGE_JSON = 4 };

// The page a decoded request path names, if any. "/" names the HTML page in a request with an
// HTTP version only (browsers send one; a simple request for "/" stays refused); "/status"
// names it when accept (the Accept header, or null) prefers text/html to plain text.
StatusPage status_page_for(const char* path, const char* accept = nullptr,
                           bool has_version = false);

// Whether an Accept value ranks text/html above text/plain, text/* and */* (on a tie, when it
// is listed first).
bool accept_prefers_html(const char* accept);

// What the pages show, read from the counters at one moment.
struct StatsSnapshot {
    bool http_mode;
    int64_t uptime_s;
    uint32_t now_wall;  // wall-clock seconds
    StreamRecord stream;
    uint64_t datagrams_received, bytes_received, lost_requested, recovered, unrecovered;
    uint64_t bytes_sent;
    uint32_t suspends, releases, repeated_requests, takeovers;
    uint32_t accepted, refused, closed_at_cap;
    int head_cap;
    uint32_t backlog, input_bps, rtt_ns;
    int32_t latency_us;  // the playout latency in force; 0 = the default pacing
    bool ring_allocated;
    // With -n 2 or more: the players watching, in the table's order.
    int max_players;  // 0 or 1: no list
    int nplayers;
    struct Player {
        PlayerRecord rec;
        uint64_t bytes_sent;
    } players[kMaxPlayers];
};

StatsSnapshot stats_snapshot(const RelayContext& ctx);

// The page bodies. Return the length written (the text is cut to fit size - 1 bytes).
size_t render_status(const StatsSnapshot& s, char* out, size_t size);
size_t render_metrics(const StatsSnapshot& s, char* out, size_t size);
// The same counters as one JSON object, for the HTML page.
size_t render_json(const StatsSnapshot& s, char* out, size_t size);

// The HTML page: fixed, self-contained, it draws what it polls from /status.json.
extern const char kStatusHtml[];
extern const size_t kStatusHtmlBytes;

// Answers a status page request on conn: a small HTTP/1.0 head, then (unless head_only) the
// body. The caller closes conn.
void serve_status_page(const RelayContext& ctx, StatusPage page, int conn, bool head_only);
