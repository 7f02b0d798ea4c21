// The timing rules of the playout-latency mode's loss recovery.
#include "intake/recovery.h"

#include <cmath>

RttEstimate rtt_smooth(RttEstimate e, int64_t sample_us) {
    if (sample_us < 0)
        return e;  // a wall-clock step, not a round trip
    if (e.srtt == 0)
        return RttEstimate{sample_us > 0 ? sample_us : 1, sample_us / 2};
    const int64_t diff = e.srtt > sample_us ? e.srtt - sample_us : sample_us - e.srtt;
    e.rttvar += (diff - e.rttvar) / 4;
    e.srtt += (sample_us - e.srtt) / 8;
    if (e.srtt < 1)
        e.srtt = 1;
    return e;
}

RttEstimate rtt_or_initial(RttEstimate e, int64_t initial_us) {
    if (e.srtt != 0)
        return e;
    return RttEstimate{initial_us, initial_us / 2};
}

int64_t answer_time_us(RttEstimate e) {
    const int64_t var = e.rttvar > kMinRttVarUs ? e.rttvar : kMinRttVarUs;
    int64_t spread = 4 * var;
    if (spread > e.srtt)
        spread = e.srtt > 4 * kMinRttVarUs ? e.srtt : 4 * kMinRttVarUs;
    return e.srtt + spread + kAnswerMarginUs;
}

int copies_for_round(double loss, int prior, int rounds_left) {
    if (rounds_left > 1)
        return 1;  // a later round may still carry what this one did not
    if (loss <= 0)
        return 2;
    const double q = 1 - (1 - loss) * (1 - loss);
    if (q >= 1)
        return kMaxCopies;
    const int need = static_cast<int>(std::ceil(std::log(kGapResidual) / std::log(q))) - prior;
    // What earlier rounds cost (one copy each, the i-th reached with q^i), and the chance that
    // this one is reached at all: later copies are cheap because few gaps get that far.
    double spent = 0;
    double reach = 1;
    for (int i = 0; i < prior; ++i) {
        spent += reach;
        reach *= q;
    }
    const double room = (kCopyBudget - spent) / reach;
    const int cap = room < 2 ? 2 : room > kMaxCopies ? kMaxCopies : static_cast<int>(room);
    return need < 2 ? 2 : need > cap ? cap : need;
}

AskDecision decide_ask(const MissingState& m, int64_t now, int64_t due, RttEstimate rtt,
                       double loss) {
    const AskDecision never{ASK_NEVER, 0, false, 0};
    const int64_t answer = answer_time_us(rtt);
    // A copy asked for at t comes back about srtt later; later than due it is of no use.
    const int64_t last_useful = due - rtt.srtt;
    if (now > last_useful)
        return never;
    if (m.copies_due > 0) {
        // The rest of a round: its copies go out kCopyGapUs apart while they can be of use.
        const int64_t at = m.last_ask + kCopyGapUs;
        if (at > last_useful)
            return never;
        if (now < at)
            return AskDecision{ASK_WAIT, at, false, 0};
        const int left = m.copies_due - 1;
        return AskDecision{ASK_NOW, left > 0 ? now + kCopyGapUs : now + answer, m.last_sent, left};
    }
    if (m.last_sent)
        return never;
    int64_t at = m.asks == 0 ? m.since + kReorderAllowanceUs : m.last_ask + answer;
    if (m.asks > 0 && at > last_useful) {
        // The estimate grew after the last request, so its regular repeat would come too
        // late: the last chance goes out instead, its copies ending at the last useful moment.
        const int copies = copies_for_round(loss, m.asks, 1);
        at = last_useful - (copies - 1) * kCopyGapUs;
        if (at < m.last_ask + kCopyGapUs)
            at = m.last_ask + kCopyGapUs;
    }
    if (at > last_useful)
        return never;
    if (now < at)
        return AskDecision{ASK_WAIT, at, false, 0};
    const int rounds_left = 1 + static_cast<int>((last_useful - now) / answer);
    const int copies = copies_for_round(loss, m.asks, rounds_left);
    const bool last = rounds_left == 1;
    return AskDecision{ASK_NOW, copies > 1 ? now + kCopyGapUs : now + answer, last, copies - 1};
}

void note_ask(MissingState* m, int64_t now, const AskDecision& d) {
    ++m->asks;
    m->last_ask = now;
    m->copies_due = d.copies_due;
    m->last_sent = m->last_sent || d.last_chance;
}

uint32_t overdue_count(int64_t now, int64_t newest_expected, int64_t interval_us,
                       int64_t allowance_us) {
    if (interval_us <= 0)
        return 0;
    const int64_t late = now - newest_expected - allowance_us;
    return late < interval_us ? 0 : static_cast<uint32_t>(late / interval_us);
}

int64_t overdue_allowance_us(int64_t jitter_us, int64_t late_peak_us) {
    const int64_t spread = 4 * jitter_us > late_peak_us ? 4 * jitter_us : late_peak_us;
    return kReorderAllowanceUs + spread;
}

int64_t late_peak_follow(int64_t peak_us, int64_t lateness_us, int64_t dt_us) {
    const int64_t dt = dt_us < 0 ? 0 : dt_us > kLatePeakFadeUs ? kLatePeakFadeUs : dt_us;
    const int64_t decayed = peak_us - peak_us * dt / kLatePeakFadeUs;
    return lateness_us > decayed ? lateness_us : decayed;
}

int64_t transit_follow(int64_t base_us, int64_t transit_us) {
    if (transit_us <= base_us)
        return transit_us;
    return base_us + (transit_us - base_us) / 64;
}

int64_t jitter_smooth(int64_t jitter_us, int64_t transit_change_us) {
    const int64_t d = transit_change_us < 0 ? -transit_change_us : transit_change_us;
    return jitter_us + (d - jitter_us) / 16;
}

void loss_window_note(LossWindow* w, int64_t now, uint32_t span, uint32_t skipped) {
    const int64_t start = now - now % kLossBucketUs;
    const int i = static_cast<int>((now / kLossBucketUs) % kLossBuckets);
    if (w->bucket_start[i] != start) {
        w->bucket_start[i] = start;
        w->span[i] = 0;
        w->skipped[i] = 0;
    }
    w->span[i] += span;
    w->skipped[i] += skipped;
}

double loss_window_rate(const LossWindow& w, int64_t now, uint32_t min_span) {
    uint64_t span = 0;
    uint64_t skipped = 0;
    for (int i = 0; i < kLossBuckets; ++i) {
        if (now - w.bucket_start[i] >= kLossBuckets * kLossBucketUs)
            continue;  // a bucket of older seconds
        span += w.span[i];
        skipped += w.skipped[i];
    }
    if (span < min_span || span == 0)
        return -1;
    return static_cast<double>(skipped) / static_cast<double>(span);
}

int32_t latency_that_fits(int32_t latency_us, uint32_t datagrams, int64_t span_us) {
    if (datagrams == 0 || span_us <= 0)
        return latency_us;
    const int64_t fits = static_cast<int64_t>(kLatencyRingSlots) * span_us / datagrams;
    if (fits < 1000)
        return 1000;  // a stream this fast gets the shortest latency there is
    return fits < latency_us ? static_cast<int32_t>(fits) : latency_us;
}
