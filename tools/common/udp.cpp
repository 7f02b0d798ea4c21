// Socket addresses, resolution, buffers and poll timeouts of the helper programs.
#include "udp.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>

namespace tools {

Address Address::from(const sockaddr_storage& addr, socklen_t len) {
    Address a;
    a.addr = addr;
    a.len = len;
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        a.text = std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    } else if (addr.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        a.text = "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
    } else {
        a.text = "?";
    }
    return a;
}

bool resolve(const std::string& host, int port, int flags, Address& out, std::string& error) {
    addrinfo hints{};
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_NUMERICSERV | flags;
    addrinfo* res = nullptr;
    std::string service = std::to_string(port);
    if (int rc = getaddrinfo(host.c_str(), service.c_str(), &hints, &res); rc != 0) {
        error = gai_strerror(rc);
        return false;
    }
    sockaddr_storage a{};
    std::memcpy(&a, res->ai_addr, res->ai_addrlen);
    out = Address::from(a, res->ai_addrlen);
    freeaddrinfo(res);
    return true;
}

void enlarge_buffers(int fd, int bytes, bool force) {
    if (!force || setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    if (!force || setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0)
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

std::chrono::steady_clock::duration seconds(double s) {
    return std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double>(s));
}

std::chrono::steady_clock::time_point after(std::chrono::steady_clock::time_point start, double s) {
    return s > 0 ? start + seconds(s) : std::chrono::steady_clock::time_point::max();
}

timespec poll_timeout(std::chrono::steady_clock::time_point now,
                      std::chrono::steady_clock::time_point wake) {
    timespec timeout{0, 0};
    if (wake <= now)
        return timeout;
    auto wait = std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now);
    wait = std::min<std::chrono::nanoseconds>(wait, std::chrono::seconds(1));
    timeout.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    timeout.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    return timeout;
}

}  // namespace tools
