// Starting the relay and the upstream simulator together, and playing an HTTP client or a
// datagram receiver against them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace e2e {

using namespace std::chrono_literals;

// The bundled sample, read once.
const std::string& sample_bytes();

// The simulator on a free port, serving the sample as "sample" (and for any name).
struct Upstream {
    testsupport::Child child;
    int port = 0;
    std::string events_path;
    std::string events() const { return testsupport::read_file(events_path); }
};
Upstream start_upstream(const std::vector<std::string>& extra_args = {});

// The relay in HTTP mode on a free port.
struct Relay {
    testsupport::Child child;
    int http_port = 0;
    std::string log() const { return child.out(); }
};
Relay start_http_relay(const std::vector<std::string>& extra_args = {});

// Connects to the relay and sends "GET path HTTP/1.0" and an empty line. Returns the socket.
int http_get(int port, const std::string& path);
int connect_tcp(int port);

// Reads until n bytes have arrived, the peer closes, or the time-out passes.
std::string read_bytes(int fd, size_t n, std::chrono::milliseconds timeout);

// True once the peer has closed fd (reads everything pending, up to the time-out).
bool peer_closed(int fd, std::chrono::milliseconds timeout);

std::string stream_path(const Upstream& up, const std::string& name = "sample");

constexpr size_t kHeadBytes = 66;
extern const char kHead[];

}  // namespace e2e
