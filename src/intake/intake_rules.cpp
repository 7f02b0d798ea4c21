// The intake's pure decisions: round-trip clamp, stream-second schedule, loss counting, overrun.
#include "intake/intake_rules.h"

uint32_t rtt_from_round_trip(Timespec32 d) {
    if (d.tv_sec > 0)
        return kRttMax;
    if (d.tv_nsec > static_cast<int32_t>(kRttMax))
        return kRttMax;
    if (d.tv_nsec < static_cast<int32_t>(kRttMin))
        return kRttMin;
    return static_cast<uint32_t>(d.tv_nsec);
}

SecondAction on_timestamp_second(uint32_t last_sec, uint32_t t_sec) {
    if (t_sec == last_sec || last_sec % kKeepaliveEverySec != 0)
        return SECOND_NOTHING;
    return last_sec % kStatsEverySec == 0 ? SECOND_STATS_AND_KEEPALIVE : SECOND_KEEPALIVE;
}

uint32_t skipped_before(uint32_t prev_curseq, uint32_t s) {
    return prev_curseq < s - 1 ? s - 1 - prev_curseq : 0;
}

float loss_rate(int lost, uint32_t curseq, uint32_t stats_base) {
    if (stats_base == 0)
        return 0.0f;
    const float span = static_cast<float>(curseq) - static_cast<float>(stats_base);
    if (span == 0.0f)
        return 0.0f;
    return static_cast<float>(lost) / span * 100.0f;
}

bool would_overrun_sender(uint32_t seq, uint32_t curseq, uint32_t send_seq, uint32_t nslots,
                          bool sender_behind) {
    const uint32_t ahead = seq - curseq;
    if (ahead >= 1 && ahead < nslots)
        return seq - send_seq >= nslots;
    // A jump clears every slot, the ones still to be played (and the one being read) included.
    return seq > curseq && sender_behind;
}

bool asked_too_recently(Timespec32 now, Timespec32 lostreq, uint32_t rtt) {
    if (lostreq.tv_sec == 0)
        return false;
    Timespec32 e = now;
    timespec_fulsub(&e, &lostreq);
    // Any non-zero seconds, negative ones included (a clock step back), let it through.
    const uint64_t interval = 2 * (static_cast<uint64_t>(rtt) + kRerequestSlack);
    return e.tv_sec == 0 && static_cast<uint32_t>(e.tv_nsec) <= interval;
}

JumpVerdict far_jump_verdict(bool playing, uint32_t curseq, uint32_t nslots, uint32_t seq,
                             Timespec32 ts, bool held, uint32_t held_seq, Timespec32 held_ts) {
    const uint32_t ahead = seq - curseq;
    const uint32_t behind = curseq - seq;
    // The ring's own rule for a jump: newer by a whole ring, and not a late one across a wrap.
    if (!playing || seq <= curseq || ahead < nslots || behind < nslots)
        return JUMP_NONE;
    if (!held || seq - held_seq - 1 >= kJumpConfirmSpan)
        return JUMP_HOLD;
    const auto valid = [](Timespec32 t) { return t.tv_nsec >= 0 && t.tv_nsec < 1000000000; };
    const int64_t apart = (static_cast<int64_t>(ts.tv_sec) - held_ts.tv_sec) * 1000000000 +
                          (static_cast<int64_t>(ts.tv_nsec) - held_ts.tv_nsec);
    if (!valid(ts) || !valid(held_ts) || apart >= 1000000000 || apart <= -1000000000)
        return JUMP_HOLD;
    return JUMP_CONFIRMED;
}
