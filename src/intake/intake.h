// The intake's own record: the ring it fills, the batch it reads into, the control messages it
// sends back upstream, its arrival and flow state, and the recovery policy chosen at start-up.
// The event loop embeds it and reaches the intake only through it; the two things only the
// loop can do (start the datagram sender, pause while still accepting) come in as hooks.
//
// Threads: the intake runs on the event loop's thread; everything here but three words is that
// thread's alone. `sbuf` is written by the loop (it allocates and frees the ring) and read by the
// sender through `psbuf`. `send_pos` is written by the sender (each step and its buffering wait,
// through `psend_pos`), by the intake's re-base, and by the loop when it starts the datagram
// sender or allocates a ring; the loop reads it (overrun guard, loss scan, flow control, status
// figures) through `sender_slot`. `scan_base` is written by the sender's buffering wait and the
// intake's re-base, and read by the loss scan.
#pragma once

#include <sys/socket.h>
#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "buffer/packet_ring.h"
#include "core/relay_context.h"
#include "intake/intake_state.h"
#include "intake/protocol.h"

constexpr int kDrainBatch = 32;  // datagrams taken from isock by one receive call

struct Intake;

// How the intake gets missing datagrams back and keeps its round trip, chosen once at start-up:
// the default (a loss scan every kLossScanEvery newest datagrams, a pause after each drain) or
// the playout latency's (-L: requests by time, no pause). Every call runs on the loop's thread.
struct IntakeRecovery {
    virtual ~IntakeRecovery() = default;
    // Per data datagram, before it is stored. may_be_copy is false for one that re-bases the
    // ring or that the ring-full guard drops. False: a second copy, kept out of the ring.
    virtual bool before_store(Intake* in, const PacketRing* ring, uint32_t s, bool may_be_copy) = 0;
    // A stream starts with `first`: on a re-base just before it is stored, in datagram mode
    // once it is stored and before the sender starts; the caller then hands the stream over.
    virtual void on_start(Intake* in, const PacketSlot* first) = 0;
    // After datagram s: stored is whether it went into the ring, started whether it started a
    // stream; prev_newest was the ring's newest before it.
    virtual void after_store(Intake* in, PacketRing* ring, uint32_t prev_newest, uint32_t s,
                             bool stored, bool started) = 0;
    // A keepalive echo: d is the round trip measured on the wall clock.
    virtual void on_echo(Intake* in, Timespec32 d) = 0;
    // Once per pass with an upstream socket and a ring, after the drain.
    virtual void tick(Intake* in) = 0;
    // How long the loop may wait for its sockets, at most longest_ms.
    virtual int wait_ms(const Intake* in, int longest_ms) const = 0;
    // On the way out: what the policy has to say about the part of the minute that has run.
    virtual void final_line(Intake* in) = 0;
    // Whether a drain ends with the pause that keeps a trickle of datagrams from spinning.
    virtual bool pauses_after_drain() const = 0;
};

// What only the event loop can do for the intake; `owner` is handed back to each.
struct IntakeHooks {
    void* owner = nullptr;
    // Datagram mode: starts the sender at the packet just stored. On failure send_pos stays -1
    // and the next datagram tries again.
    void (*start_sender)(void* owner) = nullptr;
    // The drain's pause after an empty read, during which the loop still accepts connections.
    void (*pause)(void* owner, int64_t pause_us) = nullptr;
};

struct Intake {
    std::atomic<PacketRing*> sbuf{nullptr};
    std::atomic<int> send_pos{-1};
    std::atomic<uint32_t> scan_base{0};
    std::atomic<int>* isock = nullptr;  // the loop's upstream socket; 0 = none
    RelayContext* ctx = nullptr;
    bool http_mode = false;
    IntakeHooks hooks;
    std::unique_ptr<IntakeRecovery> recovery;
    IntakeState state;
    FlowState flow;
    // Each datagram from isock is read straight into one of these, a drain's batch at a time.
    alignas(8) PacketSlot arrivals[kDrainBatch];
    iovec arrival_iov[kDrainBatch];
    mmsghdr arrival_msgs[kDrainBatch];
    ControlMessage ctl;  // lost requests, keepalives, suspend, release
};

// Sets the intake up with the default recovery and points ctx's ring words at its own. Returns
// 0, or -1 when the recovery cannot be allocated.
int intake_init(Intake* in, RelayContext* ctx, bool http_mode, std::atomic<int>* isock,
                IntakeHooks hooks);

// The sender's slot, range-checked against the ring: -1 while the sender has none. Relaxed:
// only the index matters; the slot it names is written by the loop's thread alone.
inline int sender_slot(const Intake* in, const PacketRing* ring) {
    return ring_slot_or_none(ring, in->send_pos.load(std::memory_order_relaxed));
}

// The sequence number of the slot the sender is at, or `fallback` before it has one.
inline uint32_t sender_seq(const Intake* in, const PacketRing* ring, uint32_t fallback) {
    const int sp = sender_slot(in, ring);
    return sp < 0 ? fallback : ring->slots[sp].seqnum;
}

// Sends the first len bytes of the control buffer on the current upstream socket with
// MSG_DONTWAIT. Returns send()'s result, or 0 (nothing sent) when there is no upstream socket.
int intake_send_control(Intake* in, int len);

// Sends the keepalive with the wall clock's stamp, whose echo measures the round trip; a
// failure is logged.
void send_keepalive(Intake* in);
