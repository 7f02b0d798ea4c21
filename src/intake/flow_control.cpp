// Suspend, release and the keepalive during suspension, steered by the ring's backlog.
#include "intake/flow_control.h"

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "intake/intake.h"

void flow_end_suspension(Intake* in) {
    if (in->flow.release_checks != 0)
        in->flow.suspend_count = 0;
}

void flow_queue_full_check(Intake* in, uint32_t s, bool newest) {
    const PacketRing* ring = in->sbuf.load(std::memory_order_relaxed);
    const int sp = newest && ring != nullptr ? sender_slot(in, ring) : -1;
    if (sp < 0)
        return;
    const uint32_t diff = s - ring->slots[sp].seqnum;
    if (!is_queue_full(s, diff))
        return;
    FlowState& flow = in->flow;
    if (flow.suspend_count % kFlowRepeat == 0) {
        relay_log("queue full, sending suspend (diff %u)\n", diff);
        in->ctx->stats.suspends.fetch_add(1, std::memory_order_relaxed);
        if (intake_send_control(in, build_suspend(&in->ctl)) < 0)
            relay_log("Error sending suspend: %s\n", strerror(errno));
    }
    ++flow.suspend_count;
}

void flow_pass_checks(Intake* in, int npasses) {
    FlowState& flow = in->flow;
    const PacketRing* ring = in->sbuf.load(std::memory_order_relaxed);
    const int sp = flow.suspend_count != 0 && ring != nullptr ? sender_slot(in, ring) : -1;
    if (sp < 0)
        return;
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const uint32_t send_seq = ring->slots[sp].seqnum;
    if (may_release(curseq - send_seq)) {
        if (flow.release_checks % kFlowRepeat == 0) {
            relay_log("queue decreased, sending release\n");
            in->ctx->stats.releases.fetch_add(1, std::memory_order_relaxed);
            if (intake_send_control(in, build_release(&in->ctl)) < 0)
                relay_log("Error sending release: %s\n", strerror(errno));
        }
        ++flow.release_checks;
    }

    if (npasses % kSuspendKeepalivePasses == 0) {
        relay_log("sending keepalive in suspend, curseq=%u, sendpos.seqnum=%u\n", curseq, send_seq);
        if (intake_send_control(in, build_keepalive_suspended(&in->ctl)) < 0)
            relay_log("Error sending keepalive: %s\n", strerror(errno));
    }
}
