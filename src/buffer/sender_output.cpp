// The sender's one output path, whichever pacer chose the moment: a slot goes out as one
// datagram or into the HTTP batch, the batch is written to the players (or `out_fd`), and every
// slot that went out is counted once, in `sent`.
//
// Threads: the sender thread's alone, apart from `out_fd` (written by the loop before it starts
// the sender) and the players' slots, which change hands as core/players.h describes.
#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "buffer/fanout.h"
#include "buffer/sender_run.h"
#include "core/log.h"

namespace {

// Logs a send or write whose result is not len. Returns false when the client has gone.
bool check_written(const Run& r, int send_pos, ssize_t written, int err, int32_t len) {
    if (written == len)
        return true;
    log_send_error(r, send_pos, written, err);
    return !(r.mode == MODE_HTTP && err == EPIPE);
}

// Datagram mode: sends slot send_pos as one datagram. Its errors never end the run.
void send_datagram(Run& r, int send_pos) {
    const PacketSlot& slot = slot_at(r, send_pos);
    const int32_t len = slot_send_len(slot);
    errno = 0;
    const ssize_t written =
        send(r.ctx->out_fd.load(std::memory_order_acquire), slot.payload, len, MSG_DONTWAIT);
    const int err = errno;
    if (written > 0)
        r.ctx->stats.bytes_sent.add(static_cast<uint64_t>(written));
    check_written(r, send_pos, written, err, len);
}

}  // namespace

void log_send_error(const Run& r, int send_pos, ssize_t written, int err) {
    relay_log_as(kCauseOutputRefused,
                 "!! Send error, send_pos=%d, curpos = %d, written=%d, error: %s !!!!\n", send_pos,
                 load_curpos(r), static_cast<int>(written), strerror(err));
}

// Writes to every player (see buffer/fanout.h) or, in a run without a player table, `out_fd`.
// With several players a player that failed is logged here and the write reported whole: the
// run goes on without it.
Written write_out(const Run& r, const unsigned char* buf, int n, int send_pos, int64_t now_us) {
    if (r.players == nullptr) {
        errno = 0;
        const ssize_t written =
            write(r.ctx->out_fd.load(std::memory_order_acquire), buf, static_cast<size_t>(n));
        const int err = errno;
        if (written > 0)
            r.ctx->stats.bytes_sent.add(static_cast<uint64_t>(written));
        return {written, err};
    }
    const FanoutResult f = fanout_write(r.players, buf, n, now_us, &r.ctx->stats);
    if (f.handed_back)
        relay_wake(r.ctx);
    if (f.fault)
        log_send_error(r, send_pos, f.fault_written, f.fault_err);
    return {f.written, f.err};
}

// The batch is emptied whatever the result: bytes a player could not take are not retried.
bool write_batch(Run& r, int pos, int32_t len, int64_t now_us) {
    const int size = r.fill;
    const Written w = write_out(r, r.batch, size, pos, now_us);
    r.last_write_us = now_us;
    r.fill = 0;
    if (w.written == size)
        return true;
    return check_written(r, pos, w.written, w.err, len);
}

bool put_out(Run& r, int sp, int64_t now_us) {
    if (r.mode != MODE_HTTP) {
        send_datagram(r, sp);
        return true;
    }
    const PacketSlot& slot = slot_at(r, sp);
    const int32_t len = slot_send_len(slot);
    if (batch_overflows(r.fill, len) && !write_batch(r, sp, len, now_us))
        return false;
    std::memcpy(r.batch + r.fill, slot.payload, len);
    r.fill += len;
    return true;
}

bool write_if_full(Run& r, int pos, int32_t len, int64_t now_us) {
    if (r.fill == 0 || !batch_full(r.fill, len))
        return true;
    return write_batch(r, pos, len, now_us);
}

bool write_if_timer_out(Run& r, int pos, int32_t len, int64_t now_us) {
    if (r.fill == 0 || !batch_write_due(r.fill, 0, now_us, r.last_write_us))
        return true;
    return write_batch(r, pos, len, now_us);
}

void sent(Run& r, int sp) {
    sender_bookkeep(&r.stats, slot_at(r, sp), load_curpos(r), sp, r.bufsize);
    r.pacer->step_past(r, sp);
    r.prevpos = sp;
    r.phase = SENDER_RUNNING;
    r.idle_waits = 0;
}
