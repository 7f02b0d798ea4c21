// The default recovery's loss scan, run on the event loop's thread as the datagrams arrive.
#include "intake/default_recovery.h"

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "core/timespec.h"
#include "intake/loss_scan.h"

namespace {

void run_loss_scan(Intake* in, PacketRing* ring) {
    const int sp = sender_slot(in, ring);
    if (sp < 0)
        return;
    Timespec32 now{0, 0};
    timespec_now(&now);
    uint32_t seqs[kLostRequestMax];
    const int count = loss_scan(ring, sp, in->scan_base.load(std::memory_order_relaxed),
                                in->ctx->rtt.load(std::memory_order_relaxed), now, seqs);
    if (count == 0)
        return;
    in->ctx->stats.lost_requested.add(static_cast<uint64_t>(count));
    if (intake_send_control(in, build_lost_request(&in->ctl, seqs, count)) < 0)
        relay_log("Error sending lost request: %s\n", strerror(errno));
}

}  // namespace

void DefaultRecovery::after_store(Intake* in, PacketRing* ring, uint32_t, uint32_t s, bool stored,
                                  bool) {
    if (stored && s == ring->curseq.load(std::memory_order_relaxed))
        ++newest_count;
    // Late datagrams rescan too, while the count stays on its multiple; dropped ones do not.
    if (stored && newest_count % kLossScanEvery == 0)
        run_loss_scan(in, ring);
}
