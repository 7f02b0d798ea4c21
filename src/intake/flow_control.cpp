// Suspend, release and the keepalive during suspension, steered by the ring's backlog.
#include "intake/flow_control.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "daemon/event_loop.h"
#include "intake/drain.h"

namespace {

// The seqnum of the sender's slot, or false while the sender has no position.
bool sender_seq(const EventLoop* loop, const PacketRing* ring, uint32_t* seq) {
    const int sp = sender_slot(loop, ring);
    if (sp < 0)
        return false;
    *seq = ring->slots[sp].seqnum;
    return true;
}

}  // namespace

void flow_end_suspension(EventLoop* loop) {
    if (loop->flow.release_checks != 0)
        loop->flow.suspend_count = 0;
}

void flow_queue_full_check(EventLoop* loop, uint32_t s, bool newest) {
    const PacketRing* ring = loop->sbuf.load(std::memory_order_relaxed);
    uint32_t send_seq = 0;
    if (!newest || ring == nullptr || !sender_seq(loop, ring, &send_seq))
        return;
    const uint32_t diff = s - send_seq;
    if (!is_queue_full(s, diff))
        return;
    FlowState& flow = loop->flow;
    if (flow.suspend_count % kFlowRepeat == 0) {
        relay_log("queue full, sending suspend (diff %u)\n", diff);
        loop->ctx.stats.suspends.fetch_add(1, std::memory_order_relaxed);
        if (intake_send_control(loop, build_suspend(&loop->ctl)) < 0)
            relay_log("Error sending suspend: %s\n", strerror(errno));
    }
    ++flow.suspend_count;
}

void flow_pass_checks(EventLoop* loop) {
    FlowState& flow = loop->flow;
    const PacketRing* ring = loop->sbuf.load(std::memory_order_relaxed);
    uint32_t send_seq = 0;
    if (flow.suspend_count == 0 || ring == nullptr || !sender_seq(loop, ring, &send_seq))
        return;
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);

    if (may_release(curseq - send_seq)) {
        if (flow.release_checks % kFlowRepeat == 0) {
            relay_log("queue decreased, sending release\n");
            loop->ctx.stats.releases.fetch_add(1, std::memory_order_relaxed);
            if (intake_send_control(loop, build_release(&loop->ctl)) < 0)
                relay_log("Error sending release: %s\n", strerror(errno));
        }
        ++flow.release_checks;
    }

    if (loop->npasses % kSuspendKeepalivePasses == 0) {
        relay_log("sending keepalive in suspend, curseq=%u, sendpos.seqnum=%u\n", curseq, send_seq);
        if (intake_send_control(loop, build_keepalive_suspended(&loop->ctl)) < 0)
            relay_log("Error sending keepalive: %s\n", strerror(errno));
    }
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
