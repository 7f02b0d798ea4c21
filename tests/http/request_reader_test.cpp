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

std::string Str(const char* s) {
    return s != nullptr ? s : "(null)";
}

void SendAll(int fd, const std::string& text) {
    ASSERT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
}

struct LineCase {
    std::vector<const char*> lines;
    int result, method, kind, status;
    const char* resource = nullptr;
    const char* host = nullptr;
    const char* useragent = nullptr;
    const char* referer = nullptr;
};

TEST(HttpRequestTest, ParseLines) {
    const LineCase cases[] = {
        {{"GET /10.0.0.1-5000/chan-7 HTTP/1.0", "Host: box"},
         0,
         0,
         1,
         200,
         "/10.0.0.1-5000/chan-7",
         "box"},
        {{"HEAD /x HTTP/1.0"}, 0, 1, 1, 200, "/x"},
        {{"GET /a/b"}, 0, 0, 0, 200, "/a/b"},
        {{"GET \t /x y HTTP/1.1"}, 0, 0, 1, 200, "/x"},  // only a space ends the resource
        {{"GET /HTTP/x"}, 0, 0, 1, 200, "/HTTP/x"},      // "HTTP/" inside the resource counts
        {{"get /x HTTP/1.0"}, -1, 2, 0, 501},
        {{"POST /x HTTP/1.0"}, -1, 2, 0, 501},
        {{"GET  "}, -1, 0, 0, 400},
        {{"GET /x HTTP/1.0", "host:   box"}, 0, 0, 1, 200, "/x", "box"},
        {{"GET /x HTTP/1.0", "Host : box"}, 0, 0, 1, 200, "/x"},
        {{"GET /x HTTP/1.0", "Host: a", "HOST: b c"}, 0, 0, 1, 200, "/x", "b c"},
        {{"GET /x HTTP/1.0", "User-Agent: p/3 (x)", "Referer: http://r/"},
         0,
         0,
         1,
         200,
         "/x",
         nullptr,
         "p/3 (x)",
         "http://r/"},
        {{"GET /x HTTP/1.0", "Accept: */*", "Host:  ", ": v", "User-Agent-X: y"},
         0,
         0,
         1,
         200,
         "/x"},
        {{"GET /x HTTP/1.0", "no colon here"}, -1, 0, 1, 400, "/x"},
    };
    for (const auto& c : cases) {
        ReqInfo req;
        InitReqInfo(&req);
        int result = 1;
        for (const char* line : c.lines)
            result = Parse_HTTP_Header(line, &req);
        const std::string what = c.lines.back();
        EXPECT_EQ(result, c.result) << what;
        EXPECT_EQ(req.method, c.method) << what;
        EXPECT_EQ(req.kind, c.kind) << what;
        EXPECT_EQ(req.status, c.status) << what;
        EXPECT_EQ(Str(req.resource), Str(c.resource)) << what;
        EXPECT_EQ(Str(req.host), Str(c.host)) << what;
        EXPECT_EQ(Str(req.useragent), Str(c.useragent)) << what;
        EXPECT_EQ(Str(req.referer), Str(c.referer)) << what;
        FreeReqInfo(&req);
    }
}

TEST(HttpRequestTest, ReadlineEdges) {
    int sv[2], p[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    SendAll(sv[1], "abcdef\nend");
    close(sv[1]);
    char buf[16];
    EXPECT_EQ(Readline(sv[0], buf, 1), 1);  // room for the terminator only: nothing is read
    EXPECT_STREQ(buf, "");
    EXPECT_EQ(Readline(sv[0], buf, 5), 4);
    EXPECT_STREQ(buf, "abcd");
    EXPECT_EQ(Readline(sv[0], buf, 16), 3);
    EXPECT_STREQ(buf, "ef\n");
    EXPECT_EQ(Readline(sv[0], buf, 16), 3);  // end of stream ends a started line
    EXPECT_STREQ(buf, "end");
    EXPECT_EQ(Readline(sv[0], buf, 16), 0);
    EXPECT_STREQ(buf, "end");
    close(sv[0]);

    ASSERT_EQ(pipe(p), 0);
    testing::internal::CaptureStdout();
    EXPECT_EQ(Readline(p[1], buf, 16), 0);  // reading a write end fails
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "!!!!!!!! ERROR\n");
    close(p[0]);
    close(p[1]);
}

struct HeadCase {
    std::string input;
    bool close_after;
    int result, kind, status;
    const char* resource = nullptr;
    const char* host = nullptr;
};

TEST(HttpRequestTest, WholeHeads) {
    // The head reader gets 150 ms, so a case that waited for more input would give -1.
    const std::string pad = "X-Pad: " + std::string(1022 - 7, 'p');
    const HeadCase cases[] = {
        {"GET /10.0.0.1-5000/chan-7 HTTP/1.0\r\nHost: box\r\n\r\n", false, 0, 1, 200,
         "/10.0.0.1-5000/chan-7", "box"},
        {"GET /a/b/\r\n", false, 0, 0, 200, "/a/b"},
        {"GET /a/b", true, 0, 0, 200, "/a/b"},
        {"GET /\r\n", false, 0, 0, 501},
        {"HEAD /HTTP/x\nHost: h\n\n", false, 0, 1, 200, "/HTTP/x", "h"},
        {"GET /x HTTP/1.0\r\nPragma: -\r\n\r\n", false, 0, 1, 400, "/x"},
        {"GET /x HTTP/1.0\r\nReferer:\r\n\r\n", false, 0, 1, 400, "/x"},
        {"GET /x HTTP/1.0\r\nAccept: */*\r\n \t \r\nHost: late\r\n", false, 0, 1, 200, "/x"},
        {"GET /x HTTP/1.0\r\n-- ..\r\nHost: late\r\n", false, 0, 1, 200, "/x"},
        {"GET /x HTTP/1.0\r\n" + pad + "Host: box\r\n\r\n", false, 0, 1, 200, "/x", "box"},
        {"", true, 0, 0, 200},
        {"GET /x HTTP/1.0\r\nHost: box\r\n", true, -1, 1, 200, "/x", "box"},
        {"GET /x HTTP/1.0\r\nHost: box", true, -1, 1, 200, "/x", "box"},
        {"GET /x HTTP/1.0\r\n", false, -1, 1, 200, "/x"},
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        SendAll(sv[1], c.input);
        if (c.close_after)
            shutdown(sv[1], SHUT_WR);
        ReqInfo req;
        InitReqInfo(&req);
        const std::string what = c.input.substr(0, 40);
        EXPECT_EQ(Get_Request_Within(sv[0], &req, 150, 1000), c.result) << what;
        EXPECT_EQ(req.kind, c.kind) << what;
        EXPECT_EQ(req.status, c.status) << what;
        EXPECT_EQ(Str(req.resource), Str(c.resource)) << what;
        EXPECT_EQ(Str(req.host), Str(c.host)) << what;
        FreeReqInfo(&req);
        close(sv[0]);
        close(sv[1]);
    }
}

TEST(HttpRequestTest, TimeLimits) {
    const struct {
        const char* what;
        std::vector<std::string> pieces;  // with pause_ms between them
        int pause_ms, allowance_ms, limit_ms, result, min_ms, max_ms;
    } cases[] = {
        {"silent peer", {""}, 0, 150, 1000, -1, 140, 600},
        {"stall in the request line", {"GET /x HT"}, 0, 5000, 200, -1, 190, 700},
        {"stall in a header line", {"GET /x HTTP/1.0\r\nHo"}, 0, 5000, 200, -1, 190, 700},
        {"waits share one allowance",
         {"GET /x HTTP/1.0\r\n", "A: 1\r\n", "\r\n"},
         120,
         180,
         5000,
         -1,
         170,
         600},
        {"within the allowance",
         {"GET /x HTTP/1.0\r\n", "A: 1\r\n", "\r\n"},
         60,
         1000,
         5000,
         0,
         110,
         700},
        {"limit across lines",
         {"GET /x HTTP/1.0\r\n", "A: 1\r\n", "A: 2\r\n", "A: 3\r\n", "\r\n"},
         80,
         5000,
         200,
         -1,
         190,
         700},
    };
    for (const auto& c : cases) {
        int sv[2];
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        std::thread peer([&] {
            for (size_t i = 0; i < c.pieces.size(); i++) {
                if (i > 0)
                    std::this_thread::sleep_for(std::chrono::milliseconds(c.pause_ms));
                if (!c.pieces[i].empty())
                    SendAll(sv[1], c.pieces[i]);
            }
        });
        ReqInfo req;
        InitReqInfo(&req);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_EQ(Get_Request_Within(sv[0], &req, c.allowance_ms, c.limit_ms), c.result) << c.what;
        const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
                              std::chrono::steady_clock::now() - start)
                              .count();
        EXPECT_GE(took, c.min_ms) << c.what;
        EXPECT_LE(took, c.max_ms) << c.what;
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
    if (lim.rlim_max <= static_cast<rlim_t>(high) || setrlimit(RLIMIT_NOFILE, &lim) != 0) {
        GTEST_SKIP() << "cannot open descriptor " << high;
    }
    ASSERT_EQ(fcntl(high, F_GETFD), -1) << "descriptor " << high << " in use";
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    ASSERT_EQ(dup2(sv[0], high), high);
    close(sv[0]);
    ReqInfo req;
    InitReqInfo(&req);
    EXPECT_EQ(Get_Request_Within(high, &req, 100, 1000), -1);  // a silent peer is waited for
    SendAll(sv[1], "GET /hi HTTP/1.0\r\nHost: far\r\n\r\n");
    EXPECT_EQ(Get_Request(high, &req), 0);
    EXPECT_EQ(Str(req.host), "far");
    FreeReqInfo(&req);
    close(high);
    close(sv[1]);
    setrlimit(RLIMIT_NOFILE, &old);
}

TEST(HttpRequestTest, FailedWaitIsLoggedAndEndsTheHead) {
    FILE* log = tmpfile();
    ASSERT_NE(log, nullptr);
    int p[2];  // opened and closed after the log file, so that its number stays free
    ASSERT_EQ(pipe(p), 0);
    close(p[0]);
    close(p[1]);
    FILE* old = log_fp.exchange(log);
    ReqInfo req;
    InitReqInfo(&req);
    EXPECT_EQ(Get_Request(p[0], &req), -1);
    FreeReqInfo(&req);
    log_fp.store(old);
    char text[128] = {};
    rewind(log);
    const size_t n = fread(text, 1, sizeof text - 1, log);
    fclose(log);
    EXPECT_EQ(std::string(text, n),
              std::string("Error calling poll() in get_request(): ") + strerror(EBADF) + "\n");
}

}  // namespace
