// Fuzz target: timespec_fulsub against a reference worked in 64-bit integers.
//
// Input: 16 bytes, a.tv_sec, a.tv_nsec, b.tv_sec, b.tv_nsec (host order); shorter inputs are
// padded with zeros, longer ones are read as several pairs.
//
// Properties, for every pair of values:
//  1. Representation: the fields equal those of the reference, which applies the same single
//     normalisation step (chosen by the signs of a and b) to the 64-bit differences of the
//     fields and then keeps the low 32 bits of each.
//  2. Value: when the reference's 64-bit fields fit 32 bits (no truncation happened), the
//     result is worth exactly a - b in nanoseconds: sec * 10^9 + nsec, computed in 64 bits.
//  3. Range: when both operands are canonical (non-negative with nanoseconds in [0, 10^9), or
//     negative with both fields <= 0 and nanoseconds above -10^9), the result's nanoseconds lie
//     strictly between -10^9 and 10^9.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "core/timespec.h"

namespace {

constexpr int64_t kBillion = 1000000000;

struct Wide {
    int64_t sec, nsec;
};

bool negative(const Timespec32& t) {
    return t.tv_sec < 0 || t.tv_nsec < 0;
}

Wide reference(const Timespec32& a, const Timespec32& b) {
    Wide d{int64_t{a.tv_sec} - b.tv_sec, int64_t{a.tv_nsec} - b.tv_nsec};
    if (!negative(a) && negative(b)) {
        if (d.nsec >= kBillion)
            d = {d.sec + 1, d.nsec - kBillion};
    } else if (negative(a) && !negative(b)) {
        if (d.nsec <= -kBillion)
            d = {d.sec - 1, d.nsec + kBillion};
    } else if (d.sec > 0 && d.nsec < 0) {
        d = {d.sec - 1, d.nsec + kBillion};
    }
    return d;
}

int32_t low32(int64_t v) {
    return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v)));
}

int64_t value_ns(int64_t sec, int64_t nsec) {
    return sec * kBillion + nsec;  // |sec| <= 2^31, so this stays far inside 64 bits
}

bool canonical(const Timespec32& t) {
    if (!negative(t))
        return t.tv_nsec < kBillion;
    return t.tv_sec <= 0 && t.tv_nsec <= 0 && t.tv_nsec > -kBillion;
}

void report(const char* what, const Timespec32& a, const Timespec32& b, const Timespec32& r) {
    fprintf(stderr, "property violated: %s: (%d, %d) - (%d, %d) gave (%d, %d)\n", what, a.tv_sec,
            a.tv_nsec, b.tv_sec, b.tv_nsec, r.tv_sec, r.tv_nsec);
    abort();
}

void check_pair(const Timespec32& a, const Timespec32& b) {
    Timespec32 r = a;
    timespec_fulsub(&r, &b);
    const Wide want = reference(a, b);
    if (r.tv_sec != low32(want.sec) || r.tv_nsec != low32(want.nsec))
        report("fields differ from the reference", a, b, r);
    const bool fits = want.sec == r.tv_sec && want.nsec == r.tv_nsec;
    if (fits && value_ns(r.tv_sec, r.tv_nsec) !=
                    value_ns(a.tv_sec, a.tv_nsec) - value_ns(b.tv_sec, b.tv_nsec))
        report("value is not a - b", a, b, r);
    if (canonical(a) && canonical(b) && (r.tv_nsec <= -kBillion || r.tv_nsec >= kBillion))
        report("nanoseconds out of range", a, b, r);

    // The same subtraction in place on one record (a - a) is zero.
    Timespec32 self = a;
    timespec_fulsub(&self, &self);
    if (self.tv_sec != 0 || self.tv_nsec != 0)
        report("a - a is not zero", a, a, self);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    for (size_t at = 0; at == 0 || at < size; at += 16) {
        uint8_t buf[16] = {};
        const size_t n = size - at < 16 ? size - at : 16;
        if (n > 0)
            memcpy(buf, data + at, n);
        Timespec32 a, b;
        memcpy(&a, buf, 8);
        memcpy(&b, buf + 8, 8);
        check_pair(a, b);
    }
    return 0;
}
