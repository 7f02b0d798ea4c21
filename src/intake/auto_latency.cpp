// The rules of the latency that picks itself.
#include "intake/auto_latency.h"

namespace {

// Chance that one copy's try fails: its request or the copy is lost.
double try_fails(double loss) {
    return 1 - (1 - loss) * (1 - loss);
}

double power(double q, int n) {
    double r = 1;
    for (int i = 0; i < n; ++i)
        r *= q;
    return r;
}

}  // namespace

int rounds_needed(double loss) {
    if (loss <= 0)
        return 1;
    const double q = try_fails(loss);
    // Copies of each round but the last are one; the last sends copies_for_round of them.
    for (int rounds = 1; rounds < 4; ++rounds) {
        const int copies = rounds - 1 + copies_for_round(loss, rounds - 1, 1);
        if (loss * power(q, copies) <= kAutoResidual)
            return rounds;
    }
    return 4;
}

int32_t auto_latency_target(RttEstimate rtt, double loss, int64_t bump_us) {
    const int rounds = rounds_needed(loss);
    const int last_copies = copies_for_round(loss, rounds - 1, 1);
    // Each round waits its answer time (round trip, its spread, margin); the last one's copies
    // go out kCopyGapUs apart and the last of them still has a round trip and its spread.
    const int64_t t =
        kAutoSeeUs + rounds * answer_time_us(rtt) + (last_copies - 1) * kCopyGapUs + bump_us;
    return static_cast<int32_t>(t < kAutoMinUs ? kAutoMinUs : t);
}

int32_t auto_latency_step(int32_t current, int32_t target, bool playing) {
    if (!playing)
        return target;
    if (target > current)
        return target - current > kAutoGrowStepUs ? current + kAutoGrowStepUs : target;
    // Shrink only past a margin, so that a target wavering with each measurement does not
    // keep the play-out speeding up and slowing down.
    if (target >= current - current / 20)
        return current;
    return current - kAutoShrinkStepUs;
}

int64_t auto_bump_raise(int64_t bump_us, uint32_t given_up, int64_t srtt) {
    const int64_t each = srtt / 4 > kAutoBumpMinUs ? srtt / 4 : kAutoBumpMinUs;
    const int64_t cap = srtt + 50000;
    const int64_t raised = bump_us + each * given_up;
    return raised < cap ? raised : cap;
}

int64_t auto_bump_fade(int64_t bump_us, int64_t clean_us) {
    if (clean_us < kAutoCleanUs || bump_us <= 0)
        return bump_us;
    const int64_t fade = 1000 * kAutoStepEveryUs / 1000000;  // 1 ms a second
    return bump_us > fade ? bump_us - fade : 0;
}
