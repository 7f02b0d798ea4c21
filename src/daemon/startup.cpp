// Options, daemon mode, the log file, the sockets of the chosen mode and the start-up request.
#include "daemon/startup.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "buffer/packet_ring.h"
#include "core/log.h"
#include "core/signals.h"
#include "daemon/accept.h"
#include "daemon/daemon.h"
#include "daemon/event_loop.h"
#include "http/response.h"
#include "intake/auto_latency.h"
#include "intake/latency_recovery.h"
#include "net/openers.h"

int need_swap = 0;

namespace {

const char kUsage1[] =
    "quarlin -d  -i <remote_ip> -r <remote_port> -o <mcast_ip> -p <mcast_port> -h <http_port> "
    "-u [remote_url:port]\n";
const char kUsage2[] =
    "quarlin -d -i <remote_ip> -r <remote_port> -o <mcast_ip> -h <http_port> -p <mcast_port>\n";
const char kDefaultLog[] = "/tmp/quarlin.log";

int to_int(const char* text) {
    return static_cast<int>(strtol(text, nullptr, 10));
}

// A whole decimal number from lo to hi with nothing after it, into *out; false otherwise.
bool parse_range(const char* text, long lo, long hi, long* out) {
    char* end = nullptr;
    errno = 0;
    const long n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || n < lo || n > hi)
        return false;
    *out = n;
    return true;
}

// A start-up failure: logged as usual, and in daemon mode also handed to the invoking process.
int fail(int status, const char* text) {
    relay_log("%s", text);
    daemon_report_failure(text);
    return status;
}

// Descriptor numbers 0 to 2 must stay taken: 0 means "no socket" to the whole system.
void hold_standard_descriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0) {
            int null_fd = open("/dev/null", O_RDWR);
            if (null_fd >= 0 && null_fd != fd) {
                dup2(null_fd, fd);
                close(null_fd);
            }
        }
    }
}

int open_listener(int port, const char* bind_ip, int* lsock) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return fail(kExitRefused, "Couldn't create listening socket.\n");
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) < 0)
        relay_log("setsockopt error \n");
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind_ip != nullptr)
        inet_pton(AF_INET, bind_ip, &sa.sin_addr);  // checked while the options were read
    sa.sin_port = htons(static_cast<uint16_t>(port));
    char text[256];
    if (bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0) {
        snprintf(text, sizeof text, "HTTP bind error: %s\n", strerror(errno));
        close(fd);
        return fail(kExitRefused, text);
    }
    // Room for a burst of connections: a short queue makes the kernel drop handshakes, and a
    // player's connect then waits a second or more for its retry.
    if (listen(fd, kListenBacklog) < 0) {
        snprintf(text, sizeof text, "HTTP listen error: %s\n", strerror(errno));
        close(fd);
        return fail(kExitRefused, text);
    }
    // A connection that is reset between the wait and the accept must not block the loop.
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    *lsock = fd;
    return 0;
}

void send_startup_request(EventLoop* loop, const char* url) {
    const int len = build_stream_request(loop->request_buf, sizeof loop->request_buf, url);
    int isock = loop->isock.load(std::memory_order_relaxed);
    loop->ctx.req.store(loop->request_buf, std::memory_order_release);
    if (isock == 0) {
        relay_log("No upstream socket (-i not given): not sending the request for %s\n", url);
        return;
    }
    (void)!send(isock, loop->request_buf, static_cast<size_t>(len), MSG_DONTWAIT);
}

}  // namespace

std::string daemon_log_path(const Options& opts) {
    std::string path = opts.log_path ? opts.log_path : kDefaultLog;
    if (path.empty() || path[0] != '/')
        path = "/" + path;
    return path;
}

bool logs_to_file(const Options& opts) {
    return opts.daemon || (opts.log_max_kb > 0 && opts.log_path != nullptr);
}

// A value of -a, -b, -c, -n or -t that cannot be used: one clear line, then the usage status.
static int bad_value(char option, const char* value, const char* want) {
    fprintf(stderr, "quarlin: -%c %s: %s\n", option, value, want);
    return kExitUsage;
}

// The options that are checked as they are read (-a -b -c -n -t -m -L): 0, or the usage
// status after one clear line. -1: c is none of them.
static int parse_checked_option(int c, const char* arg, Options* opts) {
    long n = 0;
    in_addr a;
    switch (c) {
        case 'a':
            if (opts->allow.count == kMaxAllowNets)
                return bad_value('a', arg, "at most 32 networks");
            if (allow_parse(arg, &opts->allow.nets[opts->allow.count]) != 0)
                return bad_value('a', arg, "want an IPv4 address, optionally /0 to /32");
            ++opts->allow.count;
            return 0;
        case 'b':
            if (inet_pton(AF_INET, arg, &a) != 1)
                return bad_value('b', arg, "want an IPv4 address");
            opts->bind_ip = arg;
            return 0;
        case 'c':
            if (!parse_range(arg, 0, kMaxHeadCap, &n))
                return bad_value('c', arg, "want a count from 0 (no cap) to 4096");
            opts->head_cap = static_cast<int>(n);
            return 0;
        case 'n':
            if (!parse_range(arg, 1, kMaxPlayers, &n))
                return bad_value('n', arg, "want a count of players from 1 to 64");
            opts->max_players = static_cast<int>(n);
            return 0;
        case 't':
            if (!content_type_valid(arg))
                return bad_value('t', arg, "want 1 to 100 printable characters");
            opts->content_type = arg;
            return 0;
        case 'm':
            if (!parse_range(arg, 1, kMaxLogKb, &opts->log_max_kb)) {
                fprintf(stderr, "quarlin: -m takes the log size in kB, 1 to %ld\n", kMaxLogKb);
                return kExitUsage;
            }
            return 0;
        case 'L':
            opts->latency_auto = strcmp(arg, "auto") == 0;
            opts->latency_ms = opts->latency_auto ? kAutoStartUs / 1000 : -1;
            if (!opts->latency_auto && parse_range(arg, 0, kMaxLatencyMs, &n))
                opts->latency_ms = static_cast<int>(n);
            if (opts->latency_ms < 0) {
                fprintf(stderr, "quarlin: -L takes a latency in milliseconds, 0 to %d, or auto\n",
                        kMaxLatencyMs);
                return kExitUsage;
            }
            return 0;
        default:
            return -1;
    }
}

int parse_options(int argc, char** argv, Options* opts) {
    opterr = 0;  // the usage line is the only diagnostic
    int c;
    while ((c = getopt(argc, argv, "di:r:o:p:u:l:h:sm:a:b:c:t:L:n:")) != -1) {
        const int checked = parse_checked_option(c, optarg, opts);
        if (checked > 0)
            return checked;
        if (checked == 0)
            continue;
        switch (c) {
            case 'd':
                opts->daemon = true;
                break;
            case 'i':
                opts->remote_ip = optarg;
                break;
            case 'r':
                opts->remote_port = to_int(optarg);
                break;
            case 'o':
                opts->mcast_ip = optarg;
                break;
            case 'p':
                opts->mcast_port = to_int(optarg);
                break;
            case 'u':
                opts->remote_url = optarg;
                break;
            case 'l':
                opts->log_path = optarg;
                break;
            case 'h':
                opts->http_port = to_int(optarg);
                break;
            case 's':
                need_swap = 1;
                relay_log("Swapping bytes\n");
                break;
            default:
                relay_log(kUsage1);
                return kExitUsage;
        }
    }
    if (!((opts->mcast_ip != nullptr && opts->mcast_port != 0) || opts->http_port != 0)) {
        relay_log(kUsage2);
        return kExitUsage;
    }
    if (opts->remote_url != nullptr && strlen(opts->remote_url) > kMaxStartupUrl) {
        fprintf(stderr, "quarlin: the -u url is %zu characters long; at most %d fit a request\n",
                strlen(opts->remote_url), kMaxStartupUrl);
        return kExitUsage;
    }
    return 0;
}

int run_relay(const Options& opts) {
    const bool http_mode = opts.http_port != 0;
    hold_standard_descriptors();
    signal(SIGPIPE, SIG_IGN);

    if (logs_to_file(opts)) {
        // In the foreground the working folder stays, and so does the path's meaning.
        const std::string path = opts.daemon ? daemon_log_path(opts) : opts.log_path;
        FILE* probe = fopen(path.c_str(), "a+");
        if (probe == nullptr) {
            fprintf(stderr, "quarlin: cannot open the log file %s: %s\n", path.c_str(),
                    strerror(errno));
            return kExitRefused;
        }
        fclose(probe);
        if (opts.daemon)
            skeleton_daemon();
        if (log_file_open(path.c_str(), opts.log_max_kb * 1024) != 0) {
            daemon_report_failure("cannot open the log file after detaching\n");
            return kExitRefused;
        }
    }

    // The loop's state holds the arrival buffer and lives for the whole process.
    // Owned here until the loop runs for good, so a failed start-up frees it.
    std::unique_ptr<EventLoop> owner(new (std::nothrow) EventLoop);
    EventLoop* loop = owner.get();
    if (loop == nullptr || event_loop_init(loop, http_mode, opts.head_cap, opts.max_players) != 0)
        return fail(kExitRefused, "quarlin: cannot allocate the event loop's state\n");
    loop->ctx.remote_ip = opts.remote_ip;
    loop->ctx.remote_port = opts.remote_port;
    loop->ctx.allow = opts.allow.count > 0 ? &opts.allow : nullptr;
    loop->ctx.content_type = opts.content_type;
    // The recovery policy is chosen here, once: -L with a latency (or auto) asks for requests
    // by time; no -L, or -L 0, keeps the default loss scan.
    const int32_t latency_us = opts.latency_ms * 1000;
    if (latency_us != 0) {
        loop->intake.recovery.reset(new (std::nothrow) LatencyRecovery(
            latency_us, opts.latency_auto, kMaxLatencyMs * 1000));
        if (loop->intake.recovery == nullptr)
            return fail(kExitRefused, "quarlin: cannot allocate the event loop's state\n");
    }
    loop->ctx.latency_us.store(latency_us, std::memory_order_relaxed);

    if (opts.remote_ip != nullptr) {
        int r = prepare_isock(&loop->isock, opts.remote_ip, opts.remote_port);
        if (r != 0) {
            daemon_report_failure("cannot open the upstream socket\n");
            return r;
        }
    }
    if (http_mode) {
        int r = open_listener(opts.http_port, opts.bind_ip, &loop->lsock);
        if (r != 0)
            return r;
    } else {
        int r = prepare_osock(&loop->osock, opts.mcast_ip, opts.mcast_port);
        if (r != 0) {
            daemon_report_failure("cannot open the output socket\n");
            return r;
        }
        PacketRing* ring = ring_alloc();
        if (ring == nullptr)
            return fail(kExitRefused, "quarlin: cannot allocate sbuf\n");
        loop->intake.sbuf.store(ring, std::memory_order_release);
    }
    if (opts.remote_url != nullptr)
        send_startup_request(loop, opts.remote_url);

    signals_install();
    daemon_report_ready();
    event_loop_run(owner.release());
}
