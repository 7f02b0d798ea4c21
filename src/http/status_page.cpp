// Reading the counters into a snapshot, and writing it as plain text or as Prometheus metrics.
#include "http/status_page.h"

#include <strings.h>
#include <sys/uio.h>
#include <time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/relay_context.h"
#include "core/timespec.h"
#include "http/response.h"

namespace {

// Appends to a fixed buffer, cutting what does not fit.
struct Text {
    char* out;
    size_t size;
    size_t len = 0;

    void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
        if (len + 1 >= size)
            return;
        va_list ap;
        va_start(ap, fmt);
        const int n = vsnprintf(out + len, size - len, fmt, ap);
        va_end(ap);
        if (n > 0)
            len = len + static_cast<size_t>(n) < size ? len + static_cast<size_t>(n) : size - 1;
    }
};

void metric(Text& t, const char* name, const char* type, const char* help, double value) {
    t.add("# HELP %s %s\n# TYPE %s %s\n%s %.9g\n", name, help, name, type, name, value);
}

// Writes every part, going on after partial or interrupted writes; a peer that left ends it.
void write_all(int fd, iovec* parts, int count) {
    while (count > 0) {
        const ssize_t n = writev(fd, parts, count);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        size_t done = static_cast<size_t>(n);
        while (count > 0 && done >= parts->iov_len) {
            done -= parts->iov_len;
            ++parts;
            --count;
        }
        if (count > 0) {
            parts->iov_base = static_cast<char*>(parts->iov_base) + done;
            parts->iov_len -= done;
        }
    }
}

void counter(Text& t, const char* name, const char* help, uint64_t value) {
    t.add("# HELP %s %s\n# TYPE %s counter\n%s %llu\n", name, help, name, name,
          static_cast<unsigned long long>(value));
}

// "<date> UTC (<seconds ago> s)" of a wall-clock second.
void add_when(Text& t, uint32_t since, uint32_t now) {
    const time_t at = static_cast<time_t>(since);
    tm utc{};
    gmtime_r(&at, &utc);
    char when[32];
    strftime(when, sizeof when, "%Y-%m-%d %H:%M:%S UTC", &utc);
    t.add("%s (%lld s)", when, static_cast<long long>(now) - static_cast<long long>(since));
}

}  // namespace

StatusPage status_page_for(const char* path, const char* accept, bool has_version) {
    if (strcmp(path, "/status") == 0)
        return accept_prefers_html(accept) ? PAGE_HTML : PAGE_STATUS;
    if (strcmp(path, "/metrics") == 0)
        return PAGE_METRICS;
    if (strcmp(path, "/status.json") == 0)
        return PAGE_JSON;
    if (strcmp(path, "/") == 0 && has_version)
        return PAGE_HTML;
    return PAGE_NONE;
}

bool accept_prefers_html(const char* accept) {
    if (accept == nullptr)
        return false;
    double html_q = -1, text_q = -1;
    bool html_first = false;
    for (const char* p = accept; *p != '\0';) {
        while (*p == ' ' || *p == '\t' || *p == ',')
            p++;
        const char* type = p;
        while (*p != '\0' && *p != ',' && *p != ';' && *p != ' ' && *p != '\t')
            p++;
        const size_t type_len = static_cast<size_t>(p - type);
        double q = 1;
        while (*p != '\0' && *p != ',') {  // parameters: only q counts
            if ((*p == 'q' || *p == 'Q') && p[1] == '=' && (p[-1] == ';' || p[-1] == ' '))
                q = strtod(p + 2, nullptr);
            p++;
        }
        const auto is = [&](const char* name) {
            return type_len == strlen(name) && strncasecmp(type, name, type_len) == 0;
        };
        if (is("text/html")) {
            html_first = html_first || text_q < 0;
            html_q = q > html_q ? q : html_q;
        } else if (is("text/plain") || is("text/*") || is("*/*")) {
            text_q = q > text_q ? q : text_q;
        }
    }
    return html_q > 0 && (html_q > text_q || (html_q == text_q && html_first));
}

StatsSnapshot stats_snapshot(const RelayContext& ctx) {
    const Stats& st = ctx.stats;
    StatsSnapshot s{};
    s.http_mode = st.http_mode;
    s.uptime_s = (monotonic_ms() - st.start_ms) / 1000;
    s.now_wall = static_cast<uint32_t>(time(nullptr));
    s.stream = stream_read(st.stream);
    s.datagrams_received = st.datagrams_received.load();
    s.bytes_received = st.bytes_received.load();
    s.lost_requested = st.lost_requested.load();
    s.recovered = st.recovered.load();
    s.unrecovered = st.unrecovered.load();
    s.bytes_sent = st.bytes_sent.load();
    // Relaxed throughout: each value stands alone; the page is a moment's picture.
    s.suspends = st.suspends.load(std::memory_order_relaxed);
    s.releases = st.releases.load(std::memory_order_relaxed);
    s.repeated_requests = st.repeated_requests.load(std::memory_order_relaxed);
    s.takeovers = st.takeovers.load(std::memory_order_relaxed);
    s.accepted = st.accepted.load(std::memory_order_relaxed);
    s.refused = st.refused.load(std::memory_order_relaxed);
    s.closed_at_cap = st.closed_at_cap.load(std::memory_order_relaxed);
    s.head_cap = st.head_cap;
    s.backlog = st.backlog.load(std::memory_order_relaxed);
    s.input_bps = st.input_bps.load(std::memory_order_relaxed);
    s.rtt_ns = ctx.rtt.load(std::memory_order_relaxed);
    s.latency_us = ctx.latency_us.load(std::memory_order_relaxed);
    // Only whether the pointer is set: the ring itself may be freed at any moment.
    s.ring_allocated = ctx.psbuf != nullptr && ctx.psbuf->load(std::memory_order_relaxed);
    s.max_players = st.max_players;
    if (s.max_players > 1 && ctx.players != nullptr) {
        for (const PlayerSlot& slot : ctx.players->slots) {
            const PlayerRecord rec = seqlock_read(slot.record);
            if (!rec.active || s.nplayers == kMaxPlayers)
                continue;
            s.players[s.nplayers].rec = rec;
            s.players[s.nplayers].rec.addr[sizeof rec.addr - 1] = '\0';
            s.players[s.nplayers].bytes_sent = slot.bytes.load();
            ++s.nplayers;
        }
    }
    return s;
}

size_t render_status(const StatsSnapshot& s, char* out, size_t size) {
    if (size == 0)
        return 0;
    out[0] = '\0';
    Text t{out, size};
    t.add("quarlin\n");
    t.add("uptime: %lld s\n", static_cast<long long>(s.uptime_s));
    t.add("mode: %s\n", s.http_mode ? "http" : "datagram");
    if (s.stream.active) {
        t.add("stream: \"%s\" from upstream %s:%d\n", s.stream.name, s.stream.remote_ip,
              s.stream.remote_port);
        t.add("  since: ");
        add_when(t, s.stream.since, s.now_wall);
        t.add("\n");
        if (s.max_players <= 1) {
            t.add("  player: %s\n", s.stream.player);
        } else {
            t.add("  players: %d (at most %d)\n", s.nplayers, s.max_players);
            for (int i = 0; i < s.nplayers; ++i) {
                t.add("    %s since ", s.players[i].rec.addr);
                add_when(t, s.players[i].rec.since, s.now_wall);
                t.add(", %llu bytes sent\n",
                      static_cast<unsigned long long>(s.players[i].bytes_sent));
            }
        }
    } else {
        t.add("stream: none\n");
    }
    t.add("input bitrate: %u kbit/s (last seconds)\n", s.input_bps / 1000);
    t.add("rtt: %.3f ms\n", s.rtt_ns / 1e6);
    if (s.latency_us != 0)
        t.add("playout latency: %d ms\n", s.latency_us / 1000);
    t.add("backlog: %u datagrams\n", s.backlog);
    t.add("datagrams received: %llu (%llu bytes)\n",
          static_cast<unsigned long long>(s.datagrams_received),
          static_cast<unsigned long long>(s.bytes_received));
    t.add("asked again: %llu\n", static_cast<unsigned long long>(s.lost_requested));
    t.add("recovered: %llu\n", static_cast<unsigned long long>(s.recovered));
    t.add("never recovered: %llu\n", static_cast<unsigned long long>(s.unrecovered));
    t.add("bytes sent: %llu\n", static_cast<unsigned long long>(s.bytes_sent));
    t.add("suspends: %u, releases: %u\n", s.suspends, s.releases);
    t.add("repeated requests: %u\n", s.repeated_requests);
    t.add("take-overs: %u\n", s.takeovers);
    t.add("connections: %u accepted, %u refused, %u closed at the cap", s.accepted, s.refused,
          s.closed_at_cap);
    if (s.head_cap > 0)
        t.add(" (cap: %d sending their head)\n", s.head_cap);
    else
        t.add(" (no cap)\n");
    t.add("ring: %s\n", s.ring_allocated ? "allocated" : "not allocated");
    return t.len;
}

size_t render_metrics(const StatsSnapshot& s, char* out, size_t size) {
    if (size == 0)
        return 0;
    out[0] = '\0';
    Text t{out, size};
    metric(t, "quarlin_uptime_seconds", "gauge", "Seconds since the daemon started.",
           static_cast<double>(s.uptime_s));
    metric(t, "quarlin_streaming", "gauge", "1 while a stream is held, else 0.",
           s.stream.active ? 1 : 0);
    if (s.max_players > 1)
        metric(t, "quarlin_players", "gauge", "Players watching the stream (-n).", s.nplayers);
    counter(t, "quarlin_datagrams_received_total", "Data datagrams read from the upstream.",
            s.datagrams_received);
    counter(t, "quarlin_bytes_received_total", "Payload bytes of those datagrams.",
            s.bytes_received);
    counter(t, "quarlin_lost_requested_total", "Sequence numbers asked for again.",
            s.lost_requested);
    counter(t, "quarlin_recovered_total", "Late datagrams stored into their gap.", s.recovered);
    counter(t, "quarlin_unrecovered_total", "Gaps the sender passed without their datagram.",
            s.unrecovered);
    counter(t, "quarlin_bytes_sent_total", "Stream bytes written to the consumer.", s.bytes_sent);
    counter(t, "quarlin_suspends_total", "Suspend messages sent to the upstream.", s.suspends);
    counter(t, "quarlin_releases_total", "Release messages sent to the upstream.", s.releases);
    counter(t, "quarlin_repeated_requests_total", "Stream requests sent again.",
            s.repeated_requests);
    counter(t, "quarlin_takeovers_total", "Streams taken over by a newer player.", s.takeovers);
    counter(t, "quarlin_connections_accepted_total", "HTTP connections accepted.", s.accepted);
    counter(t, "quarlin_connections_rejected_total",
            "HTTP requests refused: bad heads, wrong or not allowed paths.", s.refused);
    counter(t, "quarlin_connections_closed_at_cap_total",
            "Connections closed while still sending their head, to make room.", s.closed_at_cap);
    metric(t, "quarlin_rtt_seconds", "gauge", "Round-trip estimate to the upstream.",
           s.rtt_ns / 1e9);
    if (s.latency_us != 0)
        metric(t, "quarlin_playout_latency_seconds", "gauge",
               "Playout latency in force (-L); absent without it.", s.latency_us / 1e6);
    metric(t, "quarlin_backlog_datagrams", "gauge", "Datagrams stored but not yet sent.",
           s.backlog);
    // Bytes, not bits: the base unit scrapers and their checkers expect.
    metric(t, "quarlin_input_bytes_per_second", "gauge",
           "Input rate over the last seconds, payload bytes.", s.input_bps / 8.0);
    metric(t, "quarlin_ring_allocated", "gauge", "1 while the packet ring is allocated.",
           s.ring_allocated ? 1 : 0);
    return t.len;
}

namespace {

// A JSON string: quotes, backslashes and control bytes escaped; other bytes as they are.
void json_string(Text& t, const char* text) {
    t.add("\"");
    for (const unsigned char* c = reinterpret_cast<const unsigned char*>(text); *c != 0; ++c) {
        if (*c == '"' || *c == '\\')
            t.add("\\%c", *c);
        else if (*c < 0x20)
            t.add("\\u%04x", *c);
        else
            t.add("%c", *c);
    }
    t.add("\"");
}

unsigned long long ull(uint64_t v) {
    return static_cast<unsigned long long>(v);
}

}  // namespace

size_t render_json(const StatsSnapshot& s, char* out, size_t size) {
    if (size == 0)
        return 0;
    out[0] = '\0';
    Text t{out, size};
    t.add("{\"uptime_s\":%lld,\"mode\":\"%s\",\"streaming\":%s,\"stream\":",
          static_cast<long long>(s.uptime_s), s.http_mode ? "http" : "datagram",
          s.stream.active ? "true" : "false");
    if (s.stream.active) {
        t.add("{\"upstream_ip\":");
        json_string(t, s.stream.remote_ip);
        t.add(",\"upstream_port\":%d,\"name\":", s.stream.remote_port);
        json_string(t, s.stream.name);
        t.add(",\"since\":%u,\"for_s\":%lld,\"player\":", s.stream.since,
              static_cast<long long>(s.now_wall) - static_cast<long long>(s.stream.since));
        json_string(t, s.stream.player);
        t.add("}");
    } else {
        t.add("null");
    }
    t.add(",\"input_bits_per_second\":%u,\"rtt_seconds\":%.9g,\"backlog_datagrams\":%u",
          s.input_bps, s.rtt_ns / 1e9, s.backlog);
    t.add(",\"datagrams_received\":%llu,\"bytes_received\":%llu,\"lost_requested\":%llu",
          ull(s.datagrams_received), ull(s.bytes_received), ull(s.lost_requested));
    t.add(",\"recovered\":%llu,\"unrecovered\":%llu,\"bytes_sent\":%llu", ull(s.recovered),
          ull(s.unrecovered), ull(s.bytes_sent));
    t.add(",\"suspends\":%u,\"releases\":%u,\"repeated_requests\":%u,\"takeovers\":%u", s.suspends,
          s.releases, s.repeated_requests, s.takeovers);
    t.add(
        ",\"connections\":{\"accepted\":%u,\"refused\":%u,\"closed_at_cap\":%u,"
        "\"head_cap\":%d}",
        s.accepted, s.refused, s.closed_at_cap, s.head_cap);
    t.add(",\"ring_allocated\":%s}\n", s.ring_allocated ? "true" : "false");
    return t.len;
}

void serve_status_page(const RelayContext& ctx, StatusPage page, int conn, bool head_only) {
    constexpr size_t kHeadRoom = 160;
    char out[kHeadRoom + 16384];  // 64 players' lines fit
    char* body = out + kHeadRoom;
    const char* type = "text/plain";
    size_t len = 0;
    if (page == PAGE_HTML) {
        type = "text/html; charset=utf-8";
        len = kStatusHtmlBytes;
    } else {
        const StatsSnapshot s = stats_snapshot(ctx);
        const size_t room = sizeof out - kHeadRoom;
        if (page == PAGE_METRICS) {
            type = "text/plain; version=0.0.4";
            len = render_metrics(s, body, room);
        } else if (page == PAGE_JSON) {
            type = "application/json";
            len = render_json(s, body, room);
        } else {
            len = render_status(s, body, room);
        }
    }
    char head[kHeadRoom];
    const int head_len = snprintf(head, sizeof head,
                                  "HTTP/1.0 200 OK\r\nContent-Type: %s\r\nContent-Length: %zu\r\n"
                                  "Connection: close\r\n\r\n",
                                  type, len);
    // One write for head and body: a second small write would wait for the peer's delayed
    // acknowledgement of the first.
    if (page == PAGE_HTML) {
        iovec parts[2] = {{head, static_cast<size_t>(head_len)},
                          {const_cast<char*>(kStatusHtml), head_only ? 0 : len}};
        write_all(conn, parts, 2);
        return;
    }
    char* start = body - head_len;
    std::memcpy(start, head, static_cast<size_t>(head_len));
    Writeline(conn, start, head_len + static_cast<int>(head_only ? 0 : len));
}
