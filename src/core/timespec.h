// Time values of the stream: 32-bit seconds and nanoseconds, read, subtracted and slept.
#pragma once

#include <cstdint>

// The timestamp layout of the wire and of the ring's slots: two signed 32-bit words, whatever
// the width of the platform's time_t. A value is negative when either field is negative.
struct Timespec32 {
    int32_t tv_sec;
    int32_t tv_nsec;
};
static_assert(sizeof(Timespec32) == 8);

inline bool timespec_negative(const Timespec32& t) {
    return t.tv_sec < 0 || t.tv_nsec < 0;
}

// Wall clock (gettimeofday), nanoseconds = microseconds * 1000. Returns 0, or the clock's
// failure result with ts left unchanged.
int timespec_now(Timespec32* ts);

// Monotonic clock, for anchors and elapsed times that a step of the wall clock must not move.
int timespec_monotonic(Timespec32* ts);

// a = a - b, with exactly one normalisation step chosen by the signs of a and b.
void timespec_fulsub(Timespec32* a, const Timespec32* b);

// Microseconds that timespec_sleep would sleep: nanoseconds / 1000, never below 100.
// The seconds field is ignored.
int32_t timespec_sleep_us(const Timespec32* ts);

void timespec_sleep(const Timespec32* ts);
