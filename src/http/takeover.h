// How the latest valid client takes the stream over from the one that holds it.
//
// Threads: the event loop numbers connections in the order it accepts them, and that number is the
// newcomer's ticket. A newcomer with a valid path raises `client_ticket` to its own number unless a
// later connection has already done so: which client is the latest depends on the order of the
// accepts, never on the order in which the client threads happen to run. Only the newest ticket may
// go on, and it claims the free stream with a compare-and-swap of `stop` from 2 to 3, so two
// newcomers can never both become the holder. The holder publishes its connection in `holder_conn`;
// a newcomer that has waited half a second takes it (exchange to -1), shuts it down so that the
// holder's blocked write fails, and stores -2. The holder takes its connection back with an
// exchange before closing it and, if a newcomer has it, waits for the -2: a connection number is
// never shut down after it has been closed and perhaps reused.
#pragma once

#include <cstdint>

struct RelayContext;

enum class TakeoverResult { Claimed, Superseded, PlayerLeft };

// Enters this newcomer's accept number as the latest ticket (call once its path is valid).
// False when a connection accepted later has entered its own already: this one is superseded
// and has touched nothing shared.
bool takeover_ticket(RelayContext* ctx, uint32_t accept_order);

// Asks a holder to stop and waits until the stream is free, then claims it (stop = 3).
// Superseded: a later newcomer exists; the holder may have been asked to stop, which the later
// newcomer asks as well, but nothing else was touched. PlayerLeft: the newcomer's own
// connection conn closed while waiting.
TakeoverResult takeover_claim(RelayContext* ctx, uint32_t ticket, int conn);

// Shuts the holder's connection down so that its blocked write fails (no-op without a holder).
void takeover_force_holder_off(RelayContext* ctx);

// After a claim: the newest ticket still ours? If not, the claim is given back (stop = 2).
bool takeover_still_latest(RelayContext* ctx, uint32_t ticket);

// The holder's side.
void holder_publish(RelayContext* ctx, int conn);
void holder_withdraw(RelayContext* ctx, int conn);  // before closing conn

// True when the peer of conn has closed or reset it (checked without blocking beyond wait_ms).
bool player_left(int conn, int wait_ms);
