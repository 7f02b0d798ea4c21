// The service manager's readiness protocol: one datagram of "KEY=value" lines on a Unix socket.
#include "daemon/service_notify.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>

int service_notify(const char* state) {
    const char* where = getenv("NOTIFY_SOCKET");
    if (where == nullptr || where[0] == '\0')
        return 0;
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    const size_t len = strlen(where);
    // An abstract name has no terminator: its length is the address's length.
    if ((where[0] != '/' && where[0] != '@') || len >= sizeof addr.sun_path) {
        errno = EINVAL;
        return -1;
    }
    memcpy(addr.sun_path, where, len);
    if (where[0] == '@')
        addr.sun_path[0] = '\0';
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    const socklen_t addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + len);
    const size_t n = strlen(state);
    const ssize_t sent =
        sendto(fd, state, n, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&addr), addr_len);
    const int err = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(n)) {
        errno = sent < 0 ? err : EMSGSIZE;
        return -1;
    }
    return 1;
}
