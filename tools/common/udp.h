// UDP helpers the helper programs share: printable socket addresses, numeric resolution,
// socket buffers and the poll loops' timeout.
#pragma once

#include <sys/socket.h>
#include <time.h>

#include <chrono>
#include <string>

namespace tools {

// A socket address usable as a map key and printable as ip:port.
struct Address {
    sockaddr_storage addr{};
    socklen_t len = 0;
    std::string text;  // "ip:port", or "[ip6]:port"

    static Address from(const sockaddr_storage& addr, socklen_t len);
};

// Resolves a numeric host and port for UDP (getaddrinfo flags added to AI_NUMERICSERV).
// False with getaddrinfo's message in error.
bool resolve(const std::string& host, int port, int flags, Address& out, std::string& error);

// Asks for bytes of send and receive buffer; force first tries the variants that pass the
// system cap (allowed to root), so that bursts get through whole.
void enlarge_buffers(int fd, int bytes, bool force);

// Seconds as a steady-clock duration.
std::chrono::steady_clock::duration seconds(double s);

// start + s, or never (max()) when s is 0: the end of a run or the first of a series.
std::chrono::steady_clock::time_point after(std::chrono::steady_clock::time_point start, double s);

// How long a poll loop waits at now for wake: zero if it has passed, at most one second so
// that a stop is seen in time.
timespec poll_timeout(std::chrono::steady_clock::time_point now,
                      std::chrono::steady_clock::time_point wake);

}  // namespace tools
