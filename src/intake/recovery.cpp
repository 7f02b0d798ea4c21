// The timing rules of the playout-latency mode's loss recovery.
#include "intake/recovery.h"

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
    return e.srtt + 4 * var + kAnswerMarginUs;
}

AskDecision decide_ask(const MissingState& m, int64_t now, int64_t due, RttEstimate rtt) {
    const int64_t answer = answer_time_us(rtt);
    // A copy asked for at t comes back about srtt later; later than due it is of no use.
    const int64_t last_useful_ask = due - rtt.srtt;
    int64_t at;
    if (m.asks == 0)
        at = m.since + kReorderAllowanceUs;
    else if (m.second_due)
        at = m.last_ask + kLastChanceGapUs;
    else
        at = m.last_ask + answer;
    if (at > last_useful_ask || now > last_useful_ask)
        return AskDecision{ASK_NEVER, 0, false};
    if (now < at)
        return AskDecision{ASK_WAIT, at, false};
    if (m.second_due)
        return AskDecision{ASK_NOW, now + answer, false};
    const bool last = now + answer > last_useful_ask;
    return AskDecision{ASK_NOW, last ? now + kLastChanceGapUs : now + answer, last};
}

void note_ask(MissingState* m, int64_t now, const AskDecision& d) {
    ++m->asks;
    m->last_ask = now;
    m->second_due = d.last_chance;
}

int32_t latency_that_fits(int32_t latency_us, uint32_t datagrams, int64_t span_us) {
    if (datagrams == 0 || span_us <= 0)
        return latency_us;
    const int64_t fits = static_cast<int64_t>(kLatencyRingSlots) * span_us / datagrams;
    if (fits < 1000)
        return 1000;  // a stream this fast gets the shortest latency there is
    return fits < latency_us ? static_cast<int32_t>(fits) : latency_us;
}
