// One pass of the main thread's loop, and the ring's life in HTTP mode.
#include "core/event_loop.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "buffer/sender.h"
#include "core/log.h"
#include "http/client_thread.h"
#include "intake/drain.h"
#include "intake/flow_control.h"
#include "intake/recovery_loop.h"

void relay_wake(RelayContext* ctx) {
    int fd = ctx->wake_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        char byte = 1;
        (void)!write(fd, &byte, 1);  // a full pipe already holds a wake-up
    }
}

int retire_isock(RelayContext* ctx) {
    // Sequentially consistent with the loop's claim below: either the loop sees 0 and leaves
    // the socket alone, or this thread sees the claim and waits for its end.
    const int fd = ctx->pisock->exchange(0, std::memory_order_seq_cst);
    if (fd != 0)
        while (ctx->isock_busy.load(std::memory_order_seq_cst) == fd)
            usleep(1000);
    return fd;
}

int event_loop_init(EventLoop* loop, bool http_mode) {
    loop->http_mode = http_mode;
    loop->send_pos.store(-1);
    loop->scan_base.store(0);
    RelayContext& ctx = loop->ctx;
    ctx.psbuf = &loop->sbuf;
    ctx.pisock = &loop->isock;
    ctx.psend_pos = &loop->send_pos;
    ctx.pcurseq = &loop->scan_base;
    ctx.out_fd.store(0);
    ctx.resetseq.store(0);
    ctx.req.store(nullptr);
    // In HTTP mode nobody holds the stream until the first client becomes the holder.
    ctx.stop.store(http_mode ? STOP_DONE : STOP_RUNNING);
    int fds[2];
    if (pipe(fds) != 0)
        return -1;
    for (int fd : fds) {
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    loop->wake_rd = fds[0];
    ctx.wake_fd.store(fds[1], std::memory_order_release);
    return 0;
}

namespace {

// What one wait found ready. A descriptor counts as ready only if it is still the one that
// was waited on: a client thread may have replaced `isock` meanwhile.
struct Readiness {
    int isock = 0;
    bool isock_ready = false;
    bool other_ready = false;  // lsock (HTTP mode) or osock (datagram mode)
};

Readiness wait_pass(EventLoop* loop) {
    pollfd fds[3];
    int n = 0;
    Readiness r;
    r.isock = loop->isock.load(std::memory_order_acquire);
    int isock_slot = -1;
    if (r.isock > 0) {
        isock_slot = n;
        fds[n++] = pollfd{r.isock, POLLIN, 0};
    }
    const int other_slot = n;
    fds[n++] = pollfd{loop->http_mode ? loop->lsock : loop->osock, POLLIN, 0};
    const int wake_slot = n;
    fds[n++] = pollfd{loop->wake_rd, POLLIN, 0};

    int result = poll(fds, static_cast<nfds_t>(n), kLoopTimeoutMs);
    if (result < 0) {
        // EINTR is a pass with nothing ready; any other failure is logged and also ready-free.
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
    r.isock_ready = isock_slot >= 0 && (fds[isock_slot].revents & kReady) &&
                    loop->isock.load(std::memory_order_acquire) == r.isock;
    r.other_ready = (fds[other_slot].revents & kReady) != 0;
    return r;
}

// Frees the ring unless a client installed an upstream socket meanwhile. The store of null and
// the load of `isock` are sequentially consistent, as are the client's store of `isock` and its
// load of `sbuf`: either the client sees no ring, or the loop sees its socket and keeps the ring.
bool free_idle_ring(EventLoop* loop) {
    PacketRing* ring = loop->sbuf.load(std::memory_order_seq_cst);
    loop->sbuf.store(nullptr, std::memory_order_seq_cst);
    if (loop->isock.load(std::memory_order_seq_cst) != 0) {
        loop->sbuf.store(ring, std::memory_order_seq_cst);
        return false;
    }
    relay_log("Freeing sbuf\n");
    ring_free(ring);
    loop->idle_passes = 0;
    return true;
}

// A ring for a stream whose first datagram is waiting. Without memory the datagrams are
// dropped, so the loop does not spin on a readable socket; the next pass tries again.
bool allocate_ring(EventLoop* loop, int isock) {
    relay_log("Allocating sbuf\n");
    loop->send_pos.store(-1, std::memory_order_release);
    PacketRing* ring = ring_alloc();
    if (ring == nullptr) {
        relay_log("!! Cannot allocate sbuf: %s\n", strerror(errno));
        while (read(isock, &loop->arrival, kMaxDatagram) > 0) {
        }
        return false;
    }
    loop->sbuf.store(ring, std::memory_order_seq_cst);
    return true;
}

// Claims the upstream socket for this pass's reads and sends (see retire_isock).
bool claim_isock(EventLoop* loop, int fd) {
    loop->ctx.isock_busy.store(fd, std::memory_order_seq_cst);
    if (loop->isock.load(std::memory_order_seq_cst) == fd)
        return true;
    loop->ctx.isock_busy.store(0, std::memory_order_seq_cst);
    return false;
}

void release_isock(EventLoop* loop) {
    loop->ctx.isock_busy.store(0, std::memory_order_seq_cst);
}

void accept_client(EventLoop* loop) {
    int fd = accept(loop->lsock, nullptr, nullptr);
    if (fd < 0)
        return;
    relay_log("accepted http connection, fd=%d\n", fd);
    RelayContext& ctx = loop->ctx;
    ctx.mode.store(MODE_HTTP, std::memory_order_release);
    ctx.client_fd.store(fd, std::memory_order_release);
    if (start_client_thread(&ctx, fd) != 0) {
        relay_log("!! Cannot start client thread: %s\n", strerror(errno));
        close(fd);
    }
}

void http_pass(EventLoop* loop) {
    Readiness r = wait_pass(loop);
    int isock = loop->isock.load(std::memory_order_seq_cst);
    if (isock == 0 && loop->sbuf.load(std::memory_order_relaxed) != nullptr) {
        if (loop->idle_passes < kIdlePassesBeforeFree) {
            ++loop->idle_passes;
        } else if (!free_idle_ring(loop)) {
            isock = loop->isock.load(std::memory_order_seq_cst);
            r.isock_ready = false;  // the new socket was not waited on in this pass
        }
    }
    if (isock != 0 && claim_isock(loop, isock)) {
        bool have_ring = loop->sbuf.load(std::memory_order_relaxed) != nullptr;
        if (!have_ring && r.isock_ready) {
            have_ring = allocate_ring(loop, isock);
            if (loop->isock.load(std::memory_order_acquire) == 0)
                have_ring = false;
        }
        if (have_ring) {
            flow_pass_checks(loop);
            if (r.isock_ready)
                intake_drain(loop);
            recovery_tick(loop);
        }
        release_isock(loop);
    }
    if (r.other_ready)
        accept_client(loop);
    ++loop->npasses;
    if (loop->isock.load(std::memory_order_acquire) == 0)
        intake_reset_stats(loop);
}

void datagram_pass(EventLoop* loop) {
    Readiness r = wait_pass(loop);
    if (r.isock != 0 && loop->sbuf.load(std::memory_order_relaxed) != nullptr) {
        // Datagram mode also releases a held upstream and keeps it alive while suspended;
        // otherwise a suspended upstream would never be set going again.
        flow_pass_checks(loop);
        if (r.isock_ready)
            intake_drain(loop);
        recovery_tick(loop);
    }
    if (r.other_ready)
        osock_read(loop);
    ++loop->npasses;
}

}  // namespace

void event_loop_pass(EventLoop* loop) {
    if (loop->http_mode)
        http_pass(loop);
    else
        datagram_pass(loop);
}

void event_loop_run(EventLoop* loop) {
    for (;;)
        event_loop_pass(loop);
}

void start_udp_sender(EventLoop* loop) {
    relay_log("!!\n");
    PacketRing* ring = loop->sbuf.load(std::memory_order_relaxed);
    loop->send_pos.store(ring->curpos.load(std::memory_order_relaxed), std::memory_order_release);
    RelayContext& ctx = loop->ctx;
    ctx.out_fd.store(loop->osock, std::memory_order_release);
    ctx.mode.store(MODE_UDP, std::memory_order_release);
    ctx.stop.store(STOP_RUNNING, std::memory_order_release);
    int err = pthread_create(&loop->last_thread, nullptr, sender_thread, &ctx);
    if (err != 0) {
        relay_log("!! Cannot start sender thread: %s\n", strerror(err));
        loop->send_pos.store(-1, std::memory_order_release);  // the next datagram tries again
        return;
    }
    loop->sender_started = true;
}
