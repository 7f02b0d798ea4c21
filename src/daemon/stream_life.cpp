// The HTTP stream's life: players in and out, the upstream socket's connect tries, requests and
// stop, and the sender thread of each stream.
#include "daemon/stream_life.h"

#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "buffer/sender.h"
#include "core/log.h"
#include "core/signals.h"
#include "core/timespec.h"
#include "daemon/event_loop.h"
#include "daemon/player_seats.h"
#include "http/takeover.h"
#include "intake/protocol.h"
#include "net/openers.h"

namespace {

constexpr size_t kSenderThreadStack = 256 * 1024;  // what the sender had on a client thread

void remove_next(StreamLife& life, int i) {
    for (int j = i + 1; j < life.nnext; ++j)
        life.next[j - 1] = life.next[j];
    --life.nnext;
}

// --- The upstream socket and the stream's sender. ---

void publish_stream(EventLoop* loop) {
    const PlayerSlot* first = first_player(loop);
    const StreamPath& p = loop->life.cur->path;
    stream_publish(&loop->ctx.stats.stream,
                   stream_record_now(p.remote_ip, p.remote_port, p.url,
                                     first != nullptr ? first->fd.load() : -1, ""));
}

bool start_sender(EventLoop* loop) {
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kSenderThreadStack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    const int err = signals_start_thread(&thread, &attr, http_sender_thread, &loop->ctx);
    pthread_attr_destroy(&attr);
    if (err == 0)
        return true;
    relay_log("!! Cannot start sender thread: %s\n", strerror(err));
    return false;
}

void stop_stream(EventLoop* loop, bool for_newcomer) {
    StreamLife& life = loop->life;
    int running = STOP_RUNNING;
    // Acq_rel: a sender that has already ended keeps its STOP_DONE.
    if (loop->ctx.stop.compare_exchange_strong(running, STOP_REQUESTED,
                                               std::memory_order_acq_rel) &&
        for_newcomer)
        loop->ctx.stats.takeovers.fetch_add(1, std::memory_order_relaxed);
    life.phase = LIFE_STOPPING;
    life.stop_ms = monotonic_ms();
    life.forced = false;
}

void connected(EventLoop* loop) {
    StreamLife& life = loop->life;
    RelayContext& ctx = loop->ctx;
    const int fd = life.connect_fd;
    life.connect_fd = -1;
    loop->isock.store(fd, std::memory_order_relaxed);
    relay_log("isock created, fd = %d\n", fd);
    for (PlayerSlot& s : loop->players.slots) {
        if (s.state.load(std::memory_order_relaxed) != PLAYER_FREE && !s.head_sent) {
            write_head(loop, s.fd.load(std::memory_order_relaxed));
            s.head_sent = true;
        }
    }
    // Release, each: the sender and the intake act on them in this order.
    ctx.req.store(life.cur->request, std::memory_order_release);
    ctx.resetseq.store(1, std::memory_order_release);
    ctx.stop.store(STOP_RUNNING, std::memory_order_release);
    publish_stream(loop);
    relay_log("Sending request\n");
    if (send_stream_request(fd, life.cur->request) < 1)
        relay_log("!! Send request error: %s !!!!\n", strerror(errno));
    life.awaiting = true;
    life.asked_us = monotonic_us();
    life.phase = LIFE_PLAYING;
    ctx.mode.store(MODE_HTTP, std::memory_order_release);
    if (!start_sender(loop)) {
        // No sender: the next pass finds the stream ended, as after a sender's end.
        ctx.stop.store(STOP_DONE, std::memory_order_release);
        return;
    }
    if (life.nnext > 0)
        stop_stream(loop, true);  // taken over while it was being set up
}

void start_next(EventLoop* loop);

// The stream is over: its players' connections are closed, and the players waiting to take it
// over (if any) get the next one.
void end_stream(EventLoop* loop) {
    StreamLife& life = loop->life;
    for (PlayerSlot& s : loop->players.slots)
        if (s.state.load(std::memory_order_relaxed) != PLAYER_FREE)
            unseat(&s);
    delete life.cur;
    life.cur = nullptr;
    life.awaiting = false;
    life.phase = LIFE_IDLE;
    start_next(loop);
}

// The tries are over, or the socket could not even be made: errno says why.
void connect_failed(EventLoop* loop) {
    relay_log("prepare isock failed, %s\n", strerror(errno));
    end_stream(loop);
}

void try_connect(EventLoop* loop) {
    StreamLife& life = loop->life;
    const StreamPath& p = life.cur->path;
    ++life.tries;
    if (isock_connect_try(life.connect_fd, p.remote_ip, p.remote_port, life.tries) == 0) {
        connected(loop);
        return;
    }
    life.connect_err = errno;
    // After the last try too: the tries are given up one pause later, as they always were.
    life.next_try_ms = monotonic_ms() + kConnectPauseMs;
}

void connect_step(EventLoop* loop) {
    StreamLife& life = loop->life;
    if (monotonic_ms() < life.next_try_ms)
        return;
    if (life.tries < kConnectTries) {
        try_connect(loop);
        return;
    }
    error_log("prepare_isock: connect %s\n", strerror(life.connect_err));
    close(life.connect_fd);
    life.connect_fd = -1;
    errno = life.connect_err;
    connect_failed(loop);
}

// The stream in life.cur with its players seated: a new upstream socket, tried at once.
void start_stream(EventLoop* loop) {
    StreamLife& life = loop->life;
    const int leftover = loop->isock.exchange(0, std::memory_order_relaxed);
    if (leftover != 0) {
        relay_log("Closing unclosed socked %d", leftover);
        close(leftover);
    }
    life.phase = LIFE_CONNECTING;
    life.tries = 0;
    life.connect_fd = isock_open();
    if (life.connect_fd < 0) {
        connect_failed(loop);
        return;
    }
    try_connect(loop);
}

// The players waiting for the stream that took over, once the old one is gone.
void start_next(EventLoop* loop) {
    StreamLife& life = loop->life;
    if (life.nnext == 0)
        return;
    life.cur = life.next[0];
    bool seated = false;
    for (int i = 0; i < life.nnext; ++i) {
        Handover* h = life.next[i];
        if (seat(loop, h, false))
            seated = true;
        else
            close_player(h->conn);
        if (i > 0)
            delete h;
    }
    life.nnext = 0;
    if (seated) {
        start_stream(loop);
        return;
    }
    delete life.cur;  // nobody to play it to (no memory for a player's buffer)
    life.cur = nullptr;
}

// The sender is done: the upstream is stopped, its socket and the players' connections closed.
void teardown(EventLoop* loop) {
    RelayContext& ctx = loop->ctx;
    char stop[kStopRequestBytes];
    build_stop_request(stop);
    const int isock = loop->isock.exchange(0, std::memory_order_relaxed);
    if (isock != 0)
        (void)!send(isock, stop, sizeof stop, 0);
    relay_log("closing isockfd\n");
    const int closed = isock != 0 ? close(isock) : 0;
    relay_log("closed isockfd\n");
    if (closed != 0)
        relay_log("!! Close %d error: %s !!!!\n", isock, strerror(errno));
    ctx.req.store(nullptr, std::memory_order_release);
    ctx.asks.store(0, std::memory_order_relaxed);  // what the ended sender asked is moot
    stream_publish(&ctx.stats.stream, StreamRecord{});
    end_stream(loop);
}

// --- Newcomers. ---

StreamView view_for(const EventLoop* loop, const Handover* h) {
    const StreamLife& life = loop->life;
    StreamView v;
    v.max_players = loop->players.max_players;
    const Handover* target = life.nnext > 0 ? life.next[0] : life.cur;
    v.live = life.nnext > 0 || life.phase == LIFE_CONNECTING || life.phase == LIFE_PLAYING;
    v.same = target != nullptr && same_stream(target->path, h->path);
    v.watching = life.nnext > 0 ? life.nnext : players_live(&loop->players);
    return v;
}

// The cap: the player that joined first goes, as in a take-over the latest wins.
void close_earliest(EventLoop* loop) {
    StreamLife& life = loop->life;
    if (life.nnext > 0) {
        close_player(life.next[0]->conn);
        delete life.next[0];
        remove_next(life, 0);
        return;
    }
    uint32_t order[kPlayerSlots];
    int index[kPlayerSlots];
    int n = 0;
    for (int i = 0; i < kPlayerSlots; ++i) {
        const int s = loop->players.slots[i].state.load(std::memory_order_relaxed);
        if (s == PLAYER_IDLE || s == PLAYER_WRITING) {
            order[n] = loop->players.slots[i].join_order;
            index[n++] = i;
        }
    }
    const int e = earliest_player(order, n, life.joins);
    if (e < 0)
        return;
    PlayerSlot* slot = &loop->players.slots[index[e]];
    char addr[64];
    snprintf(addr, sizeof addr, "%s", seqlock_read(slot->record).addr);
    relay_log("!! %d players watch (-n %d): closing %s, the one that joined first\n", n,
              loop->players.max_players, addr);
    if (player_recall(slot))
        unseat(slot);  // else the sender hands it back after its write, and it is closed then
}

void join(EventLoop* loop, Handover* h) {
    StreamLife& life = loop->life;
    if (life.nnext > 0) {
        life.next[life.nnext++] = h;
        return;
    }
    if (!seat(loop, h, life.phase == LIFE_PLAYING))
        close_player(h->conn);
    delete h;
}

void take_over(EventLoop* loop, Handover* h) {
    StreamLife& life = loop->life;
    for (int i = 0; i < life.nnext; ++i)
        drop_silently(life.next[i]);
    life.next[0] = h;
    life.nnext = 1;
    if (life.phase == LIFE_IDLE)
        start_next(loop);
    else if (life.phase == LIFE_PLAYING)
        stop_stream(loop, true);
    // Connecting: the take-over follows once it is connected or has failed; stopping: once
    // the sender is done.
}

void take_newcomers(EventLoop* loop) {
    for (Handover* h = handover_take_all(&loop->ctx); h != nullptr;) {
        Handover* next = h->next;
        const StreamView v = view_for(loop, h);
        // A joiner is entered too: a take-over by a player accepted before it comes too late.
        const bool latest = takeover_ticket(&loop->ctx, h->ticket);
        switch (player_action(v, latest)) {
            case PlayerAction::Join:
                join(loop, h);
                break;
            case PlayerAction::JoinAtCap:
                close_earliest(loop);
                join(loop, h);
                break;
            case PlayerAction::TakeOver:
                take_over(loop, h);
                break;
            case PlayerAction::Superseded:
                drop_silently(h);
                break;
        }
        h = next;
    }
}

// --- Players leaving, and connections handed back. ---

// A player of the stream is gone (handed back, or seen leaving): closed now while others
// watch; when it was the last, the stream ends and it is closed with the stream, after the
// upstream socket, as a lone player always was.
void player_gone(EventLoop* loop, PlayerSlot* slot) {
    StreamLife& life = loop->life;
    slot->noted = true;
    if (life.phase == LIFE_PLAYING && players_live(&loop->players) == 0 &&
        slot->end.load(std::memory_order_relaxed) != END_RECALLED) {
        stop_stream(loop, false);
        return;
    }
    if (life.phase != LIFE_STOPPING)
        unseat(slot);
}

void take_handed_back(EventLoop* loop) {
    for (PlayerSlot& s : loop->players.slots) {
        // Acquire: pairs with the sender's release when it handed the connection back.
        if (s.state.load(std::memory_order_acquire) != PLAYER_HANDED_BACK || s.noted)
            continue;
        if (s.end.load(std::memory_order_relaxed) == END_SLOW)
            relay_log("!! player %s took nothing for %d s: closed\n", seqlock_read(s.record).addr,
                      static_cast<int>(kSlowPlayerUs / 1000000));
        player_gone(loop, &s);
    }
}

void take_left(EventLoop* loop) {
    StreamLife& life = loop->life;
    constexpr short kLeft = POLLRDHUP | POLLHUP | POLLERR;
    for (int w = 0; w < life.nwatch; ++w) {
        if ((life.watch[w].revents & kLeft) == 0)
            continue;
        const int fd = life.watch[w].fd;
        for (int i = 0; i < life.nnext; ++i) {
            if (life.next[i]->conn == fd) {
                close_player(fd);
                delete life.next[i];
                remove_next(life, i);
                break;
            }
        }
        for (PlayerSlot& s : loop->players.slots) {
            if (s.fd.load(std::memory_order_relaxed) == fd && !s.noted && player_recall(&s)) {
                s.end.store(END_LEFT, std::memory_order_relaxed);
                player_gone(loop, &s);
            }
        }
    }
    life.nwatch = 0;
}

// Until the first datagram has re-based the ring the stream is asked for again about every
// second: a lost request would otherwise leave the players waiting for ever.
void await_first_datagram(EventLoop* loop) {
    StreamLife& life = loop->life;
    if (life.phase != LIFE_PLAYING || !life.awaiting)
        return;
    if (loop->intake.sbuf.load(std::memory_order_relaxed) != nullptr &&
        loop->ctx.resetseq.load(std::memory_order_acquire) == 0) {
        life.awaiting = false;
        return;
    }
    const int64_t now = monotonic_us();
    if (!stream_request_due(now, life.asked_us))
        return;
    life.asked_us = now;
    if (ask_upstream_again(&loop->ctx, life.cur->request) < 1)
        relay_log("!! Send request error: %s !!!!\n", strerror(errno));
}

}  // namespace

int stream_life_watch(EventLoop* loop) {
    StreamLife& life = loop->life;
    int n = 0;
    for (int i = 0; i < life.nnext; ++i)
        life.watch[n++] = pollfd{life.next[i]->conn, POLLRDHUP, 0};
    if (life.phase == LIFE_PLAYING && life.awaiting) {
        for (const PlayerSlot& s : loop->players.slots) {
            const int st = s.state.load(std::memory_order_relaxed);
            if ((st == PLAYER_IDLE || st == PLAYER_WRITING) && !s.noted)
                life.watch[n++] = pollfd{s.fd.load(std::memory_order_relaxed), POLLRDHUP, 0};
        }
    }
    life.nwatch = n;
    return n;
}

int stream_life_wait_ms(const EventLoop* loop, int max_ms) {
    const StreamLife& life = loop->life;
    if (life.phase != LIFE_CONNECTING)
        return max_ms;
    const int64_t left = life.next_try_ms - monotonic_ms();
    return left < 0 ? 0 : left < max_ms ? static_cast<int>(left) : max_ms;
}

void stream_life_pass(EventLoop* loop) {
    StreamLife& life = loop->life;
    take_left(loop);
    take_handed_back(loop);
    if ((life.phase == LIFE_PLAYING || life.phase == LIFE_STOPPING) &&
        loop->ctx.stop.load(std::memory_order_acquire) == STOP_DONE)
        teardown(loop);  // acquire: the sender's last use of the players and the ring is seen
    take_newcomers(loop);
    if (life.phase == LIFE_CONNECTING)
        connect_step(loop);
    await_first_datagram(loop);
    if (life.phase == LIFE_STOPPING && !life.forced &&
        monotonic_ms() - life.stop_ms >= kForceOffMs) {
        // A sender blocked writing to a player that takes nothing ends when the write fails.
        shut_players(loop);
        life.forced = true;
    }
    relay_serve_asks(&loop->ctx);
}

void stream_life_shut_players(EventLoop* loop) {
    shut_players(loop);
}
