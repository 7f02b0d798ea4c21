// The HTTP response head and the whole-buffer writer used for it.
#include "http/response.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"

int Output_HTTP_Headers(int fd, const ReqInfo* req, const char* content_type) {
    char status_line[32];
    snprintf(status_line, sizeof status_line, "HTTP/1.0 %d OK\r\n", req->status);
    Writeline(fd, status_line, static_cast<int>(strlen(status_line)));
    Writeline(fd, "Server: Tidewater v0.1\r\n", 24);
    char type_line[sizeof "Content-Type: \r\n" + kMaxContentType];
    const int type_len = snprintf(type_line, sizeof type_line, "Content-Type: %s\r\n",
                                  content_type != nullptr ? content_type : "mpeg/ts");
    Writeline(fd, type_line, type_len);
    Writeline(fd, "\r\n", 2);
    return 0;
}

bool content_type_valid(const char* text) {
    const size_t len = strlen(text);
    if (len == 0 || len > kMaxContentType)
        return false;
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        // No line ends or other control bytes: they would end the head or forge a header.
        if (c < 0x20 || c >= 0x7f)
            return false;
    }
    return true;
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
        console_log("!!!!!!!! ERROR\n");
        return 0;
    }
    return len;
}
