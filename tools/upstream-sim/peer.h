// A relay's source address, usable as a map key and printable as ip:port.
#pragma once

#include <sys/socket.h>

#include <string>

namespace upsim {

struct Peer {
    sockaddr_storage addr{};
    socklen_t len = 0;
    std::string text;  // "ip:port", or "[ip6]:port"; also the session key

    static Peer from(const sockaddr_storage& addr, socklen_t len);
};

}  // namespace upsim
