// Time values of the stream (32-bit seconds and nanoseconds: read, subtracted, converted) and
// the monotonic clock every deadline is measured on.
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

// A pause of the nanoseconds field in microseconds, never below 100: the seconds field is
// ignored.
int32_t timespec_sleep_us(const Timespec32* ts);

// A stamp or clock reading in microseconds, the nanoseconds truncated.
inline int64_t timespec_us(Timespec32 t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

// The inverse: a time in microseconds as seconds and nanoseconds, the nanoseconds in range.
inline Timespec32 timespec_from_us(int64_t us) {
    int64_t sec = us / 1000000;
    int64_t rem = us % 1000000;
    if (rem < 0) {
        rem += 1000000;
        --sec;
    }
    return Timespec32{static_cast<int32_t>(sec), static_cast<int32_t>(rem * 1000)};
}

// The monotonic clock in microseconds and in milliseconds: deadlines and elapsed times, which a
// step of the wall clock must not move.
int64_t monotonic_us();
int64_t monotonic_ms();
