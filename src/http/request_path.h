// Splitting a client's request path "/ADDRESS-PORT/STREAM-NAME" into the upstream and the url.
#pragma once

constexpr int kPathTextBytes = 104;  // address and port texts: at most 103 characters each
constexpr int kMaxClientUrl = 199;   // what fits a 208-byte stream request

struct StreamPath {
    char remote_ip[kPathTextBytes];
    int remote_port;
    char url[kMaxClientUrl + 1];  // the stream name with its first "-" turned into ":"
};

// path is decoded and cut at "|" already, and begins with "/". Returns 0 when it names an
// upstream and a stream; -1 for a wrong resource (no "-", no "/" after it, a port text that is
// not 1 to 65535 in decimal digits, an empty url, or a piece too long for its buffer).
int split_request_path(const char* path, StreamPath* out);
