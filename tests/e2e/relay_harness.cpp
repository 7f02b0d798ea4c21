// The relay and simulator processes and the client side of the end-to-end tests.
#include "e2e/relay_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

namespace e2e {

const char kHead[] = "HTTP/1.0 200 OK\r\nServer: Tidewater v0.1\r\nContent-Type: mpeg/ts\r\n\r\n";

const std::string& sample_bytes() {
    static const std::string bytes = testsupport::read_file(SAMPLE_TS);
    return bytes;
}

Upstream start_upstream(const std::vector<std::string>& extra_args) {
    Upstream up;
    up.port = testsupport::free_port(false);
    up.events_path = testsupport::make_temp_dir() + "/events";
    std::vector<std::string> argv = {UPSTREAM_SIM_BIN,
                                     "--port",
                                     std::to_string(up.port),
                                     "--stream",
                                     std::string("sample=") + SAMPLE_TS,
                                     "--default",
                                     SAMPLE_TS,
                                     "--events",
                                     up.events_path};
    argv.insert(argv.end(), extra_args.begin(), extra_args.end());
    up.child = testsupport::start_child(argv);
    testsupport::wait_for([&] { return up.child.err().find("listening on") != std::string::npos; },
                          5s);
    return up;
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
            int fd = connect_tcp(relay.http_port);
            if (fd < 0)
                return false;
            close(fd);
            return true;
        },
        5s);
    return relay;
}

int connect_tcp(int port) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int http_get(int port, const std::string& path) {
    int fd = connect_tcp(port);
    if (fd < 0)
        return -1;
    std::string request = "GET " + path + " HTTP/1.0\r\nHost: box\r\n\r\n";
    if (write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        close(fd);
        return -1;
    }
    return fd;
}

std::string read_bytes(int fd, size_t n, std::chrono::milliseconds timeout) {
    std::string got;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    while (got.size() < n) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        ssize_t r = read(fd, buf, std::min(sizeof buf, n - got.size()));
        if (r <= 0)
            break;
        got.append(buf, static_cast<size_t>(r));
    }
    return got;
}

bool peer_closed(int fd, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    char buf[65536];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        ssize_t r = read(fd, buf, sizeof buf);
        if (r <= 0)
            return true;
    }
}

std::string stream_path(const Upstream& up, const std::string& name) {
    return "/127.0.0.1-" + std::to_string(up.port) + "/" + name;
}

}  // namespace e2e
