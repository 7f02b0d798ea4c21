// Clock reads, the signed subtraction and the short sleep used for pacing and timing.
#include "core/timespec.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

int timespec_now(Timespec32* ts) {
    struct timeval tv;
    int r = gettimeofday(&tv, nullptr);
    if (r != 0)
        return r;
    ts->tv_sec = static_cast<int32_t>(tv.tv_sec);
    ts->tv_nsec = static_cast<int32_t>(tv.tv_usec * 1000);
    return 0;
}

int timespec_monotonic(Timespec32* ts) {
    struct timespec now;
    int r = clock_gettime(CLOCK_MONOTONIC, &now);
    if (r != 0)
        return r;
    ts->tv_sec = static_cast<int32_t>(now.tv_sec);
    ts->tv_nsec = static_cast<int32_t>(now.tv_nsec);
    return 0;
}

void timespec_fulsub(Timespec32* a, const Timespec32* b) {
    constexpr int32_t kBillion = 1000000000;
    const bool a_neg = timespec_negative(*a);
    const bool b_neg = timespec_negative(*b);
    // Differences of in-range fields cannot overflow 32 bits except for absurd seconds; do the
    // arithmetic in 64 bits and store the low words, as the 32-bit target would.
    int64_t sec = static_cast<int64_t>(a->tv_sec) - b->tv_sec;
    int64_t nsec = static_cast<int64_t>(a->tv_nsec) - b->tv_nsec;
    if (!a_neg && b_neg) {
        if (nsec >= kBillion) {
            nsec -= kBillion;
            sec += 1;
        }
    } else if (a_neg && !b_neg) {
        // The sum of the magnitudes, carried, with both fields negated.
        if (nsec <= -kBillion) {
            nsec += kBillion;
            sec -= 1;
        }
    } else if (sec > 0 && nsec < 0) {
        nsec += kBillion;
        sec -= 1;
    }
    a->tv_sec = static_cast<int32_t>(static_cast<uint32_t>(sec));
    a->tv_nsec = static_cast<int32_t>(static_cast<uint32_t>(nsec));
}

int32_t timespec_sleep_us(const Timespec32* ts) {
    int32_t us = ts->tv_nsec / 1000;
    return us < 100 ? 100 : us;
}

int64_t monotonic_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

int64_t monotonic_ms() {
    return monotonic_us() / 1000;
}
