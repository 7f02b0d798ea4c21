// The HTTP request-head reader: waits for and reads the lines of one head under its time limits,
// and parses them into a ReqInfo.
#include "http/request_reader.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "core/log.h"
#include "core/timespec.h"
#include "http/url_text.h"

namespace {

constexpr int kLineBufferSize = 1024;
constexpr int kWaitAllowanceMs = 5000;
constexpr int kHeadLimitMs = 10000;
constexpr int64_t kNoDeadline = -1;

// Results of ReadlineBy beyond those of Readline.
constexpr int kReadTimedOut = -1;
constexpr int kReadWaitFailed = -2;

bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Waits until fd has something to report or the monotonic deadline passes. A deadline already
// passed still reports input that is there now. Returns 1 ready, 0 timed out, -1 failed (errno).
int WaitReadable(int fd, int64_t deadline_ms) {
    for (;;) {
        int64_t left = deadline_ms - monotonic_ms();
        if (left < 0)
            left = 0;
        pollfd pfd = {fd, POLLIN, 0};
        const int n = poll(&pfd, 1, static_cast<int>(left));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return -1;
        }
        if (n == 0)
            return 0;
        if (pfd.revents & POLLNVAL) {
            errno = EBADF;
            return -1;
        }
        // Input, end of stream or an error: the read that follows tells which.
        return 1;
    }
}

// Takes up to `want` bytes of one line into buf: peeks at what has arrived, then reads exactly up
// to the first line feed, so nothing past the line's end leaves the connection. A descriptor
// that is not a socket is read a byte at a time. Returns the count taken (a line feed among them
// is the last), 0 at the end of the stream, -1 when the read failed (errno).
ssize_t TakeLineBytes(int fd, char* buf, size_t want) {
    ssize_t n = recv(fd, buf, want, MSG_PEEK);
    if (n < 0 && errno == ENOTSOCK)
        return read(fd, buf, 1);
    if (n <= 0)
        return n;
    const void* line_feed = memchr(buf, '\n', static_cast<size_t>(n));
    const size_t take = line_feed != nullptr
                            ? static_cast<size_t>(static_cast<const char*>(line_feed) - buf) + 1
                            : static_cast<size_t>(n);
    return read(fd, buf, take);
}

// Readline, with a wait before every read when a deadline is given, so that a peer that stops
// in the middle of a line cannot hold the thread past it.
int ReadlineBy(int fd, char* buf, unsigned bound, int64_t deadline_ms) {
    if (bound < 2) {
        if (bound == 1)
            buf[0] = '\0';
        return 1;
    }
    unsigned stored = 0;
    while (stored < bound - 1) {
        if (deadline_ms != kNoDeadline) {
            const int ready = WaitReadable(fd, deadline_ms);
            if (ready == 0)
                return kReadTimedOut;
            if (ready < 0)
                return kReadWaitFailed;
        }
        const ssize_t n = TakeLineBytes(fd, buf + stored, bound - 1 - stored);
        if (n > 0) {
            stored += static_cast<unsigned>(n);
            if (buf[stored - 1] == '\n')
                break;
            continue;
        }
        if (n == 0) {
            if (stored == 0)
                return 0;
            break;
        }
        if (errno == EINTR)
            continue;
        if (deadline_ms != kNoDeadline && (errno == EAGAIN || errno == EWOULDBLOCK))
            continue;
        if (errno != EPIPE)
            console_log("!!!!!!!! ERROR\n");
        return 0;
    }
    buf[stored] = '\0';
    return static_cast<int>(stored);
}

// Replaces *field with a heap copy of the n bytes at text.
void StoreCopy(char** field, const char* text, size_t n) {
    free(*field);
    *field = strndup(text, n);
}

int ParseRequestLine(const char* line, ReqInfo* req) {
    const char* p;
    if (strncmp(line, "GET ", 4) == 0) {
        req->method = METHOD_GET;
        p = line + 4;
    } else if (strncmp(line, "HEAD ", 5) == 0) {
        req->method = METHOD_HEAD;
        p = line + 5;
    } else {
        req->status = 501;
        req->method = METHOD_UNSUPPORTED;
        return -1;
    }
    while (IsSpace(static_cast<unsigned char>(*p)))
        p++;
    const char* end = strchr(p, ' ');
    const size_t len = end != nullptr ? static_cast<size_t>(end - p) : strlen(p);
    if (len == 0) {
        req->status = 400;
        return -1;
    }
    StoreCopy(&req->resource, p, len);
    req->kind = strstr(p, "HTTP/") != nullptr ? REQUEST_FULL : REQUEST_SIMPLE;
    req->state = 0;
    return 0;
}

int ParseHeaderLine(const char* line, ReqInfo* req) {
    const char* colon = strchr(line, ':');
    if (colon == nullptr) {
        req->status = 400;
        return -1;
    }
    const char* value = colon + 1;
    while (IsSpace(static_cast<unsigned char>(*value)))
        value++;
    if (*value == '\0')
        return 0;

    // The name is compared as sent, white space included, after upper-casing. A name longer
    // than the longest one kept cannot match, so a small copy is enough.
    const size_t name_len = static_cast<size_t>(colon - line);
    char name[sizeof "USER-AGENT"];
    if (name_len >= sizeof name)
        return 0;
    memcpy(name, line, name_len);
    name[name_len] = '\0';
    StrUpper(name);

    char** field = nullptr;
    if (strcmp(name, "USER-AGENT") == 0) {
        field = &req->useragent;
    } else if (strcmp(name, "HOST") == 0) {
        field = &req->host;
    } else if (strcmp(name, "REFERER") == 0) {
        field = &req->referer;
    } else if (strcmp(name, "ACCEPT") == 0) {
        field = &req->accept;
    }
    if (field != nullptr)
        StoreCopy(field, value, strlen(value));
    return 0;
}

void LogWaitFailure() {
    relay_log("Error calling poll() in get_request(): %s\n", strerror(errno));
}

}  // namespace

int InitReqInfo(ReqInfo* req) {
    req->method = METHOD_UNSUPPORTED;
    req->kind = REQUEST_SIMPLE;
    req->referer = nullptr;
    req->useragent = nullptr;
    req->resource = nullptr;
    req->host = nullptr;
    req->accept = nullptr;
    req->status = 200;
    req->state = 1;
    return 0;
}

void FreeReqInfo(ReqInfo* req) {
    free(req->useragent);
    free(req->host);
    free(req->referer);
    free(req->resource);
    free(req->accept);
    req->accept = nullptr;
    req->useragent = nullptr;
    req->host = nullptr;
    req->referer = nullptr;
    req->resource = nullptr;
}

int Get_Request(int fd, ReqInfo* req) {
    return Get_Request_Within(fd, req, kWaitAllowanceMs, kHeadLimitMs);
}

int Get_Request_Within(int fd, ReqInfo* req, int allowance_ms, int limit_ms) {
    char buffer[kLineBufferSize];
    memset(buffer, 0, sizeof buffer);
    const int64_t start = monotonic_ms();
    const int64_t limit_at = start + limit_ms;
    int64_t allowance_left = allowance_ms;
    int head_bytes = 0;

    for (bool first_line = true;; first_line = false) {
        // The waits for the starts of lines draw on one shared allowance, never past the limit.
        const int64_t wait_from = monotonic_ms();
        const int64_t wait_until =
            wait_from + allowance_left < limit_at ? wait_from + allowance_left : limit_at;
        const int ready = WaitReadable(fd, wait_until);
        allowance_left -= monotonic_ms() - wait_from;
        if (allowance_left < 0)
            allowance_left = 0;
        if (ready < 0) {
            LogWaitFailure();
            return -1;
        }
        if (ready == 0)
            return -1;

        const int count = ReadlineBy(fd, buffer, kLineBufferSize - 1, limit_at);
        if (count == kReadWaitFailed) {
            LogWaitFailure();
            return -1;
        }
        if (count == kReadTimedOut)
            return -1;
        // Nothing at all reads as an empty head; a head cut off after its request line is
        // incomplete, and the line left in the buffer has been dealt with already.
        if (count == 0)
            return first_line ? 0 : -1;
        head_bytes += count;
        if (head_bytes > kMaxHeadBytes) {
            req->status = 400;  // refused like any other bad head
            return 0;
        }

        Trim(buffer);
        if (buffer[0] == '\0')
            return 0;
        if (Parse_HTTP_Header(buffer, req) != 0)
            return 0;
        if (monotonic_ms() - start > limit_ms)
            return -1;
        if (req->kind == REQUEST_SIMPLE)
            return 0;
    }
}

int Parse_HTTP_Header(const char* line, ReqInfo* req) {
    return req->state == 1 ? ParseRequestLine(line, req) : ParseHeaderLine(line, req);
}

int Readline(int fd, char* buf, unsigned bound) {
    return ReadlineBy(fd, buf, bound, kNoDeadline);
}
