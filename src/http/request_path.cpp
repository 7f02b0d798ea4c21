// The request path's pieces: the first "-" after the leading "/" ends the address, the first
// "/" after that ends the port, and the rest is the stream name.
#include "http/request_path.h"

#include <cstdlib>
#include <cstring>

int split_request_path(const char* path, StreamPath* out) {
    const char* address = path + 1;
    const char* hyphen = strchr(address, '-');
    if (hyphen == nullptr)
        return -1;
    const size_t address_len = static_cast<size_t>(hyphen - address);
    if (address_len >= kPathTextBytes)
        return -1;
    std::memcpy(out->remote_ip, address, address_len);
    out->remote_ip[address_len] = '\0';

    const char* port = hyphen + 1;
    const char* slash = strchr(port, '/');
    if (slash == nullptr)
        return -1;
    const size_t port_len = static_cast<size_t>(slash - port);
    if (port_len >= kPathTextBytes)
        return -1;
    char port_text[kPathTextBytes];
    std::memcpy(port_text, port, port_len);
    port_text[port_len] = '\0';
    out->remote_port = static_cast<int>(strtol(port_text, nullptr, 10));
    if (out->remote_port == 0)
        return -1;

    const char* url = slash + 1;
    const size_t url_len = strlen(url);
    if (url_len == 0 || url_len > kMaxClientUrl)
        return -1;
    std::memcpy(out->url, url, url_len + 1);
    // Towards the upstream the stream name separates its port with a colon.
    if (char* dash = strchr(out->url, '-'))
        *dash = ':';
    return 0;
}
