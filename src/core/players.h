// The players of the HTTP stream: their connections, which the event loop owns and the sender
// writes the stream to, and what the status page shows of them.
//
// Threads: the event loop alone fills a slot, closes its connection and frees it; the sender
// writes to the connection; the status page reads the record and the byte count. A slot's
// `state` word says whose the connection is, and it is the one way a descriptor passes between
// threads: nobody waits for anybody, and a connection is closed by the loop alone, once no
// other thread can use it.
//   FREE -> IDLE            the loop, after filling the slot (release: fd, pending, record)
//   IDLE -> WRITING         the sender, to write (acquire: sees what the loop filled in)
//   WRITING -> IDLE         the sender, after its write (release: its pending bytes)
//   IDLE -> HANDED_BACK     the loop, taking the connection back while nobody writes to it
//   WRITING -> RECALLED     the loop, taking it back during a write ...
//   RECALLED -> HANDED_BACK ... and the sender, once that write has returned
//   WRITING -> HANDED_BACK  the sender, giving up a player that left or cannot keep up (`end`)
//   HANDED_BACK -> FREE     the loop, after closing the connection (it looks every pass, and the
//                           sender wakes it when it hands one back)
// The fields below `state` belong to whoever the word names: the loop while FREE or HANDED_BACK,
// the sender while WRITING. The loop may shut a connection down (never close it) in any state.
#pragma once

#include <atomic>
#include <cstdint>

#include "core/stats.h"

constexpr int kMaxPlayers = 64;                // -n at most
constexpr int kPlayerSlots = kMaxPlayers + 8;  // room for connections not yet handed back
// Several players: what a player's connection may hold back before it is cut. Its socket
// buffer is set to kPlayerSndbuf (the system doubles it) and kPendingBytes more wait in the
// relay; a player that takes no byte for kSlowPlayerUs while bytes wait for it, or whose
// waiting bytes no longer fit, is closed. Two seconds ride out a player's ordinary hiccups (a
// seek, a burst of radio retries), and a live stream cannot wait longer for anyone; the buffers
// keep a player under a megabyte.
constexpr int kPlayerSndbuf = 256 * 1024;
constexpr int kPendingBytes = 256 * 1024;
constexpr int64_t kSlowPlayerUs = 2000000;

enum PlayerState : int {
    PLAYER_FREE = 0,
    PLAYER_IDLE = 1,
    PLAYER_WRITING = 2,
    PLAYER_RECALLED = 3,
    PLAYER_HANDED_BACK = 4,
};

// Why a connection was handed back.
enum PlayerEnd : int { END_RECALLED = 0, END_LEFT = 1, END_SLOW = 2 };

// One player as the status page shows it.
struct PlayerRecord {
    uint32_t active;  // 0: the slot holds nobody
    uint32_t since;   // wall-clock seconds when it joined
    char addr[64];    // its address and port
};

struct PlayerSlot {
    std::atomic<int> state{PLAYER_FREE};
    // Relaxed, both: published and taken over through `state`.
    std::atomic<int> fd{-1};
    std::atomic<int> end{END_RECALLED};
    // Shared mode (-n 2 or more) only: bytes the connection could not take yet, and whether
    // the player takes any.
    unsigned char* pending = nullptr;  // kPendingBytes, allocated by the loop when it joins
    int pending_off = 0;
    int pending_len = 0;
    uint64_t taken = 0;            // bytes the player had taken at the last look
    int64_t moving_since_us = 0;   // monotonic: last seen taking bytes or with none waiting
    WideCounter bytes;             // sender: stream bytes written to this player's connection
    SeqLock<PlayerRecord> record;  // loop: for the status page
    // The loop's own.
    uint32_t join_order = 0;
    bool head_sent = false;
    bool noted = false;  // handed back or left, and seen: closed now or with the stream
};

struct PlayerTable {
    // Set at start-up (-n), read-only afterwards. With one player the sender waits for it with
    // blocking writes and its run ends with it, as a lone player's always has; with more it
    // never waits for any of them.
    int max_players = 1;
    PlayerSlot slots[kPlayerSlots];
};

// --- The sender's side. ---

// Takes the slot's connection for a write. False when there is none to write to.
bool player_take(PlayerSlot* slot);

// Gives the connection back after a write; `gone` hands it to the loop for good with the
// reason `why`. True when it went back to the loop (the caller wakes the loop).
bool player_put(PlayerSlot* slot, bool gone, PlayerEnd why);

// --- The loop's side. ---

// Takes a player's connection back. True when it is the loop's at once (close it now); false
// when the sender is writing to it and will hand it back when done.
bool player_recall(PlayerSlot* slot);

// Slots with a player the sender still writes to: IDLE or WRITING.
int players_live(const PlayerTable* table);
