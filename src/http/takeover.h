// How a player with a valid path comes to the stream: its client thread hands the connection to
// the event loop, which decides whether it joins the stream being played, takes it over, or was
// superseded by a later player.
//
// Threads: a client thread fills a Handover and pushes it on the context's list with a
// compare-and-swap (release: the record's fields go with it); the event loop takes the whole
// list with one exchange (acquire) and owns the records and their connections from then on. The
// loop numbers connections in the order it accepts them, and that number is the newcomer's
// ticket: which player is the latest depends on the order of the accepts, never on the order in
// which the client threads happen to run. `client_ticket` is the loop's alone now.
#pragma once

#include <cstdint>

#include "http/request_path.h"
#include "intake/protocol.h"

struct RelayContext;

// A player's connection on its way from its client thread to the event loop.
struct Handover {
    Handover* next = nullptr;  // the list's
    int conn = -1;
    uint32_t ticket = 0;  // accept order
    StreamPath path;
    // The stream request: type word 2, the url from offset 4.
    alignas(4) char request[kClientRequestBytes] = {};
};

// Client thread: hands h (and its connection) to the event loop and wakes it.
void handover_post(RelayContext* ctx, Handover* h);

// Event loop: every record posted since the last call, in accept order (oldest first).
Handover* handover_take_all(RelayContext* ctx);

// Whether two paths name the same stream: the same upstream address, port and stream name.
bool same_stream(const StreamPath& a, const StreamPath& b);

// Enters this newcomer's accept number as the latest take-over ticket. False when a connection
// accepted later has taken the stream over already: this one is superseded.
bool takeover_ticket(RelayContext* ctx, uint32_t accept_order);

// What the stream a newcomer meets looks like to the event loop.
struct StreamView {
    int max_players = 1;  // -n
    bool live = false;    // a stream is being set up or played, and is not ending
    bool same = false;    // the newcomer names that stream
    int watching = 0;     // its players
};

enum class PlayerAction {
    Join,        // plays the running stream from the sender's position; the upstream hears nothing
    JoinAtCap,   // the same, and the player that joined first is closed
    TakeOver,    // every current player is closed, the upstream stopped, a new stream asked for
    Superseded,  // a later player has taken the stream over already: closed, nothing touched
};

// The decision for a newcomer. latest: it holds the latest take-over ticket (takeover_ticket
// said yes; only asked when the newcomer does not join).
PlayerAction player_action(const StreamView& v, bool latest);

// Whether a newcomer joins (needs no take-over ticket): several players allowed, the stream
// live, and the newcomer names it.
bool joins(const StreamView& v);

// The player that joined first, among n whose join numbers are given (wrap-safe against next,
// the number the next one would get); -1 when n is 0.
int earliest_player(const uint32_t* join_order, int n, uint32_t next);
