// The cap on connections still sending their request head: at the cap the oldest gives way.
//
// Threads: the event loop alone admits connections, writes `order` and picks the connection
// to close; each client thread leaves its own slot once its head is read. A slot's `fd` word
// is 0 when free, the descriptor while its connection still sends its head, kSlotClosing while
// the loop shuts that descriptor down and kSlotShut once it has. The loop takes a descriptor
// from its slot only with a compare-and-swap, and a thread leaves with one: whichever comes
// first wins. A thread closes its descriptor only after it has left, and when the loop won it
// waits for kSlotShut first, so the loop never shuts down a number that has been closed and
// perhaps reused. A shut slot stays taken until its thread has left it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

constexpr int kDefaultHeadCap = 64;
constexpr int kMaxHeadCap = 4096;
constexpr int kSpareHeadSlots = 4;  // room for closed connections whose threads are leaving
constexpr int kSlotClosing = -1;
constexpr int kSlotShut = -2;

struct HeadSlot {
    std::atomic<int> fd{0};
    uint32_t order = 0;  // the event loop's own: accept order, to find the oldest
};

struct HeadCap {
    int cap = 0;  // 0: no cap, nothing is tracked
    int nslots = 0;
    std::unique_ptr<HeadSlot[]> slots;  // nslots of them
    uint32_t next_order = 0;            // event loop only
    std::atomic<int> waiting{0};        // set by the loop when no slot is free; cleared by a leaver
};

// Makes the table for cap connections (0: none). Returns 0, or -1 without memory.
int headcap_init(HeadCap* heads, int cap);

// The loop, before it accepts: is there a slot for one more connection? When there is none it
// asks the next thread that leaves to wake it (see headcap_leave).
bool headcap_has_room(HeadCap* heads);

// The loop, after accepting fd: closes the oldest connection still sending its head when cap
// of them are, and gives fd a slot. Returns the slot (-1 without a cap) and sets *closed to
// the number of connections shut down (0 or 1). Call only after headcap_has_room said yes.
int headcap_admit(HeadCap* heads, int fd, int* closed);

// The loop, when a connection's thread could not be started: frees its slot.
void headcap_release(HeadCap* heads, int slot);

// A client thread whose head has been read (or not): leaves its slot. Returns true when the
// loop had already shut the connection down at the cap. *wake is set when the loop waits for
// a free slot and should be woken.
bool headcap_leave(HeadCap* heads, int slot, int fd, bool* wake);
