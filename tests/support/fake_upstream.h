// A stand-in for the upstream on loopback: records what the relay sends and sends it data
// datagrams and echoes with chosen sequence numbers and timestamps.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "buffer/timespec.h"

namespace testsupport {

using Datagram = std::vector<unsigned char>;

struct FakeUpstream {
    int fd = -1;  // bound to 127.0.0.1 on an ephemeral port
    int port = 0;

    FakeUpstream();  // opens and binds; fd stays -1 on failure
    FakeUpstream(const FakeUpstream&) = delete;
    FakeUpstream& operator=(const FakeUpstream&) = delete;
    ~FakeUpstream();

    // A non-blocking UDP socket connected to this fake, as the relay's `isock` would be; the
    // fake is connected back to it. Returns the descriptor (the caller closes it), or -1.
    int open_relay_socket();

    bool send_raw(const void* buf, size_t n);
    // A data datagram of total_len bytes (header included), payload filled with seq's low byte.
    bool send_data(uint32_t seq, Timespec32 ts, size_t total_len = 188);
    // An echo of a keepalive stamped `stamp`, of n bytes (12 is a whole echo).
    bool send_echo(Timespec32 stamp, size_t n = 12);

    // Everything the relay sent that has arrived, waiting up to wait_ms for the first one.
    std::vector<Datagram> take(int wait_ms = 0);
};

// Waits up to ms for fd to become readable.
bool wait_readable(int fd, int ms);

}  // namespace testsupport
