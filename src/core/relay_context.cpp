// What other threads ask of the event loop: a wake-up, and a repeated stream request.
#include "core/relay_context.h"

#include <unistd.h>

#include "core/log.h"

void relay_wake(RelayContext* ctx) {
    int fd = ctx->wake_fd.load(std::memory_order_acquire);
    if (fd >= 0) {
        char byte = 1;
        (void)!write(fd, &byte, 1);  // a full pipe already holds a wake-up
    }
}

void note_request_again(RelayContext* ctx, const char* req) {
    relay_log("!! Sending another request for %s\n", req + 4);
    ctx->stats.repeated_requests.fetch_add(1, std::memory_order_relaxed);
}

void post_request_again(RelayContext* ctx, const char* req) {
    note_request_again(ctx, req);
    // Release: the request and the sender's state before it go with the ask.
    ctx->asks.fetch_or(ASK_REPEAT_REQUEST, std::memory_order_release);
    relay_wake(ctx);
}
