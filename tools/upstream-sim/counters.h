// What the simulator did, totalled over all sessions and printed when it ends.
#pragma once

#include <cstdint>
#include <cstdio>

#include "common/impair.h"

namespace upsim {

struct Counters {
    uint64_t sent = 0;           // new data datagrams (each sequence number once)
    uint64_t withheld = 0;       // of those, not sent on their own (--withhold-out)
    uint64_t retransmitted = 0;  // re-sent for lost requests
    uint64_t wire = 0;           // data datagrams written to the socket, duplicates included
    tools::ImpairCounts out;     // what the impairment did with outgoing data
    uint64_t dropped_in = 0;
    uint64_t delayed = 0;  // data copies held back by delay or jitter
    uint64_t send_errors = 0;
    uint64_t stream_requests = 0;
    uint64_t stop_requests = 0;
    uint64_t requests_ignored = 0;  // by --drop-requests or for an unknown name
    uint64_t lost_requests = 0;
    uint64_t seqs_asked = 0;
    uint64_t seqs_not_in_history = 0;
    uint64_t suspends = 0;
    uint64_t releases = 0;
    uint64_t keepalives_echoed = 0;
    uint64_t keepalives_unechoed = 0;
    uint64_t unknown_control = 0;
    uint64_t sessions_started = 0;
    uint64_t sessions_idle = 0;

    void print(FILE* f) const;
};

}  // namespace upsim
