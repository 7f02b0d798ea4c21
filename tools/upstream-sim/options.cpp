// Parsing of the simulator's command line and the text of --help.
#include "options.h"

#include <string_view>

#include "common/cli.h"

namespace upsim {

namespace {

const char kHelp[] =
    R"(usage: upstream-sim --port PORT [options]

Plays the upstream side of the relay protocol on one UDP socket: serves MPEG-TS files by
stream name to every relay that asks, one session per relay source address:port.

Serving:
  --bind ADDR            local address to bind (default 127.0.0.1)
  --port PORT            local UDP port (required)
  --stream NAME=FILE     serve FILE for stream requests naming NAME (repeatable)
  --default FILE         serve FILE for any other name (without it, unknown names are
                         logged and ignored)
  Files loop forever; sequence numbers and time stamps run on across the loop.

Time stamps and pacing:
  --cbr KBPS             stamp by a constant bitrate instead of the stream's PCR
  --no-pcr-kbps KBPS     bitrate assumed for a file with fewer than two usable PCRs
                         (default 2000)
  --lead MS              send this far ahead of play-out (default 0): the first MS worth of
                         datagrams go out at once, each later one at its play-out time - MS
  --first-seq N          first sequence number of every new stream (default 1)
  --max-datagrams N      send at most N new datagrams per session, then only answer
                         lost requests and keepalives (default 0 = no limit)
  Each datagram is stamped with its play-out time: the wall clock when the stream request
  arrived plus the stream time of its first byte (from the PCR of the first PID carrying
  one, interpolated by byte position; PCR wrap is followed; a discontinuity, a backward
  step or a gap over 1 s continues at the rate seen before it).

Sessions:
  --history N            datagrams kept per session for lost requests (default 10000)
  --ignore-suspend       log suspend requests but keep sending (a misbehaving upstream)
  --idle-timeout S       end a session after S seconds without any datagram from its relay
                         (default 30)
  --drop-requests N      ignore the first N stream requests (a lost stream request)
  --exit-after S         end the program after S seconds (default 0 = never)
  A suspended session sends no new data but still answers lost requests. On release it
  continues with the next datagram, original time stamps and original send schedule,
  so whatever fell due while suspended goes out at once. A 12-byte keepalive is echoed
  unchanged at once; an 8-byte one (sent while suspended) is only a sign of life.

Impairment (percentages may have decimals; all draws come from one generator):
  --seed N               seed of the impairment generator (default 1)
  --loss-out P           drop P% of outgoing data datagrams
  --loss-in P            drop P% of incoming datagrams before they are looked at
  --burst-loss-out P:LEN with chance P% a data datagram starts a burst that drops it
                         and the next LEN-1 datagrams of the same session
  --delay-out MS         hold outgoing data back MS milliseconds
  --jitter-out MS        vary that delay uniformly within +-MS (never below 0); this
                         alone may reorder datagrams
  --reorder-out P        hold P% of data datagrams back until the session's next one has
                         gone (at most 100 ms)
  --duplicate-out P      send P% of data datagrams twice
  Retransmissions pass through the same impairment as new data; keepalive echoes do not.
  --withhold-out N:LEN   of every N new data datagrams never send the last LEN (LEN < N)
                         on their own, but answer lost requests for them as usual: a
                         burst of LEN lost on the way whose copies all get through

Output:
  --events FILE          append one line per received datagram and per session start/end,
                         flushed at once:
                           <monotonic_ms> <peer ip:port> <event> [key=value ...]
                         with <monotonic_ms> from CLOCK_MONOTONIC and <event> one of
                           req len=N url=URL [ignored=drop-requests|unknown-stream]
                           stop len=N
                           lost n=N seqs=S1,S2,...
                           keepalive len=N
                           suspend
                           release
                           unknown len=N type=T
                           drop-in len=N            (lost by --loss-in)
                           session-start url=URL file=FILE first-seq=N
                           session-end reason=stop|idle|replaced|exit sent=N
                         Spaces, backslashes and unprintable bytes in URL and FILE
                         appear as \xNN.
  --help                 this text

On standard error: "upstream-sim listening on ADDR:PORT" once ready; at the end (SIGINT
or SIGTERM end it cleanly) one line
  upstream-sim counters: key=value ...
with the keys sent (new data datagrams, withheld ones included), withheld, retransmitted, wire (data datagrams written to the
socket, duplicates included), dropped-loss, dropped-burst, dropped-in, duplicated,
reordered, delayed, send-errors, stream-requests, stop-requests, requests-ignored,
lost-requests, seqs-asked, seqs-not-in-history, suspends, releases, keepalives-echoed,
keepalives-unechoed, unknown-control, sessions-started, sessions-idle.
)";

// upstream-sim has always let a leading '+' through on whole numbers.
constexpr tools::WholeNumbers kWhole{true};
constexpr uint64_t kMaxMs = 86400000ULL * 365;  // a year

// Applies one option with its value; returns false when the value is bad.
bool apply(Options& o, std::string_view name, std::string_view v) {
    if (name == "--bind")
        return tools::parse_text(v, o.bind_addr);
    if (name == "--port") {
        return kWhole.port(v, o.port);
    }
    if (name == "--stream") {
        size_t eq = v.find('=');
        if (eq == std::string_view::npos || eq == 0 || eq + 1 == v.size())
            return false;
        o.streams[std::string(v.substr(0, eq))] = std::string(v.substr(eq + 1));
        return true;
    }
    if (name == "--default")
        return tools::parse_text(v, o.default_file);
    if (name == "--cbr")
        return tools::parse_double(v, o.cbr_kbps) && o.cbr_kbps > 0;
    if (name == "--no-pcr-kbps")
        return tools::parse_double(v, o.no_pcr_kbps) && o.no_pcr_kbps > 0;
    if (name == "--lead")
        return kWhole.ms(v, o.lead_ms, kMaxMs);
    if (name == "--first-seq")
        return kWhole.u32(v, o.first_seq);
    if (name == "--history")
        return kWhole.u32(v, o.history) && o.history > 0;
    if (name == "--idle-timeout")
        return tools::parse_double(v, o.idle_timeout_s) && o.idle_timeout_s > 0;
    if (name == "--drop-requests")
        return kWhole.u32(v, o.drop_requests);
    if (name == "--events")
        return tools::parse_text(v, o.events_path);
    if (name == "--max-datagrams")
        return kWhole.u64(v, o.max_datagrams);
    if (name == "--exit-after")
        return tools::parse_double(v, o.exit_after_s);
    if (name == "--withhold-out") {
        const size_t colon = v.find(':');
        return colon != std::string_view::npos &&
               kWhole.u32(v.substr(0, colon), o.withhold_every) &&
               kWhole.u32(v.substr(colon + 1), o.withhold_len) && o.withhold_len > 0 &&
               o.withhold_len < o.withhold_every;
    }
    ImpairSettings& im = o.impair;
    if (name == "--seed")
        return kWhole.u64(v, im.seed);
    if (name == "--loss-in")
        return tools::parse_percent(v, im.loss_in);
    if (name == "--loss-out")
        return tools::parse_percent(v, im.out.loss);
    if (name == "--burst-loss-out")
        return kWhole.burst(v, im.out.burst, im.out.burst_len);
    if (name == "--delay-out")
        return kWhole.ms(v, im.out.delay_ms, kMaxMs);
    if (name == "--jitter-out")
        return kWhole.ms(v, im.out.jitter_ms, kMaxMs);
    if (name == "--reorder-out")
        return tools::parse_percent(v, im.out.reorder);
    if (name == "--duplicate-out")
        return tools::parse_percent(v, im.out.duplicate);
    return false;
}

bool known_valued(std::string_view name) {
    static const char* const kNames[] = {
        "--bind",          "--port",          "--stream",         "--default",    "--cbr",
        "--no-pcr-kbps",   "--lead",          "--first-seq",      "--history",    "--idle-timeout",
        "--drop-requests", "--events",        "--max-datagrams",  "--exit-after", "--seed",
        "--loss-out",      "--loss-in",       "--burst-loss-out", "--delay-out",  "--jitter-out",
        "--reorder-out",   "--duplicate-out", "--withhold-out"};
    for (const char* n : kNames)
        if (name == n)
            return true;
    return false;
}

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, int& exit_code) {
    Options o;
    auto flag = [&](std::string_view arg) {
        if (arg != "--ignore-suspend")
            return false;
        o.ignore_suspend = true;
        return true;
    };
    auto set = [&](std::string_view name, std::string_view v) { return apply(o, name, v); };
    if (!tools::parse_command_line(argc, argv, {"upstream-sim", kHelp, flag, known_valued, set},
                                   exit_code))
        return std::nullopt;
    if (o.port == 0) {
        tools::usage_error("upstream-sim", "--port is required (see --help)", exit_code);
        return std::nullopt;
    }
    if (o.streams.empty() && o.default_file.empty()) {
        tools::usage_error("upstream-sim", "give at least one --stream or --default", exit_code);
        return std::nullopt;
    }
    return o;
}

}  // namespace upsim
