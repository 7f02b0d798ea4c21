// The cap on connections still sending their request head: at the cap the oldest gives way.
//
// Threads: the event loop alone admits connections, writes `order` and picks the connection
// to close; each client thread leaves its own slot once its head is read. A slot's `fd` word
// is 0 when free, the descriptor while its connection still sends its head, kSlotBusy while
// the loop looks at the descriptor's queued bytes or shuts it down, and kSlotShut once it has
// shut it down. The loop takes a descriptor from its slot only with a compare-and-swap, and a
// thread leaves with one: whichever comes first wins. A thread that finds kSlotBusy waits for
// the loop to put the descriptor back or to store kSlotShut; it closes its descriptor only
// after it has left, so the loop never looks at or shuts down a number that has been closed
// and perhaps reused. A shut slot stays taken until its thread has left it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>

constexpr int kDefaultHeadCap = 64;
constexpr int kMaxHeadCap = 4096;
// Room beyond the cap: for connections within their grace, for those whose heads have arrived
// whole (never closed at the cap) while their threads have not yet run, and for closed ones
// whose threads are leaving. A burst of clients connects first and sends a moment later.
constexpr int kSpareHeadSlots = 256;
// A connection still sending its head is closed at the cap only once it has had this long to
// send it, unless no slot is free: clients send their heads just after their connects.
constexpr int64_t kHeadGraceMs = 100;
constexpr int kSlotBusy = -1;
constexpr int kSlotShut = -2;
// How much of a connection's queued input the loop looks at to see whether its head is whole.
constexpr size_t kHeadPeekBytes = 4096;

struct HeadSlot {
    std::atomic<int> fd{0};
    uint32_t order = 0;       // the event loop's own: accept order, to find the oldest
    int64_t admitted_ms = 0;  // the event loop's own: when it was admitted
    bool whole = false;       // the event loop's own: its head was seen whole (it stays whole)
};

struct HeadCap {
    int cap = 0;  // 0: no cap, nothing is tracked
    int nslots = 0;
    std::unique_ptr<HeadSlot[]> slots;  // nslots of them
    uint32_t next_order = 0;            // event loop only
    std::atomic<int> waiting{0};        // set by the loop when no slot is free; cleared by a leaver
};

// Whether the n bytes at the start of a connection's queued input (or what its thread has not
// read yet) hold a whole head, after which the reader waits for nothing more: a line that is
// empty once its trailing blanks and punctuation are trimmed, or a first line that starts with
// GET or HEAD, has ended and carries no "HTTP/" (a simple request).
bool head_has_arrived(const char* bytes, size_t n);

// Whether a whole head (see head_has_arrived) is queued on the connection fd: looks at its
// input without taking it, and never waits. The loop calls it on a connection it holds at
// kSlotBusy; a client thread on its own connection before it reads, to leave the table early.
bool headcap_head_queued(int fd);

// Makes the table for cap connections (0: none). Returns 0, or -1 without memory.
int headcap_init(HeadCap* heads, int cap);

// The loop, before it accepts: is there a slot for one more connection? When there is none it
// asks the next thread that leaves to wake it (see headcap_leave).
bool headcap_has_room(HeadCap* heads);

// The loop, after accepting fd at now_ms: when cap connections in the table may still be
// sending their head, closes the oldest of them whose head has not arrived whole, once it has
// had its grace, and gives fd a slot. Connections whose heads have arrived whole are never
// closed and do not count against the cap. Returns the slot (-1 without a cap) and sets
// *closed to the number of connections shut down (0 or 1). Call only after headcap_has_room
// said yes.
int headcap_admit(HeadCap* heads, int fd, int64_t now_ms, int* closed);

// The loop, when headcap_has_room said no: when cap connections in the table may still be
// sending their head, closes the oldest of them whose head has not arrived whole, within its
// grace or not. Its thread then frees the slot and wakes the loop. Returns the number closed.
int headcap_make_room(HeadCap* heads);

// The loop, when a connection's thread could not be started: frees its slot.
void headcap_release(HeadCap* heads, int slot);

// A client thread whose head has been read (or not): leaves its slot. Returns true when the
// loop had already shut the connection down at the cap. *wake is set when the loop waits for
// a free slot and should be woken.
bool headcap_leave(HeadCap* heads, int slot, int fd, bool* wake);
