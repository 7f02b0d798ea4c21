// The stream description as the status pages read it, and the input rate over the last seconds.
#include "core/stats.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

#include <cstdio>

StreamRecord stream_record_now(const char* remote_ip, int remote_port, const char* name,
                               int peer_fd, const char* prefix) {
    StreamRecord rec{};
    rec.active = 1;
    rec.since = static_cast<uint32_t>(time(nullptr));
    rec.remote_port = remote_port;
    snprintf(rec.remote_ip, sizeof rec.remote_ip, "%s", remote_ip != nullptr ? remote_ip : "");
    snprintf(rec.name, sizeof rec.name, "%s", name != nullptr ? name : "");
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    char ip[INET_ADDRSTRLEN] = "?";
    if (getpeername(peer_fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0)
        inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    snprintf(rec.player, sizeof rec.player, "%s%s:%u", prefix, ip, ntohs(peer.sin_port));
    return rec;
}

void stream_publish(StreamBoard* board, const StreamRecord& rec) {
    seqlock_publish(board, rec);
}

StreamRecord stream_read(const StreamBoard& board) {
    StreamRecord rec = seqlock_read(board);
    // Texts end within their fields whatever the writer put there.
    rec.remote_ip[sizeof rec.remote_ip - 1] = '\0';
    rec.name[sizeof rec.name - 1] = '\0';
    rec.player[sizeof rec.player - 1] = '\0';
    return rec;
}

uint32_t rate_update(RateWindow* w, int64_t now_ms, uint64_t bytes) {
    const int newest = (w->next + RateWindow::kSamples - 1) % RateWindow::kSamples;
    if (w->count == 0 || now_ms - w->ms[newest] >= 1000) {
        w->ms[w->next] = now_ms;
        w->bytes[w->next] = bytes;
        w->next = (w->next + 1) % RateWindow::kSamples;
        if (w->count < RateWindow::kSamples)
            ++w->count;
    }
    if (w->count < 2)
        return 0;
    const int last = (w->next + RateWindow::kSamples - 1) % RateWindow::kSamples;
    const int first = (w->next + RateWindow::kSamples - w->count) % RateWindow::kSamples;
    const int64_t span_ms = w->ms[last] - w->ms[first];
    if (span_ms <= 0 || w->bytes[last] < w->bytes[first])
        return 0;
    const uint64_t bits =
        (w->bytes[last] - w->bytes[first]) * 8 * 1000 / static_cast<uint64_t>(span_ms);
    return bits > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(bits);
}
