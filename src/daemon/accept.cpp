// Accepting HTTP connections: each gets a slot in the head cap's table and a client thread.
#include "daemon/accept.h"

#include <errno.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <ctime>

#include "core/log.h"
#include "core/timespec.h"
#include "daemon/event_loop.h"
#include "http/client_thread.h"

namespace {

// Counts connections closed at the cap and says so at most once a second.
void note_closed_at_cap(EventLoop* loop, int closed) {
    if (closed == 0)
        return;
    loop->ctx.stats.closed_at_cap.fetch_add(static_cast<uint32_t>(closed),
                                            std::memory_order_relaxed);
    loop->cap_unlogged += static_cast<uint32_t>(closed);
    const int64_t now = monotonic_ms();
    if (now - loop->cap_log_ms < 1000)
        return;
    relay_log("!! %u connections still sending their head closed at the cap of %d\n",
              loop->cap_unlogged, loop->heads.cap);
    loop->cap_log_ms = now;
    loop->cap_unlogged = 0;
}

void start_client(EventLoop* loop, int fd) {
    relay_log("accepted http connection, fd=%d\n", fd);
    RelayContext& ctx = loop->ctx;
    ctx.stats.accepted.fetch_add(1, std::memory_order_relaxed);
    int closed = 0;
    const int slot = headcap_admit(&loop->heads, fd, monotonic_ms(), &closed);
    note_closed_at_cap(loop, closed);
    ctx.mode.store(MODE_HTTP, std::memory_order_release);
    // Numbered here, in accept order: the client threads may hand their players over in any
    // order.
    if (start_client_thread(&ctx, fd, ++loop->accepted, slot) != 0) {
        relay_log("!! Cannot start client thread: %s\n", strerror(errno));
        headcap_release(&loop->heads, slot);
        close(fd);
    }
}

}  // namespace

bool accept_has_room(EventLoop* loop) {
    if (headcap_has_room(&loop->heads))
        return true;
    note_closed_at_cap(loop, headcap_make_room(&loop->heads));
    return false;
}

int accept_clients(EventLoop* loop, int max) {
    int count = 0;
    while (count < max && accept_has_room(loop)) {
        const int fd = accept(loop->lsock, nullptr, nullptr);
        if (fd < 0) {
            // Retry: EINTR, and ECONNABORTED (reset while queued). Anything else ends the batch:
            // EAGAIN (the queue is empty), EMFILE, ENFILE, ENOBUFS, ENOMEM (no room now; the
            // next pass tries again).
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            break;
        }
        start_client(loop, fd);
        ++count;
    }
    return count;
}

void pause_accepting(EventLoop* loop, int64_t pause_us) {
    if (!loop->http_mode || loop->lsock <= 0) {
        usleep(static_cast<useconds_t>(pause_us));
        return;
    }
    // Against a fixed end, so the pause lasts as long as the sleep it stands for, whatever the
    // accepts cost.
    const int64_t end = monotonic_us() + pause_us;
    for (int64_t left = pause_us; left > 0; left = end - monotonic_us()) {
        // A listener without a free slot in the head cap is left out; the leaver that frees
        // one writes to the wake pipe.
        pollfd fds[2] = {{accept_has_room(loop) ? loop->lsock : -1, POLLIN, 0},
                         {loop->wake_rd, POLLIN, 0}};
        const timespec wait{static_cast<time_t>(left / 1000000),
                            static_cast<long>(left % 1000000) * 1000};
        const int ready = ppoll(fds, 2, &wait, nullptr);
        if (ready < 0) {
            // EINTR: a signal, which the loop acts on now, as after an interrupted sleep. Any
            // other failure: the rest of the pause is slept.
            if (errno != EINTR)
                usleep(static_cast<useconds_t>(left));
            return;
        }
        if (fds[1].revents & POLLIN) {
            // The next pass looks at the upstream socket afresh: nothing of this wake-up is lost.
            char sink[64];
            while (read(loop->wake_rd, sink, sizeof sink) > 0) {
            }
        }
        if (fds[0].revents & (POLLIN | POLLERR | POLLHUP))
            accept_clients(loop, kAcceptsPerPass);
    }
}
