// Loopback UDP peers for the tests: a plain socket on an ephemeral port, and a stand-in for the
// upstream connected to the relay's `isock`.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

namespace testsupport {

using Datagram = std::string;

inline sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline bool wait_readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    return poll(&p, 1, ms) == 1;
}

// The port fd is bound to.
inline int local_port(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

// Binds fd to an ephemeral port on 127.0.0.1, with a receive buffer large enough for a whole
// test's burst. Returns the port.
inline int bind_loopback(int fd) {
    int size = 32 << 20;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    const sockaddr_in a = loopback(0);
    bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return local_port(fd);
}

struct UdpPeer {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    int port = bind_loopback(fd);

    UdpPeer() = default;
    UdpPeer(const UdpPeer&) = delete;
    ~UdpPeer() { close(fd); }

    bool send_to(int to_port, const std::string& bytes) const {
        const sockaddr_in a = loopback(to_port);
        return sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&a),
                      sizeof a) == static_cast<ssize_t>(bytes.size());
    }
    // One datagram, or nullopt after timeout_ms; *from_port gets the sender's port.
    std::optional<Datagram> receive(int timeout_ms, int* from_port = nullptr) const {
        if (!wait_readable(fd, timeout_ms))
            return std::nullopt;
        std::string buf(65536, '\0');
        sockaddr_in from{};
        socklen_t len = sizeof from;
        const ssize_t n = recvfrom(fd, buf.data(), buf.size(), MSG_DONTWAIT,
                                   reinterpret_cast<sockaddr*>(&from), &len);
        if (n < 0)
            return std::nullopt;
        if (from_port)
            *from_port = ntohs(from.sin_port);
        buf.resize(static_cast<size_t>(n));
        return buf;
    }
};

// The upstream's side of the relay's `isock`.
struct FakeUpstream : UdpPeer {
    // A non-blocking socket connected to this peer, which is connected back to it. Returns the
    // descriptor (the caller closes it), or -1.
    int open_relay_socket() {
        const int s = socket(AF_INET, SOCK_DGRAM, 0);
        const sockaddr_in up = loopback(port), self = loopback(bind_loopback(s));
        if (connect(s, reinterpret_cast<const sockaddr*>(&up), sizeof up) != 0 ||
            connect(fd, reinterpret_cast<const sockaddr*>(&self), sizeof self) != 0) {
            close(s);
            return -1;
        }
        fcntl(s, F_SETFL, fcntl(s, F_GETFL) | O_NONBLOCK);
        return s;
    }
    bool send_raw(const void* buf, size_t n) {
        return send(fd, buf, n, 0) == static_cast<ssize_t>(n);
    }
};

}  // namespace testsupport
