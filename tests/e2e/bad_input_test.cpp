// Bad input end to end: junk from the upstream's side, overlong and cut-off request heads,
// connections reset at once, and an upstream that ignores suspend. After each the daemon must
// still be running and serve the next player the sample byte for byte.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <thread>
#include <unordered_set>

#include "buffer/packet_ring.h"
#include "e2e/relay_harness.h"
#include "intake/protocol.h"
#include "support/fake_upstream.h"

namespace {

using namespace e2e;
using testsupport::wait_for;

// The daemon at rest: the same threads and descriptors over a quarter second, and no more
// threads than the fewest seen (an emulator keeps a thread of its own).
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

TEST(BadInput, JunkFloodFromTheUpstreamSideNeitherStopsNorCorruptsTheNextStream) {
    Relay relay = start_http_relay();
    // Our upstream answers the stream request with the sample at 2 Mbit/s, half a second ahead,
    // and floods the socket for 3 s or more with random datagrams of 0 to 2000 bytes, eight a
    // millisecond. Whatever the relay says goes unanswered.
    testsupport::UdpPeer junk;
    int data_sent = 0, junk_sent = 0;
    std::thread upstream([&] {
        int to = 0;
        for (int i = 0; i < 100 && to == 0; ++i) {
            const auto d = junk.receive(50, &to);
            if (!d || classify_relay_message(d->data(), d->size()) != RELAY_MSG_STREAM_REQUEST)
                to = 0;
        }
        std::mt19937 rng(20240601);
        unsigned char buf[2048];
        const auto start = std::chrono::steady_clock::now();
        // Longer where the test runs slowly (sanitizers), so that the flood is as large.
        for (auto elapsed = 0ns; to != 0 && (elapsed < 3s || junk_sent <= 10000) && elapsed < 10s;
             elapsed = std::chrono::steady_clock::now() - start) {
            constexpr int64_t kPacketUs = 5264;  // 1316 bytes at 2 Mbit/s
            for (; data_sent * kPacketUs <= (elapsed + 500ms) / 1us; ++data_sent) {
                const int n =
                    build_data_datagram(buf, sizeof buf, data_sent + 1,
                                        timespec_from_us(1000000000 + data_sent * kPacketUs),
                                        sample_bytes().data() + data_sent * kChunk, kChunk);
                junk.send_to(to, std::string(reinterpret_cast<char*>(buf), n));
            }
            for (int i = 0; i < 8; ++i, ++junk_sent) {
                std::string bytes(rng() % 2001, '\0');
                for (char& b : bytes)
                    b = static_cast<char>(rng());
                junk.send_to(to, bytes);
            }
            while (junk.receive(0)) {
            }
            std::this_thread::sleep_for(1ms);
        }
    });
    const int player = http_get(relay.http_port, "/127.0.0.1-" + std::to_string(junk.port) + "/x");
    // What the player gets is the relay's business; that it keeps getting it is ours.
    const std::string got = read_bytes(player, 64 << 20, 3500ms);
    upstream.join();
    close(player);
    EXPECT_GT(junk_sent, 10000);
    EXPECT_GT(data_sent, 500);
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);
    // A lead, so that a datagram dropped on a loaded machine is recovered (see StatusPages).
    Upstream up = start_upstream({"--lead", "1000"});
    expect_plays_sample(relay, up, kChunk * 200);
    EXPECT_TRUE(relay.child.running());
}

TEST(BadInput, RefusedHeadsCutOffRequestsAndResetsLeaveNothingBehindAndTheNextPlayerStreams) {
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    const Usage rest = usage_at_rest(relay.child.pid);
    ASSERT_GT(rest.fds, 0);
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
        const int fd = send_request(relay.http_port, head);
        ASSERT_EQ(shutdown(fd, SHUT_WR), 0);
        // Refused: closed without a head and without taking the stream.
        EXPECT_EQ(read_bytes(fd, 1, 5s), "") << head.substr(0, 40);
        close(fd);
    }
    EXPECT_EQ(testsupport::count_of(up.events(), " req "), 0);
    // Every prefix of a request, closed after it (some are whole simple requests).
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: box\r\n\r\n";
    for (size_t cut = 0; cut < request.size(); ++cut)
        ASSERT_EQ(close(send_request(relay.http_port, request.substr(0, cut))), 0) << cut;
    for (int i = 0; i < 1000; ++i) {
        const int fd = connect_tcp(relay.http_port);
        ASSERT_GE(fd, 0) << i;
        const linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);  // sends RST
        // Lets the loop keep up with its backlog of ten, beyond which a SYN waits a second.
        std::this_thread::sleep_for(300us);
    }
    wait_for([&] { return usage_of(relay.child.pid) == rest; }, 10s);
    const Usage after = usage_of(relay.child.pid);
    EXPECT_EQ(after.threads, rest.threads);
    EXPECT_EQ(after.fds, rest.fds);
    expect_plays_sample(relay, up, kChunk * 200);
}

TEST(BadInput, UpstreamIgnoringSuspendNeverTearsTheStream) {
    Upstream up = start_upstream({"--ignore-suspend", "--lead", "60000"});
    Relay relay = start_http_relay();
    // A slow player behind a small receive buffer, while the upstream keeps a minute ahead: the
    // backlog passes a whole ring.
    const int fd = http_get(relay.http_port, stream_path(up), 32 * 1024);
    ASSERT_GE(fd, 0);
    std::string got;
    for (auto until = std::chrono::steady_clock::now() + 8s;
         std::chrono::steady_clock::now() < until;) {
        got += read_bytes(fd, 12 * 1024, 100ms);  // about 120 kB/s, half the stream's rate
        std::this_thread::sleep_for(100ms);
    }
    close(fd);

    // Past a whole ring the relay drops what would overwrite unsent packets, or, when the next
    // datagram is a whole ring ahead, takes the stream as renumbered and skips to it.
    const std::string log = relay.log();
    long largest_skip = 0;
    const std::string skip = "!!! Lost sending ";
    for (size_t at = log.find(skip); at != std::string::npos; at = log.find(skip, at + 1))
        largest_skip = std::max(largest_skip, std::atol(log.c_str() + at + skip.size()));
    const bool guarded = log.find("!! ring full, dropping seq=") != std::string::npos;
    EXPECT_TRUE(guarded || largest_skip >= kRingSlots) << "the backlog never passed a ring";
    EXPECT_TRUE(!guarded || up.events().find(" suspend") != std::string::npos);
    ASSERT_GE(got.size(), kHeadBytes + 200 * kChunk);
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);

    // Whole payloads of the sample only: nothing torn, nothing overwritten while unsent.
    std::unordered_set<std::string> chunks;
    for (size_t at = 0; at + kChunk <= sample_bytes().size(); at += kChunk)
        chunks.insert(sample_bytes().substr(at, kChunk));
    for (size_t at = kHeadBytes; at + kChunk <= got.size(); at += kChunk)
        ASSERT_TRUE(chunks.count(got.substr(at, kChunk))) << "a torn payload at byte " << at;
    EXPECT_TRUE(relay.child.running());
}

}  // namespace
