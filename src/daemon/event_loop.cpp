// One pass of the main thread's loop, and the ring's life in HTTP mode.
#include "daemon/event_loop.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "buffer/sender.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/timespec.h"
#include "daemon/accept.h"
#include "daemon/shutdown.h"
#include "intake/drain.h"
#include "intake/flow_control.h"
#include "intake/protocol.h"

namespace {

// The upstream socket `pisock` names; 0 = none. Relaxed: the loop's own word.
int upstream_fd(const RelayContext* ctx) {
    return ctx->pisock != nullptr ? ctx->pisock->load(std::memory_order_relaxed) : 0;
}

}  // namespace

int send_stream_request(int fd, const char* req) {
    return static_cast<int>(
        send(fd, req, static_cast<size_t>(stream_request_length(req)), MSG_DONTWAIT));
}

int ask_upstream_again(RelayContext* ctx, const char* req) {
    note_request_again(ctx, req);
    const int isock = upstream_fd(ctx);
    return isock != 0 ? send_stream_request(isock, req) : 0;
}

void relay_serve_asks(RelayContext* ctx) {
    // Acquire: pairs with the ask's release.
    const uint32_t asks = ctx->asks.exchange(0, std::memory_order_acquire);
    if ((asks & ASK_REPEAT_REQUEST) == 0)
        return;
    const char* req = ctx->req.load(std::memory_order_acquire);
    const int isock = upstream_fd(ctx);
    if (req == nullptr || isock == 0)
        return;
    if (send_stream_request(isock, req) < 0)
        relay_log("!! Send error error: %s !!!!\n", strerror(errno));
}

namespace {

// The intake's hooks: what only the loop can do for it.
void start_sender_hook(void* owner) {
    start_udp_sender(static_cast<EventLoop*>(owner));
}

void pause_hook(void* owner, int64_t pause_us) {
    pause_accepting(static_cast<EventLoop*>(owner), pause_us);
}

}  // namespace

int event_loop_init(EventLoop* loop, bool http_mode, int head_cap, int max_players) {
    loop->http_mode = http_mode;
    RelayContext& ctx = loop->ctx;
    if (intake_init(&loop->intake, &ctx, http_mode, &loop->isock,
                    IntakeHooks{loop, start_sender_hook, pause_hook}) != 0)
        return -1;
    ctx.pisock = &loop->isock;
    ctx.out_fd.store(0);
    ctx.resetseq.store(0);
    ctx.req.store(nullptr);
    // In HTTP mode no sender runs until the first player's stream starts.
    ctx.stop.store(http_mode ? STOP_DONE : STOP_RUNNING);
    loop->players.max_players = max_players;
    if (http_mode)
        ctx.players = &loop->players;
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    loop->wake_rd = fds[0];
    ctx.wake_fd.store(fds[1], std::memory_order_release);
    ctx.stats.start_ms = monotonic_ms();
    ctx.stats.http_mode = http_mode;
    ctx.stats.head_cap = http_mode ? head_cap : 0;
    ctx.stats.max_players = http_mode ? max_players : 0;
    if (headcap_init(&loop->heads, ctx.stats.head_cap) != 0)
        return -1;
    ctx.heads = &loop->heads;
    return 0;
}

namespace {

// What one wait found ready.
struct Readiness {
    int isock = 0;
    bool isock_ready = false;
    bool other_ready = false;  // lsock (HTTP mode) or osock (datagram mode)
};

Readiness wait_pass(EventLoop* loop, bool watch_other) {
    // The upstream socket, the listener or output socket, the wake-up pipe, and in HTTP mode
    // the players' connections watched for their leaving (see stream_life_watch).
    pollfd fds[3 + kLifeWatchMax];
    int n = 0;
    Readiness r;
    r.isock = loop->isock.load(std::memory_order_relaxed);
    int isock_slot = -1;
    if (r.isock > 0) {
        isock_slot = n;
        fds[n++] = pollfd{r.isock, POLLIN, 0};
    }
    // A negative descriptor is left out of the wait: the listener while no slot is free.
    const int other_slot = n;
    const int other = loop->http_mode ? loop->lsock : loop->osock;
    fds[n++] = pollfd{watch_other ? other : -1, POLLIN, 0};
    const int wake_slot = n;
    fds[n++] = pollfd{loop->wake_rd, POLLIN, 0};
    const int watch_from = n;
    int timeout_ms = kLoopTimeoutMs;
    if (loop->http_mode) {
        const int nwatch = stream_life_watch(loop);
        for (int i = 0; i < nwatch; ++i)
            fds[n++] = loop->life.watch[i];
        timeout_ms = stream_life_wait_ms(loop, kLoopTimeoutMs);
    }

    // The -L recovery may need the loop sooner, for a request that comes due.
    timeout_ms = loop->intake.recovery->wait_ms(&loop->intake, timeout_ms);
    int result = poll(fds, static_cast<nfds_t>(n), timeout_ms);
    if (result < 0) {
        // EINTR is a pass with nothing ready; any other failure is logged and also ready-free.
        // The line keeps the wording operators' log filters have always matched, from the days
        // this wait was a select.
        if (errno != EINTR)
            relay_log("select error %d, %s\n", result, strerror(errno));
        return r;
    }
    constexpr short kReady = POLLIN | POLLERR | POLLHUP;
    if (fds[wake_slot].revents & kReady) {
        char sink[64];
        while (read(loop->wake_rd, sink, sizeof sink) > 0) {
        }
    }
    for (int i = watch_from; i < n; ++i)
        loop->life.watch[i - watch_from].revents = fds[i].revents;
    r.isock_ready = isock_slot >= 0 && (fds[isock_slot].revents & kReady);
    r.other_ready = (fds[other_slot].revents & kReady) != 0;
    return r;
}

// Frees the ring of a stream that has ended: no upstream socket, and no sender reading it.
bool free_idle_ring(EventLoop* loop) {
    if (loop->ctx.stop.load(std::memory_order_acquire) != STOP_DONE)
        return false;
    PacketRing* ring = loop->intake.sbuf.load(std::memory_order_relaxed);
    loop->intake.sbuf.store(nullptr, std::memory_order_relaxed);
    relay_log("Freeing sbuf\n");
    ring_free(ring);
    loop->idle_passes = 0;
    return true;
}

// A ring for a stream whose first datagram is waiting. Without memory the datagrams are
// dropped, so the loop does not spin on a readable socket; the next pass tries again.
bool allocate_ring(EventLoop* loop, int isock) {
    relay_log("Allocating sbuf\n");
    loop->intake.send_pos.store(-1, std::memory_order_release);
    PacketRing* ring = ring_alloc();
    if (ring == nullptr) {
        relay_log("!! Cannot allocate sbuf: %s\n", strerror(errno));
        while (read(isock, &loop->intake.arrivals[0], kMaxDatagram) > 0) {
        }
        return false;
    }
    // Release: the sender that finds the ring finds it zeroed and counted.
    loop->intake.sbuf.store(ring, std::memory_order_release);
    return true;
}

// The figures the status pages read from the loop: the sender's backlog and the input rate.
void publish_pass_figures(EventLoop* loop) {
    Stats& st = loop->ctx.stats;
    uint32_t backlog = 0;
    const PacketRing* ring = loop->intake.sbuf.load(std::memory_order_relaxed);
    const int sp = ring != nullptr ? sender_slot(&loop->intake, ring) : -1;
    if (sp >= 0)
        backlog = ring->curseq.load(std::memory_order_relaxed) - ring->slots[sp].seqnum;
    // Relaxed: self-contained figures for a person or a scraper.
    st.backlog.store(backlog < static_cast<uint32_t>(kRingSlots) ? backlog : 0,
                     std::memory_order_relaxed);
    st.input_bps.store(rate_update(&loop->input_rate, monotonic_ms(), st.bytes_received.load()),
                       std::memory_order_relaxed);
}

void http_pass(EventLoop* loop) {
    Readiness r = wait_pass(loop, accept_has_room(loop));
    const int isock = loop->isock.load(std::memory_order_relaxed);
    if (isock == 0 && loop->intake.sbuf.load(std::memory_order_relaxed) != nullptr) {
        if (loop->idle_passes < kIdlePassesBeforeFree)
            ++loop->idle_passes;
        else
            free_idle_ring(loop);
    }
    if (isock != 0) {
        bool have_ring = loop->intake.sbuf.load(std::memory_order_relaxed) != nullptr;
        if (!have_ring && r.isock_ready)
            have_ring = allocate_ring(loop, isock);
        if (have_ring) {
            flow_pass_checks(&loop->intake, loop->npasses);
            if (r.isock_ready)
                intake_drain(&loop->intake);
            loop->intake.recovery->tick(&loop->intake);
        }
    }
    if (r.other_ready)
        accept_clients(loop, kAcceptsPerPass);
    stream_life_pass(loop);
    ++loop->npasses;
    if (loop->isock.load(std::memory_order_relaxed) == 0)
        intake_reset_stats(&loop->intake);
    publish_pass_figures(loop);
}

// A lost start-up request would leave the stream silent for ever: until the first data
// datagram has started the sender, the request goes out again about every second.
void await_stream(EventLoop* loop) {
    const char* req = loop->ctx.req.load(std::memory_order_acquire);
    if (loop->sender_started || req == nullptr || loop->isock.load(std::memory_order_relaxed) == 0)
        return;
    const int64_t now_us = monotonic_us();
    if (loop->asked_us < 0) {
        loop->asked_us = now_us;  // the first pass follows the start-up request at once
        return;
    }
    if (!stream_request_due(now_us, loop->asked_us))
        return;
    loop->asked_us = now_us;
    if (ask_upstream_again(&loop->ctx, req) < 1)
        relay_log("!! Send request error: %s !!!!\n", strerror(errno));
}

void datagram_pass(EventLoop* loop) {
    Readiness r = wait_pass(loop, true);
    if (r.isock != 0 && loop->intake.sbuf.load(std::memory_order_relaxed) != nullptr) {
        // Datagram mode also releases a held upstream and keeps it alive while suspended;
        // otherwise a suspended upstream would never be set going again.
        flow_pass_checks(&loop->intake, loop->npasses);
        if (r.isock_ready)
            intake_drain(&loop->intake);
        loop->intake.recovery->tick(&loop->intake);
    }
    if (r.other_ready)
        osock_read(loop);
    await_stream(loop);
    relay_serve_asks(&loop->ctx);
    ++loop->npasses;
    publish_pass_figures(loop);
}

// The datagram sender's stream for the status pages: the -i upstream, the -u name and where
// the datagrams go. Written once, by this thread alone.
void publish_datagram_stream(EventLoop* loop) {
    const char* req = loop->ctx.req.load(std::memory_order_acquire);
    stream_publish(
        &loop->ctx.stats.stream,
        stream_record_now(loop->ctx.remote_ip, loop->ctx.remote_port,
                          req != nullptr ? req + 4 : nullptr, loop->osock, "datagrams to "));
}

}  // namespace

void event_loop_pass(EventLoop* loop) {
    if (loop->http_mode)
        http_pass(loop);
    else
        datagram_pass(loop);
}

void event_loop_run(EventLoop* loop) {
    for (;;) {
        event_loop_pass(loop);
        log_report_held();
        act_on_signals(loop);
    }
}

void start_udp_sender(EventLoop* loop) {
    relay_log("!!\n");
    PacketRing* ring = loop->intake.sbuf.load(std::memory_order_relaxed);
    loop->intake.send_pos.store(ring->curpos.load(std::memory_order_relaxed),
                                std::memory_order_release);
    RelayContext& ctx = loop->ctx;
    ctx.out_fd.store(loop->osock, std::memory_order_release);
    ctx.mode.store(MODE_UDP, std::memory_order_release);
    ctx.stop.store(STOP_RUNNING, std::memory_order_release);
    int err = signals_start_thread(&loop->last_thread, nullptr, sender_thread, &ctx);
    if (err != 0) {
        relay_log("!! Cannot start sender thread: %s\n", strerror(err));
        loop->intake.send_pos.store(-1,
                                    std::memory_order_release);  // the next datagram tries again
        return;
    }
    loop->sender_started = true;
    publish_datagram_stream(loop);
}

void osock_read(EventLoop* loop) {
    const ssize_t n = read(loop->osock, loop->osock_buf, sizeof loop->osock_buf);
    if (n < 0) {
        relay_log_as(kCauseOutputRefused, "osock error: %s\n", strerror(errno));
        return;
    }
    Timespec32 t{0, 0};
    timespec_monotonic(&t);
    relay_log("osock read %d bytes, %u seconds, %lu nanoseconds\n", static_cast<int>(n),
              static_cast<unsigned>(t.tv_sec), static_cast<unsigned long>(t.tv_nsec));
}
