// Writing one stretch of the HTTP stream to every player. With one player (-n 1) the write
// blocks until the player has taken it, as it always has; with more, no player is waited for:
// what a connection cannot take at once waits in the player's own buffer, and a player that
// takes nothing for too long, or whose waiting bytes no longer fit, is handed back to the event
// loop to be closed (see core/players.h for the bounds).
#pragma once

#include <cstdint>

struct PlayerTable;
struct Stats;

struct FanoutResult {
    int live = 0;  // players still taking the stream after the round
    // With one player, write()'s result and its errno; with more, len and 0, and the first
    // player that failed (left) in `fault_*`, for the log.
    int written = 0;
    int err = 0;
    bool fault = false;
    int fault_written = 0;
    int fault_err = 0;
    bool handed_back = false;  // a connection went back to the loop: wake it
};

// Writes len bytes of buf to every player; counts what each took in its own and in the daemon's
// bytes sent. now_us is the monotonic clock reading the slow-player bound is measured with.
FanoutResult fanout_write(PlayerTable* table, const unsigned char* buf, int len, int64_t now_us,
                          Stats* stats);

// Several players: whether a player is given up after its part of a round. overflow is what of
// the round found no room among its waiting bytes; moving_since_us when it was last seen taking
// bytes, or with none waiting for it.
bool slow_player(int overflow, int64_t moving_since_us, int64_t now_us);
