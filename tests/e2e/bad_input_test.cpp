// Bad input end to end: junk from the upstream's side, overlong and cut-off request heads,
// connections reset at once, and an upstream that ignores suspend. After each the daemon must
// still be running and serve the next player the sample byte for byte.
#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "buffer/packet_ring.h"
#include "e2e/relay_harness.h"
#include "intake/protocol.h"

namespace {

using namespace e2e;
using testsupport::count_of;
using testsupport::wait_for;

constexpr size_t kChunk = 1316;  // one datagram's payload: seven transport-stream packets

// Entries of /proc/PID/task (threads) or /proc/PID/fd (open descriptors).
int proc_entries(pid_t pid, const char* what) {
    const std::string path = "/proc/" + std::to_string(pid) + "/" + what;
    DIR* dir = opendir(path.c_str());
    if (dir == nullptr)
        return -1;
    int n = 0;
    while (dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++n;
    closedir(dir);
    return n;
}

struct Usage {
    int threads, fds;
    bool operator==(const Usage&) const = default;
};

Usage usage_of(pid_t pid) {
    return {proc_entries(pid, "task"), proc_entries(pid, "fd")};
}

// What the descriptors of pid point at, for a failure message.
std::string fd_targets(pid_t pid) {
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    std::string out;
    DIR* d = opendir(dir.c_str());
    if (d == nullptr)
        return out;
    while (dirent* e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        char target[256] = {};
        const std::string link = dir + "/" + e->d_name;
        if (readlink(link.c_str(), target, sizeof target - 1) > 0)
            out += std::string(e->d_name) + "->" + target + " ";
    }
    closedir(d);
    return out;
}

// The daemon at rest: the same threads and descriptors over a quarter second (a connection
// just accepted holds a descriptor before its thread shows), and no more threads than the
// fewest seen (one, or two under an emulator that keeps a thread of its own).
Usage usage_at_rest(pid_t pid) {
    Usage last = usage_of(pid);
    int fewest = last.threads;
    wait_for(
        [&] {
            std::this_thread::sleep_for(250ms);
            const Usage now = usage_of(pid);
            fewest = std::min(fewest, now.threads);
            const bool steady = now == last && now.threads == fewest;
            last = now;
            return steady;
        },
        10s);
    return last;
}

// A new player gets the head and then the sample from its start, byte for byte.
void expect_clean_stream(const Relay& relay, const Upstream& up, size_t n = kChunk * 200) {
    int fd = http_get(relay.http_port, stream_path(up));
    ASSERT_GE(fd, 0);
    const std::string got = read_bytes(fd, kHeadBytes + n, 20s);
    close(fd);
    ASSERT_EQ(got.size(), kHeadBytes + n);
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);
    EXPECT_TRUE(got.compare(kHeadBytes, n, sample_bytes(), 0, n) == 0)
        << "stream bytes differ from the sample";
}

// An upstream of our own on loopback: answers the relay's stream request with the sample's
// datagrams at 2 Mbit/s and, between them, floods the same socket with random datagrams of 0
// to 2000 bytes (random sequence numbers, timestamps and types), within fixed bounds.
class JunkUpstream {
  public:
    static constexpr int kMaxJunk = 30000;
    static constexpr auto kFloodTime = 3s;

    explicit JunkUpstream(uint32_t seed) {
        fd_ = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof a;
        if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
            getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) == 0)
            port = ntohs(a.sin_port);
        thread_ = std::thread([this, seed] { run(seed); });
    }
    ~JunkUpstream() {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    void wait_done() {
        wait_for([this] { return done_.load(); }, 10s);
    }

    int port = 0;
    std::atomic<int> data_sent{0};
    std::atomic<int> junk_sent{0};

  private:
    bool await_request() {
        const auto deadline = std::chrono::steady_clock::now() + 5s;
        unsigned char buf[2048];
        while (!stop_ && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 50) != 1)
                continue;
            sockaddr_in peer{};
            socklen_t len = sizeof peer;
            const ssize_t n =
                recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&peer), &len);
            if (n > 0 &&
                classify_relay_message(buf, static_cast<size_t>(n)) == RELAY_MSG_STREAM_REQUEST)
                return connect(fd_, reinterpret_cast<sockaddr*>(&peer), sizeof peer) == 0;
        }
        return false;
    }

    void run(uint32_t seed) {
        if (!await_request()) {
            done_ = true;
            return;
        }
        std::mt19937 rng(seed);
        const std::string& sample = sample_bytes();
        const size_t chunks = sample.size() / kChunk;
        const auto start = std::chrono::steady_clock::now();
        constexpr int64_t kPacketNs = 5264000;  // 1316 bytes at 2 Mbit/s
        unsigned char buf[2048];
        size_t next = 0;
        while (!stop_) {
            const auto elapsed = std::chrono::steady_clock::now() - start;
            if (elapsed > kFloodTime)
                break;
            // The real stream, half a second ahead of play-out.
            const int64_t due_ns =
                std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed + 500ms).count();
            while (next < chunks && static_cast<int64_t>(next) * kPacketNs <= due_ns) {
                const int64_t t = static_cast<int64_t>(next) * kPacketNs;
                const Timespec32 ts{static_cast<int32_t>(1000 + t / 1000000000),
                                    static_cast<int32_t>(t % 1000000000)};
                const int n = build_data_datagram(buf, sizeof buf, static_cast<uint32_t>(next + 1),
                                                  ts, sample.data() + next * kChunk, kChunk);
                if (send(fd_, buf, static_cast<size_t>(n), 0) == n)
                    ++data_sent;
                ++next;
            }
            // The junk, a burst of eight per millisecond.
            for (int i = 0; i < 8 && junk_sent < kMaxJunk; ++i) {
                const size_t len = rng() % 2001;
                for (size_t b = 0; b < len; ++b)
                    buf[b] = static_cast<unsigned char>(rng());
                (void)!send(fd_, buf, len, 0);
                ++junk_sent;
            }
            // Whatever the relay says (keepalives, lost requests, suspend) goes unanswered.
            while (recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
            }
            std::this_thread::sleep_for(1ms);
        }
        done_ = true;
    }

    int fd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> done_{false};
    std::thread thread_;
};

TEST(BadInput, JunkFloodFromTheUpstreamSideNeitherStopsNorCorruptsTheNextStream) {
    Relay relay = start_http_relay();
    {
        JunkUpstream junk(20240601);
        ASSERT_NE(junk.port, 0);
        int player = http_get(relay.http_port, "/127.0.0.1-" + std::to_string(junk.port) + "/x");
        ASSERT_GE(player, 0);
        // What the player gets is the relay's business; that it keeps getting it is ours.
        const std::string got = read_bytes(player, 64 << 20, 3500ms);
        junk.wait_done();
        EXPECT_GT(junk.junk_sent.load(), 10000);
        EXPECT_GT(junk.data_sent.load(), 500);
        EXPECT_GE(got.size(), kHeadBytes);
        EXPECT_EQ(got.substr(0, kHeadBytes), kHead);
        EXPECT_TRUE(relay.child.running());
        close(player);
    }
    Upstream up = start_upstream();
    expect_clean_stream(relay, up);
    EXPECT_TRUE(relay.child.running());
}

TEST(BadInput, OverlongLinesAreRefusedAndTheNextPlayerStreams) {
    Upstream up = start_upstream();
    Relay relay = start_http_relay();
    const std::string path = stream_path(up);
    const std::string pad(5000, 'a');
    const std::string heads[] = {
        "GET " + path + " HTTP/1.0\r\nX-Pad: " + pad + "\r\n\r\n",  // 5,000-byte header line
        "GET " + path + " HTTP/1.0\r\nUser-Agent: " + pad + "\r\n\r\n",
        "GET /" + pad + " HTTP/1.0\r\n\r\n",                // 5,000-byte request line
        "GET " + path + " HTTP/1.0\r\nHost: " + pad,        // no line end, then the close
        std::string(5000, '\r') + std::string(5000, '\n'),  // nothing but line ends
    };
    for (const std::string& head : heads) {
        int fd = connect_tcp(relay.http_port);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(write(fd, head.data(), head.size()), static_cast<ssize_t>(head.size()));
        shutdown(fd, SHUT_WR);
        // Refused: closed without a head and without taking the stream.
        EXPECT_EQ(read_bytes(fd, 1, 5s), "") << head.substr(0, 40);
        close(fd);
    }
    EXPECT_EQ(count_of(up.events(), " req "), 0);
    expect_clean_stream(relay, up);
}

TEST(BadInput, EveryPrefixOfARequestIsSurvived) {
    Upstream up = start_upstream();
    Relay relay = start_http_relay();
    const Usage rest = usage_at_rest(relay.child.pid);
    const std::string request = "GET " + stream_path(up) + " HTTP/1.0\r\nHost: box\r\n\r\n";
    for (size_t cut = 0; cut < request.size(); ++cut) {
        int fd = connect_tcp(relay.http_port);
        ASSERT_GE(fd, 0) << cut;
        ASSERT_EQ(write(fd, request.data(), cut), static_cast<ssize_t>(cut));
        close(fd);
    }
    // Prefixes that happen to be whole simple requests took the stream and left it again.
    EXPECT_TRUE(wait_for([&] { return usage_of(relay.child.pid) == rest; }, 10s))
        << "threads " << usage_of(relay.child.pid).threads << ", descriptors "
        << usage_of(relay.child.pid).fds;
    expect_clean_stream(relay, up);
    EXPECT_TRUE(relay.child.running());
}

TEST(BadInput, ThousandImmediateResetsLeaveNoThreadOrDescriptorBehind) {
    Relay relay = start_http_relay();
    const pid_t pid = relay.child.pid;
    const Usage rest = usage_at_rest(pid);
    const std::string fds_at_rest = fd_targets(pid);
    ASSERT_GT(rest.fds, 0);
    int made = 0;
    for (int i = 0; i < 1000; ++i) {
        int fd = connect_tcp(relay.http_port);
        if (fd < 0)
            continue;
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);  // sends RST
        ++made;
        // A pause that lets the single accepting loop keep up: its backlog holds ten, and a
        // connection beyond that waits a whole second for its SYN to be sent again.
        std::this_thread::sleep_for(300us);
    }
    EXPECT_EQ(made, 1000);
    EXPECT_TRUE(wait_for([&] { return usage_of(pid) == rest; }, 10s))
        << "threads " << usage_of(pid).threads << " (" << rest.threads << " at rest), descriptors "
        << usage_of(pid).fds << " (" << rest.fds << ")\nnow: " << fd_targets(pid)
        << "\nat rest: " << fds_at_rest;
    Upstream up = start_upstream();
    expect_clean_stream(relay, up);
}

// Index of every 1316-byte chunk of the sample by its content (equal chunks share an entry).
std::unordered_map<std::string, std::vector<size_t>> sample_chunks() {
    std::unordered_map<std::string, std::vector<size_t>> index;
    const std::string& s = sample_bytes();
    for (size_t k = 0; k + kChunk <= s.size(); k += kChunk)
        index[s.substr(k, kChunk)].push_back(k / kChunk);
    return index;
}

// Largest number of packets the sender logged as skipped at once ("!!! Lost sending N").
long largest_skip(const std::string& log) {
    long most = 0;
    const std::string key = "!!! Lost sending ";
    for (size_t at = log.find(key); at != std::string::npos; at = log.find(key, at + 1))
        most = std::max(most, std::atol(log.c_str() + at + key.size()));
    return most;
}

TEST(BadInput, UpstreamIgnoringSuspendNeverTearsOrReordersTheStream) {
    Upstream up = start_upstream({"--ignore-suspend", "--lead", "60000"});
    Relay relay = start_http_relay();
    // A player that reads slowly, behind a small receive buffer, while the upstream sends a
    // minute of stream at once and then keeps a minute ahead: the backlog passes a whole ring.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    int small = 32 * 1024;
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(relay.http_port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    const std::string request = "GET " + stream_path(up) + " HTTP/1.0\r\n\r\n";
    ASSERT_EQ(write(fd, request.data(), request.size()), static_cast<ssize_t>(request.size()));

    std::string got;
    const auto until = std::chrono::steady_clock::now() + 8s;
    while (std::chrono::steady_clock::now() < until) {
        got += read_bytes(fd, 12 * 1024, 100ms);  // about 120 kB/s, half the stream's rate
        std::this_thread::sleep_for(100ms);
    }
    close(fd);

    // Past a whole ring the relay either drops what would overwrite unsent packets, or, when
    // the socket lost so much of the burst that the next datagram is a whole ring ahead, takes
    // the stream as renumbered and skips to it.
    const std::string log = relay.log();
    const bool guarded = log.find("!! ring full, dropping seq=") != std::string::npos;
    EXPECT_TRUE(guarded || largest_skip(log) >= kRingSlots) << "the backlog never passed a ring";
    if (guarded) {
        EXPECT_NE(up.events().find(" suspend"), std::string::npos);
    }
    ASSERT_GE(got.size(), kHeadBytes + 200 * kChunk);
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);

    // Whole payloads of the sample, each later in the stream than the one before. The sample
    // loops (sequence numbers run on), so stream position v holds chunk v mod the chunk count.
    const auto index = sample_chunks();
    const long chunks = static_cast<long>(sample_bytes().size() / kChunk);
    long prev = -1;
    size_t checked = 0;
    for (size_t at = kHeadBytes; at + kChunk <= got.size(); at += kChunk, ++checked) {
        const auto it = index.find(got.substr(at, kChunk));
        ASSERT_NE(it, index.end()) << "payload " << checked << " is not a chunk of the sample";
        long next = -1;
        for (size_t k : it->second) {
            long v = (prev + 1) / chunks * chunks + static_cast<long>(k);
            if (v <= prev)
                v += chunks;
            if (next < 0 || v < next)
                next = v;
        }
        prev = next;
    }
    EXPECT_GE(checked, 200u);
    EXPECT_TRUE(relay.child.running());
}

}  // namespace
