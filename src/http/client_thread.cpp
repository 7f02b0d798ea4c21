// One HTTP connection from its request head to its teardown; the holder runs the paced sender.
#include "http/client_thread.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <new>

#include "buffer/sender.h"
#include "buffer/timespec.h"
#include "core/log.h"
#include "core/relay_context.h"
#include "core/signals.h"
#include "http/head_cap.h"
#include "http/request_path.h"
#include "http/request_reader.h"
#include "http/response.h"
#include "http/status_page.h"
#include "http/takeover.h"
#include "http/url_text.h"
#include "intake/protocol.h"
#include "net/allow_list.h"
#include "net/openers.h"

namespace {

constexpr size_t kClientThreadStack = 256 * 1024;  // many idle connections on a 32-bit box
constexpr int kRingPollMs = 30;
constexpr int kRequestRepeatMs = 1000;

struct ClientStart {
    RelayContext* ctx;
    int conn;
    uint32_t accept_order;
    int head_slot;  // in the table of connections still sending their head; -1 = none
};

// What the thread owns; released by finish().
struct Client {
    RelayContext* ctx;
    int conn;
    uint32_t accept_order;  // the take-over ticket: later accepts win
    int head_slot;
    char* request;  // the 208-byte stream request: type word, url from offset 4
    ReqInfo info;
    StreamPath path;
};

void finish(Client* c, bool with_lines) {
    if (with_lines)
        relay_log("Freeing\n");
    FreeReqInfo(&c->info);
    free(c->request);
    close(c->conn);
    if (with_lines)
        relay_log("Exiting\n");
}

int send_request(RelayContext* ctx, const char* request) {
    int isock = ctx->pisock->load(std::memory_order_acquire);
    if (isock == 0)
        return -1;
    return static_cast<int>(send(isock, request, stream_request_length(request), MSG_DONTWAIT));
}

// Waits until the intake has re-based the ring on this stream's first datagram. Asks again
// about every second, since a lost request would otherwise leave the player waiting forever.
// False: the stream was taken over or the player left.
bool await_first_datagram(Client* c) {
    RelayContext* ctx = c->ctx;
    int since_request_ms = 0;
    for (;;) {
        if (ctx->stop.load(std::memory_order_acquire) != STOP_RUNNING)
            return false;
        if (ctx->psbuf->load(std::memory_order_seq_cst) != nullptr &&
            ctx->resetseq.load(std::memory_order_acquire) == 0)
            return true;
        if (player_left(c->conn, kRingPollMs))
            return false;
        since_request_ms += kRingPollMs;
        if (since_request_ms >= kRequestRepeatMs) {
            since_request_ms = 0;
            if (ask_upstream_again(ctx, c->request) < 1)
                relay_log("!! Send request error: %s !!!!\n", strerror(errno));
        }
    }
}

// The holder's description of its stream for the status pages; the holder is its only writer.
void publish_stream(Client* c) {
    stream_publish(&c->ctx->stats.stream, stream_record_now(c->path.remote_ip, c->path.remote_port,
                                                            c->path.url, c->conn, ""));
}

void teardown(Client* c) {
    RelayContext* ctx = c->ctx;
    const int stop_len = build_stop_request(c->request);
    int isock = ctx->pisock->load(std::memory_order_acquire);
    if (isock != 0)
        (void)!send(isock, c->request, stop_len, 0);
    relay_log("closing isockfd\n");
    // Zero first, so the event loop never watches a closed number.
    isock = retire_isock(ctx);
    int closed = isock != 0 ? close(isock) : 0;
    relay_log("closed isockfd\n");
    if (closed != 0)
        relay_log("!! Close %d error: %s !!!!\n", isock, strerror(errno));
    // No sender may read the request once it is released.
    char* mine = c->request;
    ctx->req.compare_exchange_strong(mine, nullptr, std::memory_order_acq_rel);
    holder_withdraw(ctx, c->conn);
    stream_publish(&ctx->stats.stream, StreamRecord{});
    finish(c, true);
    ctx->stop.store(STOP_DONE, std::memory_order_release);  // last act: the stream is free
}

void hold_stream(Client* c, uint32_t ticket) {
    RelayContext* ctx = c->ctx;
    if (!takeover_still_latest(ctx, ticket)) {
        finish(c, false);
        return;
    }
    int leftover = retire_isock(ctx);
    if (leftover != 0) {
        relay_log("Closing unclosed socked %d", leftover);
        close(leftover);
    }
    if (prepare_isock(ctx->pisock, c->path.remote_ip, c->path.remote_port) != 0) {
        relay_log("prepare isock failed, %s\n", strerror(errno));
        ctx->stop.store(STOP_DONE, std::memory_order_release);
        finish(c, true);
        return;
    }
    relay_log("isock created, fd = %d\n", ctx->pisock->load(std::memory_order_relaxed));
    relay_wake(ctx);  // watch the new socket now: the upstream may answer with a burst
    Output_HTTP_Headers(c->conn, &c->info, ctx->content_type);
    ctx->req.store(c->request, std::memory_order_release);
    ctx->resetseq.store(1, std::memory_order_release);
    holder_publish(ctx, c->conn);
    ctx->stop.store(STOP_RUNNING, std::memory_order_release);
    ctx->out_fd.store(c->conn, std::memory_order_release);
    publish_stream(c);
    relay_log("Sending request\n");
    if (send_request(ctx, c->request) < 1)
        relay_log("!! Send request error: %s !!!!\n", strerror(errno));

    if (await_first_datagram(c) && ctx->stop.load(std::memory_order_acquire) == STOP_RUNNING) {
        relay_log("Entering sender thread\n");
        ctx->mode.store(MODE_HTTP, std::memory_order_release);
        sender_thread(ctx);
        relay_log("Left sender thread\n");
    }
    teardown(c);
}

// Leaves the table of connections still sending their head. True when the event loop had
// shut this one down to make room: the thread then ends without a word.
bool head_done(Client* c) {
    bool wake = false;
    const bool shut = headcap_leave(c->ctx->heads, c->head_slot, c->conn, &wake);
    c->head_slot = -1;
    if (wake)
        relay_wake(c->ctx);
    return shut;
}

void refuse(Client* c, bool with_lines) {
    c->ctx->stats.refused.fetch_add(1, std::memory_order_relaxed);
    finish(c, with_lines);
}

void serve(Client* c) {
    InitReqInfo(&c->info);
    relay_log("Init req info\n");
    // A head that has arrived whole is no longer being sent: leave the cap's table before
    // reading it. Partway through, with this thread waiting for a core, the loop's look at the
    // input left could no longer tell, and it might close the connection.
    if (c->head_slot >= 0 && headcap_head_queued(c->conn) && head_done(c)) {
        finish(c, false);
        return;
    }
    const int got = Get_Request(c->conn, &c->info);
    if (head_done(c)) {
        finish(c, false);
        return;
    }
    if (got == -1) {
        relay_log("Get req, status=%d, exiting\n", c->info.status);
        finish(c, false);
        return;
    }
    relay_log("Get req, status=%d\n", c->info.status);
    if (c->info.status != 200 || c->info.resource == nullptr) {
        refuse(c, true);
        return;
    }
    relay_log("Status ok\n");
    char* resource = c->info.resource;
    CleanURL(resource);
    if (char* bar = strchr(resource, '|'))
        *bar = '\0';
    relay_log("requested: <%s>\n", resource);
    if (resource[0] != '/') {
        refuse(c, true);
        return;
    }
    if (const StatusPage page = status_page_for(resource); page != PAGE_NONE) {
        // Read-only: the stream, its holder and the upstream never learn of it.
        serve_status_page(*c->ctx, page, c->conn, c->info.method == METHOD_HEAD);
        finish(c, false);
        return;
    }
    relay_log("Preparing sender thread\n");
    if (split_request_path(resource, &c->path) != 0 ||
        build_stream_request(c->request, kClientRequestBytes, c->path.url) < 0) {
        relay_log("wrong requested resource!\n");
        refuse(c, false);
        return;
    }
    if (c->ctx->allow != nullptr && !allow_permits(*c->ctx->allow, c->path.remote_ip)) {
        // Before any socket exists: not one datagram may leave for this address.
        relay_log("upstream %s is not allowed (-a)\n", c->path.remote_ip);
        relay_log("wrong requested resource!\n");
        refuse(c, false);
        return;
    }
    relay_log("correct url, remote_ip:%s, remote_port:%d, url:%s\n", c->path.remote_ip,
              c->path.remote_port, c->path.url);
    if (c->info.method == METHOD_HEAD) {
        // A HEAD request learns that the stream exists; it neither takes it over nor asks for it.
        Output_HTTP_Headers(c->conn, &c->info, c->ctx->content_type);
        finish(c, true);
        return;
    }
    const uint32_t ticket = c->accept_order;
    if (!takeover_ticket(c->ctx, ticket)) {
        finish(c, false);
        return;  // a connection accepted later has a valid path too: it wins
    }
    switch (takeover_claim(c->ctx, ticket, c->conn)) {
        case TakeoverResult::Claimed:
            hold_stream(c, ticket);
            return;
        case TakeoverResult::Superseded:
            finish(c, false);
            return;  // a later client wins
        case TakeoverResult::PlayerLeft:
            finish(c, true);
            return;
    }
}

void* client_thread(void* arg) {
    ClientStart* start = static_cast<ClientStart*>(arg);
    Client c{};
    c.ctx = start->ctx;
    c.conn = start->conn;
    c.accept_order = start->accept_order;
    c.head_slot = start->head_slot;
    delete start;
    pthread_detach(pthread_self());
    c.request = static_cast<char*>(calloc(1, kClientRequestBytes));
    if (c.request == nullptr) {
        relay_log("!! Cannot allocate a request buffer: %s\n", strerror(errno));
        head_done(&c);
        close(c.conn);
        return nullptr;
    }
    serve(&c);
    return nullptr;
}

}  // namespace

int start_client_thread(RelayContext* ctx, int fd, uint32_t accept_order, int head_slot) {
    ClientStart* start = new (std::nothrow) ClientStart{ctx, fd, accept_order, head_slot};
    if (start == nullptr)
        return -1;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setstacksize(&attr, kClientThreadStack);
    pthread_t thread;
    int err = signals_start_thread(&thread, &attr, client_thread, start);
    pthread_attr_destroy(&attr);
    if (err != 0) {
        delete start;
        errno = err;
        return -1;
    }
    return 0;
}
