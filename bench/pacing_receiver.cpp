// Datagram receiver for bench/pacing.py: stamps each arrival on the monotonic clock and finds
// where in the looping sample its payload sits, so the ideal send time can be computed.
//
// usage: pacing_receiver SAMPLE SECONDS IDLE_SECONDS OUT_FILE
// Binds 127.0.0.1 on a free port and prints "port N" on standard output; prints "first" when
// the first datagram arrives. Receives for SECONDS after that, or until IDLE_SECONDS pass
// without a datagram (before the first one too), then writes one line per datagram to OUT_FILE:
//   <stream byte position> <arrival ns, CLOCK_MONOTONIC> <length>
// where the stream byte position counts over the passes of the sample (-1 if the payload is
// not the sample's), and prints "received N unmatched M" on standard output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

constexpr size_t kPayload = 1316;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

struct Arrival {
    int64_t ns;
    std::string bytes;
};

// Stream position of each payload. Datagram k of the looping stream holds the sample's
// payload k % n (n payloads of 1316 bytes per pass, the last maybe shorter); the expected next
// datagram is tried first, then the following ones up to one pass ahead.
class Locator {
  public:
    explicit Locator(std::string sample)
        : sample_(std::move(sample)), per_pass_((sample_.size() + kPayload - 1) / kPayload) {}

    int64_t locate(const std::string& bytes) {
        for (uint64_t k = next_; k < next_ + per_pass_; ++k) {
            const size_t i = k % per_pass_;
            const size_t at = i * kPayload;
            const size_t size = std::min(kPayload, sample_.size() - at);
            if (size == bytes.size() && std::memcmp(sample_.data() + at, bytes.data(), size) == 0) {
                next_ = k + 1;
                return static_cast<int64_t>((k / per_pass_) * sample_.size() + at);
            }
        }
        return -1;
    }

  private:
    std::string sample_;
    uint64_t per_pass_;
    uint64_t next_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: pacing_receiver SAMPLE SECONDS IDLE_SECONDS OUT_FILE\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (sample.empty()) {
        std::fprintf(stderr, "pacing_receiver: cannot read %s\n", argv[1]);
        return 1;
    }
    const int64_t run_ns = static_cast<int64_t>(std::atof(argv[2]) * 1e9);
    const int idle_ms = static_cast<int>(std::atof(argv[3]) * 1000);

    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        std::perror("pacing_receiver: bind");
        return 1;
    }
    int size = 8 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    std::printf("port %d\n", ntohs(a.sin_port));
    const int64_t started_ns = monotonic_ns();
    std::fflush(stdout);

    // Payloads are only stored while receiving; matching them waits until the end.
    std::vector<Arrival> arrivals;
    arrivals.reserve(200000);
    char buf[65536];
    int64_t end_ns = INT64_MAX;
    for (;;) {
        const int64_t now = monotonic_ns();
        const int64_t quiet_since = arrivals.empty() ? started_ns : arrivals.back().ns;
        const int64_t until = std::min(end_ns, quiet_since + int64_t{idle_ms} * 1000000);
        if (now >= until)
            break;  // the run is over, or nothing came for too long
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>((until - now) / 1000000 + 1)) <= 0)
            continue;
        const ssize_t n = recv(fd, buf, sizeof buf, 0);
        const int64_t at = monotonic_ns();
        if (n < 0)
            continue;
        if (arrivals.empty()) {
            end_ns = at + run_ns;
            std::printf("first\n");
            std::fflush(stdout);
        }
        arrivals.push_back(Arrival{at, std::string(buf, static_cast<size_t>(n))});
    }
    close(fd);

    Locator locator(std::move(sample));
    FILE* out = std::fopen(argv[4], "w");
    if (!out) {
        std::perror("pacing_receiver: output");
        return 1;
    }
    size_t unmatched = 0;
    for (const Arrival& r : arrivals) {
        int64_t pos = locator.locate(r.bytes);
        if (pos < 0)
            ++unmatched;
        std::fprintf(out, "%lld %lld %zu\n", static_cast<long long>(pos),
                     static_cast<long long>(r.ns), r.bytes.size());
    }
    std::fclose(out);
    std::printf("received %zu unmatched %zu\n", arrivals.size(), unmatched);
    return 0;
}
