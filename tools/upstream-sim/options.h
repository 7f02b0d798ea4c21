// Command-line settings of the upstream simulator and the parser that fills them.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "common/impair.h"

namespace upsim {

// Impairment applied to the simulator's own traffic, all drawn from one generator.
struct ImpairSettings {
    uint64_t seed = 1;
    double loss_in = 0;         // percent of incoming control datagrams lost
    tools::ImpairSettings out;  // of outgoing data datagrams
};

struct Options {
    std::string bind_addr = "127.0.0.1";
    int port = 0;
    std::map<std::string, std::string> streams;  // stream name -> file
    std::string default_file;                    // empty: unknown names are ignored
    double cbr_kbps = 0;                         // 0: stamp from the stream's PCR
    double no_pcr_kbps = 2000;                   // rate for a file with no usable PCR
    int64_t lead_ms = 0;
    uint32_t first_seq = 1;
    uint32_t history = 10000;
    bool ignore_suspend = false;
    double idle_timeout_s = 30;
    uint32_t drop_requests = 0;
    std::string events_path;
    uint64_t max_datagrams = 0;  // per session; 0: unlimited
    // Of every withhold_every new datagrams the last withhold_len are never sent on their own,
    // only when asked for (a burst lost on the link, whose copies still get through).
    uint32_t withhold_every = 0;
    uint32_t withhold_len = 0;
    double exit_after_s = 0;  // 0: run until a signal
    ImpairSettings impair;
};

// Parses argv. Returns the options, or nullopt after printing help (exit_code 0) or an error
// (exit_code 2) to the right stream.
std::optional<Options> parse_options(int argc, char** argv, int& exit_code);

}  // namespace upsim
