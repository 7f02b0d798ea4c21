// Fuzz target: arbitrary datagrams from the upstream through the real intake into the ring.
//
// Each input is a fresh event loop in HTTP mode with a fresh ring, whose upstream socket is a
// connected loopback UDP socket; the harness plays the upstream from the other end. The input
// is a sequence of records, each a 16-bit little-endian head and then the datagram's bytes:
//   head bits 0-10   datagram length; values above 2000 are taken modulo 2001
//   head bit 11      a client takes the stream over first (the re-base flag is set)
//   head bits 12-14  the sender steps this many packets first (as the paced sender does)
//   head bit 15      the sender skips to the newest packet first (as after a starvation)
// A record cut short by the end of the input sends what is there. Each datagram is sent, the
// pass checks and the drain run as the event loop runs them, and the ring is checked.
//
// The drain pauses 20 ms after an empty read; this program defines usleep() as a no-op, so the
// pause costs nothing here (nothing else in the library sleeps on the paths driven).
//
// What is checked after every datagram:
//  - nslots stays 5120; 0 <= curpos < 5120; send_pos is -1 or an index.
//  - After the newest packet moved (curseq changed or a re-base), filled[curpos] is 1, and until
//    the sequence numbers have wrapped past 2^32 the packet there is curseq and curpos is
//    curseq mod 5120.
//  - A stored data datagram is in slot seq mod 5120 with its header, length and payload, while
//    no wrap happened.
//  - The slot the sender stands on is never overwritten by a datagram less than a whole ring
//    ahead (the ring-full guard), and a dropped datagram changes neither curseq nor curpos.
//  - What the relay sends back is a well-formed control message; a lost request asks only for
//    numbers that are placeholders within the window.
// At the end of the input every slot is checked to sit at its number mod 5120 (without a wrap).
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "buffer/packet_ring.h"
#include "core/event_loop.h"
#include "core/log.h"
#include "intake/drain.h"
#include "intake/flow_control.h"
#include "intake/protocol.h"

extern "C" int usleep(useconds_t) {
    return 0;
}

namespace {

constexpr int kMaxRecordLen = 2000;
constexpr uint32_t kSlots = kRingSlots;

int g_upstream = -1;  // the harness's end: plays the upstream
int g_relay = -1;     // the relay's `isock`
[[noreturn]] void fail(const char* what, uint32_t a = 0, uint32_t b = 0) {
    fprintf(stderr, "property violated: %s (%u, %u)\n", what, a, b);
    abort();
}

void check(bool ok, const char* what, uint32_t a = 0, uint32_t b = 0) {
    if (!ok)
        fail(what, a, b);
}

PacketRing* g_ring = nullptr;

// Puts the ring back in the state ring_alloc gives (every byte zero, then the header). One ring
// for all inputs, cleared in place: a fresh 7.5 MiB allocation per input costs its page faults.
PacketRing* fresh_ring() {
    if (g_ring == nullptr) {
        g_ring = ring_alloc();
        if (g_ring == nullptr)
            fail("ring_alloc");
        return g_ring;
    }
    g_ring->~PacketRing();
    memset(static_cast<void*>(g_ring), 0, sizeof(PacketRing));
    PacketRing* ring = new (g_ring) PacketRing;
    ring->nslots.store(kRingSlots);
    ring->curseq.store(0);
    ring->curpos.store(0);
    return ring;
}

int bound_socket() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("socket");
    int size = 1 << 20;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    return fd;
}

void connect_to(int fd, int peer) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (getsockname(peer, reinterpret_cast<sockaddr*>(&a), &len) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        fail("connect");
}

void discard_pending(int fd) {
    unsigned char sink[4096];
    while (recv(fd, sink, sizeof sink, MSG_DONTWAIT) >= 0) {
    }
}

struct Model {
    bool wrapped = false;  // the newest number has passed 2^32: slots no longer sit at seq mod n
};

// A lost request's numbers must be placeholders of the window.
void check_lost_request(const PacketRing* ring, const Model& m, const unsigned char* msg,
                        size_t n) {
    uint32_t seqs[kLostRequestMax];
    const int count = read_lost_request(msg, n, seqs, kLostRequestMax);
    check(count >= 1 && count <= kLostRequestMax, "lost request count",
          static_cast<uint32_t>(count));
    const uint32_t curseq = ring->curseq.load();
    for (int i = 0; i < count; ++i) {
        check(curseq - seqs[i] < kSlots, "lost request outside the window", seqs[i], curseq);
        if (m.wrapped)
            continue;
        const uint32_t p = seqs[i] % kSlots;
        check(ring->slots[p].seqnum == seqs[i] && ring->filled[p].load() == 0,
              "lost request for a packet that is not a placeholder", seqs[i], curseq);
    }
}

void check_replies(const PacketRing* ring, const Model& m) {
    unsigned char msg[2048];
    for (;;) {
        const ssize_t n = recv(g_upstream, msg, sizeof msg, MSG_DONTWAIT);
        if (n < 0)
            return;
        const RelayMessageKind kind = classify_relay_message(msg, static_cast<size_t>(n));
        switch (kind) {
            case RELAY_MSG_LOST_REQUEST:
                check_lost_request(ring, m, msg, static_cast<size_t>(n));
                break;
            case RELAY_MSG_KEEPALIVE:
            case RELAY_MSG_KEEPALIVE_SUSPENDED:
            case RELAY_MSG_SUSPEND:
            case RELAY_MSG_RELEASE:
                break;
            default:
                fail("unexpected message to the upstream", static_cast<uint32_t>(kind),
                     static_cast<uint32_t>(n));
        }
    }
}

// The paced sender's moves over the ring, without its pacing.
void sender_moves(EventLoop* loop, PacketRing* ring, int steps, bool skip_to_live) {
    for (int i = 0; i < steps; ++i) {
        const int sp = loop->send_pos.load();
        if (sp < 0 || sp == ring->curpos.load())
            break;
        advance_send_pos(ring, &loop->send_pos, sp);
    }
    if (skip_to_live && loop->send_pos.load() >= 0) {
        loop->send_pos.store(ring->curpos.load());
        loop->scan_base.store(ring->curseq.load());
    }
}

void check_ring_shape(const EventLoop* loop, const PacketRing* ring) {
    check(ring->nslots.load() == kRingSlots, "nslots changed",
          static_cast<uint32_t>(ring->nslots.load()));
    const int cp = ring->curpos.load();
    check(cp >= 0 && cp < kRingSlots, "curpos out of range", static_cast<uint32_t>(cp));
    const int sp = loop->send_pos.load();
    check(sp == -1 || (sp >= 0 && sp < kRingSlots), "send_pos out of range",
          static_cast<uint32_t>(sp));
}

void one_datagram(EventLoop* loop, PacketRing* ring, Model& m, const uint8_t* bytes, size_t len) {
    const uint32_t curseq0 = ring->curseq.load();
    const int curpos0 = ring->curpos.load();
    const bool rebasing = loop->ctx.resetseq.load() != 0;
    const int sp0 = loop->send_pos.load();
    const PacketSlot* sender_slot = sp0 >= 0 ? &ring->slots[sp0] : nullptr;
    const uint32_t send_seq0 = sender_slot != nullptr ? sender_slot->seqnum : 0;
    const uint32_t drops0 = loop->intake.ring_full_drops;

    // What the relay reads: at most kMaxDatagram bytes of the datagram.
    const size_t n = len < static_cast<size_t>(kMaxDatagram) ? len : kMaxDatagram;
    const ArrivalKind kind = classify_arrival(bytes, static_cast<ssize_t>(n));
    uint32_t s = 0;
    if (kind == ARRIVAL_DATA)
        memcpy(&s, bytes, 4);

    if (send(g_upstream, bytes, len, 0) != static_cast<ssize_t>(len))
        fail("send", static_cast<uint32_t>(len));
    pollfd p{g_relay, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        fail("datagram did not arrive", static_cast<uint32_t>(len));

    // One pass of the event loop with the upstream socket ready.
    flow_pass_checks(loop);
    intake_drain(loop);
    ++loop->npasses;

    check_ring_shape(loop, ring);
    pollfd left{g_relay, POLLIN, 0};
    check(poll(&left, 1, 0) == 0, "the drain left the datagram unread");

    if (kind != ARRIVAL_DATA) {
        check(ring->curseq.load() == curseq0 && ring->curpos.load() == curpos0,
              "a control datagram moved the ring", curseq0, ring->curseq.load());
        check_replies(ring, m);
        return;
    }

    const uint32_t curseq = ring->curseq.load();
    const int curpos = ring->curpos.load();
    const bool dropped = loop->intake.ring_full_drops != drops0;
    if (dropped) {
        check(!rebasing, "dropped while re-basing", s);
        check(curseq == curseq0 && curpos == curpos0, "a dropped datagram moved the ring", s);
        // Either a step past the sender's slot, or a jump of a whole ring while the sender
        // still had packets to play.
        const bool step_past = s - curseq0 >= 1 && s - curseq0 < kSlots && s - send_seq0 >= kSlots;
        const bool jump_over = s > curseq0 && s - curseq0 >= kSlots && sp0 != curpos0;
        check(sp0 >= 0 && (step_past || jump_over), "dropped without overrunning the sender", s,
              send_seq0);
    }
    if (rebasing && !dropped)
        check(loop->ctx.resetseq.load() == 0, "re-base flag not cleared", s);

    const bool advanced = rebasing || curseq != curseq0 || curpos != curpos0;
    if (advanced) {
        check(ring->filled[curpos].load() == 1, "newest slot not filled", curseq,
              static_cast<uint32_t>(curpos));
        // The newest number passing 2^32 shifts the slots off seq mod n for good (the ring
        // steps positions, the window stores by number); from then on only shapes are checked.
        const bool crossed = !rebasing && s < curseq0 && s - curseq0 < kSlots;
        if (crossed)
            m.wrapped = true;
        if (!m.wrapped) {
            check(ring->slots[curpos].seqnum == curseq, "newest slot holds another number",
                  ring->slots[curpos].seqnum, curseq);
            check(static_cast<uint32_t>(curpos) == curseq % kSlots, "curpos is not curseq mod n",
                  static_cast<uint32_t>(curpos), curseq);
        }
    }

    if (!dropped && !m.wrapped && curseq - s < kSlots) {
        const PacketSlot& slot = ring->slots[s % kSlots];
        check(ring->filled[s % kSlots].load() == 1 && slot.seqnum == s, "datagram not stored", s,
              curseq);
        check(slot.len == static_cast<int32_t>(n) - kDataHeaderBytes, "stored length", s,
              static_cast<uint32_t>(slot.len));
        check(memcmp(&slot, bytes, n) == 0, "stored bytes differ", s);
    }

    // The ring-full guard: a step of less than a whole ring never overwrites the sender's slot.
    if (sp0 >= 0 && !rebasing && !m.wrapped && s - curseq0 < kSlots)
        check(sender_slot->seqnum == send_seq0, "the sender's slot was overwritten", send_seq0,
              sender_slot->seqnum);

    check_replies(ring, m);
}

void check_whole_ring(const PacketRing* ring, const Model& m) {
    if (m.wrapped)
        return;
    for (uint32_t p = 0; p < kSlots; ++p) {
        const uint32_t q = ring->slots[p].seqnum;
        if ((ring->filled[p].load() == 1 || q != 0) && q % kSlots != p)
            fail("slot does not sit at its number mod n", p, q);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_fp.store(nullptr);
    g_upstream = bound_socket();
    g_relay = bound_socket();
    connect_to(g_relay, g_upstream);
    connect_to(g_upstream, g_relay);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    discard_pending(g_relay);
    discard_pending(g_upstream);
    auto owned = std::make_unique<EventLoop>();
    EventLoop* loop = owned.get();
    if (event_loop_init(loop, true) != 0)
        fail("event_loop_init");
    PacketRing* ring = fresh_ring();
    loop->sbuf.store(ring);
    loop->isock.store(g_relay);

    Model m;
    size_t at = 0;
    while (at + 2 <= size) {
        const unsigned head = data[at] | (static_cast<unsigned>(data[at + 1]) << 8);
        at += 2;
        size_t len = head & 0x7FF;
        if (len > kMaxRecordLen)
            len %= kMaxRecordLen + 1;
        if (len > size - at)
            len = size - at;
        sender_moves(loop, ring, static_cast<int>((head >> 12) & 7), (head & 0x8000) != 0);
        if (head & 0x800)
            loop->ctx.resetseq.store(1);
        one_datagram(loop, ring, m, data + at, len);
        at += len;
    }
    check_whole_ring(ring, m);

    close(loop->wake_rd);
    close(loop->ctx.wake_fd.load());
    return 0;
}
