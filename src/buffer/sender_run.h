// The state of one sender run, shared by the run's loop, its two pacers and its output path;
// private to the sender's own files.
//
// Threads: the sender shares the ring with the intake and `send_pos`, `resetseq`, `stop`,
// `rtt`, `req` and the loss-scan base with the event loop. Every one of them is loaded afresh
// where it is used. A slot is read only after an acquire load of its `filled` flag or of a
// `curpos` at or past it, which pairs with the intake's release stores. The upstream socket is
// never touched here: a repeated request is asked of the event loop (`asks`), and so are the
// players' connections given up (see core/players.h). `Run` itself is the sender thread's
// alone.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "buffer/packet_ring.h"
#include "buffer/playout.h"
#include "buffer/sender.h"
#include "buffer/sender_pacing.h"
#include "core/relay_context.h"

struct PlayerTable;
struct Run;

// Where an iteration goes after its wait or pacing step.
enum Flow { FLOW_NEXT, FLOW_OUTPUT, FLOW_END };

// A pacing policy, picked once when the run starts: -L never turns on or off while the daemon
// runs, as the intake keeps a latency it was given above zero.
struct Pacer {
    bool (*iteration)(Run& r);  // one iteration of the run; false ends it
    // After slot sp went out and was counted: the pacer's record of it, and its step past it.
    void (*step_past)(Run& r, int sp);
};

extern const Pacer kPaceStamps;   // by the packets' timestamps, after a margin (the default)
extern const Pacer kPaceLatency;  // a fixed latency after arrival (-L)

struct Run {
    RelayContext* ctx = nullptr;
    PacketRing* ring = nullptr;
    const SenderEnv* env = nullptr;
    const Pacer* pacer = nullptr;
    int mode = 0;                    // fixed for the run: the batch exists in HTTP mode only
    PlayerTable* players = nullptr;  // HTTP mode in the daemon; else the stream goes to `out_fd`
    SenderPhase phase = SENDER_STARTING;
    int prevpos = -1;
    Timespec32 now{};  // the iteration's one clock reading; renewed after a buffering wait
    Timespec32 bufsize{};
    int idle_waits = 0;
    unsigned char* batch = nullptr;
    int fill = 0;
    int64_t last_write_us = 0;
    SenderStats stats;
    // The stream's pace in stamp time, measured between packets whose stamps fit: step_us over
    // step_seqs numbers (0: not measured yet), from the packet at pace_seq, pace_ts on.
    bool pace_base = false;
    uint32_t pace_seq = 0;
    int64_t pace_ts = 0;
    uint32_t step_seqs = 0;
    int64_t step_us = 0;
    // Default pacing only: the anchor, and whether the run still waits its first margin.
    Timespec32 anchor_clock{};
    Timespec32 anchor_ts{};
    bool first_wait = true;
    // The stamp of the last packet sent whose stamp fitted its neighbours'.
    Timespec32 prev_stamp{};
    uint32_t prev_seq = 0;  // ... and its number
    bool have_prev_stamp = false;
    bool stray = false;  // the packet being put out carries a stray stamp
    // Playout-latency mode only: the anchor, the latency it was taken with, the last packet out.
    PlayAnchor play{};
    int32_t latency_us = 0;
    bool any_sent = false;
    uint32_t last_seq = 0;
    int64_t last_ts = 0;
    int64_t newest_since = 0;  // waiting at the newest packet since this clock reading; 0 = not
    int64_t play_ts = 0;       // the stamp the packet being put out is played by
    bool play_stray = false;   // ... which is not its own: its stamp went astray
};

// Acquire: pairs with the event loop's release store of the stop request.
inline bool stopped(const Run& r) {
    return r.ctx->stop.load(std::memory_order_acquire) != 0;
}

// Acquire: pairs with the re-base's release store of the position.
inline int load_send_pos(const Run& r) {
    return r.ctx->psend_pos->load(std::memory_order_acquire);
}

// Acquire: every slot up to the newest is complete once its `curpos` is seen.
inline int load_curpos(const Run& r) {
    return r.ring->curpos.load(std::memory_order_acquire);
}

inline uint32_t load_curseq(const Run& r) {
    return r.ring->curseq.load(std::memory_order_acquire);
}

// Acquire on the flag: a late packet stored into a placeholder is published by it.
inline const PacketSlot& slot_at(const Run& r, int p) {
    (void)r.ring->filled[p].load(std::memory_order_acquire);
    return r.ring->slots[p];
}

// Relaxed: a one-word setting (see RelayContext).
inline int32_t load_latency(const Run& r) {
    return r.ctx->latency_us.load(std::memory_order_relaxed);
}

inline void sleep_us(const Run& r, int64_t us) {
    r.env->sleep_us(r.env->user, us);
}

// --- What both pacers share (sender.cpp). ---

// Where packet seq lies in stamp time, seq - base_seq numbers after the packet stamped base_ts,
// at the stream's pace: for a packet whose own stamp says nothing. Without a measured pace,
// with the packet before it.
int64_t stamp_at_pace(const Run& r, uint32_t base_seq, int64_t base_ts, uint32_t seq);

// Measures the stream's pace over at least 100 ms of stamps, from packets whose stamps fit; a
// jump of the stream's clock starts the measurement over.
void measure_pace(Run& r, uint32_t seq, int64_t ts);

// The next stored packet after slot p, up to the newest; nullptr when p is the newest.
const PacketSlot* next_stored(const Run& r, int p);

// Polls for the stream's first packet: placed by the intake's re-base and stored. Returns its
// position, or -1 when `stop` ends the run.
int wait_first_packet(const Run& r);

// Datagrams in the ring beyond the sender's slot, as flow control counts them.
uint32_t backlog(const Run& r);

// Nothing to send: the newest packet waits until a newer one has arrived; the 21st such wait in
// a row asks the upstream again.
Flow idle_wait(Run& r, int send_pos, int curpos);

// The stream's current stamp span from the slot to the newest, for the statistics line.
void take_bufsize(Run& r, const PacketSlot& slot);

// --- The one output path (sender_output.cpp). ---

// What one write to the consumer came to, as write() reports it.
struct Written {
    ssize_t written;
    int err;
};

void log_send_error(const Run& r, int send_pos, ssize_t written, int err);

// Writes n bytes of buf to the consumer (every player, or `out_fd`) and counts the bytes sent.
Written write_out(const Run& r, const unsigned char* buf, int n, int send_pos, int64_t now_us);

// Puts slot sp out: as one datagram, or into the HTTP batch, which is written first when the
// slot would overflow it. False when the player has gone.
bool put_out(Run& r, int sp, int64_t now_us);

// HTTP mode: writes the whole batch and empties it, as the write of the slot at pos of len
// bytes (its error line names them). False when the player has gone.
bool write_batch(Run& r, int pos, int32_t len, int64_t now_us);

// HTTP mode: writes the batch when one more slot of len bytes would fill it, or when its timer
// has run out. Both do nothing with nothing batched, and in datagram mode.
bool write_if_full(Run& r, int pos, int32_t len, int64_t now_us);
bool write_if_timer_out(Run& r, int pos, int32_t len, int64_t now_us);

// The slot just put out at sp is counted (the statistics and lost-sending lines), the pacer
// steps past it, and the run is running.
void sent(Run& r, int sp);
