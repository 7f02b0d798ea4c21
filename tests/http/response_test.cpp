// Tests of the response head and the whole-buffer writer.
#include "http/response.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

// Ignores SIGPIPE for the life of one test, as the daemon does for its whole life.
struct SigpipeIgnored {
    struct sigaction old;
    SigpipeIgnored() {
        struct sigaction sa = {};
        sa.sa_handler = SIG_IGN;
        sigaction(SIGPIPE, &sa, &old);
    }
    ~SigpipeIgnored() { sigaction(SIGPIPE, &old, nullptr); }
};

TEST(HttpResponseTest, HeadIsFourPiecesOfSixtySixBytes) {
    // A packet socket keeps the boundary of every write, so each piece shows up on its own.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
    ReqInfo req;
    InitReqInfo(&req);
    EXPECT_EQ(Output_HTTP_Headers(sv[0], &req), 0);
    ASSERT_EQ(Writeline(sv[0], "\x47stream", 7), 7);
    close(sv[0]);

    const std::vector<std::string> expected = {"HTTP/1.0 200 OK\r\n", "Server: Tidewater v0.1\r\n",
                                               "Content-Type: mpeg/ts\r\n", "\r\n",
                                               "\x47stream"};
    std::vector<std::string> got;
    char buf[256];
    ssize_t n;
    while ((n = recv(sv[1], buf, sizeof buf, 0)) > 0) got.emplace_back(buf, n);
    close(sv[1]);
    EXPECT_EQ(got, expected);
    size_t head_bytes = 0;
    for (size_t i = 0; i < 4 && i < got.size(); i++) head_bytes += got[i].size();
    EXPECT_EQ(head_bytes, 66u);
}

TEST(HttpResponseTest, StatusLineAlwaysSaysOk) {
    for (int status : {200, 400, 501}) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, sv), 0);
        ReqInfo req;
        InitReqInfo(&req);
        req.status = status;
        Output_HTTP_Headers(sv[0], &req);
        char buf[64];
        const ssize_t n = recv(sv[1], buf, sizeof buf, 0);
        EXPECT_EQ(std::string(buf, n > 0 ? n : 0), "HTTP/1.0 " + std::to_string(status) + " OK\r\n");
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HttpResponseTest, WritelineResultsAndMessages) {
    SigpipeIgnored ignored;
    int gone[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, gone), 0);
    close(gone[1]);
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    int closed[2];
    ASSERT_EQ(pipe(closed), 0);
    close(closed[0]);
    close(closed[1]);

    struct Case {
        const char* what;
        int fd;
        int len;
        int result;
        std::string printed;
    };
    const Case cases[] = {
        {"zero length writes nothing", closed[0], 0, 0, ""},
        {"peer gone is quiet", gone[0], 5, 5, ""},
        {"other failure is reported", p[0], 5, 0, "!!!!!!!! ERROR\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Writeline(c.fd, "hello", c.len), c.result) << c.what;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.what;
    }

    // A head to a client that has gone leaves no trace either.
    ReqInfo req;
    InitReqInfo(&req);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Output_HTTP_Headers(gone[0], &req), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    close(gone[0]);
    close(p[0]);
    close(p[1]);
}

std::atomic<int> interruptions{0};
void CountInterruption(int) { interruptions++; }

TEST(HttpResponseTest, WritelineContinuesAfterInterruptedWrites) {
    // Without SA_RESTART a signal cuts a blocked write short: it returns what it sent so far,
    // or fails with EINTR. Either way every byte must arrive once and in order.
    struct sigaction sa = {}, old;
    sa.sa_handler = CountInterruption;
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    interruptions = 0;

    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    int small = 4096;
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(sv[1], SOL_SOCKET, SO_RCVBUF, &small, sizeof small);

    std::string data(256 * 1024, '\0');
    for (size_t i = 0; i < data.size(); i++) data[i] = static_cast<char>(i * 7 + i / 251);
    std::atomic<int> result{-2};
    std::atomic<bool> done{false};
    std::thread writer([&] {
        result = Writeline(sv[0], data.data(), static_cast<int>(data.size()));
        done = true;
    });

    std::string received;
    char buf[8192];
    for (int round = 0; round < 40 && !done; round++) {
        // Let the writer fill the buffers and block, then interrupt it and read a little.
        usleep(2000);
        pthread_kill(writer.native_handle(), SIGUSR1);
        const ssize_t n = read(sv[1], buf, 1000);
        if (n <= 0) break;
        received.append(buf, n);
    }
    ssize_t n;
    while (received.size() < data.size() && (n = read(sv[1], buf, sizeof buf)) > 0) {
        received.append(buf, n);
    }
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    close(sv[0]);
    close(sv[1]);

    EXPECT_GT(interruptions.load(), 0);
    EXPECT_EQ(result.load(), static_cast<int>(data.size()));
    ASSERT_EQ(received.size(), data.size());
    EXPECT_TRUE(received == data);
}

}  // namespace
