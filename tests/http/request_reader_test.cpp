// Tests of the request-head reader: line parsing, whole heads over a socket, time limits.
#include "http/request_reader.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "core/log.h"

namespace {

void SendAll(int fd, const std::string& text) {
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

// A result and the record as one line: result, method, kind, status, then resource, host,
// user agent and referer.
std::string Describe(int result, const ReqInfo& req) {
    auto str = [](const char* s) { return s != nullptr ? std::string(s) : "-"; };
    return std::to_string(result) + ": " + std::to_string(req.method) + " " +
           std::to_string(req.kind) + " " + std::to_string(req.status) + " " + str(req.resource) +
           " " + str(req.host) + " " + str(req.useragent) + " " + str(req.referer);
}

TEST(HttpRequestTest, ParseLines) {
    const struct {
        std::vector<const char*> lines;
        const char* want;
    } cases[] = {
        {{"GET /10.0.0.1-5000/chan-7 HTTP/1.0", "Host: box"},
         "0: 0 1 200 /10.0.0.1-5000/chan-7 box - -"},
        {{"HEAD /x HTTP/1.0"}, "0: 1 1 200 /x - - -"},
        {{"GET /a/b"}, "0: 0 0 200 /a/b - - -"},
        {{"GET \t /x y HTTP/1.1"}, "0: 0 1 200 /x - - -"},  // only a space ends the resource
        {{"GET /HTTP/x"}, "0: 0 1 200 /HTTP/x - - -"},      // "HTTP/" in the resource counts
        {{"get /x HTTP/1.0"}, "-1: 2 0 501 - - - -"},
        {{"GET  "}, "-1: 0 0 400 - - - -"},
        {{"GET /x HTTP/1.0", "host:   box"}, "0: 0 1 200 /x box - -"},
        {{"GET /x HTTP/1.0", "Host : box"}, "0: 0 1 200 /x - - -"},
        {{"GET /x HTTP/1.0", "Host: a", "HOST: b c"}, "0: 0 1 200 /x b c - -"},
        {{"GET /x HTTP/1.0", "User-Agent: p/3 (x)", "Referer: http://r/"},
         "0: 0 1 200 /x - p/3 (x) http://r/"},
        {{"GET /x HTTP/1.0", "Accept: */*", "Host:  ", ": v", "User-Agent-X: y"},
         "0: 0 1 200 /x - - -"},
        {{"GET /x HTTP/1.0", "no colon here"}, "-1: 0 1 400 /x - - -"},
    };
    for (const auto& c : cases) {
        ReqInfo req;
        InitReqInfo(&req);
        int result = 1;
        for (const char* line : c.lines)
            result = Parse_HTTP_Header(line, &req);
        EXPECT_EQ(Describe(result, req), c.want) << c.lines.back();
        FreeReqInfo(&req);
    }
}

TEST(HttpRequestTest, ReadlineEdges) {
    int sv[2], p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SendAll(sv[1], "abcdef\nend");
    close(sv[1]);
    char buf[16];
    auto read = [&](unsigned bound) {
        const int n = Readline(sv[0], buf, bound);
        return std::to_string(n) + " " + buf;
    };
    EXPECT_EQ(read(1), "1 ");  // room for the terminator only: nothing is read
    EXPECT_EQ(read(5), "4 abcd");
    EXPECT_EQ(read(16), "3 ef\n");
    EXPECT_EQ(read(16), "3 end");  // end of stream ends a started line
    EXPECT_EQ(read(16), "0 end");
    close(sv[0]);

    ASSERT_EQ(pipe(p), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Readline(p[1], buf, 16), 0);  // reading a write end fails
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!!!!!!! ERROR\n");
    close(p[0]);
    close(p[1]);
}

TEST(HttpRequestTest, WholeHeads) {
    // The head reader gets 150 ms, so a case that waited for more input would give -1.
    const std::string pad = "X-Pad: " + std::string(1022 - 7, 'p');
    const struct {
        std::string input;
        bool close_after;
        const char* want;
    } cases[] = {
        {"GET /10.0.0.1-5000/chan-7 HTTP/1.0\r\nHost: box\r\n\r\n", false,
         "0: 0 1 200 /10.0.0.1-5000/chan-7 box - -"},
        {"GET /a/b/\r\n", false, "0: 0 0 200 /a/b - - -"},
        {"GET /a/b", true, "0: 0 0 200 /a/b - - -"},
        {"GET /\r\n", false, "0: 2 0 501 - - - -"},
        {"HEAD /HTTP/x\nHost: h\n\n", false, "0: 1 1 200 /HTTP/x h - -"},
        {"GET /x HTTP/1.0\r\nPragma: -\r\n\r\n", false, "0: 0 1 400 /x - - -"},
        {"GET /x HTTP/1.0\r\nAccept: */*\r\n \t \r\nHost: late\r\n", false, "0: 0 1 200 /x - - -"},
        {"GET /x HTTP/1.0\r\n-- ..\r\nHost: late\r\n", false, "0: 0 1 200 /x - - -"},
        {"GET /x HTTP/1.0\r\n" + pad + "Host: box\r\n\r\n", false, "0: 0 1 200 /x box - -"},
        {"", true, "0: 2 0 200 - - - -"},
        {"GET /x HTTP/1.0\r\nHost: box\r\n", true, "-1: 0 1 200 /x box - -"},
        {"GET /x HTTP/1.0\r\nHost: box", true, "-1: 0 1 200 /x box - -"},
        {"GET /x HTTP/1.0\r\n", false, "-1: 0 1 200 /x - - -"},
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        SendAll(sv[1], c.input);
        if (c.close_after)
            shutdown(sv[1], SHUT_WR);
        ReqInfo req;
        InitReqInfo(&req);
        const int result = Get_Request_Within(sv[0], &req, 150, 1000);
        EXPECT_EQ(Describe(result, req), c.want) << c.input.substr(0, 40);
        FreeReqInfo(&req);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HttpRequestTest, TimeLimits) {
    const struct {
        const char* what;
        const char* pieces;  // sent with pause_ms between the pieces that '|' separates
        int pause_ms, allowance_ms, limit_ms, result, took_ms;
    } cases[] = {
        {"silent peer", "", 0, 150, 1000, -1, 150},
        {"stall in a line", "GET /x HTTP/1.0\nHo", 0, 5000, 200, -1, 200},
        {"shared allowance", "GET /x HTTP/1.0\n|A: 1\n|\n", 120, 180, 5000, -1, 180},
        {"within the allowance", "GET /x HTTP/1.0\n|A: 1\n|\n", 60, 1000, 5000, 0, 120},
        {"limit across lines", "GET /x HTTP/1.0\n|A: 1\n|A: 2\n|A: 3\n|\n", 80, 5000, 200, -1, 200},
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::thread peer([&] {
            std::string rest = c.pieces;
            for (size_t bar = rest.find('|');; bar = rest.find('|')) {
                SendAll(sv[1], rest.substr(0, bar));
                if (bar == std::string::npos)
                    break;
                rest.erase(0, bar + 1);
                std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
            }
        });
        ReqInfo req;
        InitReqInfo(&req);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Get_Request_Within(sv[0], &req, c.allowance_ms, c.limit_ms), c.result) << c.what;
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_GE(took, std::chrono::milliseconds(c.took_ms - 10)) << c.what;
        EXPECT_LE(took, std::chrono::milliseconds(c.took_ms + 500)) << c.what;
        EXPECT_EQ(req.status, 200) << c.what;
        peer.join();
        FreeReqInfo(&req);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HttpRequestTest, DescriptorAbove1023) {
    const int high = 1500;
    rlimit lim, old;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &old), 0);
    lim = old;
    lim.rlim_cur = lim.rlim_max;
    if (lim.rlim_max <= static_cast<rlim_t>(high) || setrlimit(RLIMIT_NOFILE, &lim) != 0)
        GTEST_SKIP() << "cannot open descriptor " << high;
    ASSERT_EQ(fcntl(high, F_GETFD), -1) << "descriptor " << high << " in use";
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(dup2(sv[0], high), high);
    close(sv[0]);
    ReqInfo req;
    InitReqInfo(&req);
    EXPECT_EQ(Get_Request_Within(high, &req, 100, 1000), -1);  // a silent peer is waited for
    SendAll(sv[1], "GET /hi HTTP/1.0\r\nHost: far\r\n\r\n");
    EXPECT_EQ(Describe(Get_Request(high, &req), req), "0: 0 1 200 /hi far - -");
    FreeReqInfo(&req);
    close(high);
    close(sv[1]);
    setrlimit(RLIMIT_NOFILE, &old);
}

TEST(HttpRequestTest, FailedWaitIsLoggedAndEndsTheHead) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    close(p[1]);
    char* text = nullptr;
    size_t size = 0;
    FILE* log = open_memstream(&text, &size);  // holds no descriptor: p[0] stays closed
    FILE* old = log_fp.exchange(log);
    ReqInfo req;
    InitReqInfo(&req);
    EXPECT_EQ(Get_Request(p[0], &req), -1);
    log_fp.store(old);
    fclose(log);
    EXPECT_EQ(std::string(text, size),
              std::string("Error calling poll() in get_request(): ") + strerror(EBADF) + "\n");
    free(text);
}

}  // namespace
