// Fuzz target: one whole request head, as a client would send it, through the request reader
// and then through what the client thread does with the resource (URL decoding, the cut at '|'
// and the path split into upstream address, port and stream name).
//
// The input goes over a socket pair whose writing end is shut before the reader starts, so the
// reader finds either bytes or the end of the stream and never waits out its time limits.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "http/request_path.h"
#include "http/request_reader.h"
#include "http/url_text.h"
#include "intake/protocol.h"

namespace {

constexpr size_t kMaxInput = 65536;  // well inside a socket pair's buffer
constexpr int kAllowanceMs = 500;
constexpr int kLimitMs = 2000;

[[noreturn]] void fail(const char* what, const std::string& detail = "") {
    fprintf(stderr, "property violated: %s %s\n", what, detail.c_str());
    abort();
}

void check(bool ok, const char* what, const std::string& detail = "") {
    if (!ok)
        fail(what, detail);
}

// What the client thread does once a head was read with status 200 and a resource.
void follow_resource(const char* sent) {
    std::string resource(sent);
    const size_t before = resource.size();
    CleanURL(resource.data());
    resource.resize(strlen(resource.c_str()));
    check(resource.size() <= before, "CleanURL made the resource longer", resource);
    const size_t bar = resource.find('|');
    if (bar != std::string::npos)
        resource.resize(bar);
    if (resource.empty() || resource[0] != '/')
        return;

    StreamPath path;
    memset(&path, 0x5a, sizeof path);
    if (split_request_path(resource.c_str(), &path) != 0)
        return;
    const size_t ip_len = strnlen(path.remote_ip, sizeof path.remote_ip);
    const size_t url_len = strnlen(path.url, sizeof path.url);
    check(ip_len < sizeof path.remote_ip, "address not terminated", resource);
    check(url_len < sizeof path.url, "url not terminated", resource);
    check(url_len >= 1 && url_len <= static_cast<size_t>(kMaxClientUrl), "url length", resource);
    check(path.remote_port >= 1 && path.remote_port <= 65535, "port outside 1 to 65535", resource);

    // The pieces put back together give the path: "/" address "-" port "/" name, with the
    // name's first '-' the only byte changed (to ':').
    const size_t hyphen = resource.find('-', 1);
    check(hyphen == 1 + ip_len, "address does not end at the first '-'", resource);
    check(resource.compare(1, ip_len, path.remote_ip) == 0, "address differs", resource);
    const size_t slash = resource.find('/', hyphen + 1);
    check(slash != std::string::npos, "accepted without a '/' after the port", resource);
    const std::string port_text = resource.substr(hyphen + 1, slash - hyphen - 1);
    check(!port_text.empty() && port_text.find_first_not_of("0123456789") == std::string::npos,
          "port text not in decimal digits", resource);
    std::string name = resource.substr(slash + 1);
    const size_t dash = name.find('-');
    if (dash != std::string::npos)
        name[dash] = ':';
    check(name == path.url, "stream name differs", resource);

    char request[kClientRequestBytes];
    const int len = build_stream_request(request, sizeof request, path.url);
    check(len == static_cast<int>(url_len) + kStreamRequestOverhead, "stream request does not fit",
          resource);
    check(stream_request_length(request) == len, "stream request length", resource);
    check(classify_relay_message(request, static_cast<size_t>(len)) == RELAY_MSG_STREAM_REQUEST,
          "stream request not recognised", resource);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    log_fp.store(nullptr);  // the reader logs only poll failures
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size > kMaxInput)
        return 0;
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0)
        fail("socketpair");
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(sv[1], data + done, size - done);
        if (n <= 0)
            fail("write");
        done += static_cast<size_t>(n);
    }
    close(sv[1]);

    ReqInfo req;
    InitReqInfo(&req);
    const int result = Get_Request_Within(sv[0], &req, kAllowanceMs, kLimitMs);
    close(sv[0]);

    check(result == 0 || result == -1, "result");
    check(req.status == 200 || req.status == 400 || req.status == 501, "status");
    check(req.method >= METHOD_GET && req.method <= METHOD_UNSUPPORTED, "method");
    check(req.kind == REQUEST_SIMPLE || req.kind == REQUEST_FULL, "kind");
    if (req.status == 501)
        check(req.method == METHOD_UNSUPPORTED, "501 with a supported method");
    if (req.resource != nullptr) {
        check(req.resource[0] != '\0', "empty resource stored");
        check(strchr(req.resource, ' ') == nullptr, "resource holds a space", req.resource);
        check(req.method != METHOD_UNSUPPORTED, "resource without a method");
    }
    if (result == 0 && req.status == 200 && req.resource != nullptr)
        follow_resource(req.resource);
    FreeReqInfo(&req);
    check(req.resource == nullptr && req.host == nullptr, "FreeReqInfo left a pointer");
    return 0;
}
