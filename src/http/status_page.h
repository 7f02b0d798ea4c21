// The two pages that tell what the daemon is doing: /status for a person, /metrics for a
// Prometheus scraper. Neither touches the stream: they only read counters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/stats.h"

struct RelayContext;

enum StatusPage { PAGE_NONE = 0, PAGE_STATUS = 1, PAGE_METRICS = 2 };

// The page a decoded request path names, if any.
StatusPage status_page_for(const char* path);

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
};

StatsSnapshot stats_snapshot(const RelayContext& ctx);

// The page bodies. Return the length written (the text is cut to fit size - 1 bytes).
size_t render_status(const StatsSnapshot& s, char* out, size_t size);
size_t render_metrics(const StatsSnapshot& s, char* out, size_t size);

// Answers a status page request on conn: a small HTTP/1.0 head, then (unless head_only) the
// body. The caller closes conn.
void serve_status_page(const RelayContext& ctx, StatusPage page, int conn, bool head_only);
