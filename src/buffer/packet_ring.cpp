// Storing datagrams into the ring by sequence number, and the sender's advance over it.
#include "buffer/packet_ring.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/log.h"

PacketRing* ring_alloc() {
    // calloc gives zero pages without touching them; the atomics are constructed in place.
    void* mem = std::calloc(1, sizeof(PacketRing));
    if (mem == nullptr)
        return nullptr;
    PacketRing* ring = new (mem) PacketRing;
    ring->nslots.store(kRingSlots, std::memory_order_relaxed);
    ring->curseq.store(0, std::memory_order_relaxed);
    ring->curpos.store(0, std::memory_order_relaxed);
    return ring;
}

void ring_free(PacketRing* ring) {
    if (ring == nullptr)
        return;
    ring->~PacketRing();
    std::free(ring);
}

static void store_in_window(PacketRing* ring, const PacketSlot* packet, uint32_t seq, int n) {
    int pos = static_cast<int>(seq % static_cast<uint32_t>(n));
    if (ring->filled[pos].load(std::memory_order_relaxed) == 1) {
        console_log("Adding duplicate packet seq=%lu, pos=%d!!\n", static_cast<unsigned long>(seq),
                    pos);
    }
    std::memcpy(&ring->slots[pos], packet, sizeof(PacketSlot));
    ring->filled[pos].store(1, std::memory_order_release);
}

static void advance(PacketRing* ring, const PacketSlot* packet, uint32_t seq, int n) {
    const uint32_t cur = ring->curseq.load(std::memory_order_relaxed);
    if (seq == 0) {
        console_log("Seqnum=0\n");
    }
    uint32_t base = cur;
    int p = ring->curpos.load(std::memory_order_relaxed);
    if (seq - cur >= static_cast<uint32_t>(n)) {
        // A jump of a whole ring or more: the new window starts n - 1 numbers before seq.
        base = seq - static_cast<uint32_t>(n) + 1;
        p = static_cast<int>(base % static_cast<uint32_t>(n));
    }
    uint32_t last = base;
    if (base < seq - 1) {
        for (uint32_t s = base + 1; s != seq; ++s) {
            if (++p == n)
                p = 0;
            // Unpublish before clearing, so the sender never reads a half-cleared slot as filled.
            ring->filled[p].store(0, std::memory_order_release);
            std::memset(&ring->slots[p], 0, sizeof(PacketSlot));
            ring->slots[p].seqnum = s;
        }
        last = seq - 1;
    }
    if (++p == n)
        p = 0;
    std::memcpy(&ring->slots[p], packet, sizeof(PacketSlot));
    ring->filled[p].store(1, std::memory_order_release);
    ring->curpos.store(p, std::memory_order_release);
    ring->curseq.store(last + 1, std::memory_order_release);
}

void add_item(PacketRing* ring, const PacketSlot* packet, uint32_t seq) {
    const int n = ring->nslots.load(std::memory_order_relaxed);
    const uint32_t un = static_cast<uint32_t>(n);
    const uint32_t cur = ring->curseq.load(std::memory_order_relaxed);
    const uint32_t ahead = seq - cur;
    const uint32_t behind = cur - seq;
    if (seq > cur) {
        if (behind < un)
            store_in_window(ring, packet, seq, n);  // from just before a 32-bit wrap
        else
            advance(ring, packet, seq, n);
    } else if (seq == cur) {
        store_in_window(ring, packet, seq, n);
    } else if (ahead < un) {
        advance(ring, packet, seq, n);  // the sequence number wrapped past 2^32
    } else if (behind < un) {
        store_in_window(ring, packet, seq, n);
    }
    // Older than the window: dropped without a word.
}

int advance_send_pos(const PacketRing* ring, std::atomic<int>* send_pos, int p) {
    const int n = ring->nslots.load(std::memory_order_relaxed);
    for (int skipped = 0;; ++skipped) {
        if (++p >= n)
            p = 0;
        send_pos->store(p, std::memory_order_release);
        if (ring->filled[p].load(std::memory_order_acquire) == 1)
            return skipped;
        if (p == ring->curpos.load(std::memory_order_acquire))
            return skipped;
    }
}
