// Parsing and matching the upstream allow-list.
#include "net/allow_list.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>

namespace {

uint32_t prefix_mask(int bits) {
    return bits == 0 ? 0 : ~uint32_t{0} << (32 - bits);
}

}  // namespace

int allow_parse(const char* text, AllowNet* out) {
    char address[INET_ADDRSTRLEN];
    const char* slash = strchr(text, '/');
    const size_t len = slash != nullptr ? static_cast<size_t>(slash - text) : strlen(text);
    if (len == 0 || len >= sizeof address)
        return -1;
    std::memcpy(address, text, len);
    address[len] = '\0';
    in_addr a;
    // Strict dotted form here: a network on the command line is written out in full.
    if (inet_pton(AF_INET, address, &a) != 1)
        return -1;
    int bits = 32;
    if (slash != nullptr) {
        char* end = nullptr;
        const long b = strtol(slash + 1, &end, 10);
        if (slash[1] == '\0' || *end != '\0' || b < 0 || b > 32)
            return -1;
        bits = static_cast<int>(b);
    }
    out->mask = prefix_mask(bits);
    out->addr = ntohl(a.s_addr) & out->mask;
    return 0;
}

bool allow_permits(const AllowList& list, const char* address) {
    if (list.count == 0)
        return true;
    in_addr a;
    // inet_aton, as the upstream socket's connect reads the same text ("127.1" included).
    if (address == nullptr || inet_aton(address, &a) == 0)
        return false;
    const uint32_t host = ntohl(a.s_addr);
    for (int i = 0; i < list.count; ++i)
        if ((host & list.nets[i].mask) == list.nets[i].addr)
            return true;
    return false;
}
