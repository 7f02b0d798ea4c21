// An intake with a ring, no event loop and no UDP socket: its upstream socket is one end of a
// datagram socketpair whose other end plays the upstream. The hooks count what the intake asks
// of the loop, and the log is captured.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "intake/drain.h"
#include "intake/intake.h"
#include "intake/latency_recovery.h"
#include "support/fake_upstream.h"
#include "support/process.h"

namespace intaketest {

using testsupport::count_of;

inline int64_t fake_now_us = 0;  // the clock a latency recovery runs on in these tests

// The log is captured from before the intake exists until after it is gone.
struct Harness {
    testsupport::LogCapture log;
    RelayContext ctx;
    testsupport::SocketPair pair{SOCK_DGRAM | SOCK_NONBLOCK};
    std::atomic<int> isock{pair.fd[0]};
    const int up = pair.fd[1];  // the upstream's end
    std::unique_ptr<Intake> owned = std::make_unique<Intake>();
    Intake* in = owned.get();
    PacketRing* ring = ring_alloc();
    int pauses = 0, starts = 0;

    explicit Harness(bool http_mode = true) {
        const int size = 4 << 20;  // a whole test's burst, queued before one drain
        setsockopt(up, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
        ctx.pisock = &isock;
        intake_init(in, &ctx, http_mode, &isock, IntakeHooks{this, start_hook, pause_hook});
        in->sbuf.store(ring);
    }
    ~Harness() { ring_free(ring); }
    // What the loop does when the intake starts the datagram sender, counted.
    static void start_hook(void* h) {
        auto* self = static_cast<Harness*>(h);
        ++self->starts;
        self->in->send_pos.store(self->ring->curpos.load());
    }
    static void pause_hook(void* h, int64_t) { ++static_cast<Harness*>(h)->pauses; }
    // The playout-latency recovery at latency_us, on the fake clock.
    LatencyRecovery* latency(int32_t latency_us) {
        auto* r = new LatencyRecovery(latency_us, false, 60000000);
        r->clock = [] { return fake_now_us; };
        in->recovery.reset(r);
        ctx.latency_us.store(latency_us);
        return r;
    }

    void drain() { intake_drain(in); }
    void send_raw(const void* buf, size_t n) { ASSERT_EQ(::send(up, buf, n, 0), ssize_t(n)); }
    // A data datagram of len bytes (header included), its payload filled with seq's low byte.
    void send(uint32_t seq, int32_t sec = 1000, int32_t nsec = 0, size_t len = 188) {
        unsigned char buf[2048], payload[sizeof buf];
        std::memset(payload, static_cast<int>(seq & 0xff), sizeof payload);
        send_raw(buf, static_cast<size_t>(build_data_datagram(buf, sizeof buf, seq, {sec, nsec},
                                                              payload, len - kDataHeaderBytes)));
    }
    // The echo of a keepalive stamped `stamp`, cut or padded to n bytes.
    void send_echo(Timespec32 stamp, size_t n = kKeepaliveBytes) {
        ControlMessage msg{};
        build_keepalive(&msg, stamp);
        send_raw(&msg, n);
    }
    // Stores a packet directly, to set the ring up without the intake's side effects.
    void store(uint32_t seq) {
        PacketSlot p{};
        p.seqnum = seq;
        add_item(ring, &p, seq);
    }
    void sender_at(uint32_t seq) { in->send_pos.store(static_cast<int>(seq % kRingSlots)); }
    // A stream playing: seq stored and the sender on it.
    void playing_at(uint32_t seq) {
        store(seq);
        sender_at(seq);
    }
    const PacketSlot& slot_of(uint32_t seq) const { return ring->slots[seq % kRingSlots]; }
    bool filled(uint32_t seq) const { return ring->filled[seq % kRingSlots].load() == 1; }
    uint32_t curseq() const { return ring->curseq.load(); }

    // What the intake sent since the last call: everything, or the messages of one kind.
    std::vector<std::string> sent(int kind = -1) {
        std::vector<std::string> out;
        char buf[2048];
        for (ssize_t n; (n = recv(up, buf, sizeof buf, 0)) >= 0;)
            if (kind < 0 || classify_relay_message(buf, static_cast<size_t>(n)) == kind)
                out.emplace_back(buf, static_cast<size_t>(n));
        return out;
    }
    // The numbers of every lost request among them.
    std::vector<uint32_t> asked() {
        std::vector<uint32_t> all;
        for (const auto& d : sent(RELAY_MSG_LOST_REQUEST)) {
            uint32_t seqs[kLostRequestMax];
            const int n = read_lost_request(d.data(), d.size(), seqs, kLostRequestMax);
            all.insert(all.end(), seqs, seqs + (n > 0 ? n : 0));
        }
        return all;
    }
};

}  // namespace intaketest
