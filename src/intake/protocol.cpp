// Building and reading the upstream protocol's datagrams byte for byte.
#include "intake/protocol.h"

#include <cstring>

uint32_t read_word(const void* buf, size_t index) {
    uint32_t w;
    std::memcpy(&w, static_cast<const unsigned char*>(buf) + 4 * index, sizeof w);
    return w;
}

namespace {

int build_short(ControlMessage* msg, uint32_t type) {
    msg->words[0] = type;
    msg->words[1] = 0;
    return kShortControlBytes;
}

}  // namespace

int build_stream_request(char* record, size_t capacity, const char* url) {
    const size_t len = std::strlen(url);
    if (len + kStreamRequestOverhead > capacity)
        return -1;
    const uint32_t type = MSG_STREAM_REQUEST;
    std::memcpy(record, &type, sizeof type);
    std::memcpy(record + 4, url, len + 1);
    // The upstream reads nothing there, but a fixed value keeps the datagram reproducible.
    std::memset(record + 5 + len, 0, 4);
    return static_cast<int>(len) + kStreamRequestOverhead;
}

int stream_request_length(const char* record) {
    return static_cast<int>(std::strlen(record + 4)) + kStreamRequestOverhead;
}

int build_stop_request(char* record) {
    const uint32_t type = MSG_STREAM_REQUEST;
    std::memcpy(record, &type, sizeof type);
    std::memset(record + 4, 0, 5);
    return kStopRequestBytes;
}

int build_lost_request(ControlMessage* msg, const uint32_t* seqs, int count) {
    if (count < 1 || count > kLostRequestMax)
        return -1;
    msg->words[0] = MSG_LOST_REQUEST;
    msg->words[1] = static_cast<uint32_t>(count);
    std::memcpy(&msg->words[2], seqs, sizeof(uint32_t) * static_cast<size_t>(count));
    return lost_request_bytes(count);
}

int build_keepalive(ControlMessage* msg, Timespec32 now) {
    msg->words[0] = MSG_KEEPALIVE;
    msg->words[1] = static_cast<uint32_t>(now.tv_sec);
    msg->words[2] = static_cast<uint32_t>(now.tv_nsec);
    return kKeepaliveBytes;
}

int build_keepalive_suspended(ControlMessage* msg) {
    return build_short(msg, MSG_KEEPALIVE);
}
int build_suspend(ControlMessage* msg) {
    return build_short(msg, MSG_SUSPEND);
}
int build_release(ControlMessage* msg) {
    return build_short(msg, MSG_RELEASE);
}

int build_data_datagram(void* out, size_t capacity, uint32_t seq, Timespec32 ts,
                        const void* payload, size_t payload_len) {
    if (kDataHeaderBytes + payload_len > capacity)
        return -1;
    unsigned char* p = static_cast<unsigned char*>(out);
    std::memcpy(p, &seq, 4);
    std::memcpy(p + 4, &ts.tv_sec, 4);
    std::memcpy(p + 8, &ts.tv_nsec, 4);
    if (payload_len > 0)
        std::memcpy(p + kDataHeaderBytes, payload, payload_len);
    return kDataHeaderBytes + static_cast<int>(payload_len);
}

ArrivalKind classify_arrival(const void* buf, ssize_t n) {
    if (n <= 0)
        return ARRIVAL_NONE;
    if (n >= kMinDataDatagram)
        return ARRIVAL_DATA;
    // A control datagram of fewer than four bytes has no whole type word.
    if (n < 4 || read_word(buf, 0) != MSG_KEEPALIVE)
        return ARRIVAL_IGNORED;
    return n >= kKeepaliveBytes ? ARRIVAL_ECHO : ARRIVAL_SHORT_ECHO;
}

Timespec32 echo_stamp(const void* buf) {
    return Timespec32{static_cast<int32_t>(read_word(buf, 1)),
                      static_cast<int32_t>(read_word(buf, 2))};
}

RelayMessageKind classify_relay_message(const void* buf, size_t n) {
    if (n < 8)
        return RELAY_MSG_UNKNOWN;
    const uint32_t type = read_word(buf, 0);
    const unsigned char* bytes = static_cast<const unsigned char*>(buf);
    switch (type) {
        case MSG_STREAM_REQUEST:
            if (n == kStopRequestBytes && bytes[4] == 0)
                return RELAY_MSG_STOP;
            if (n > kStopRequestBytes && bytes[n - 5] == 0 &&
                std::memchr(bytes + 4, 0, n - 9) == nullptr)
                return RELAY_MSG_STREAM_REQUEST;
            return RELAY_MSG_UNKNOWN;
        case MSG_LOST_REQUEST:
            return read_lost_request(buf, n, nullptr, 0) >= 0 ? RELAY_MSG_LOST_REQUEST
                                                              : RELAY_MSG_UNKNOWN;
        case MSG_KEEPALIVE:
            if (n == kKeepaliveBytes)
                return RELAY_MSG_KEEPALIVE;
            return n == kShortControlBytes ? RELAY_MSG_KEEPALIVE_SUSPENDED : RELAY_MSG_UNKNOWN;
        case MSG_SUSPEND:
            return n == kShortControlBytes ? RELAY_MSG_SUSPEND : RELAY_MSG_UNKNOWN;
        case MSG_RELEASE:
            return n == kShortControlBytes ? RELAY_MSG_RELEASE : RELAY_MSG_UNKNOWN;
        default:
            return RELAY_MSG_UNKNOWN;
    }
}

int read_lost_request(const void* buf, size_t n, uint32_t* out, int max) {
    if (n < 8 || read_word(buf, 0) != MSG_LOST_REQUEST)
        return -1;
    const uint32_t count = read_word(buf, 1);
    if (count < 1 || count > kLostRequestMax || n != static_cast<size_t>(8 + 4 * count))
        return -1;
    for (uint32_t i = 0; i < count && static_cast<int>(i) < max; ++i)
        out[i] = read_word(buf, 2 + i);
    return static_cast<int>(count);
}
