// Starting the relay and the tools, and playing an HTTP client against the relay.
#pragma once

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "support/process.h"

namespace e2e {

using namespace std::chrono_literals;

constexpr size_t kChunk = 1316;  // one datagram's payload: seven transport-stream packets
constexpr size_t kHeadBytes = 66;
extern const char kHead[];

// The bundled sample, read once.
const std::string& sample_bytes();
// "" when got[from, from + n) is the sample's [sample_from, sample_from + n); otherwise where the
// first datagram differs and what it holds instead (a later one: datagrams were skipped).
std::string sample_mismatch(const std::string& got, size_t from, size_t sample_from, size_t n);

// upstream-sim or lossy-link on a free UDP port, returned once it says it is listening.
struct Tool {
    testsupport::Child child;
    int port = testsupport::free_port(false);
    std::string events_path;  // upstream-sim's --events file
    std::string events() const { return testsupport::read_file(events_path); }
    // Polls until upstream-sim's events hold text.
    bool saw(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
    // Ends the tool and returns key's value on the counter line it printed, or -1.
    long long counter(const std::string& key);
};
using Upstream = Tool;

// upstream-sim with the given options only, and one serving the sample as "sample" and for any
// other name.
Tool start_sim(const std::vector<std::string>& args);
Upstream start_upstream(const std::vector<std::string>& extra_args = {});
// lossy-link forwarding to target_port on 127.0.0.1.
Tool start_link(int target_port, const std::vector<std::string>& extra_args = {});

// The relay in HTTP mode on a free port.
struct Relay {
    testsupport::Child child;
    int http_port = 0;
    std::string log() const { return child.out(); }
};
Relay start_http_relay(const std::vector<std::string>& extra_args = {});
// The relay in datagram mode, the stream "sample" from the upstream to 127.0.0.1:out_port.
testsupport::Child start_datagram_relay(int upstream_port, int out_port,
                                        const std::vector<std::string>& extra_args = {});

// Polls until the relay's log (its standard output) holds text.
bool logs(const testsupport::Child& relay, const std::string& text,
          std::chrono::milliseconds timeout = 10s);

// Threads and open descriptors of a process.
struct Usage {
    int threads, fds;
    bool operator==(const Usage&) const = default;
};
Usage usage_of(pid_t pid);

// Connections waiting in the listen queue of the TCP port on this machine (not yet accepted),
// read from /proc/net/tcp; -1 when no socket listens there.
int accept_backlog(int port);

// A connection to the port, with a receive buffer of rcvbuf bytes if given; -1 on failure.
int connect_tcp(int port, int rcvbuf = 0);
// Connects and sends the text as given; the socket, or -1.
int send_request(int port, const std::string& text, int rcvbuf = 0);
// Connects and sends "GET path HTTP/1.0" (or another method), a Host line and an empty line.
int http_get(int port, const std::string& path, int rcvbuf = 0, const std::string& method = "GET");
// The whole answer to a request sent as given, or to one built as by http_get, up to the close
// or 5 s.
std::string answer_to(int port, const std::string& text);
std::string fetch(int port, const std::string& method, const std::string& path);

// Reads from fd until got holds n bytes (with got null: reads and drops), the peer closes, or the
// time-out passes, keeping *have at got's size if given. True when the peer closed.
bool read_until(int fd, std::chrono::milliseconds timeout, std::string* got, size_t n,
                std::atomic<size_t>* have = nullptr);
// Reads until n bytes have arrived, the peer closes, or the time-out passes.
std::string read_bytes(int fd, size_t n, std::chrono::milliseconds timeout);
// True once the peer has closed fd (reads everything pending, up to the time-out).
bool peer_closed(int fd, std::chrono::milliseconds timeout);

std::string stream_path(const Upstream& up, const std::string& name = "sample");

// got is the head and then the sample's first n bytes.
void expect_head_then_sample(const std::string& got, size_t n);
// The player's connection brings the head and then the sample's first n bytes.
void expect_streams(int fd, size_t n);
// A new player gets the head and then the sample's first n bytes.
void expect_plays_sample(const Relay& relay, const Upstream& up, size_t n = kChunk * 20);

}  // namespace e2e
