// Command-line settings of lossy-link and the parser that fills them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace lossy {

// Impairment of one direction of the link; percentages are 0..100.
struct Impairment {
    double loss = 0;         // chance that a datagram is dropped
    double burst = 0;        // chance that a datagram starts a loss burst
    uint32_t burst_len = 0;  // datagrams one burst drops, the starting one included
    int64_t delay_ms = 0;    // extra one-way delay
    int64_t jitter_ms = 0;   // the delay varies uniformly by up to this much either way
    double reorder = 0;      // chance that a datagram is held back behind the next one
    double duplicate = 0;    // chance that a datagram goes out twice
};

struct Options {
    std::string bind_addr = "127.0.0.1";
    int listen_port = 0;
    std::string target_host;
    int target_port = 0;
    Impairment up;    // client -> target
    Impairment down;  // target -> client
    uint64_t seed = 1;
    double exit_after_s = 0;   // 0: run until a signal
    double stats_every_s = 0;  // 0: counters only at the end
    double idle_timeout_s = 60;
    uint32_t max_clients = 256;
};

// Parses argv. Returns the options, or nullopt after printing help (exit_code 0) or an error
// (exit_code 2) to the right stream.
std::optional<Options> parse_options(int argc, char** argv, int& exit_code);

}  // namespace lossy
