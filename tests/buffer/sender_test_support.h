// Test rig for the paced sender: a ring and relay context, a fake clock and a captured log.
#pragma once

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "buffer/packet_ring.h"
#include "buffer/sender.h"
#include "core/log.h"
#include "core/relay_context.h"
#include "daemon/event_loop.h"
#include "support/fake_upstream.h"
#include "support/process.h"

namespace sendertest {

using testsupport::LogCapture;

// A clock that moves only when slept on; on_sleep lets a test act as the intake between sleeps.
struct FakeClock {
    int64_t now_ns = 5000LL * 1000000000;
    std::vector<int64_t> sleeps;
    std::function<void(FakeClock&)> on_sleep = [](FakeClock&) {};

    static void now(void* self, Timespec32* out) {
        const int64_t ns = static_cast<FakeClock*>(self)->now_ns;
        *out = Timespec32{static_cast<int32_t>(ns / 1000000000),
                          static_cast<int32_t>(ns % 1000000000)};
    }
    static void sleep(void* self, int64_t us) {
        auto* c = static_cast<FakeClock*>(self);
        c->now_ns += us * 1000;
        c->sleeps.push_back(us);
        c->on_sleep(*c);
    }
    SenderEnv env() { return SenderEnv{now, sleep, this}; }
};

// The payload of packet seq: len bytes of a pattern of its own.
inline std::string payload(uint32_t seq, int len = 1316) {
    std::string s(static_cast<size_t>(len), '\0');
    for (int i = 0; i < len; ++i)
        s[static_cast<size_t>(i)] = static_cast<char>(seq * 7 + static_cast<uint32_t>(i));
    return s;
}

// The event loop's side of a run: ring, shared variables, the consumer's and upstream's ends,
// and the run's clock and log.
struct Rig {
    std::atomic<PacketRing*> sbuf{ring_alloc()};
    std::atomic<int> isock{0};
    std::atomic<int> send_pos{-1};
    std::atomic<uint32_t> scan_base{7};
    RelayContext ctx;
    testsupport::SocketPair out, up{SOCK_DGRAM};  // fd[0]: the sender's ends
    int& out_peer = out.fd[1];                    // what the consumer reads
    int& upstream_peer = up.fd[1];                // what the upstream receives
    bool rebased = false;
    char req[208] = {2, 0, 0, 0, 'c', 'h', 'a', 'n', ':', '7'};  // the stream request "chan:7"
    FakeClock clock;
    // The run's clock is simulated: on the real one its lines would all fall into one window.
    struct Unlimited {
        Unlimited() { log_set_limit(0); }
        ~Unlimited() { log_set_limit(kLogLinesPerWindow); }
    } unlimited;
    LogCapture log;

    explicit Rig(int mode, bool with_req = true)
        : out(mode == MODE_HTTP ? SOCK_STREAM : SOCK_DGRAM) {
        ctx.out_fd = out.fd[0];
        isock = up.fd[0];
        ctx.psbuf = &sbuf;
        ctx.pisock = &isock;
        ctx.psend_pos = &send_pos;
        ctx.pcurseq = &scan_base;
        ctx.mode = mode;
        ctx.req = with_req ? req : nullptr;
    }
    ~Rig() { ring_free(sbuf.load()); }

    // Stores a packet as the intake does; the first one re-bases the ring on it.
    void add(uint32_t seq, Timespec32 ts, int len = 1316) {
        PacketSlot pkt{};
        pkt.seqnum = seq;
        pkt.ts = ts;
        pkt.len = len;
        const std::string bytes = payload(seq, kSlotPayload);
        std::memcpy(pkt.payload, bytes.data(), bytes.size());
        if (!rebased) {
            ring()->curseq.store(seq);
            ring()->curpos.store(static_cast<int>(seq % kRingSlots));
            send_pos.store(static_cast<int>(seq % kRingSlots));
            ctx.resetseq.store(0);
            rebased = true;
        }
        add_item(ring(), &pkt, seq);
    }
    PacketRing* ring() { return sbuf.load(); }
    // Runs the sender on the fake clock until it returns, asking it to stop at the given sleep.
    // Between sleeps, and once it has returned, the rig does what the sender asked of the event
    // loop, as the loop does between its passes.
    void run(size_t stop_at_sleep) {
        auto hook = clock.on_sleep;
        clock.on_sleep = [&, hook, stop_at_sleep](FakeClock& c) {
            hook(c);
            relay_serve_asks(&ctx);
            if (c.sleeps.size() >= stop_at_sleep)
                ctx.stop = STOP_REQUESTED;
        };
        const SenderEnv env = clock.env();
        sender_run(&ctx, &env);
        relay_serve_asks(&ctx);
    }

    // One datagram readable on fd now, or nothing.
    static std::string drain_one(int fd) {
        char buf[65536];
        const ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
        return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
    }

    // Everything readable on fd now.
    static std::string drain(int fd) {
        std::string all;
        for (std::string d = drain_one(fd); !d.empty(); d = drain_one(fd))
            all += d;
        return all;
    }
};

}  // namespace sendertest
