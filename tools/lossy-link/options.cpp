// Parsing of lossy-link's command line and the text of --help.
#include "options.h"

#include <string_view>

#include "common/cli.h"

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

// lossy-link takes whole numbers without a sign.
constexpr tools::WholeNumbers kWhole{false};
constexpr uint64_t kMaxMs = 3600000;  // an hour

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
    return kWhole.port(s.substr(colon + 1), o.target_port);
}

// One --up-X or --down-X setting; name is X.
bool apply_impairment(tools::ImpairSettings& im, std::string_view name, std::string_view v) {
    if (name == "loss")
        return tools::parse_percent(v, im.loss);
    if (name == "burst")
        return kWhole.burst(v, im.burst, im.burst_len);
    if (name == "delay")
        return kWhole.ms(v, im.delay_ms, kMaxMs);
    if (name == "jitter")
        return kWhole.ms(v, im.jitter_ms, kMaxMs);
    if (name == "reorder")
        return tools::parse_percent(v, im.reorder);
    if (name == "duplicate")
        return tools::parse_percent(v, im.duplicate);
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
    if (name == "--bind")
        return tools::parse_text(v, o.bind_addr);
    if (name == "--listen")
        return kWhole.port(v, o.listen_port);
    if (name == "--target")
        return parse_target(v, o);
    if (name == "--idle-timeout")
        return tools::parse_double(v, o.idle_timeout_s) && o.idle_timeout_s > 0;
    if (name == "--max-clients")
        return kWhole.u32(v, o.max_clients) && o.max_clients > 0 && o.max_clients <= 4096;
    if (name == "--seed")
        return kWhole.u64(v, o.seed);
    if (name == "--exit-after")
        return tools::parse_double(v, o.exit_after_s);
    if (name == "--stats")
        return tools::parse_double(v, o.stats_every_s);
    if (name.substr(0, 5) == "--up-")
        return apply_impairment(o.up, name.substr(5), v);
    if (name.substr(0, 7) == "--down-")
        return apply_impairment(o.down, name.substr(7), v);
    return false;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, int& exit_code) {
    Options o;
    auto set = [&](std::string_view name, std::string_view v) { return apply(o, name, v); };
    if (!tools::parse_command_line(argc, argv, {"lossy-link", kHelp, nullptr, known_valued, set},
                                   exit_code))
        return std::nullopt;
    if (o.listen_port == 0 || o.target_port == 0) {
        tools::usage_error("lossy-link", "--listen and --target are required (see --help)",
                           exit_code);
        return std::nullopt;
    }
    return o;
}

}  // namespace lossy
