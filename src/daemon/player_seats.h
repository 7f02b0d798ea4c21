// The players' seats in the HTTP stream's life (see daemon/stream_life.h): the event loop's
// side of core/players.h. Everything here runs on the event loop's thread.
#pragma once

struct EventLoop;
struct Handover;
struct PlayerSlot;

// The end every player's connection has had since the first one: "Freeing", then "Exiting".
void close_player(int conn);

// A newcomer that a later one superseded: it never got a word.
void drop_silently(Handover* h);

// Writes the stream's response head to a player's connection.
void write_head(EventLoop* loop, int conn);

// Gives h's connection a slot, its head at once when head_now, and hands it to the sender.
// False when no slot or no buffer is left (h is untouched then).
bool seat(EventLoop* loop, const Handover* h, bool head_now);

// Closes a slot's connection once it is the loop's (handed back, or the sender is done).
void unseat(PlayerSlot* slot);

// The first slot in use, or null.
PlayerSlot* first_player(EventLoop* loop);

// Shuts every seated player's connection down (never closes it): a sender blocked writing to
// one returns.
void shut_players(EventLoop* loop);
