// Signed subtraction and sleep lengths of the stream's 32-bit time values.
#include "core/timespec.h"

#include <gtest/gtest.h>

namespace {

struct SubCase {
    Timespec32 a, b, want;
};

TEST(TimespecTest, FulsubHandlesEverySignCombination) {
    const SubCase cases[] = {
        {{5, 200000000}, {3, 500000000}, {1, 700000000}},   // borrow
        {{3, 500000000}, {5, 200000000}, {-2, 300000000}},  // negative, left raw
        {{0, 100}, {0, 400}, {0, -300}},
        {{1, 900000000}, {0, -300000000}, {2, 200000000}},    // minus a negative: carry
        {{0, -300000000}, {0, 800000000}, {-1, -100000000}},  // magnitudes added and carried
        {{0, -300000000}, {0, -500000000}, {0, 200000000}},
    };
    for (const SubCase& c : cases) {
        Timespec32 a = c.a;
        timespec_fulsub(&a, &c.b);
        EXPECT_EQ(a.tv_sec, c.want.tv_sec) << c.a.tv_sec << "," << c.a.tv_nsec;
        EXPECT_EQ(a.tv_nsec, c.want.tv_nsec) << c.a.tv_sec << "," << c.a.tv_nsec;
    }
}

TEST(TimespecTest, SleepIsNanosecondsInMicrosecondsWithAFloor) {
    const struct {
        Timespec32 ts;
        int32_t want_us;
    } cases[] = {
        {{0, 99999}, 100},  {{0, 400000000}, 400000},
        {{0, 150999}, 150}, {{1, 0}, 100},  // seconds are not slept
        {{0, -300}, 100},
    };
    for (const auto& c : cases)
        EXPECT_EQ(timespec_sleep_us(&c.ts), c.want_us) << c.ts.tv_nsec;
}

}  // namespace
