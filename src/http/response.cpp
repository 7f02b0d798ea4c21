// The HTTP response head and the whole-buffer writer used for it.
#include "http/response.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

int Output_HTTP_Headers(int fd, const ReqInfo* req) {
    char status_line[32];
    snprintf(status_line, sizeof status_line, "HTTP/1.0 %d OK\r\n", req->status);
    Writeline(fd, status_line, static_cast<int>(strlen(status_line)));
    Writeline(fd, "Server: Tidewater v0.1\r\n", 24);
    Writeline(fd, "Content-Type: mpeg/ts\r\n", 23);
    Writeline(fd, "\r\n", 2);
    return 0;
}

int Writeline(int fd, const char* data, int len) {
    if (len <= 0)
        return 0;
    int written = 0;
    while (written < len) {
        // A zero result must not be judged by a stale errno from an earlier call.
        errno = 0;
        const ssize_t n = write(fd, data + written, static_cast<size_t>(len - written));
        if (n > 0) {
            written += static_cast<int>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        // The client has gone; the sender finds out for itself when it writes the stream.
        if (errno == EPIPE)
            return len;
        puts("!!!!!!!! ERROR");
        return 0;
    }
    return len;
}
