// Datagrams of the conversation with the upstream, in 32-bit words of host byte order.
#pragma once

#include <cstdint>

enum : uint32_t {
    MSG_LOST_REQUEST = 1,
    MSG_STREAM_REQUEST = 2,
    MSG_KEEPALIVE = 3,
    MSG_SUSPEND = 4,
    MSG_RELEASE = 5,
};

constexpr int kControlBufferBytes = 408;
constexpr int kStartupRequestBytes = 408;  // room for a url of 399 characters
constexpr int kClientRequestBytes = 208;   // room for a url of 199 characters

// The event loop's buffer for lost requests, keepalives, suspend and release.
struct ControlMessage {
    uint32_t words[kControlBufferBytes / 4];
};
static_assert(sizeof(ControlMessage) == 408);
