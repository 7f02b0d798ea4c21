// The table of connections still sending their request head.
#include "http/head_cap.h"

#include <sys/socket.h>
#include <unistd.h>

#include <new>

int headcap_init(HeadCap* heads, int cap) {
    heads->cap = cap;
    heads->nslots = cap > 0 ? cap + kSpareHeadSlots : 0;
    if (heads->nslots == 0)
        return 0;
    heads->slots.reset(new (std::nothrow) HeadSlot[static_cast<size_t>(heads->nslots)]);
    return heads->slots != nullptr ? 0 : -1;
}

bool headcap_has_room(HeadCap* heads) {
    if (heads->cap == 0)
        return true;
    // Sequentially consistent with the leaver's swap and its look at `waiting`: either this
    // scan sees the freed slot, or the leaver sees the flag and wakes the loop.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < heads->nslots; ++i)
            if (heads->slots[i].fd.load(std::memory_order_seq_cst) == 0)
                return true;
        heads->waiting.store(1, std::memory_order_seq_cst);
    }
    return false;
}

int headcap_admit(HeadCap* heads, int fd, int* closed) {
    *closed = 0;
    if (heads->cap == 0)
        return -1;
    heads->waiting.store(0, std::memory_order_relaxed);  // the loop is awake now
    int active = 0;
    int oldest = -1;
    int free_slot = -1;
    for (int i = 0; i < heads->nslots; ++i) {
        const int word = heads->slots[i].fd.load(std::memory_order_acquire);
        if (word == 0 && free_slot < 0)
            free_slot = i;
        if (word <= 0)
            continue;
        ++active;
        // Wrap-safe: the oldest is the one furthest behind the next number.
        if (oldest < 0 || heads->next_order - heads->slots[i].order >
                              heads->next_order - heads->slots[oldest].order)
            oldest = i;
    }
    if (active >= heads->cap && oldest >= 0) {
        int victim = heads->slots[oldest].fd.load(std::memory_order_acquire);
        // Acquire on success: the descriptor is still its thread's, not yet closed.
        if (victim > 0 && heads->slots[oldest].fd.compare_exchange_strong(
                              victim, kSlotClosing, std::memory_order_acq_rel)) {
            shutdown(victim, SHUT_RDWR);
            // Release: its thread may close the descriptor once it sees this.
            heads->slots[oldest].fd.store(kSlotShut, std::memory_order_release);
            *closed = 1;
        }
    }
    if (free_slot < 0)
        return -1;  // only when the caller skipped headcap_has_room
    heads->slots[free_slot].order = heads->next_order++;
    heads->slots[free_slot].fd.store(fd, std::memory_order_release);
    return free_slot;
}

void headcap_release(HeadCap* heads, int slot) {
    if (slot >= 0)
        heads->slots[slot].fd.store(0, std::memory_order_release);
}

bool headcap_leave(HeadCap* heads, int slot, int fd, bool* wake) {
    *wake = false;
    if (slot < 0)
        return false;
    std::atomic<int>& word = heads->slots[slot].fd;
    int expected = fd;
    bool shut = false;
    if (!word.compare_exchange_strong(expected, 0, std::memory_order_seq_cst)) {
        // The loop is shutting the connection down: it touches fd until it stores kSlotShut.
        while (word.load(std::memory_order_acquire) != kSlotShut)
            usleep(100);
        word.store(0, std::memory_order_seq_cst);
        shut = true;
    }
    *wake = heads->waiting.exchange(0, std::memory_order_seq_cst) != 0;
    return shut;
}
