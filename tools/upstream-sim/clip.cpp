// Reading a transport stream file and deriving each datagram's play-out offset from its PCR.
#include "clip.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <iterator>

namespace upsim {

namespace {

constexpr int64_t kPcrWrap = (int64_t{1} << 33) * 300;
constexpr int64_t kTicksPerSecond = 27000000;
// PCRs must come at least every 100 ms; a longer step than this is taken as a jump in the
// clock rather than as elapsed time.
constexpr int64_t kMaxPcrStep = kTicksPerSecond;

double bytes_per_tick(double bps) {
    return bps / 8.0 / kTicksPerSecond;
}

}  // namespace

std::vector<PcrSample> find_pcrs(const uint8_t* data, size_t size) {
    std::vector<PcrSample> out;
    int pcr_pid = -1;
    for (size_t pos = 0; pos + kTsPacket <= size; pos += kTsPacket) {
        const uint8_t* p = data + pos;
        if (p[0] != 0x47 || (p[1] & 0x80))
            continue;  // out of sync or marked as damaged
        int pid = ((p[1] & 0x1f) << 8) | p[2];
        bool has_adaptation = (p[3] & 0x20) != 0;
        if (!has_adaptation || p[4] < 7 || !(p[5] & 0x10))
            continue;
        if (pcr_pid < 0)
            pcr_pid = pid;
        if (pid != pcr_pid)
            continue;
        const uint8_t* b = p + 6;
        int64_t base = (int64_t{b[0]} << 25) | (int64_t{b[1]} << 17) | (int64_t{b[2]} << 9) |
                       (int64_t{b[3]} << 1) | (b[4] >> 7);
        int64_t ext = ((b[4] & 1) << 8) | b[5];
        out.push_back(PcrSample{pos, base * 300 + ext, (p[5] & 0x80) != 0});
    }
    return out;
}

Timeline::Timeline(double bps) : first_rate_(bytes_per_tick(bps)), last_rate_(first_rate_) {}

Timeline::Timeline(const std::vector<PcrSample>& pcrs, double fallback_bps) {
    struct Point {
        size_t pos;
        int64_t ticks;  // unwrapped within its segment
    };
    std::vector<std::vector<Point>> segments;
    int64_t prev_raw = 0;
    for (const PcrSample& s : pcrs) {
        int64_t delta = ((s.value - prev_raw) % kPcrWrap + kPcrWrap) % kPcrWrap;
        prev_raw = s.value;
        // A backward step shows up as a delta near the wrap, so it also lands here.
        if (segments.empty() || s.discontinuity || delta > kMaxPcrStep) {
            segments.push_back({Point{s.pos, s.value}});
        } else {
            segments.back().push_back(Point{s.pos, segments.back().back().ticks + delta});
        }
    }

    // Rate of each segment, and over all of them for segments too short to have one.
    std::vector<double> rates(segments.size(), 0);
    double all_bytes = 0, all_ticks = 0;
    for (size_t i = 0; i < segments.size(); ++i) {
        const auto& seg = segments[i];
        double bytes = static_cast<double>(seg.back().pos - seg.front().pos);
        double ticks = static_cast<double>(seg.back().ticks - seg.front().ticks);
        if (bytes > 0 && ticks > 0) {
            rates[i] = bytes / ticks;
            all_bytes += bytes;
            all_ticks += ticks;
        }
    }
    if (all_ticks <= 0) {
        first_rate_ = last_rate_ = bytes_per_tick(fallback_bps);
        return;
    }
    double overall = all_bytes / all_ticks;
    for (double& r : rates)
        if (r <= 0)
            r = overall;

    for (size_t i = 0; i < segments.size(); ++i) {
        const auto& seg = segments[i];
        double base = -static_cast<double>(seg.front().ticks);
        if (i > 0) {
            const Anchor& last = anchors_.back();
            double start =
                last.ticks + static_cast<double>(seg.front().pos - last.pos) / rates[i - 1];
            base += start;
        }
        for (const Point& p : seg)
            anchors_.push_back(Anchor{p.pos, static_cast<double>(p.ticks) + base});
    }
    first_rate_ = rates.front();
    last_rate_ = rates.back();
}

int64_t Timeline::time_at(size_t pos) const {
    double ticks;
    if (anchors_.empty()) {
        ticks = static_cast<double>(pos) / first_rate_;
    } else if (pos <= anchors_.front().pos) {
        ticks =
            anchors_.front().ticks - static_cast<double>(anchors_.front().pos - pos) / first_rate_;
    } else if (pos >= anchors_.back().pos) {
        ticks = anchors_.back().ticks + static_cast<double>(pos - anchors_.back().pos) / last_rate_;
    } else {
        auto it = std::upper_bound(anchors_.begin(), anchors_.end(), pos,
                                   [](size_t p, const Anchor& a) { return p < a.pos; });
        const Anchor& b = *it;
        const Anchor& a = *(it - 1);
        ticks = a.ticks + (b.ticks - a.ticks) * static_cast<double>(pos - a.pos) /
                              static_cast<double>(b.pos - a.pos);
    }
    return std::llround(ticks * 1000.0 / 27.0);
}

bool Clip::load(const std::string& path, double cbr_kbps, double no_pcr_kbps, std::string& error) {
    path_ = path;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    data_.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    if (data_.size() % kTsPacket != 0) {
        std::fprintf(stderr, "upstream-sim: %s: dropping %zu trailing bytes (not a whole packet)\n",
                     path.c_str(), data_.size() % kTsPacket);
        data_.resize(data_.size() - data_.size() % kTsPacket);
    }
    if (data_.empty()) {
        error = path + " holds no whole 188-byte packet";
        return false;
    }
    if (data_[0] != 0x47) {
        error = path + " does not start with a transport stream sync byte";
        return false;
    }

    Timeline timeline = cbr_kbps > 0
                            ? Timeline(cbr_kbps * 1000)
                            : Timeline(find_pcrs(data_.data(), data_.size()), no_pcr_kbps * 1000);
    timed_by_pcr_ = timeline.from_pcr();
    if (cbr_kbps <= 0 && !timed_by_pcr_) {
        std::fprintf(stderr, "upstream-sim: %s has no usable PCR; stamping at %g kbit/s\n",
                     path.c_str(), no_pcr_kbps);
    }

    size_t count = (data_.size() + kMaxPayload - 1) / kMaxPayload;
    offsets_.assign(count, 0);
    int64_t origin = timeline.time_at(0);
    for (size_t i = 1; i < count; ++i) {
        offsets_[i] = std::max(offsets_[i - 1], timeline.time_at(i * kMaxPayload) - origin);
    }
    // The next pass starts where this one ends, strictly later than its last datagram.
    loop_ns_ = std::max(timeline.time_at(data_.size()) - origin, offsets_.back() + 1);
    return true;
}

size_t Clip::payload_size(size_t i) const {
    return std::min(kMaxPayload, data_.size() - i * kMaxPayload);
}

int64_t Clip::offset(uint64_t k) const {
    uint64_t n = offsets_.size();
    return static_cast<int64_t>(k / n) * loop_ns_ + offsets_[k % n];
}

}  // namespace upsim
