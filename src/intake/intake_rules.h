// The intake's per-datagram decisions as pure functions of the values they depend on.
#pragma once

#include <cstdint>

#include "core/timespec.h"

constexpr uint32_t kRttMin = 30000000;          // ns: the estimate never goes below 30 ms
constexpr uint32_t kRttMax = 300000000;         // ns: nor above 300 ms
constexpr uint32_t kRerequestSlack = 30000000;  // ns added to rtt before doubling
constexpr uint32_t kKeepaliveEverySec = 10;     // stream seconds between keepalives
constexpr uint32_t kStatsEverySec = 60;         // stream seconds between statistics lines

// The round-trip estimate from d = now - echoed stamp: any whole second or more of delay gives
// the ceiling; otherwise the (signed) nanoseconds clamped to 30..300 ms.
uint32_t rtt_from_round_trip(Timespec32 d);

enum SecondAction {
    SECOND_NOTHING,
    SECOND_KEEPALIVE,
    SECOND_STATS_AND_KEEPALIVE,
};

// What a data datagram stamped in second t_sec does when the previous one was stamped in
// last_sec: only a change of second counts, and only when the second left behind is a multiple
// of ten (of sixty for the statistics line).
SecondAction on_timestamp_second(uint32_t last_sec, uint32_t t_sec);

// Sequence numbers that datagram s skips over after prev_curseq (unsigned arithmetic; 0 when it
// does not skip).
uint32_t skipped_before(uint32_t prev_curseq, uint32_t s);

// Percentage of the numbers the newest packet advanced over since stats_base that were skipped,
// in single precision. 0 before the first line (stats_base 0) and when nothing advanced.
float loss_rate(int lost, uint32_t curseq, uint32_t stats_base);

// True when storing datagram seq would overwrite a slot the sender has not played yet: it would
// become the newest by a step of less than a whole ring and yet be a whole ring or more ahead of
// the sender's packet send_seq; or it jumps a whole ring or more ahead (an upstream far ahead, or
// one that renumbered) while the sender still has a backlog (sender_behind). Once the sender has
// caught up, such a jump is taken as the stream's new numbering.
bool would_overrun_sender(uint32_t seq, uint32_t curseq, uint32_t send_seq, uint32_t nslots,
                          bool sender_behind);

// How far past a held jump the datagram that confirms it may be numbered: a stream that lost a
// few datagrams right after renumbering still confirms.
constexpr uint32_t kJumpConfirmSpan = 64;

enum JumpVerdict {
    JUMP_NONE,       // not a jump of a whole ring: stored as usual
    JUMP_HOLD,       // a jump nothing confirms yet: held back, not stored
    JUMP_CONFIRMED,  // the held jump is the stream's new numbering: store it, then this one
};

// A datagram numbered seq, stamped ts, while a stream plays (playing) and the ring's newest is
// curseq. A step of a whole ring or more ahead would turn the ring into placeholders and leave
// the stream's next datagrams behind its window, so it is taken only when a later datagram
// continues its numbering (at most kJumpConfirmSpan further) with a valid stamp within a second
// of its own. A flood of copies of one stray datagram, or of random numbers, never does; a real
// renumbering does with its next datagram. held says whether a jump is held, numbered held_seq
// and stamped held_ts.
JumpVerdict far_jump_verdict(bool playing, uint32_t curseq, uint32_t nslots, uint32_t seq,
                             Timespec32 ts, bool held, uint32_t held_seq, Timespec32 held_ts);

// True when a placeholder last asked for at lostreq (seconds 0 = never) was asked for within
// the re-request interval 2 * (rtt + 30 ms) before now.
bool asked_too_recently(Timespec32 now, Timespec32 lostreq, uint32_t rtt);
