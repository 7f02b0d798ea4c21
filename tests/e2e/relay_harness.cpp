// The relay and tool processes and the client side of the end-to-end tests.
#include "e2e/relay_harness.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <sstream>

#include "support/fake_upstream.h"

namespace e2e {

const char kHead[] = "HTTP/1.0 200 OK\r\nServer: Tidewater v0.1\r\nContent-Type: mpeg/ts\r\n\r\n";

const std::string& sample_bytes() {
    static const std::string bytes = testsupport::read_file(SAMPLE_TS);
    return bytes;
}

std::string sample_mismatch(const std::string& got, size_t from, size_t sample_from, size_t n) {
    const std::string& sample = sample_bytes();
    if (got.size() < from + n || sample.size() < sample_from + n)
        return "only " + std::to_string(got.size() < from ? 0 : got.size() - from) + " of " +
               std::to_string(n) + " bytes to compare";
    size_t at = 0;
    while (at < n && got[from + at] == sample[sample_from + at])
        ++at;
    if (at == n)
        return "";
    const size_t k = at / kChunk;  // the datagram that differs, counted from sample_from
    const std::string there = got.substr(from + k * kChunk, kChunk);
    const size_t found = sample.find(there, sample_from);
    std::string what = "datagram " + std::to_string(k) + " of " + std::to_string(n / kChunk) +
                       " differs (byte " + std::to_string(at % kChunk) + ")";
    if (found != std::string::npos && (found - sample_from) % kChunk == 0)
        what +=
            "; it holds the sample's datagram " + std::to_string((found - sample_from) / kChunk);
    return what;
}

long long Tool::counter(const std::string& key) {
    child.stop();
    const std::string err = child.err();
    const size_t at = err.find(" " + key + "=", err.rfind(" counters:"));
    return at == std::string::npos ? -1 : std::stoll(err.substr(at + key.size() + 2));
}

bool Tool::saw(const std::string& text, std::chrono::milliseconds timeout) const {
    return testsupport::wait_for([&] { return events().find(text) != std::string::npos; }, timeout);
}

bool logs(const testsupport::Child& relay, const std::string& text,
          std::chrono::milliseconds timeout) {
    return testsupport::wait_for([&] { return relay.out().find(text) != std::string::npos; },
                                 timeout);
}

static Tool start_tool(Tool tool, std::vector<std::string> argv) {
    tool.child = testsupport::start_child(argv);
    EXPECT_TRUE(testsupport::wait_for(
        [&] { return tool.child.err().find("listening on") != std::string::npos; }, 5s))
        << argv[0] << ": " << tool.child.err();
    return tool;
}

Tool start_sim(const std::vector<std::string>& args) {
    Tool sim;
    sim.events_path = testsupport::make_temp_dir() + "/events";
    std::vector<std::string> argv = {UPSTREAM_SIM_BIN, "--port", std::to_string(sim.port),
                                     "--events", sim.events_path};
    argv.insert(argv.end(), args.begin(), args.end());
    return start_tool(std::move(sim), argv);
}

Upstream start_upstream(const std::vector<std::string>& extra_args) {
    std::vector<std::string> args = {"--stream", std::string("sample=") + SAMPLE_TS, "--default",
                                     SAMPLE_TS};
    args.insert(args.end(), extra_args.begin(), extra_args.end());
    return start_sim(args);
}

Tool start_link(int target_port, const std::vector<std::string>& extra_args) {
    Tool link;
    const std::string sim = UPSTREAM_SIM_BIN;  // the tools are built next to each other
    std::vector<std::string> argv = {sim.substr(0, sim.rfind('/') + 1) + "lossy-link", "--listen",
                                     std::to_string(link.port), "--target",
                                     "127.0.0.1:" + std::to_string(target_port)};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    return start_tool(std::move(link), argv);
}

Relay start_http_relay(const std::vector<std::string>& extra_args) {
    Relay relay;
    relay.http_port = testsupport::free_port(true);
    std::vector<std::string> argv = {QUARLIN_BIN, "-h", std::to_string(relay.http_port)};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    relay.child = testsupport::start_child(argv);
    // Ready once the port accepts: probe with a connection that sends nothing and leaves.
    testsupport::wait_for(
        [&] {
            const int fd = connect_tcp(relay.http_port);
            return fd >= 0 && close(fd) == 0;
        },
        5s);
    return relay;
}

testsupport::Child start_datagram_relay(int upstream_port, int out_port,
                                        const std::vector<std::string>& extra_args) {
    std::vector<std::string> argv = {
        QUARLIN_BIN, "-i", "127.0.0.1", "-r", std::to_string(upstream_port), "-u",
        "sample",    "-o", "127.0.0.1", "-p", std::to_string(out_port)};
    argv.insert(argv.begin() + 1, extra_args.begin(), extra_args.end());
    return testsupport::start_child(argv);
}

Usage usage_of(pid_t pid) {
    const std::string proc = "/proc/" + std::to_string(pid);
    return {testsupport::entries_in(proc + "/task"), testsupport::entries_in(proc + "/fd")};
}

int accept_backlog(int port) {
    // "sl local_address rem_address st tx_queue:rx_queue ...": a listening socket (st 0A) keeps
    // its accept queue's length in rx_queue.
    char want[16];
    snprintf(want, sizeof want, ":%04X", port);
    std::istringstream lines(testsupport::read_file("/proc/net/tcp"));
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream f(line);
        std::string sl, local, remote, state, queues;
        if (f >> sl >> local >> remote >> state >> queues && state == "0A" && local.size() > 5 &&
            local.compare(local.size() - 5, 5, want) == 0)
            return static_cast<int>(std::stoul(queues.substr(queues.find(':') + 1), nullptr, 16));
    }
    return -1;
}

int connect_tcp(int port, int rcvbuf) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (rcvbuf > 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof rcvbuf);
    const sockaddr_in a = testsupport::loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int send_request(int port, const std::string& text, int rcvbuf) {
    const int fd = connect_tcp(port, rcvbuf);
    if (fd >= 0 && write(fd, text.data(), text.size()) != static_cast<ssize_t>(text.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

int http_get(int port, const std::string& path, int rcvbuf, const std::string& method) {
    return send_request(port, method + " " + path + " HTTP/1.0\r\nHost: box\r\n\r\n", rcvbuf);
}

bool read_until(int fd, std::chrono::milliseconds timeout, std::string* got, size_t n,
                std::atomic<size_t>* have) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (got == nullptr || got->size() < n) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t r = read(fd, buf, got ? std::min(sizeof buf, n - got->size()) : sizeof buf);
        if (r <= 0)
            return true;
        if (got)
            got->append(buf, static_cast<size_t>(r));
        if (have)
            have->store(got->size());
    }
    return false;
}

std::string read_bytes(int fd, size_t n, std::chrono::milliseconds timeout) {
    std::string got;
    read_until(fd, timeout, &got, n);
    return got;
}

bool peer_closed(int fd, std::chrono::milliseconds timeout) {
    return read_until(fd, timeout, nullptr, 0);
}

std::string answer_to(int port, const std::string& text) {
    const int fd = send_request(port, text);
    const std::string got = fd < 0 ? "" : read_bytes(fd, 1 << 20, 5s);
    close(fd);
    return got;
}

std::string fetch(int port, const std::string& method, const std::string& path) {
    return answer_to(port, method + " " + path + " HTTP/1.0\r\nHost: box\r\n\r\n");
}

std::string stream_path(const Upstream& up, const std::string& name) {
    return "/127.0.0.1-" + std::to_string(up.port) + "/" + name;
}

void expect_head_then_sample(const std::string& got, size_t n) {
    ASSERT_EQ(got.size(), kHeadBytes + n);
    EXPECT_EQ(got.substr(0, kHeadBytes), kHead);
    EXPECT_EQ(sample_mismatch(got, kHeadBytes, 0, n), "");
}

void expect_streams(int fd, size_t n) {
    expect_head_then_sample(read_bytes(fd, kHeadBytes + n, 20s), n);
}

void expect_plays_sample(const Relay& relay, const Upstream& up, size_t n) {
    const int fd = http_get(relay.http_port, stream_path(up));
    ASSERT_GE(fd, 0);
    expect_streams(fd, n);
    close(fd);
}

}  // namespace e2e
