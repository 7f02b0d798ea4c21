// Tickets, the claim of a free stream, and the shut-down of a holder that does not let go.
#include "http/takeover.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/relay_context.h"

namespace {

constexpr int kPollStepMs = 20;        // how often a newcomer looks at `stop`
constexpr int kShutdownAfterMs = 500;  // a holder still streaming by then is forced off
constexpr int kConnTaken = -1;         // a newcomer is shutting the holder's connection down
constexpr int kConnShutDown = -2;      // ... and has done so

}  // namespace

void takeover_force_holder_off(RelayContext* ctx) {
    int conn = ctx->holder_conn.load(std::memory_order_acquire);
    if (conn <= 0)
        return;
    if (!ctx->holder_conn.compare_exchange_strong(conn, kConnTaken, std::memory_order_acq_rel))
        return;
    shutdown(conn, SHUT_RDWR);
    ctx->holder_conn.store(kConnShutDown, std::memory_order_release);
}

bool takeover_ticket(RelayContext* ctx, uint32_t accept_order) {
    uint32_t latest = ctx->client_ticket.load(std::memory_order_acquire);
    // Accept numbers wrap; a number ahead of `latest` by less than half the range is later.
    while (static_cast<int32_t>(accept_order - latest) > 0) {
        // Acq_rel: newcomers order their claims of `stop` after the ticket they entered.
        if (ctx->client_ticket.compare_exchange_weak(latest, accept_order,
                                                     std::memory_order_acq_rel))
            return true;
    }
    return latest == accept_order;
}

bool player_left(int conn, int wait_ms) {
    pollfd p{conn, POLLRDHUP, 0};
    if (poll(&p, 1, wait_ms) <= 0)
        return false;
    return (p.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

TakeoverResult takeover_claim(RelayContext* ctx, uint32_t ticket, int conn) {
    int waited_ms = 0;
    for (;;) {
        if (ctx->client_ticket.load(std::memory_order_acquire) != ticket)
            return TakeoverResult::Superseded;
        int stop = ctx->stop.load(std::memory_order_acquire);
        if (stop == STOP_DONE) {
            // Acquire: the holder's last act was this store, after it let go of `isock`.
            if (ctx->stop.compare_exchange_strong(stop, STOP_CLAIMED, std::memory_order_acq_rel))
                return TakeoverResult::Claimed;
            continue;
        }
        if (stop == STOP_RUNNING &&
            ctx->stop.compare_exchange_strong(stop, STOP_REQUESTED, std::memory_order_acq_rel))
            ctx->stats.takeovers.fetch_add(1, std::memory_order_relaxed);
        if (stop != STOP_CLAIMED && waited_ms >= kShutdownAfterMs)
            takeover_force_holder_off(ctx);
        if (player_left(conn, kPollStepMs))
            return TakeoverResult::PlayerLeft;
        waited_ms += kPollStepMs;
    }
}

bool takeover_still_latest(RelayContext* ctx, uint32_t ticket) {
    if (ctx->client_ticket.load(std::memory_order_acquire) == ticket)
        return true;
    ctx->stop.store(STOP_DONE, std::memory_order_release);
    return false;
}

void holder_publish(RelayContext* ctx, int conn) {
    ctx->holder_conn.store(conn, std::memory_order_release);
}

void holder_withdraw(RelayContext* ctx, int conn) {
    int seen = ctx->holder_conn.exchange(0, std::memory_order_acq_rel);
    if (seen == conn || seen == 0 || seen == kConnShutDown)
        return;
    // A newcomer is in the middle of shutting conn down: let it finish before conn is closed.
    while (ctx->holder_conn.load(std::memory_order_acquire) != kConnShutDown)
        usleep(1000);
    ctx->holder_conn.store(0, std::memory_order_release);
}
