// The command line and the start-up sequence that ends in the event loop.
#pragma once

#include <string>

#include "core/players.h"
#include "http/head_cap.h"
#include "net/allow_list.h"

// -s sets it to 1 (and logs "Swapping bytes"), and nothing reads it: the protocol's words are
// in the host's order either way. It stays exported because -s has always set it.
extern int need_swap;

struct Options {
    bool daemon = false;
    const char* remote_ip = nullptr;
    int remote_port = 0;
    const char* mcast_ip = nullptr;
    int mcast_port = 0;
    const char* remote_url = nullptr;
    const char* log_path = nullptr;
    int http_port = 0;
    long log_max_kb = 0;             // -m: the log file's size at which it is rotated; 0 = never
    AllowList allow;                 // -a: upstreams a request path may name; empty = any
    const char* bind_ip = nullptr;   // -b: the listener's address; null = all
    int head_cap = kDefaultHeadCap;  // -c: connections still sending their head; 0 = no cap
    const char* content_type = nullptr;  // -t: the stream head's type; null = "mpeg/ts"
    int latency_ms = 0;                  // -L: playout latency; 0 = the default pacing
    int max_players = 1;                 // -n: players that may watch the stream at once
    bool latency_auto = false;           // -L auto: the latency picks itself
};

constexpr int kExitUsage = 2;    // a command line that cannot run
constexpr int kExitRefused = 1;  // the system refused a start-up step
constexpr int kMaxStartupUrl = 399;
constexpr long kMaxLogKb = 1024 * 1024;  // the rotation size must fit a 32-bit long in bytes
constexpr int kMaxLatencyMs = 60000;

// Reads the options; on a command line that cannot run it writes the usage line (or, for a
// too long -u or a bad -a, -b, -c, -n or -t, a clear message) and returns kExitUsage, else 0.
int parse_options(int argc, char** argv, Options* opts);

// Runs start-up and the event loop; returns only with an exit status on a start-up failure.
int run_relay(const Options& opts);

// The log file as the detached daemon will open it: relative paths are taken from "/".
std::string daemon_log_path(const Options& opts);

// Whether the log goes to a file: in daemon mode, and in the foreground with both -l and -m.
bool logs_to_file(const Options& opts);
