// The request path's pieces: the first "-" after the leading "/" ends the address, the first
// "/" after that ends the port, and the rest is the stream name.
#include "http/request_path.h"

#include <cstring>

namespace {

// Copies the text from begin up to the first `stop` into out (kPathTextBytes); returns where
// `stop` is, or null when there is none or the piece does not fit.
const char* take_piece(const char* begin, char stop, char* out) {
    const char* end = strchr(begin, stop);
    if (end == nullptr)
        return nullptr;
    const size_t len = static_cast<size_t>(end - begin);
    if (len >= kPathTextBytes)
        return nullptr;
    std::memcpy(out, begin, len);
    out[len] = '\0';
    return end;
}

// The port text: decimal digits only, worth 1 to 65535 (leading zeros allowed); -1 otherwise.
int port_value(const char* text) {
    if (*text == '\0')
        return -1;
    int value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return -1;
        value = value * 10 + (*p - '0');
        if (value > 65535)
            return -1;
    }
    return value == 0 ? -1 : value;
}

}  // namespace

int split_request_path(const char* path, StreamPath* out) {
    const char* hyphen = take_piece(path + 1, '-', out->remote_ip);
    if (hyphen == nullptr)
        return -1;
    char port_text[kPathTextBytes];
    const char* slash = take_piece(hyphen + 1, '/', port_text);
    if (slash == nullptr)
        return -1;
    out->remote_port = port_value(port_text);
    if (out->remote_port < 0)
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
