// The playout-latency mode's sender decisions (-L): every packet goes out a fixed latency after
// it would have arrived on a loss-free link, and a missing one is waited for until its own
// time. Pure functions of clock readings in microseconds, so they are checked without sleeping.
#pragma once

#include <cstdint>

#include "core/timespec.h"

constexpr int64_t kPlayMaxSleepUs = 100000;  // longest sleep before `stop` is looked at again
constexpr int64_t kMissingPollUs = 1000;     // how often a missing packet's slot is looked at
// Before the first packet is out the latency may still be set at once (-L auto): the wait for
// it is cut into steps this short, so that a shorter latency is followed at once.
constexpr int64_t kFirstPacketPollUs = 5000;
constexpr int64_t kTimestampJumpUs = 1000000;
// At the newest packet, nothing newer: how long the next one is waited for in short polls
// before the stream counts as dry (the idle wait of the default pacing, and its restart).
constexpr int64_t kDryAfterUs = 400000;

// Where the pacing is anchored: the packet stamped ts goes out at clock + (ts - anchor ts).
struct PlayAnchor {
    int64_t clock;
    int64_t ts;
};

inline int64_t playout_due(PlayAnchor a, int64_t ts) {
    return a.clock + (ts - a.ts);
}

// A timestamp step of a second or more either way after the previous packet: the stream jumped
// and pacing starts over from this packet, which has already waited its latency in the ring.
inline bool playout_jump(int64_t prev_ts, int64_t ts) {
    return ts - prev_ts >= kTimestampJumpUs || prev_ts - ts >= kTimestampJumpUs;
}

// A stamp whose nanoseconds lie outside a second says nothing about the packet's time.
inline bool stamp_valid(Timespec32 t) {
    return t.tv_nsec >= 0 && t.tv_nsec < 1000000000;
}

// Whether a packet stamped t fits after the packet played by prev_ts: a valid stamp within a
// second of it. One that does not is a jump of the stream's clock when the packet after it
// agrees (stamp_confirms), and a stray stamp otherwise.
inline bool stamp_fits(Timespec32 t, int64_t prev_ts) {
    return stamp_valid(t) && !playout_jump(prev_ts, timespec_us(t));
}

inline bool stamp_confirms(Timespec32 next, int64_t ts) {
    return stamp_valid(next) && !playout_jump(ts, timespec_us(next));
}

// A latency lowered from `old_us` to `new_us` after the anchor was taken moves it earlier.
inline PlayAnchor playout_follow_cut(PlayAnchor a, int32_t old_us, int32_t new_us) {
    return PlayAnchor{a.clock - (old_us - new_us), a.ts};
}

enum PlayAction {
    PLAY_SEND,     // its time has come: put it out
    PLAY_WAIT,     // sleep wait_us and look again
    PLAY_GIVE_UP,  // a missing packet's own time has come without a copy: skip its slot
};

struct PlayDecision {
    PlayAction action;
    int64_t wait_us;
};

// A stored packet due at `due`, looked at at `now`.
PlayDecision playout_packet(int64_t now, int64_t due);

// A missing packet whose own time is `due`: waited for in short polls, so that a copy that
// arrives is played at once, and given up only when that time has come.
PlayDecision playout_missing(int64_t now, int64_t due);

// The sender put out the newest packet and has waited for a newer one since `since`.
inline bool playout_dry(int64_t now, int64_t since) {
    return now - since >= kDryAfterUs;
}

// The first packet after a wait at the newest, due at `due` by the current anchor, seen at now:
// already overdue, it came more than a latency late (the intake then re-anchors its requests
// at it too), and it is played a latency after now; a packet stamped later by the pause keeps
// the anchor.
inline bool playout_resume_reanchors(int64_t now, int64_t due) {
    return now > due;
}

// Estimated timestamp of missing number q between the packets before (seq a, stamped ta) and
// after it (seq b, stamped tb): evenly spaced, as a constant-rate stream is.
int64_t interpolate_ts(uint32_t a, int64_t ta, uint32_t b, int64_t tb, uint32_t q);
