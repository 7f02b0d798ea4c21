// Finding the sequence numbers that never arrived and are still worth asking for.
#include "intake/loss_scan.h"

#include "intake/intake_rules.h"

int loss_scan_start(int curpos, uint32_t curseq, uint32_t scan_base, int nslots) {
    const uint32_t d = curseq - scan_base;
    int start = curpos - static_cast<int>(d < kLossWindow ? d : kLossWindow);
    if (start < 0)
        start += nslots;
    return start;
}

int loss_scan(PacketRing* ring, int send_pos, uint32_t scan_base, uint32_t rtt, Timespec32 now,
              uint32_t out[kLostRequestMax]) {
    // Header and flags are written by this thread alone, so relaxed loads see the latest.
    const int n = ring->nslots.load(std::memory_order_relaxed);
    const uint32_t curseq = ring->curseq.load(std::memory_order_relaxed);
    const int curpos = ring->curpos.load(std::memory_order_relaxed);
    const uint32_t send_seq = ring->slots[send_pos].seqnum;
    int count = 0;
    int p = loss_scan_start(curpos, curseq, scan_base, n);
    for (;;) {
        if (ring->filled[p].load(std::memory_order_relaxed) != 1) {
            PacketSlot& slot = ring->slots[p];
            const uint32_t q = slot.seqnum;
            // A placeholder outside the window (left by the stream before a re-base) names
            // nothing this upstream could send: if it came, it would renumber the ring.
            if (curseq - q >= kLossGrace && curseq - q < static_cast<uint32_t>(n) && q > send_seq &&
                !asked_too_recently(now, slot.lostreq_ts, rtt)) {
                out[count++] = q;
                slot.lostreq_ts = now;
            }
        }
        if (++p == n)
            p = 0;
        if (p == curpos || count == kLostRequestMax)
            break;
    }
    return count;
}
