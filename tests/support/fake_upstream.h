// Sockets for the tests: a loopback UDP peer on an ephemeral port, and a local socket pair.
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <optional>
#include <string>

#include "intake/protocol.h"  // the upstream's messages, for the tests that play it

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

// Two connected local sockets of the given type, closed with the object unless a test has
// already closed an end and set it to -1.
struct SocketPair {
    int fd[2] = {-1, -1};
    explicit SocketPair(int type = SOCK_STREAM) { EXPECT_EQ(socketpair(AF_UNIX, type, 0, fd), 0); }
    SocketPair(const SocketPair&) = delete;
    ~SocketPair() {
        for (int f : fd)
            if (f >= 0)
                close(f);
    }
};

}  // namespace testsupport
