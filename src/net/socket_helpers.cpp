// IPv4 UDP socket helpers. Diagnostics go to standard error (or standard output) through the
// log's limiter, never into the log file.
#include "net/socket_helpers.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "core/log.h"

static sockaddr_in make_address(const char* address, int port) {
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (address != nullptr)
        inet_aton(address, &sa.sin_addr);
    else
        sa.sin_addr.s_addr = htonl(INADDR_ANY);
    return sa;
}

int socket_open(const char* address, int port) {
    int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0)
        return fd;
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        console_log("setsockopt error \n");
    sockaddr_in sa = make_address(address, port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int socket_connect(int fd, const char* address, int port) {
    sockaddr_in sa = make_address(address, port);
    return connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
}

int socket_join_multicast(int fd, const char* group) {
    in_addr addr;
    if (inet_aton(group, &addr) == 0)
        return -1;
    const uint32_t host = ntohl(addr.s_addr);
    if ((host >> 28) != 0xE)
        return 0;  // not class D: a unicast output joins nothing
    ip_mreq mreq;
    std::memset(&mreq, 0, sizeof mreq);
    mreq.imr_multiaddr = addr;
    mreq.imr_interface.s_addr = htonl(INADDR_ANY);
    return setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq);
}

int socket_set_ttl(int fd, int ttl) {
    if (ttl == 0)
        return 0;
    return setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
}

int socket_set_nonblock(int fd) {
    int flags = fcntl(fd, F_GETFL);
    return fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

int socket_close(int fd) {
    return close(fd);
}

int get_rcvbuf(int fd, int* size) {
    int value = 0;
    socklen_t len = sizeof value;
    if (getsockopt(fd, SOL_SOCKET, SO_RCVBUF, &value, &len) < 0) {
        error_log("get_rcvbuf: getsockopt error\n");
        return -1;
    }
    *size = value;
    return 0;
}

int set_rcvbuf(int fd, int size) {
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) < 0) {
        error_log("set_rcvbuf: setsockopt error\n");
        return -1;
    }
    return 0;
}
