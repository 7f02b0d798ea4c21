// The playout-latency mode's timing rules, free of clocks, sleeps and descriptors.
#include "buffer/playout.h"

namespace {

PlayDecision wait_or(PlayAction due_action, int64_t now, int64_t due, int64_t longest) {
    if (now >= due)
        return PlayDecision{due_action, 0};
    const int64_t left = due - now;
    return PlayDecision{PLAY_WAIT, left < longest ? left : longest};
}

}  // namespace

PlayDecision playout_packet(int64_t now, int64_t due) {
    return wait_or(PLAY_SEND, now, due, kPlayMaxSleepUs);
}

PlayDecision playout_missing(int64_t now, int64_t due) {
    return wait_or(PLAY_GIVE_UP, now, due, kMissingPollUs);
}

int64_t interpolate_ts(uint32_t a, int64_t ta, uint32_t b, int64_t tb, uint32_t q) {
    const uint32_t span = b - a;
    if (span == 0)
        return tb;
    return ta + (tb - ta) * static_cast<int64_t>(q - a) / static_cast<int64_t>(span);
}
