// The loopback stand-in for the upstream used by the intake tests.
#include "support/fake_upstream.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "intake/protocol.h"

namespace testsupport {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

}  // namespace

FakeUpstream::FakeUpstream() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return;
    sockaddr_in a = loopback(0);
    socklen_t len = sizeof a;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close(s);
        return;
    }
    // A large receive buffer, so a burst of the relay's messages is never lost in a test.
    int size = 1 << 20;
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    fd = s;
    port = ntohs(a.sin_port);
}

FakeUpstream::~FakeUpstream() {
    if (fd >= 0)
        close(fd);
}

int FakeUpstream::open_relay_socket() {
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s < 0)
        return -1;
    int size = 4 << 20;  // room for long bursts queued before one drain
    setsockopt(s, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    sockaddr_in up = loopback(port);
    sockaddr_in self{};
    socklen_t len = sizeof self;
    if (connect(s, reinterpret_cast<sockaddr*>(&up), sizeof up) != 0 ||
        getsockname(s, reinterpret_cast<sockaddr*>(&self), &len) != 0 ||
        connect(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) {
        close(s);
        return -1;
    }
    fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
    return s;
}

bool FakeUpstream::send_raw(const void* buf, size_t n) {
    return send(fd, buf, n, 0) == static_cast<ssize_t>(n);
}

bool FakeUpstream::send_data(uint32_t seq, Timespec32 ts, size_t total_len) {
    unsigned char buf[2048];
    if (total_len < kDataHeaderBytes || total_len > sizeof buf)
        return false;
    unsigned char payload[sizeof buf];
    std::memset(payload, static_cast<int>(seq & 0xff), sizeof payload);
    int n = build_data_datagram(buf, sizeof buf, seq, ts, payload, total_len - kDataHeaderBytes);
    return n > 0 && send_raw(buf, static_cast<size_t>(n));
}

bool FakeUpstream::send_echo(Timespec32 stamp, size_t n) {
    ControlMessage msg{};
    build_keepalive(&msg, stamp);
    unsigned char buf[256] = {};
    std::memcpy(buf, &msg, 12);
    return n <= sizeof buf && send_raw(buf, n);
}

std::vector<Datagram> FakeUpstream::take(int wait_ms) {
    std::vector<Datagram> out;
    if (wait_ms > 0)
        wait_readable(fd, wait_ms);
    unsigned char buf[2048];
    for (;;) {
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0)
            break;
        out.emplace_back(buf, buf + n);
    }
    return out;
}

bool wait_readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

}  // namespace testsupport
