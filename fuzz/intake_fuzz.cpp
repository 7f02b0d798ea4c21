// Fuzz target: arbitrary datagrams from the upstream through the real intake into the ring.
//
// Each input is a fresh intake record in HTTP mode with a fresh ring, without an event loop,
// whose upstream socket is a connected loopback UDP socket; the harness plays the upstream from
// the other end. The input
// is one config byte, then a sequence of records. The config byte:
//   bit 0      the playout-latency recovery at 200 ms (-L 200) instead of the default one: its
//              anchor, gaps and requests run
//   bit 1      a stream in progress: a client takes the stream over, then 200 + 100 x bits 2-3
//              datagrams arrive in order stamped 5 ms apart, and the sender stands bits 4-6
//              (0, 1, 2, 8, 40, 120, 180 or 199) packets behind the newest
//   bit 7      that stream starts at number 4,000,000,000 instead of 1000
// With a stream in progress, a data record's first word and seconds are offsets from the
// stream's next datagram (its number, its stamp's second): small values go on with the stream,
// and far stamps, impossible nanoseconds and numbers a ring away are a few bits from them.
// Each record is a 16-bit little-endian head and then the datagram's bytes:
//   head bits 0-10   datagram length; values above 2000 are taken modulo 2001
//   head bit 11      a client takes the stream over first (the re-base flag is set)
//   head bits 12-14  the sender steps this many packets first (as the paced sender does)
//   head bit 15      the sender skips to the newest packet first (as after a starvation)
// A record cut short by the end of the input sends what is there. Each datagram is sent, the
// pass checks, the drain and the recovery's tick run as the event loop runs them, and the ring
// is checked.
//
// The drain's pause after an empty read is the loop's hook, a no-op here, so it costs nothing.
//
// What is checked after every datagram:
//  - nslots stays 5120; 0 <= curpos < 5120; send_pos is -1 or an index.
//  - The backlog stays below a whole ring: curseq - (number at send_pos) < 5120 while the
//    sender has a slot (also after each of its moves), while no wrap happened, unless the
//    sender stands on the slot that a jump of a whole ring leaves as it was.
//  - After the newest packet moved (curseq changed or a re-base), filled[curpos] is 1, and until
//    the sequence numbers have wrapped past 2^32 the packet there is curseq and curpos is
//    curseq mod 5120.
//  - No datagram that arrived is lost: a data datagram within the window that the ring-full
//    guard did not drop is in slot seq mod 5120 with its header, length and payload (in the
//    latency mode a second copy may leave the first in place), while no wrap happened.
//  - A datagram a whole ring ahead while the stream plays is held: the ring, its slot and the
//    drop count stay as they were, and no suspend goes out for it. The hold is released only
//    by a later datagram at most 64 numbers on with a valid stamp within a second of the held
//    one; then both are stored, less what the ring-full guard drops.
//  - The slot the sender stands on is never overwritten by a datagram less than a whole ring
//    ahead (the ring-full guard), and a dropped datagram changes neither curseq nor curpos.
//  - What the relay sends back is a well-formed control message; a lost request asks only for
//    numbers that are placeholders within the window.
// With a stream in progress, every datagram of it is checked in its slot before the records.
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
#include "core/log.h"
#include "intake/drain.h"
#include "intake/flow_control.h"
#include "intake/intake.h"
#include "intake/intake_rules.h"
#include "intake/latency_recovery.h"
#include "intake/protocol.h"

namespace {

constexpr int kMaxRecordLen = 2000;
constexpr uint32_t kSlots = kRingSlots;
constexpr int32_t kLatencyUs = 200000;

// The stream in progress: its datagrams, their spacing and where the sender may stand.
constexpr uint32_t kStreamFirstSec = 1000;
constexpr int64_t kStreamStepNs = 5000000;
constexpr int kStreamDatagramBytes = 188;
constexpr uint32_t kSenderBehind[8] = {0, 1, 2, 8, 40, 120, 180, 199};

// The intake's record as the event loop embeds it, with the loop's words it points to.
struct Relay {
    RelayContext ctx;
    std::atomic<int> isock{0};
    Intake in;
    int npasses = 0;
};

// The hooks: HTTP mode never starts the datagram sender, and the drain's pause costs nothing.
void no_datagram_sender(void*);
void no_pause(void*, int64_t) {}

int g_upstream = -1;  // the harness's end: plays the upstream
int g_relay = -1;     // the relay's `isock`
[[noreturn]] void fail(const char* what, uint32_t a = 0, uint32_t b = 0) {
    fprintf(stderr, "property violated: %s (%u, %u)\n", what, a, b);
    abort();
}

void no_datagram_sender(void*) {
    fail("HTTP mode started the datagram sender");
}

void check(bool ok, const char* what, uint32_t a = 0, uint32_t b = 0) {
    if (!ok)
        fail(what, a, b);
}

PacketRing* g_ring = nullptr;
PacketSlot g_before;  // the slot a datagram is numbered for, as it was before it arrived

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
    bool timed = false;    // the playout-latency mode
    // The datagram a ring ahead that the intake holds, as it arrived.
    bool held = false;
    uint32_t held_seq = 0;
    size_t held_len = 0;
    unsigned char held_bytes[kMaxDatagram];
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

// suspend_ok false: the datagram just handled must not have held the upstream.
void check_replies(const PacketRing* ring, const Model& m, bool suspend_ok = true) {
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
            case RELAY_MSG_SUSPEND:
                check(suspend_ok, "a held datagram sent a suspend", ring->curseq.load());
                break;
            case RELAY_MSG_KEEPALIVE:
            case RELAY_MSG_KEEPALIVE_SUSPENDED:
            case RELAY_MSG_RELEASE:
                break;
            default:
                fail("unexpected message to the upstream", static_cast<uint32_t>(kind),
                     static_cast<uint32_t>(n));
        }
    }
}

// Without a wrap: past 2^32 the ring's newest number can lag behind the numbers it stores.
// A jump of a whole ring refills every slot but the one after the newest; a sender that waited
// at the old newest stands there when the jump is k x 5120 - 1 numbers, with that packet still
// to play, until its next step.
void check_backlog(const Relay* relay, const PacketRing* ring, const Model& m) {
    const int sp = relay->in.send_pos.load();
    if (sp < 0 || m.wrapped || sp == (ring->curpos.load() + 1) % kRingSlots)
        return;
    const uint32_t backlog = ring->curseq.load() - ring->slots[sp].seqnum;
    check(backlog < kSlots, "backlog of a whole ring or more", backlog, ring->curseq.load());
}

// The paced sender's moves over the ring, without its pacing.
void sender_moves(Relay* relay, PacketRing* ring, const Model& m, int steps, bool skip_to_live) {
    for (int i = 0; i < steps; ++i) {
        const int sp = relay->in.send_pos.load();
        if (sp < 0 || sp == ring->curpos.load())
            break;
        advance_send_pos(ring, &relay->in.send_pos, sp);
    }
    if (skip_to_live && relay->in.send_pos.load() >= 0) {
        relay->in.send_pos.store(ring->curpos.load());
        relay->in.scan_base.store(ring->curseq.load());
    }
    check_backlog(relay, ring, m);
}

void check_ring_shape(const Relay* relay, const PacketRing* ring) {
    check(ring->nslots.load() == kRingSlots, "nslots changed",
          static_cast<uint32_t>(ring->nslots.load()));
    const int cp = ring->curpos.load();
    check(cp >= 0 && cp < kRingSlots, "curpos out of range", static_cast<uint32_t>(cp));
    const int sp = relay->in.send_pos.load();
    check(sp == -1 || (sp >= 0 && sp < kRingSlots), "send_pos out of range",
          static_cast<uint32_t>(sp));
}

// One pass of the event loop with the upstream socket ready.
void pass(Relay* relay) {
    pollfd p{g_relay, POLLIN, 0};
    if (poll(&p, 1, 2000) != 1)
        fail("datagram did not arrive");
    flow_pass_checks(&relay->in, relay->npasses);
    intake_drain(&relay->in);
    relay->in.recovery->tick(&relay->in);
    ++relay->npasses;
    pollfd left{g_relay, POLLIN, 0};
    check(poll(&left, 1, 0) == 0, "the drain left a datagram unread");
}

bool stamp_valid(int32_t nsec) {
    return nsec >= 0 && nsec < 1000000000;
}

int32_t word_at(const unsigned char* d, int index) {
    int32_t w;
    memcpy(&w, d + 4 * index, 4);
    return w;
}

// The held datagram and the one that released it: a later number at most 64 on, and valid
// stamps within a second of each other.
bool continues_held(const Model& m, uint32_t s, const uint8_t* bytes, size_t n) {
    if (n < static_cast<size_t>(kDataHeaderBytes) || m.held_len < kDataHeaderBytes)
        return false;
    const int32_t nsec = word_at(bytes, 2);
    const int32_t held_nsec = word_at(m.held_bytes, 2);
    const int64_t apart =
        (static_cast<int64_t>(word_at(bytes, 1)) - word_at(m.held_bytes, 1)) * 1000000000 +
        (static_cast<int64_t>(nsec) - held_nsec);
    return s - m.held_seq - 1 < kJumpConfirmSpan && stamp_valid(nsec) && stamp_valid(held_nsec) &&
           apart < 1000000000 && apart > -1000000000;
}

bool holds_bytes(const PacketRing* ring, uint32_t s, const unsigned char* bytes, size_t n) {
    const uint32_t p = s % kSlots;
    const PacketSlot& slot = ring->slots[p];
    return ring->filled[p].load() == 1 && slot.seqnum == s &&
           slot.len == static_cast<int32_t>(n) - kDataHeaderBytes && memcmp(&slot, bytes, n) == 0;
}

// A jump of a whole ring that the intake held: nothing of it reached the ring.
void check_held(const Relay* relay, const PacketRing* ring, Model& m, uint32_t s,
                const uint8_t* bytes, size_t n, uint32_t curseq0, int curpos0, uint32_t drops0,
                int filled0) {
    const IntakeState& in = relay->in.state;
    check(in.holding && in.held.seqnum == s, "a ring jump was stored at once", s, curseq0);
    check(ring->curseq.load() == curseq0 && ring->curpos.load() == curpos0 &&
              in.ring_full_drops == drops0,
          "a held datagram moved the ring", s, curseq0);
    // Up to its length: the requests' bookkeeping behind it goes on meanwhile.
    const uint32_t p = s % kSlots;
    check(ring->filled[p].load() == filled0 &&
              memcmp(&ring->slots[p], &g_before, offsetof(PacketSlot, lostreq_ts)) == 0,
          "a held datagram touched its slot", s);
    // A second copy of the held number leaves the first held.
    if (!m.held || m.held_seq != s) {
        memcpy(m.held_bytes, bytes, n);
        m.held_len = n;
        m.held_seq = s;
    }
    m.held = true;
    check_replies(ring, m, false);
}

// The held datagram, then the one that confirmed it, went to the ring; the guard may drop
// either, and nothing else.
void check_confirmed(const Relay* relay, const PacketRing* ring, Model& m, uint32_t s,
                     const uint8_t* bytes, size_t n, uint32_t curseq0, int curpos0,
                     uint32_t drops0) {
    check(continues_held(m, s, bytes, n), "a hold released by a datagram that does not follow it",
          s, m.held_seq);
    const uint32_t drops = relay->in.state.ring_full_drops - drops0;
    check(drops <= 2, "more drops than datagrams", drops);
    if (drops == 2)
        check(ring->curseq.load() == curseq0 && ring->curpos.load() == curpos0,
              "dropped datagrams moved the ring", s);
    if (!m.wrapped) {
        const uint32_t stored = (holds_bytes(ring, m.held_seq, m.held_bytes, m.held_len) ? 1 : 0) +
                                (holds_bytes(ring, s, bytes, n) ? 1 : 0);
        check(stored + drops == 2, "a confirmed jump lost a datagram", m.held_seq, s);
    }
    m.held = false;
}

// The newest packet moved (curseq changed, or a re-base): it is in its slot.
void check_newest(const PacketRing* ring, Model& m, uint32_t s, uint32_t curseq0, bool rebasing) {
    const uint32_t curseq = ring->curseq.load();
    const int curpos = ring->curpos.load();
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

// A datagram within the window went into its slot whole; the latency mode keeps the copy it
// holds of a number it has stored (may_keep_first: it did hold one).
void check_stored(const PacketRing* ring, uint32_t s, const uint8_t* bytes, size_t n,
                  bool may_keep_first) {
    const uint32_t at = s % kSlots;
    const PacketSlot& slot = ring->slots[at];
    if (may_keep_first && g_before.seqnum == s &&
        memcmp(&slot, &g_before, offsetof(PacketSlot, lostreq_ts)) == 0)
        return;
    check(ring->filled[at].load() == 1 && slot.seqnum == s, "datagram not stored", s,
          ring->curseq.load());
    check(slot.len == static_cast<int32_t>(n) - kDataHeaderBytes, "stored length", s,
          static_cast<uint32_t>(slot.len));
    check(memcmp(&slot, bytes, n) == 0, "stored bytes differ", s);
}

void one_datagram(Relay* relay, PacketRing* ring, Model& m, const uint8_t* bytes, size_t len) {
    const IntakeState& in = relay->in.state;
    const uint32_t curseq0 = ring->curseq.load();
    const int curpos0 = ring->curpos.load();
    const bool rebasing = relay->ctx.resetseq.load() != 0;
    const int sp0 = relay->in.send_pos.load();
    const PacketSlot* sender_slot = sp0 >= 0 ? &ring->slots[sp0] : nullptr;
    const uint32_t send_seq0 = sender_slot != nullptr ? sender_slot->seqnum : 0;
    const uint32_t drops0 = in.ring_full_drops;
    check(in.holding == m.held, "the hold changed without a datagram a ring ahead", m.held_seq);
    if (m.held)
        check(in.held.seqnum == m.held_seq &&
                  in.held.len == static_cast<int32_t>(m.held_len) - kDataHeaderBytes &&
                  in.held_bytes == static_cast<int>(m.held_len) &&
                  memcmp(&in.held, m.held_bytes, m.held_len) == 0,
              "the held datagram changed", m.held_seq);

    // What the relay reads: at most kMaxDatagram bytes of the datagram.
    const size_t n = len < static_cast<size_t>(kMaxDatagram) ? len : kMaxDatagram;
    const ArrivalKind kind = classify_arrival(bytes, static_cast<ssize_t>(n));
    uint32_t s = 0;
    if (kind == ARRIVAL_DATA)
        memcpy(&s, bytes, 4);
    const uint32_t at = s % kSlots;
    memcpy(static_cast<void*>(&g_before), &ring->slots[at], sizeof(PacketSlot));
    const int filled0 = ring->filled[at].load();

    if (send(g_upstream, bytes, len, 0) != static_cast<ssize_t>(len))
        fail("send", static_cast<uint32_t>(len));
    pass(relay);
    check_ring_shape(relay, ring);

    if (kind != ARRIVAL_DATA) {
        check(ring->curseq.load() == curseq0 && ring->curpos.load() == curpos0,
              "a control datagram moved the ring", curseq0, ring->curseq.load());
        check_replies(ring, m);
        return;
    }

    // A whole ring ahead while a stream plays: held, or the confirmation of the one held.
    const bool jump =
        !rebasing && sp0 >= 0 && s > curseq0 && s - curseq0 >= kSlots && curseq0 - s >= kSlots;
    const bool confirmed = jump && m.held && !in.holding;
    if (jump && !confirmed) {
        check_held(relay, ring, m, s, bytes, n, curseq0, curpos0, drops0, filled0);
        check_backlog(relay, ring, m);
        return;
    }
    // A re-base starts a new stream: a jump held from the one before is dropped.
    if (rebasing && m.held && !in.holding)
        m.held = false;
    check(in.holding == m.held || confirmed, "the hold changed without a datagram a ring ahead", s);

    const uint32_t curseq = ring->curseq.load();
    const int curpos = ring->curpos.load();
    const bool dropped = in.ring_full_drops != drops0;
    if (confirmed) {
        check_confirmed(relay, ring, m, s, bytes, n, curseq0, curpos0, drops0);
    } else if (dropped) {
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
        check(relay->ctx.resetseq.load() == 0, "re-base flag not cleared", s);

    if (rebasing || curseq != curseq0 || curpos != curpos0)
        check_newest(ring, m, s, curseq0, rebasing);

    if (!confirmed && !dropped && !m.wrapped && curseq - s < kSlots)
        check_stored(ring, s, bytes, n, m.timed && !rebasing && filled0 == 1);

    // The ring-full guard: a step of less than a whole ring never overwrites the sender's slot.
    if (sp0 >= 0 && !rebasing && !m.wrapped && s - curseq0 < kSlots)
        check(sender_slot->seqnum == send_seq0, "the sender's slot was overwritten", send_seq0,
              sender_slot->seqnum);

    check_backlog(relay, ring, m);
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

// Where the stream in progress stands: its next number and its next stamp's second.
struct Stream {
    bool on = false;
    uint32_t next_seq = 0;
    uint32_t next_sec = 0;
};

size_t build_stream_datagram(unsigned char* out, uint32_t seq, int index) {
    const int64_t ns = static_cast<int64_t>(index) * kStreamStepNs;
    const int32_t sec = static_cast<int32_t>(kStreamFirstSec + ns / 1000000000);
    const int32_t nsec = static_cast<int32_t>(ns % 1000000000);
    memcpy(out, &seq, 4);
    memcpy(out + 4, &sec, 4);
    memcpy(out + 8, &nsec, 4);
    for (int i = kDataHeaderBytes; i < kStreamDatagramBytes; ++i)
        out[i] = static_cast<unsigned char>(seq + static_cast<uint32_t>(i));
    return kStreamDatagramBytes;
}

// A client takes the stream over and count datagrams arrive in order, a drain's batch at a
// time; the sender then stands `behind` packets behind the newest.
Stream play_stream(Relay* relay, PacketRing* ring, const Model& m, uint32_t first, int count,
                   uint32_t behind) {
    static unsigned char d[kDrainBatch][kStreamDatagramBytes];
    relay->ctx.resetseq.store(1);
    for (int i = 0; i < count;) {
        const int batch = count - i < kDrainBatch ? count - i : kDrainBatch;
        for (int j = 0; j < batch; ++j) {
            const size_t len =
                build_stream_datagram(d[j], first + static_cast<uint32_t>(i + j), i + j);
            if (send(g_upstream, d[j], len, 0) != static_cast<ssize_t>(len))
                fail("send", static_cast<uint32_t>(len));
        }
        pass(relay);
        check_replies(ring, m);
        i += batch;
    }
    const uint32_t last = first + static_cast<uint32_t>(count - 1);
    check(ring->curseq.load() == last && relay->ctx.resetseq.load() == 0 &&
              relay->in.state.ring_full_drops == 0,
          "the stream did not arrive", ring->curseq.load(), last);
    for (int i = 0; i < count; ++i) {
        const uint32_t s = first + static_cast<uint32_t>(i);
        build_stream_datagram(d[0], s, i);
        check(holds_bytes(ring, s, d[0], kStreamDatagramBytes), "a datagram of the stream lost", s);
    }
    relay->in.send_pos.store(static_cast<int>((last - behind) % kSlots));
    check_backlog(relay, ring, m);
    const int64_t next_ns = static_cast<int64_t>(count) * kStreamStepNs;
    return Stream{true, last + 1, static_cast<uint32_t>(kStreamFirstSec + next_ns / 1000000000)};
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
    if (size < 1)
        return 0;
    discard_pending(g_relay);
    discard_pending(g_upstream);
    auto owned = std::make_unique<Relay>();
    Relay* relay = owned.get();
    relay->isock.store(g_relay);
    if (intake_init(&relay->in, &relay->ctx, true, &relay->isock,
                    IntakeHooks{nullptr, no_datagram_sender, no_pause}) != 0)
        fail("intake_init");
    PacketRing* ring = fresh_ring();
    relay->in.sbuf.store(ring);

    auto m = std::make_unique<Model>();
    const uint8_t config = data[0];
    if (config & 1) {
        m->timed = true;
        relay->in.recovery.reset(new LatencyRecovery(kLatencyUs, false, 60000000));
        relay->ctx.latency_us.store(kLatencyUs);
    }
    Stream stream;
    if (config & 2)
        stream = play_stream(relay, ring, *m, (config & 0x80) ? 4000000000u : 1000u,
                             200 + 100 * ((config >> 2) & 3), kSenderBehind[(config >> 4) & 7]);

    static uint8_t datagram[kMaxRecordLen];
    size_t at = 1;
    while (at + 2 <= size) {
        const unsigned head = data[at] | (static_cast<unsigned>(data[at + 1]) << 8);
        at += 2;
        size_t len = head & 0x7FF;
        if (len > kMaxRecordLen)
            len %= kMaxRecordLen + 1;
        if (len > size - at)
            len = size - at;
        memcpy(datagram, data + at, len);
        if (stream.on && len >= static_cast<size_t>(kMinDataDatagram)) {
            uint32_t w[2];
            memcpy(w, datagram, 8);
            w[0] += stream.next_seq;
            w[1] += stream.next_sec;
            memcpy(datagram, w, 8);
        }
        sender_moves(relay, ring, *m, static_cast<int>((head >> 12) & 7), (head & 0x8000) != 0);
        if (head & 0x800)
            relay->ctx.resetseq.store(1);
        one_datagram(relay, ring, *m, datagram, len);
        at += len;
    }
    check_whole_ring(ring, *m);
    return 0;
}
