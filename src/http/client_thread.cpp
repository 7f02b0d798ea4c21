// One HTTP connection from its request head until it is answered, refused, or handed to the
// event loop as a player.
#include "http/client_thread.h"

#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>

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

namespace {

constexpr size_t kClientThreadStack = 256 * 1024;  // many idle connections on a 32-bit box

struct ClientStart {
    RelayContext* ctx;
    int conn;
    uint32_t accept_order;
    int head_slot;  // in the table of connections still sending their head; -1 = none
};

// What the thread owns; released by finish(), or handed to the event loop with the player.
struct Client {
    RelayContext* ctx;
    int conn;
    uint32_t accept_order;  // the take-over ticket: later accepts win
    int head_slot;
    int close_slot;      // left while the loop had the connection: closed through it; -1 = no
    Handover* handover;  // the stream request and path, on their way to the event loop
    ReqInfo info;
};

void close_conn(Client* c) {
    if (c->close_slot >= 0)
        headcap_close(c->ctx->heads, c->close_slot, c->conn);
    else
        close(c->conn);
}

void finish(Client* c, bool with_lines) {
    if (with_lines)
        relay_log("Freeing\n");
    FreeReqInfo(&c->info);
    delete c->handover;
    close_conn(c);
    if (with_lines)
        relay_log("Exiting\n");
}

// The player goes to the event loop, which joins it to the stream, takes the stream over for
// it, or closes it; this thread is done with it.
void hand_over(Client* c) {
    FreeReqInfo(&c->info);
    c->handover->conn = c->conn;
    c->handover->ticket = c->accept_order;
    handover_post(c->ctx, c->handover);
}

// Leaves the table of connections still sending their head. True when the event loop had
// shut this one down to make room: the thread then ends without a word.
bool head_done(Client* c) {
    bool wake = false;
    bool loop_busy = false;
    const bool shut = headcap_leave(c->ctx->heads, c->head_slot, c->conn, &wake, &loop_busy);
    if (loop_busy)
        c->close_slot = c->head_slot;
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
    if (const StatusPage page =
            status_page_for(resource, c->info.accept, c->info.kind == REQUEST_FULL);
        page != PAGE_NONE) {
        // Read-only: the stream, its players and the upstream never learn of it.
        serve_status_page(*c->ctx, page, c->conn, c->info.method == METHOD_HEAD);
        finish(c, false);
        return;
    }
    relay_log("Preparing sender thread\n");
    StreamPath& path = c->handover->path;
    if (split_request_path(resource, &path) != 0 ||
        build_stream_request(c->handover->request, kClientRequestBytes, path.url) < 0) {
        relay_log("wrong requested resource!\n");
        refuse(c, false);
        return;
    }
    if (c->ctx->allow != nullptr && !allow_permits(*c->ctx->allow, path.remote_ip)) {
        // Before any socket exists: not one datagram may leave for this address.
        relay_log("upstream %s is not allowed (-a)\n", path.remote_ip);
        relay_log("wrong requested resource!\n");
        refuse(c, false);
        return;
    }
    relay_log("correct url, remote_ip:%s, remote_port:%d, url:%s\n", path.remote_ip,
              path.remote_port, path.url);
    if (c->info.method == METHOD_HEAD) {
        // A HEAD request learns that the stream exists; it neither takes it over nor asks for it.
        Output_HTTP_Headers(c->conn, &c->info, c->ctx->content_type);
        finish(c, true);
        return;
    }
    hand_over(c);
}

void* client_thread(void* arg) {
    ClientStart* start = static_cast<ClientStart*>(arg);
    Client c{};
    c.ctx = start->ctx;
    c.conn = start->conn;
    c.accept_order = start->accept_order;
    c.head_slot = start->head_slot;
    c.close_slot = -1;
    delete start;
    pthread_detach(pthread_self());
    c.handover = new (std::nothrow) Handover;
    if (c.handover == nullptr) {
        relay_log("!! Cannot allocate a request buffer: %s\n", strerror(ENOMEM));
        head_done(&c);
        close_conn(&c);
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
