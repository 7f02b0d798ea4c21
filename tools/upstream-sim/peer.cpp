// Formatting of relay addresses.
#include "peer.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace upsim {

Peer Peer::from(const sockaddr_storage& addr, socklen_t len) {
    Peer p;
    p.addr = addr;
    p.len = len;
    char host[INET6_ADDRSTRLEN] = "?";
    if (addr.ss_family == AF_INET) {
        const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
        inet_ntop(AF_INET, &a->sin_addr, host, sizeof host);
        p.text = std::string(host) + ":" + std::to_string(ntohs(a->sin_port));
    } else if (addr.ss_family == AF_INET6) {
        const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
        inet_ntop(AF_INET6, &a->sin6_addr, host, sizeof host);
        p.text = "[" + std::string(host) + "]:" + std::to_string(ntohs(a->sin6_port));
    } else {
        p.text = "?";
    }
    return p;
}

}  // namespace upsim
