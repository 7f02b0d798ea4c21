// The upstream socket with its connect retries, and the datagram output socket.
#include "net/openers.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/log.h"
#include "net/socket_helpers.h"

namespace {

constexpr int kMinRcvbuf = 1480;
// Room for about two seconds of a 8 Mbit/s stream: an upstream that answers a request with a
// burst must not overflow the socket before the event loop drains it.
constexpr int kWantedRcvbuf = 2 * 1024 * 1024;

// Closes a socket that failed before anyone saw it, keeping the failure's errno.
int fail_open(int fd) {
    int err = errno;
    close(fd);
    errno = err;
    return -1;
}

// Asks for kWantedRcvbuf, beyond the system's cap where the process is privileged; the kernel
// grants what it can. False only when neither request was accepted at all.
bool raise_rcvbuf(int fd) {
    int wanted = kWantedRcvbuf;
#ifdef SO_RCVBUFFORCE
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &wanted, sizeof wanted) == 0)
        return true;
#endif
    return setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &wanted, sizeof wanted) == 0;
}

}  // namespace

int isock_open() {
    int fd = socket_open("0.0.0.0", 0);
    if (fd < 0) {
        error_log("prepare_isock: socket\n");
        return -1;
    }

    int size = 0;
    int got = get_rcvbuf(fd, &size);
    console_log("rcv buflen: %d\n", got == 0 ? size : 0);
    if (got != 0)
        return fail_open(fd);
    if (size < kWantedRcvbuf && !raise_rcvbuf(fd) && size < kMinRcvbuf &&
        set_rcvbuf(fd, kMinRcvbuf) != 0)
        return fail_open(fd);

    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0) {
        error_log("prepare_isock: setsockopt SO_REUSEADDR\n");
        return fail_open(fd);
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        error_log("prepare_isock: F_GETFL %s\n", strerror(errno));
        return fail_open(fd);
    }
    if (fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        error_log("prepare_isock: F_SETFL O_NONBLOCK %s\n", strerror(errno));
        return fail_open(fd);
    }
    return fd;
}

int isock_connect_try(int fd, const char* address, int port, int attempt) {
    if (socket_connect(fd, address, port) == 0)
        return 0;
    const int err = errno;
    relay_log("connect try %d, %s, %s:%d\n", attempt, strerror(err), address ? address : "", port);
    errno = err;
    return -1;
}

int prepare_isock(std::atomic<int>* isock, const char* address, int port) {
    const int fd = isock_open();
    if (fd < 0) {
        isock->store(0, std::memory_order_relaxed);
        return -1;
    }
    int err = 0;
    for (int attempt = 1; attempt <= kConnectTries; ++attempt) {
        if (isock_connect_try(fd, address, port, attempt) == 0) {
            // Published only once usable: a socket that fails is closed here, never watched.
            isock->store(fd, std::memory_order_relaxed);
            return 0;
        }
        err = errno;
        usleep(kConnectPauseMs * 1000);
    }
    error_log("prepare_isock: connect %s\n", strerror(err));
    close(fd);
    isock->store(0, std::memory_order_relaxed);
    errno = err;
    return -1;
}

int prepare_osock(int* osock, const char* address, int port) {
    int fd = socket_open("0.0.0.0", 0);
    if (fd < 0) {
        *osock = 0;
        return -1;
    }
    *osock = fd;
    socket_set_nonblock(fd);
    if (socket_connect(fd, address, port) != 0) {
        *osock = 0;
        socket_close(fd);
        return -1;
    }
    socket_join_multicast(fd, address);
    socket_set_ttl(fd, 15);
    return 0;
}
