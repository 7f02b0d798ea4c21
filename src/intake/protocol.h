// Datagrams of the conversation with the upstream, in 32-bit words of host byte order: builders
// of what the relay sends and classifiers of what arrives, with no sockets and no state.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

#include "core/timespec.h"

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

// Lengths on the wire.
constexpr int kStreamRequestOverhead = 9;  // type word, the url's NUL, four trailing bytes
constexpr int kStopRequestBytes = 9;
constexpr int kLostRequestMax = 49;    // numbers in one lost request, although the buffer holds 100
constexpr int kKeepaliveBytes = 12;    // keepalive with timestamp, and the echo that returns it
constexpr int kShortControlBytes = 8;  // suspend, release, keepalive during suspension
constexpr int kDataHeaderBytes = 12;   // seqnum, timestamp seconds, timestamp nanoseconds
constexpr int kMinDataDatagram = 188;  // shorter arrivals are control datagrams

// The event loop's buffer for lost requests, keepalives, suspend and release.
struct ControlMessage {
    uint32_t words[kControlBufferBytes / 4];
};
static_assert(sizeof(ControlMessage) == 408);

// Word index of a datagram, read whatever the buffer's alignment.
uint32_t read_word(const void* buf, size_t index);

constexpr int lost_request_bytes(int count) {
    return 8 + 4 * count;
}

// --- What the relay sends. Each builder returns the number of bytes to send. ---

// Type 2, the url and its NUL from offset 4, then four zero bytes. Returns strlen(url) + 9, or
// -1 (record untouched) when that does not fit in capacity bytes.
int build_stream_request(char* record, size_t capacity, const char* url);

// Length of the stream request held in a record built by build_stream_request (the paced
// sender repeats the current one): strlen of the url at offset 4, plus 9.
int stream_request_length(const char* record);

// Turns a request record (at least 9 bytes) into the stop request: type 2, an empty url, four
// zero bytes. Always returns 9, whatever url the record held.
int build_stop_request(char* record);

// Type 1, the count, then the numbers in the order given. Returns 8 + 4 * count, or -1 when
// count is not within 1..49.
int build_lost_request(ControlMessage* msg, const uint32_t* seqs, int count);

// Type 3 with the wall-clock stamp it will be echoed with. Returns 12.
int build_keepalive(ControlMessage* msg, Timespec32 now);

// Type 3, word 1 = 0: the keepalive that keeps a suspended upstream holding. Returns 8.
int build_keepalive_suspended(ControlMessage* msg);
int build_suspend(ControlMessage* msg);  // {4, 0}, returns 8
int build_release(ControlMessage* msg);  // {5, 0}, returns 8

// A data datagram as the upstream sends it: header words, then payload_len payload bytes.
// Returns 12 + payload_len, or -1 when that exceeds capacity.
int build_data_datagram(void* out, size_t capacity, uint32_t seq, Timespec32 ts,
                        const void* payload, size_t payload_len);

// --- What arrives from the upstream (the relay reads at most 1328 bytes per datagram). ---

enum ArrivalKind {
    ARRIVAL_NONE,        // 0 bytes or a read error: the socket is empty
    ARRIVAL_DATA,        // 188 bytes or more, whatever its first word
    ARRIVAL_ECHO,        // 12 to 187 bytes with type 3: carries back a keepalive's stamp
    ARRIVAL_SHORT_ECHO,  // 1 to 11 bytes with type 3: no whole stamp, so no round trip
    ARRIVAL_IGNORED,     // 1 to 187 bytes of any other type
};

// Classifies n bytes read into buf (n as read() returned it).
ArrivalKind classify_arrival(const void* buf, ssize_t n);

// The stamp that an echo carries back (words 1 and 2). buf holds at least 12 bytes.
Timespec32 echo_stamp(const void* buf);

// --- What the upstream reads from the relay (for the upstream's side, and for tests). ---

enum RelayMessageKind {
    RELAY_MSG_UNKNOWN,
    RELAY_MSG_STREAM_REQUEST,       // type 2 with a non-empty url
    RELAY_MSG_STOP,                 // type 2 with an empty url
    RELAY_MSG_LOST_REQUEST,         // type 1 whose length matches its count
    RELAY_MSG_KEEPALIVE,            // type 3, 12 bytes
    RELAY_MSG_KEEPALIVE_SUSPENDED,  // type 3, 8 bytes
    RELAY_MSG_SUSPEND,
    RELAY_MSG_RELEASE,
};

RelayMessageKind classify_relay_message(const void* buf, size_t n);

// The numbers of a lost request of n bytes, at most max of them copied to out. Returns the
// count that the message carries, or -1 when it is not a well-formed lost request.
int read_lost_request(const void* buf, size_t n, uint32_t* out, int max);
