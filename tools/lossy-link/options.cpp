// Parsing of lossy-link's command line and the text of --help.
#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string_view>

namespace lossy {

namespace {

const char kHelp[] =
    R"(usage: lossy-link --listen PORT --target ADDR:PORT [options]

A UDP proxy that impairs what passes through it. Datagrams from a client arriving on the
listen port go on to the target from a socket of that client's own (one per client
address, so several clients stay apart); the target's replies to that socket come back
to the client from the listen port. The client socket is connected to the target, so
only datagrams from the target's own address and port count as replies. Put it in front
of any UDP service, e.g. a relay's upstream: point the relay at the listen port instead.
Delays are kept in one time-ordered queue served by the poll loop.

Addresses:
  --bind ADDR            local address of the listen socket (default 127.0.0.1)
  --listen PORT          local UDP port clients send to (required)
  --target ADDR:PORT     where client datagrams go (required; a numeric address,
                         [ADDR6]:PORT for IPv6)
  --idle-timeout S       forget a client after S seconds without traffic either way
                         (default 60); its socket is closed
  --max-clients N        clients served at once (default 256); datagrams of further
                         clients are dropped (counted as refused)

Impairment, per direction: --up-* applies to client -> target, --down-* to
target -> client. Percentages may have decimals.
  --up-loss P            --down-loss P
                         drop P% of datagrams
  --up-burst P:LEN       --down-burst P:LEN
                         with chance P% a datagram starts a burst that drops it and the
                         next LEN-1 datagrams of the same client in that direction
  --up-delay MS          --down-delay MS
                         hold datagrams back MS milliseconds
  --up-jitter MS         --down-jitter MS
                         vary that delay uniformly within +-MS (never below 0); this
                         alone may reorder datagrams
  --up-reorder P         --down-reorder P
                         hold P% of datagrams back until the client's next one in that
                         direction has gone (at most 100 ms)
  --up-duplicate P       --down-duplicate P
                         send P% of datagrams twice (each copy delayed on its own)
  --seed N               seed of the impairment draws (default 1). Each direction draws
                         from its own generator, and only for the impairments in use, so
                         the same datagrams in the same order meet the same fate.

Running:
  --exit-after S         end after S seconds (default 0 = run until SIGINT or SIGTERM)
  --stats S              every S seconds print the counters so far as one line
                           lossy-link stats: t=SECONDS key=value ...
  --help                 this text

On standard error: "lossy-link listening on ADDR:PORT" once ready, and at the end one line
  lossy-link counters: key=value ...
with, for each direction (prefix up- or down-): received, forwarded (datagrams written,
copies included), bytes (of those), dropped (by loss and bursts), burst-dropped (of
those, by bursts), duplicated, reordered; then clients (seen in all), refused (datagrams
of clients beyond --max-clients), clients-expired, send-errors, and unsent (datagrams
still delayed or held at the end, or whose client had expired meanwhile).
)";

bool parse_u64(std::string_view s, uint64_t& out) {
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    std::string str(s);
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(str.c_str(), &end, 10);
    if (errno != 0 || *end != '\0')
        return false;
    out = v;
    return true;
}

bool parse_u32(std::string_view s, uint32_t& out) {
    uint64_t v = 0;
    if (!parse_u64(s, v) || v > UINT32_MAX)
        return false;
    out = static_cast<uint32_t>(v);
    return true;
}

bool parse_double(std::string_view s, double& out) {
    if (s.empty())
        return false;
    std::string str(s);
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(str.c_str(), &end);
    if (errno != 0 || *end != '\0' || !std::isfinite(v) || v < 0)
        return false;
    out = v;
    return true;
}

bool parse_percent(std::string_view s, double& out) {
    return parse_double(s, out) && out <= 100;
}

bool parse_ms(std::string_view s, int64_t& out) {
    uint64_t v = 0;
    if (!parse_u64(s, v) || v > 3600000)
        return false;
    out = static_cast<int64_t>(v);
    return true;
}

bool parse_port(std::string_view s, int& out) {
    uint32_t p = 0;
    if (!parse_u32(s, p) || p == 0 || p > 65535)
        return false;
    out = static_cast<int>(p);
    return true;
}

// "ADDR:PORT" or "[ADDR6]:PORT".
bool parse_target(std::string_view s, Options& o) {
    size_t colon = s.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view host = s.substr(0, colon);
    if (host.front() == '[') {
        if (host.size() < 3 || host.back() != ']')
            return false;
        host = host.substr(1, host.size() - 2);
    }
    o.target_host = std::string(host);
    return parse_port(s.substr(colon + 1), o.target_port);
}

// One --up-X or --down-X setting; name is X.
bool apply_impairment(Impairment& im, std::string_view name, std::string_view v) {
    if (name == "loss")
        return parse_percent(v, im.loss);
    if (name == "burst") {
        size_t colon = v.find(':');
        if (colon == std::string_view::npos)
            return false;
        return parse_percent(v.substr(0, colon), im.burst) &&
               parse_u32(v.substr(colon + 1), im.burst_len) && im.burst_len > 0;
    }
    if (name == "delay")
        return parse_ms(v, im.delay_ms);
    if (name == "jitter")
        return parse_ms(v, im.jitter_ms);
    if (name == "reorder")
        return parse_percent(v, im.reorder);
    if (name == "duplicate")
        return parse_percent(v, im.duplicate);
    return false;
}

bool known_valued(std::string_view name) {
    static const char* const kNames[] = {"--bind",         "--listen",      "--target",
                                         "--idle-timeout", "--max-clients", "--seed",
                                         "--exit-after",   "--stats"};
    for (const char* n : kNames)
        if (name == n)
            return true;
    static const char* const kImpairments[] = {"loss",   "burst",   "delay",
                                               "jitter", "reorder", "duplicate"};
    for (std::string_view prefix : {"--up-", "--down-"}) {
        if (name.substr(0, prefix.size()) != prefix)
            continue;
        for (const char* n : kImpairments)
            if (name.substr(prefix.size()) == n)
                return true;
    }
    return false;
}

// Applies one option with its value; returns false when the value is bad.
bool apply(Options& o, std::string_view name, std::string_view v) {
    if (name == "--bind") {
        o.bind_addr = std::string(v);
        return !v.empty();
    }
    if (name == "--listen")
        return parse_port(v, o.listen_port);
    if (name == "--target")
        return parse_target(v, o);
    if (name == "--idle-timeout")
        return parse_double(v, o.idle_timeout_s) && o.idle_timeout_s > 0;
    if (name == "--max-clients")
        return parse_u32(v, o.max_clients) && o.max_clients > 0 && o.max_clients <= 4096;
    if (name == "--seed")
        return parse_u64(v, o.seed);
    if (name == "--exit-after")
        return parse_double(v, o.exit_after_s);
    if (name == "--stats")
        return parse_double(v, o.stats_every_s);
    if (name.substr(0, 5) == "--up-")
        return apply_impairment(o.up, name.substr(5), v);
    if (name.substr(0, 7) == "--down-")
        return apply_impairment(o.down, name.substr(7), v);
    return false;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, int& exit_code) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(kHelp, stdout);
            exit_code = 0;
            return std::nullopt;
        }
        std::string_view name = arg;
        std::string_view value;
        bool have_value = false;
        if (size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            name = arg.substr(0, eq);
            value = arg.substr(eq + 1);
            have_value = true;
        }
        if (!known_valued(name)) {
            std::fprintf(stderr, "lossy-link: unknown option %s (see --help)\n", argv[i]);
            exit_code = 2;
            return std::nullopt;
        }
        if (!have_value) {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "lossy-link: %s needs a value\n", argv[i]);
                exit_code = 2;
                return std::nullopt;
            }
            value = argv[++i];
        }
        if (!apply(o, name, value)) {
            std::fprintf(stderr, "lossy-link: bad value for %.*s: %.*s\n",
                         static_cast<int>(name.size()), name.data(), static_cast<int>(value.size()),
                         value.data());
            exit_code = 2;
            return std::nullopt;
        }
    }
    if (o.listen_port == 0 || o.target_port == 0) {
        std::fprintf(stderr, "lossy-link: --listen and --target are required (see --help)\n");
        exit_code = 2;
        return std::nullopt;
    }
    return o;
}

}  // namespace lossy
