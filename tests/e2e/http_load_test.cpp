// HTTP mode under crowds of idle and trickling connections: the stream must still reach the
// latest valid player.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "e2e/relay_harness.h"
#include "http/head_cap.h"

namespace {

using namespace e2e;
using testsupport::count_logged;
using testsupport::count_of;
using testsupport::wait_for;

// Raises this process's open-file limit (the relay inherits it) for the flood.
bool raise_nofile(rlim_t want) {
    rlimit lim{};
    getrlimit(RLIMIT_NOFILE, &lim);
    lim.rlim_cur = std::max(lim.rlim_cur, std::min(want, lim.rlim_max));
    return setrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur >= want;
}

// Fifty clients trickle a byte a second and are closed within the head's time limit; then a
// flood of idle connections beyond the head cap (64 without -c): each accept closes the oldest
// still sending its head, so the relay holds no more descriptors than the cap and its spare
// slots, while the players' heads, whole with their connects, are neither closed nor dropped.
TEST(HttpLoad, TricklingClientsAreClosedAndPlayersWereKeptOutByAnIdleFloodAtTheHeadCap) {
    if (!raise_nofile(4096))
        GTEST_SKIP() << "cannot raise the open-file limit";
    // A lead: a loop slowed by the flood and a busy machine must not run the sender dry, which
    // would rightly skip to the newest datagram.
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    const int base = usage_of(relay.child.pid).fds;
    std::vector<int> open;
    for (int i = 0; i < 50; ++i)
        open.push_back(connect_tcp(relay.http_port));
    const auto start = std::chrono::steady_clock::now();
    const std::string request = "GET /127.0.0.1-1/never-ending-line-of-a-request";
    for (size_t sent = 0; !open.empty() && std::chrono::steady_clock::now() - start < 20s; ++sent) {
        std::erase_if(open, [&](int fd) {
            char buf[16];
            const bool closed = recv(fd, buf, sizeof buf, MSG_DONTWAIT) == 0 ||
                                send(fd, &request[sent % request.size()], 1, MSG_NOSIGNAL) < 0;
            if (closed)
                close(fd);
            return closed;
        });
        std::this_thread::sleep_for(1s);
    }
    EXPECT_TRUE(open.empty());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 14s);  // 10 s a head, plus 1 s steps
    // Fifty closures within a second pass the log's 20 lines a second for one cause: the rest
    // are counted in "left out" lines once the second is over.
    const auto closures = [&] {
        return count_logged(relay.log(), "Get req, status=200, exiting",
                            "Get req, status=%d, exiting");
    };
    EXPECT_TRUE(wait_for([&] { return closures() == 50; }, 5s)) << closures();

    std::atomic<bool> done{false};  // written by the test's thread, read by the flood's
    std::atomic<int> opened{0};     // written by the flood's thread, read by the test's
    std::vector<int> idle;          // the flood's until it is joined
    std::thread flood([&] {
        // At most 3000 connections and 60 s, open until the relay closes them at the cap.
        const auto until = std::chrono::steady_clock::now() + 60s;
        while (!done.load() && opened.load() < 3000 && std::chrono::steady_clock::now() < until) {
            const int fd = connect_tcp(relay.http_port);
            if (fd < 0)
                continue;
            opened.fetch_add(1);
            idle.push_back(fd);
        }
    });
    EXPECT_TRUE(wait_for([&] { return opened.load() >= 100; }, 20s));
    int most = 0;
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE(i);
        expect_plays_sample(relay, up, kChunk * 4);
        most = std::max(most, usage_of(relay.child.pid).fds - base);
    }
    EXPECT_LE(most, kDefaultHeadCap + kSpareHeadSlots + 10);  // and the accepts under way
    EXPECT_TRUE(
        logs(relay.child, " connections still sending their head closed at the cap of 64", 20s));
    done.store(true);
    flood.join();
    for (int fd : idle)
        close(fd);
}

}  // namespace
