// Receives a relayed stream and judges it against the sample it was made from: which of the
// sample's 1316-byte payloads arrived intact and in order, which never came, and when the first
// stream byte arrived. Used by the benchmarks in bench/ as the player, the datagram consumer and
// the TCP sink.
//
// usage: stream_check SAMPLE SOURCE [options]
// SOURCE is one of
//   --http HOST:PORT/PATH   connect, send a GET for /PATH, skip the response head
//   --udp PORT              receive datagrams on 127.0.0.1:PORT (0: a free port)
//   --tcp-listen PORT       accept one TCP connection on 127.0.0.1:PORT (0: a free port)
//   --stdin                 read standard input
// Options:
//   --seconds S        receive for S seconds after the first stream byte (default 10)
//   --first-timeout S  give up when no stream byte came within S seconds (default 10)
//   --idle S           stop when nothing came for S seconds after the first byte (default 5)
//   --warmup S         print "mark bytes=N" S seconds after the first byte (for CPU windows)
//   --connect-timeout S  keep trying to connect for S seconds (default 0: one try)
//   --early N          also count the payloads missing among the first N after the first one
//   --no-match         only count bytes (for a relay that rewrites the stream)
//
// Standard output: "port N" once a --udp or --tcp-listen socket is bound (0 asked for a free
// one); "first" at the first stream byte; "mark ..." after --warmup; at the end one line
//   result key=value ...
// with bytes (stream bytes, head excluded), head (response head bytes), first_ms (first stream
// byte after the connect, or after the start for other sources), seconds (first to last byte),
// payloads (sample payloads matched in order), first_k and last_k (stream index of the first and
// last matched payload: payload k is the sample's payload k mod n, n payloads per pass), span
// (last_k - first_k + 1), missing (span - payloads), late (payloads that matched an earlier
// index than expected: duplicates or out of order), garbage (bytes matching nothing), tail
// (a partial payload at the end), missing_early (of those, see --early), gaps (the first missing
// runs as K or K+COUNT, "-" for none), and timed_out=1 when no stream byte came.
//
// The sample is cut as the upstream simulator cuts it: payload i holds the file's bytes
// [1316 i, min(1316 (i+1), size)), so the last payload of a pass may be shorter; the next pass
// starts over at byte 0.
#include <arpa/inet.h>
#include <netdb.h>
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
#include <unordered_map>
#include <vector>

namespace {

constexpr size_t kPayload = 1316;
constexpr uint64_t kForward = 6000;   // how far ahead of the expected payload a match is sought
constexpr uint64_t kBackward = 6000;  // how far behind it a late payload is recognised

double now_s() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + ts.tv_nsec / 1e9;
}

uint64_t key_of(const unsigned char* p) {
    uint64_t k;
    std::memcpy(&k, p, 8);
    return k;
}

class Matcher {
  public:
    explicit Matcher(std::string sample) : s_(std::move(sample)) {
        n_ = (s_.size() + kPayload - 1) / kPayload;
        for (uint64_t i = 0; i < n_; ++i)
            if (size(i) >= 8)
                index_[key_of(data(i))].push_back(i);
    }

    void set_early(uint64_t n) { early_ = n; }

    // Consumes what it can from buf; returns the bytes consumed. At the end, call with final.
    size_t feed(const unsigned char* buf, size_t len, bool final) {
        size_t at = 0;
        while (at < len) {
            const unsigned char* p = buf + at;
            const size_t left = len - at;
            if (left < kPayload && !final)
                break;  // wait for a whole payload, whatever its index
            size_t used = step(p, left);
            if (used == 0) {
                if (left < kPayload) {
                    tail_ += left;  // a partial payload cut off by the end of the run
                    at = len;
                    break;
                }
                ++garbage_;
                used = 1;
            }
            at += used;
        }
        return at;
    }

    void print(FILE* f) const {
        const uint64_t span = matched_ ? last_k_ - first_k_ + 1 : 0;
        std::fprintf(f,
                     "payloads=%llu first_k=%llu last_k=%llu span=%llu missing=%llu late=%llu "
                     "garbage=%llu tail=%llu",
                     ull(matched_), ull(first_k_), ull(last_k_), ull(span), ull(span - matched_),
                     ull(late_), ull(garbage_), ull(tail_));
        std::fprintf(f, " missing_early=%llu gaps=%s", ull(missing_early_),
                     gaps_.empty() ? "-" : gaps_.c_str());
    }

  private:
    static unsigned long long ull(uint64_t v) { return static_cast<unsigned long long>(v); }
    size_t size(uint64_t i) const {
        return static_cast<size_t>(std::min<uint64_t>(kPayload, s_.size() - i * kPayload));
    }
    const unsigned char* data(uint64_t i) const {
        return reinterpret_cast<const unsigned char*>(s_.data()) + i * kPayload;
    }
    bool is_at(const unsigned char* p, size_t left, uint64_t k) const {
        const uint64_t i = k % n_;
        return size(i) <= left && std::memcmp(p, data(i), size(i)) == 0;
    }

    // Matches one payload at p; returns its length, or 0 when none fits.
    size_t step(const unsigned char* p, size_t left) {
        if (!matched_) {
            if (left < 8)
                return 0;
            auto it = index_.find(key_of(p));
            if (it == index_.end())
                return 0;
            // Of several equal payloads, prefer one whose successor follows too.
            uint64_t pick = UINT64_MAX;
            for (uint64_t i : it->second) {
                if (!is_at(p, left, i))
                    continue;
                if (pick == UINT64_MAX)
                    pick = i;
                const size_t len = size(i);
                if (left >= len + kPayload && is_at(p + len, left - len, i + 1)) {
                    pick = i;
                    break;
                }
            }
            if (pick == UINT64_MAX)
                return 0;
            first_k_ = last_k_ = pick;
            matched_ = 1;
            return size(pick);
        }
        const uint64_t expected = last_k_ + 1;
        if (is_at(p, left, expected)) {
            last_k_ = expected;
            ++matched_;
            return size(expected % n_);
        }
        if (left < 8)
            return 0;
        auto it = index_.find(key_of(p));
        if (it == index_.end())
            return 0;
        // The nearest index ahead (a gap) within kForward, else the nearest behind (late).
        uint64_t best_ahead = UINT64_MAX, best_behind = UINT64_MAX;
        for (uint64_t i : it->second) {
            const uint64_t ahead =
                (i + n_ - expected % n_) % n_;  // distance to the next k = i mod n
            for (uint64_t k = expected + ahead; k < expected + kForward; k += n_)
                if (k < best_ahead && is_at(p, left, k)) {
                    best_ahead = k;
                    break;
                }
            const uint64_t behind = (last_k_ % n_ + n_ - i) % n_;
            if (behind + 1 <= kBackward && behind <= last_k_ && is_at(p, left, last_k_ - behind))
                best_behind = std::min(best_behind, last_k_ - behind);
        }
        if (best_ahead != UINT64_MAX) {
            note_gap(expected, best_ahead - expected);
            last_k_ = best_ahead;
            ++matched_;
            return size(best_ahead % n_);
        }
        if (best_behind != UINT64_MAX) {
            ++late_;
            return size(best_behind % n_);
        }
        return 0;
    }

    void note_gap(uint64_t from, uint64_t count) {
        if (from < first_k_ + early_)
            missing_early_ += std::min(count, first_k_ + early_ - from);
        if (gaps_.size() < 200)
            gaps_ += (gaps_.empty() ? "" : ",") + std::to_string(from) +
                     (count > 1 ? "+" + std::to_string(count) : "");
    }

    std::string s_;
    std::string gaps_;
    uint64_t n_ = 0;
    uint64_t early_ = 0, missing_early_ = 0;
    std::unordered_map<uint64_t, std::vector<uint64_t>> index_;
    uint64_t matched_ = 0, first_k_ = 0, last_k_ = 0, late_ = 0, garbage_ = 0, tail_ = 0;
};

[[noreturn]] void die(const char* what) {
    std::perror(what);
    std::exit(1);
}

int bind_local(int type, int port) {
    int fd = socket(AF_INET, type, 0);
    if (fd < 0)
        die("stream_check: socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (type == SOCK_DGRAM) {
        int size = 8 << 20;
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0)
        die("stream_check: bind");
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    std::printf("port %d\n", ntohs(a.sin_port));
    std::fflush(stdout);
    return fd;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: stream_check SAMPLE (--http HOST:PORT/PATH | --udp PORT | "
                     "--tcp-listen PORT | --stdin) [--seconds S] [--first-timeout S] [--idle S] "
                     "[--warmup S] [--connect-timeout S] [--early N] [--no-match]\n");
        return 2;
    }
    std::ifstream in(argv[1], std::ios::binary);
    std::string sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (sample.size() < kPayload) {
        std::fprintf(stderr, "stream_check: cannot read %s\n", argv[1]);
        return 1;
    }
    std::string mode, target;
    double seconds = 10, first_timeout = 10, idle = 5, warmup = -1, connect_timeout = 0;
    bool match = true;
    uint64_t early = 0;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "stream_check: %s needs a value\n", a.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--http" || a == "--udp" || a == "--tcp-listen") {
            mode = a;
            target = value();
        } else if (a == "--stdin") {
            mode = a;
        } else if (a == "--seconds") {
            seconds = std::atof(value().c_str());
        } else if (a == "--first-timeout") {
            first_timeout = std::atof(value().c_str());
        } else if (a == "--idle") {
            idle = std::atof(value().c_str());
        } else if (a == "--warmup") {
            warmup = std::atof(value().c_str());
        } else if (a == "--connect-timeout") {
            connect_timeout = std::atof(value().c_str());
        } else if (a == "--early") {
            early = std::strtoull(value().c_str(), nullptr, 10);
        } else if (a == "--no-match") {
            match = false;
        } else {
            std::fprintf(stderr, "stream_check: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    Matcher matcher(match ? sample : std::string(kPayload, '\0'));
    matcher.set_early(early);

    const double started = now_s();
    int fd = -1;
    bool http = false;
    bool accepting = false;
    if (mode == "--http") {
        const size_t colon = target.find(':');
        const size_t slash = target.find('/');
        if (colon == std::string::npos || slash == std::string::npos || slash < colon) {
            std::fprintf(stderr, "stream_check: --http wants HOST:PORT/PATH\n");
            return 2;
        }
        const std::string host = target.substr(0, colon);
        const std::string port = target.substr(colon + 1, slash - colon - 1);
        addrinfo hints{};
        hints.ai_socktype = SOCK_STREAM;
        addrinfo* res = nullptr;
        if (getaddrinfo(host.c_str(), port.c_str(), &hints, &res) != 0 || res == nullptr) {
            std::fprintf(stderr, "stream_check: cannot resolve %s\n", target.c_str());
            return 1;
        }
        // A listener that is still starting up refuses: try again until --connect-timeout.
        for (;;) {
            fd = socket(res->ai_family, SOCK_STREAM, 0);
            if (fd < 0)
                die("stream_check: socket");
            if (connect(fd, res->ai_addr, res->ai_addrlen) == 0)
                break;
            if (now_s() - started >= connect_timeout)
                die("stream_check: connect");
            close(fd);
            usleep(20000);
        }
        freeaddrinfo(res);
        const std::string req =
            "GET " + target.substr(slash) + " HTTP/1.0\r\nHost: " + host + "\r\n\r\n";
        if (write(fd, req.data(), req.size()) != static_cast<ssize_t>(req.size()))
            die("stream_check: write");
        http = true;
    } else if (mode == "--udp") {
        fd = bind_local(SOCK_DGRAM, std::atoi(target.c_str()));
    } else if (mode == "--tcp-listen") {
        fd = bind_local(SOCK_STREAM, std::atoi(target.c_str()));
        if (listen(fd, 1) != 0)
            die("stream_check: listen");
        accepting = true;
    } else if (mode == "--stdin") {
        fd = 0;
    } else {
        std::fprintf(stderr, "stream_check: no source given\n");
        return 2;
    }

    std::vector<unsigned char> buf(1 << 20);
    std::vector<unsigned char> pending;
    pending.reserve(4 << 20);
    std::string head;
    bool in_head = http;
    uint64_t bytes = 0;
    double first = -1, last = -1, end_at = 1e300, mark_at = 1e300;
    bool timed_out = false;
    for (;;) {
        const double now = now_s();
        if (now >= end_at)
            break;
        if (first < 0 && now - started >= first_timeout) {
            timed_out = true;
            break;
        }
        if (first >= 0 && now - last >= idle)
            break;
        if (now >= mark_at) {
            std::printf("mark bytes=%llu\n", static_cast<unsigned long long>(bytes));
            std::fflush(stdout);
            mark_at = 1e300;
        }
        double until = std::min(end_at, mark_at);
        until = std::min(until, first < 0 ? started + first_timeout : last + idle);
        pollfd p{fd, POLLIN, 0};
        const int wait_ms = std::max(1, static_cast<int>((until - now) * 1000) + 1);
        if (poll(&p, 1, wait_ms) <= 0)
            continue;
        if (accepting) {
            int c = accept(fd, nullptr, nullptr);
            if (c < 0)
                continue;
            close(fd);
            fd = c;
            accepting = false;
            continue;
        }
        const ssize_t n = read(fd, buf.data(), buf.size());
        if (n == 0 && mode != "--udp")
            break;  // the sender closed the stream
        if (n <= 0)
            continue;
        size_t off = 0;
        if (in_head) {
            head.append(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(n));
            const size_t end = head.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (head.size() > 65536)
                    break;
                continue;
            }
            off = static_cast<size_t>(n) - (head.size() - (end + 4));
            head.resize(end + 4);
            in_head = false;
            if (off == static_cast<size_t>(n))
                continue;
        }
        const double at = now_s();
        if (first < 0) {
            first = at;
            end_at = at + seconds;
            if (warmup >= 0)
                mark_at = at + warmup;
            std::printf("first\n");
            std::fflush(stdout);
        }
        last = at;
        bytes += static_cast<uint64_t>(n) - off;
        if (match) {
            pending.insert(pending.end(), buf.begin() + static_cast<long>(off), buf.begin() + n);
            const size_t used = matcher.feed(pending.data(), pending.size(), false);
            pending.erase(pending.begin(), pending.begin() + static_cast<long>(used));
        }
    }
    if (match && !pending.empty())
        matcher.feed(pending.data(), pending.size(), true);

    std::printf("result bytes=%llu head=%zu first_ms=%.3f seconds=%.3f ",
                static_cast<unsigned long long>(bytes), head.size(),
                first >= 0 ? (first - started) * 1000 : -1.0, first >= 0 ? last - first : 0.0);
    if (match)
        matcher.print(stdout);
    else
        std::printf("payloads=0");
    std::printf(" timed_out=%d\n", timed_out ? 1 : 0);
    std::fflush(stdout);
    close(fd);
    return 0;
}
