// A transport stream file cut into data datagrams, each with its play-out offset.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace upsim {

constexpr size_t kTsPacket = 188;
constexpr size_t kPacketsPerDatagram = 7;
constexpr size_t kMaxPayload = kTsPacket * kPacketsPerDatagram;  // 1316

// One PCR found in the file: byte position of its packet and the 27 MHz value (33-bit base
// * 300 + extension, so it wraps at 2^33 * 300).
struct PcrSample {
    size_t pos = 0;
    int64_t value = 0;
    bool discontinuity = false;  // the adaptation field's discontinuity_indicator
};

// PCRs of the first PID that carries one, in file order.
std::vector<PcrSample> find_pcrs(const uint8_t* data, size_t size);

// Stream time in nanoseconds of each byte position, built from PCRs. Between PCRs the time is
// interpolated; before the first and after the last it is extrapolated at the nearest
// segment's rate. A new segment starts at a discontinuity, a backward step or a forward step
// over 1 s; it continues from the time its first byte would have had at the previous rate.
class Timeline {
  public:
    // fallback_bps: rate for a file with fewer than two usable PCRs.
    Timeline(const std::vector<PcrSample>& pcrs, double fallback_bps);
    // Constant bitrate: byte position / rate.
    explicit Timeline(double bps);

    int64_t time_at(size_t pos) const;  // nanoseconds, relative to an arbitrary origin
    bool from_pcr() const { return !anchors_.empty(); }

  private:
    struct Anchor {
        size_t pos;
        double ticks;  // 27 MHz, on one continuous time line
    };
    std::vector<Anchor> anchors_;
    double first_rate_ = 0;  // bytes per tick before the first anchor
    double last_rate_ = 0;   // bytes per tick after the last anchor
};

class Clip {
  public:
    // Reads the file; false with a message in error when it cannot be served.
    bool load(const std::string& path, double cbr_kbps, double no_pcr_kbps, std::string& error);

    const std::string& path() const { return path_; }
    size_t datagrams() const { return offsets_.size(); }  // per pass of the file
    const uint8_t* payload(size_t i) const { return data_.data() + i * kMaxPayload; }
    size_t payload_size(size_t i) const;
    // Play-out time of datagram k (counted over all passes) after datagram 0, in ns.
    int64_t offset(uint64_t k) const;
    int64_t loop_ns() const { return loop_ns_; }
    bool timed_by_pcr() const { return timed_by_pcr_; }

  private:
    std::string path_;
    std::vector<uint8_t> data_;
    std::vector<int64_t> offsets_;
    int64_t loop_ns_ = 0;
    bool timed_by_pcr_ = false;
};

}  // namespace upsim
