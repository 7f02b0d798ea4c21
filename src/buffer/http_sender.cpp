// The sender thread of an HTTP stream: from the stream's request to its end.
#include <time.h>

#include <atomic>

#include "buffer/sender.h"
#include "core/log.h"
#include "core/relay_context.h"

namespace {

constexpr long kRingPollNs = 30000000;  // how often the ring and the re-base are looked at

// Waits until the intake has re-based the ring on this stream's first datagram. False: the
// loop asked the sender to stop first (a take-over, or every player left).
bool await_first_datagram(RelayContext* ctx) {
    for (;;) {
        // Acquire, each: the loop's stop, the ring's allocation, the intake's re-base.
        if (ctx->stop.load(std::memory_order_acquire) != STOP_RUNNING)
            return false;
        if (ctx->psbuf->load(std::memory_order_acquire) != nullptr &&
            ctx->resetseq.load(std::memory_order_acquire) == 0)
            return true;
        const timespec pause{0, kRingPollNs};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

void* http_sender_thread(void* context) {
    RelayContext* ctx = static_cast<RelayContext*>(context);
    if (await_first_datagram(ctx)) {
        relay_log("Entering sender thread\n");
        sender_thread(ctx);
        relay_log("Left sender thread\n");
    }
    // Release, the very last act: the loop may now close the players' connections, the
    // upstream socket and the ring.
    ctx->stop.store(STOP_DONE, std::memory_order_release);
    relay_wake(ctx);
    return nullptr;
}
