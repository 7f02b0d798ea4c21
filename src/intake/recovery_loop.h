// The playout-latency mode's recovery on the event loop: stamping gaps as they appear, asking
// for them by time, keepalives once a second, the minute's recovery line and the latency cut.
// Everything runs on the event loop's thread and only when loop->recovery.latency_us is set.
#pragma once

#include <cstdint>

#include "buffer/packet_ring.h"

struct EventLoop;

// A stream starts with datagram `first`, arrived at now: it is due at now + latency. Publishes
// the arrival for the sender; the caller's release store then hands the stream over.
void recovery_on_stream_start(EventLoop* loop, const PacketSlot* first, int64_t now);

// Before datagram s is stored. False for a second copy of a datagram already held (not stored
// again); counts copies that fill an asked-for gap as in time or late.
bool recovery_before_store(EventLoop* loop, const PacketRing* ring, uint32_t s);

// After datagram s was stored as the ring's newest (prev_newest was the newest before it):
// stamps the numbers it skipped as gaps, follows jumps and restarts, and measures the rate.
void recovery_after_newest(EventLoop* loop, PacketRing* ring, uint32_t prev_newest, uint32_t s,
                           int64_t now);

// Once per pass and after each drain: keepalive, requests that have come due, minute line.
void recovery_tick(EventLoop* loop);

// How long the loop may wait for its sockets, at most longest_ms: less when a request comes due
// sooner, so that repeats and overdue datagrams are asked for while the upstream is silent.
int recovery_wait_ms(const EventLoop* loop, int longest_ms);

// On the way out: the recovery line of the part of the minute that has run, so that a run
// shorter than a minute still says what was asked for and recovered.
void recovery_final_line(EventLoop* loop);

// A keepalive echo: d is the round trip measured on the wall clock.
void recovery_echo(EventLoop* loop, Timespec32 d);
