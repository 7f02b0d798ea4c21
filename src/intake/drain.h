// The event loop's reading of the upstream socket into the ring.
#pragma once

#include <sys/types.h>

#include "buffer/packet_ring.h"

struct Intake;

// Reads every datagram queued on `isock` and handles each (data into the ring, echoes into the
// round-trip estimate). Runs on the event loop when `isock` is readable and a ring exists.
void intake_drain(Intake* in);

// Handles one arrival of n bytes, read into *arrival, for the ring. Returns true when it ends
// the drain (an echo or a foreign datagram).
bool intake_handle(Intake* in, PacketRing* ring, PacketSlot* arrival, ssize_t n);

// Clears the per-stream statistics; the event loop calls it at the end of every HTTP-mode pass
// without an upstream socket.
void intake_reset_stats(Intake* in);
