// A plain UDP source for the peers: sends the sample, looping, as bare 1316-byte datagrams (the
// upstream simulator's payloads without its 12-byte header) at a constant bitrate.
//
// usage: udp_source SAMPLE HOST PORT KBPS SECONDS
// Datagram k carries the sample's payload k mod n (cut as the simulator cuts it: 1316 bytes, the
// last of a pass maybe shorter) and goes out at the stream time of its first byte, counted over
// the passes at KBPS, from the start. Ends after SECONDS; prints "sent N late M" on standard
// error, M counting datagrams that went out more than 5 ms behind their time.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace {

constexpr size_t kPayload = 1316;

int64_t monotonic_ns() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: udp_source SAMPLE HOST PORT KBPS SECONDS\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    const std::string s((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (s.empty()) {
        std::fprintf(stderr, "udp_source: cannot read %s\n", argv[1]);
        return 1;
    }
    const double kbps = std::atof(argv[4]);
    const int64_t run_ns = static_cast<int64_t>(std::atof(argv[5]) * 1e9);
    if (kbps <= 0 || run_ns <= 0) {
        std::fprintf(stderr, "udp_source: KBPS and SECONDS must be positive\n");
        return 2;
    }
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[3])));
    if (fd < 0 || inet_pton(AF_INET, argv[2], &to.sin_addr) != 1) {
        std::fprintf(stderr, "udp_source: bad host %s\n", argv[2]);
        return 1;
    }
    int size = 4 << 20;
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size);

    const uint64_t n = (s.size() + kPayload - 1) / kPayload;
    const double ns_per_byte = 8e9 / (kbps * 1000);
    const int64_t start = monotonic_ns();
    uint64_t sent = 0, late = 0;
    for (uint64_t k = 0;; ++k) {
        const uint64_t i = k % n;
        const uint64_t byte = (k / n) * s.size() + i * kPayload;
        const int64_t due = start + static_cast<int64_t>(static_cast<double>(byte) * ns_per_byte);
        if (due - start >= run_ns)
            break;
        int64_t now = monotonic_ns();
        if (due > now) {
            timespec t{static_cast<time_t>(due / 1000000000), static_cast<long>(due % 1000000000)};
            clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &t, nullptr);
        } else if (now - due > 5000000) {
            ++late;
        }
        const size_t len =
            static_cast<size_t>(std::min<uint64_t>(kPayload, s.size() - i * kPayload));
        if (sendto(fd, s.data() + i * kPayload, len, 0, reinterpret_cast<sockaddr*>(&to),
                   sizeof to) == static_cast<ssize_t>(len))
            ++sent;
    }
    std::fprintf(stderr, "udp_source: sent %llu late %llu\n", static_cast<unsigned long long>(sent),
                 static_cast<unsigned long long>(late));
    close(fd);
    return 0;
}
