// The sender's writes to the players' connections.
#include "buffer/fanout.h"

#include <errno.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/players.h"
#include "core/stats.h"

namespace {

// A non-blocking send of everything it can take. Returns the bytes taken, or -1 when the
// player is gone (*err says why). errno: EINTR is tried again; EAGAIN and EWOULDBLOCK mean the
// connection is full for now; anything else (EPIPE, ECONNRESET, ...) that the player is gone.
int send_what_fits(int fd, const unsigned char* buf, int len, int* err) {
    int sent = 0;
    while (sent < len) {
        const ssize_t n =
            send(fd, buf + sent, static_cast<size_t>(len - sent), MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n > 0) {
            sent += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        *err = n < 0 ? errno : EPIPE;
        return -1;
    }
    return sent;
}

void count(PlayerSlot* slot, Stats* stats, int n) {
    if (n <= 0)
        return;
    slot->bytes.add(static_cast<uint64_t>(n));
    stats->bytes_sent.add(static_cast<uint64_t>(n));
}

// Before a round: whether the player took bytes since the last look. The connection's queue
// holds what it was given and has not taken (for TCP, what the player's side has not
// acknowledged); a player with nothing waiting for it counts as moving.
void look_at(PlayerSlot* slot, int fd, int64_t now_us) {
    int queued = 0;
    if (ioctl(fd, SIOCOUTQ, &queued) != 0 || queued < 0)
        queued = 0;
    const uint64_t taken = slot->bytes.load() - static_cast<uint64_t>(queued);
    if (taken != slot->taken || (queued == 0 && slot->pending_len == 0)) {
        slot->taken = taken;
        slot->moving_since_us = now_us;
    }
}

// Keeps len bytes for later behind those already waiting. Returns the bytes that found no room.
int keep(PlayerSlot* slot, const unsigned char* buf, int len) {
    if (slot->pending_len == 0)
        slot->pending_off = 0;
    if (slot->pending_off + slot->pending_len + len > kPendingBytes) {
        std::memmove(slot->pending, slot->pending + slot->pending_off,
                     static_cast<size_t>(slot->pending_len));
        slot->pending_off = 0;
    }
    const int room = kPendingBytes - slot->pending_len;
    const int kept = len < room ? len : room;
    std::memcpy(slot->pending + slot->pending_off + slot->pending_len, buf,
                static_cast<size_t>(kept));
    slot->pending_len += kept;
    return len - kept;
}

// One player's part of a round with several players. False when it is gone (*err set) or too
// slow (*slow set).
bool write_shared(PlayerSlot* slot, const unsigned char* buf, int len, int64_t now_us, Stats* stats,
                  int* err, bool* slow) {
    const int fd = slot->fd.load(std::memory_order_relaxed);
    look_at(slot, fd, now_us);
    if (slot->pending_len > 0) {
        const int n = send_what_fits(fd, slot->pending + slot->pending_off, slot->pending_len, err);
        if (n < 0)
            return false;
        count(slot, stats, n);
        slot->pending_off += n;
        slot->pending_len -= n;
    }
    int taken = 0;
    if (slot->pending_len == 0) {
        taken = send_what_fits(fd, buf, len, err);
        if (taken < 0)
            return false;
        count(slot, stats, taken);
    }
    const int overflow = taken < len ? keep(slot, buf + taken, len - taken) : 0;
    *slow = slow_player(overflow, slot->moving_since_us, now_us);
    return !*slow;
}

// The lone player's write: blocking, as the stream was always written to one player.
void write_lone(PlayerSlot* slot, const unsigned char* buf, int len, Stats* stats,
                FanoutResult* r) {
    errno = 0;
    const ssize_t n =
        write(slot->fd.load(std::memory_order_relaxed), buf, static_cast<size_t>(len));
    r->err = errno;
    r->written = static_cast<int>(n);
    count(slot, stats, static_cast<int>(n));
    const bool gone = n != len && r->err == EPIPE;
    r->handed_back = player_put(slot, gone, END_LEFT);
}

}  // namespace

bool slow_player(int overflow, int64_t moving_since_us, int64_t now_us) {
    return overflow > 0 || now_us - moving_since_us >= kSlowPlayerUs;
}

FanoutResult fanout_write(PlayerTable* table, const unsigned char* buf, int len, int64_t now_us,
                          Stats* stats) {
    FanoutResult r;
    const bool lone = table->max_players == 1;
    if (lone) {
        // Without a player to write to the write fails as a write to a closed connection does.
        r.written = -1;
        r.err = EPIPE;
    } else {
        r.written = len;
    }
    for (PlayerSlot& slot : table->slots) {
        if (!player_take(&slot))
            continue;
        if (lone) {
            write_lone(&slot, buf, len, stats, &r);
            break;
        }
        int err = 0;
        bool slow = false;
        if (write_shared(&slot, buf, len, now_us, stats, &err, &slow)) {
            r.handed_back |= player_put(&slot, false, END_LEFT);
            continue;
        }
        if (!slow && !r.fault) {
            r.fault = true;
            r.fault_written = -1;
            r.fault_err = err;
        }
        player_put(&slot, true, slow ? END_SLOW : END_LEFT);
        r.handed_back = true;
    }
    r.live = players_live(table);
    return r;
}
