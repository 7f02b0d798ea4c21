// An event loop with a ring and an upstream socket connected to a fake upstream, and a capture
// of the log, for driving the intake and flow control in tests.
#pragma once

#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "core/log.h"
#include "daemon/event_loop.h"
#include "intake/drain.h"
#include "support/fake_upstream.h"
#include "support/process.h"

namespace intaketest {

using testsupport::count_of;

// The log is captured from before the loop exists until after it is gone.
struct Harness {
    testsupport::LogCapture log;
    std::unique_ptr<EventLoop> owned = std::make_unique<EventLoop>();
    EventLoop* loop = owned.get();
    testsupport::FakeUpstream up;
    PacketRing* ring = ring_alloc();

    explicit Harness(bool http_mode = true) {
        event_loop_init(loop, http_mode);
        loop->sbuf.store(ring);
        loop->isock.store(up.open_relay_socket());
    }
    ~Harness() {
        close(loop->isock.load());
        close(loop->wake_rd);
        close(loop->ctx.wake_fd.load());
        ring_free(ring);
    }

    // Hands every datagram the fake sent so far to the intake.
    void drain() {
        testsupport::wait_readable(loop->isock.load(), 500);
        intake_drain(loop);
    }
    void send(uint32_t seq, int32_t sec = 1000, int32_t nsec = 0, size_t len = 188) {
        up.send_data(seq, Timespec32{sec, nsec}, len);
    }
    // Stores a packet directly, to set the ring up without the intake's side effects.
    void store(uint32_t seq) {
        PacketSlot p{};
        p.seqnum = seq;
        add_item(ring, &p, seq);
    }
    void sender_at(uint32_t seq) { loop->send_pos.store(static_cast<int>(seq % kRingSlots)); }
    const PacketSlot& slot_of(uint32_t seq) const { return ring->slots[seq % kRingSlots]; }
    bool filled(uint32_t seq) const { return ring->filled[seq % kRingSlots].load() == 1; }
    uint32_t curseq() const { return ring->curseq.load(); }

    // What the relay sent since the last call, only the messages of one kind.
    std::vector<testsupport::Datagram> sent(RelayMessageKind kind, int wait_ms = 0) {
        std::vector<testsupport::Datagram> out;
        for (auto& d : up.take(wait_ms))
            if (classify_relay_message(d.data(), d.size()) == kind)
                out.push_back(d);
        return out;
    }
    // The numbers of every lost request among them.
    std::vector<uint32_t> asked(int wait_ms = 0) {
        std::vector<uint32_t> all;
        for (const auto& d : sent(RELAY_MSG_LOST_REQUEST, wait_ms)) {
            uint32_t seqs[kLostRequestMax];
            const int n = read_lost_request(d.data(), d.size(), seqs, kLostRequestMax);
            all.insert(all.end(), seqs, seqs + (n > 0 ? n : 0));
        }
        return all;
    }
};

}  // namespace intaketest
