// The main thread's loop: waits on the upstream socket and the listener or output socket,
// drains, runs flow control, accepts clients, and owns the ring's life.
//
// Threads: `isock` is written by client threads (through `pisock`) and read by the loop on every
// pass; `sbuf` is written by the loop alone; `send_pos` is written by the sender and by the
// intake's re-base; `scan_base` is written by the sender and read by the loss scan.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstdint>

#include "buffer/packet_ring.h"
#include "core/relay_context.h"
#include "intake/intake_state.h"
#include "intake/protocol.h"

constexpr int kLoopTimeoutMs = 100;
constexpr int kIdlePassesBeforeFree = 11;  // the ring is freed on the twelfth idle pass

struct EventLoop {
    bool http_mode = false;
    std::atomic<int> isock{0};
    int osock = 0;
    int lsock = 0;
    std::atomic<PacketRing*> sbuf{nullptr};
    std::atomic<int> send_pos{-1};
    std::atomic<uint32_t> scan_base{0};
    int npasses = 0;
    int idle_passes = 0;
    bool sender_started = false;
    pthread_t last_thread{};
    int wake_rd = -1;               // read end of the wake-up pipe (see RelayContext::wake_fd)
    alignas(8) PacketSlot arrival;  // each datagram from isock is read straight into it
    unsigned char osock_buf[1316];  // arrivals on osock are read here and discarded
    ControlMessage ctl;             // lost requests, keepalives, suspend, release
    alignas(4) char request_buf[kStartupRequestBytes];  // the start-up stream request
    RelayContext ctx;
    IntakeState intake;
    FlowState flow;
    RecoveryState recovery;
};

// Fills the loop's start values and the RelayContext's address fields; creates the wake-up
// pipe. Returns 0, or -1 when the pipe cannot be made.
int event_loop_init(EventLoop* loop, bool http_mode);

// One pass: wait up to 100 ms, then dispatch what is ready.
void event_loop_pass(EventLoop* loop);

[[noreturn]] void event_loop_run(EventLoop* loop);

// Starts the datagram-mode sender at the packet just stored (called by the drain once).
void start_udp_sender(EventLoop* loop);
