// Command-line settings of lossy-link and the parser that fills them.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "common/impair.h"

namespace lossy {

struct Options {
    std::string bind_addr = "127.0.0.1";
    int listen_port = 0;
    std::string target_host;
    int target_port = 0;
    tools::ImpairSettings up;    // client -> target
    tools::ImpairSettings down;  // target -> client
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
