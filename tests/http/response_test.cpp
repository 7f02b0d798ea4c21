// Tests of the response head and the whole-buffer writer.
#include "http/response.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "support/fake_upstream.h"

namespace {

using testsupport::SocketPair;

TEST(HttpResponseTest, HeadIsFourWritesOfExactBytes) {
    for (int status : {200, 501}) {
        // A packet socket keeps the boundary of every write, so each piece arrives on its own.
        SocketPair sv(SOCK_SEQPACKET);
        ReqInfo req;
        InitReqInfo(&req);
        req.status = status;
        EXPECT_EQ(Output_HTTP_Headers(sv.fd[0], &req), 0);
        shutdown(sv.fd[0], SHUT_WR);
        std::vector<std::string> got;
        char buf[64];
        for (ssize_t n; (n = recv(sv.fd[1], buf, sizeof buf, 0)) > 0;)
            got.emplace_back(buf, n);
        EXPECT_EQ(got, (std::vector<std::string>{"HTTP/1.0 " + std::to_string(status) + " OK\r\n",
                                                 "Server: Tidewater v0.1\r\n",
                                                 "Content-Type: mpeg/ts\r\n", "\r\n"}));
    }
}

TEST(HttpResponseTest, WritelineResultsAndMessages) {
    signal(SIGPIPE, SIG_IGN);  // as the daemon runs
    SocketPair gone;
    close(gone.fd[1]);
    gone.fd[1] = -1;
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    const struct {
        int fd, len, result;
        const char* printed;
    } cases[] = {{-1, 0, 0, ""},                     // zero length writes nothing
                 {gone.fd[0], 5, 5, ""},             // peer gone: quiet, full length
                 {p[0], 5, 0, "!!!!!!!! ERROR\n"}};  // any other failure
    for (const auto& c : cases) {
        testing::internal::CaptureStdout();
        EXPECT_EQ(Writeline(c.fd, "hello", c.len), c.result) << c.fd;
        EXPECT_EQ(testing::internal::GetCapturedStdout(), c.printed) << c.fd;
    }
    close(p[0]);
    close(p[1]);
}

TEST(HttpResponseTest, WritelineContinuesAfterInterruptedWrites) {
    // Without SA_RESTART a signal cuts a blocked write short (a partial count or EINTR); every
    // byte must still arrive once and in order.
    struct sigaction sa = {}, old;
    sa.sa_handler = [](int) {};
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    SocketPair sv;
    const int small = 4096;
    setsockopt(sv.fd[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    std::string data(256 * 1024, '\0');
    for (size_t i = 0; i < data.size(); i++)
        data[i] = static_cast<char>(i * 7 + i / 251);
    std::atomic<int> result{-2};
    std::thread writer([&] {
        result = Writeline(sv.fd[0], data.data(), static_cast<int>(data.size()));
        shutdown(sv.fd[0], SHUT_WR);  // ends the reading below, however short the result
    });
    std::string got;
    char buf[8192];
    for (ssize_t n = 1; n > 0;) {
        if (result == -2) {
            usleep(1000);  // let the writer block on full buffers, then interrupt it
            pthread_kill(writer.native_handle(), SIGUSR1);
        }
        n = read(sv.fd[1], buf, result == -2 ? 1000 : sizeof buf);
        got.append(buf, n > 0 ? n : 0);
    }
    writer.join();
    sigaction(SIGUSR1, &old, nullptr);
    EXPECT_EQ(result.load(), static_cast<int>(data.size()));
    EXPECT_TRUE(got == data) << got.size() << " of " << data.size() << " bytes";
}

}  // namespace
