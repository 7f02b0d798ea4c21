// The one-line counter report written when the simulator ends.
#include "counters.h"

#include <cinttypes>

namespace upsim {

void Counters::print(FILE* f) const {
    struct Item {
        const char* name;
        uint64_t value;
    };
    const Item items[] = {{"sent", sent},
                          {"withheld", withheld},
                          {"retransmitted", retransmitted},
                          {"wire", wire},
                          {"dropped-loss", out.dropped_loss},
                          {"dropped-burst", out.dropped_burst},
                          {"dropped-in", dropped_in},
                          {"duplicated", out.duplicated},
                          {"reordered", out.reordered},
                          {"delayed", delayed},
                          {"send-errors", send_errors},
                          {"stream-requests", stream_requests},
                          {"stop-requests", stop_requests},
                          {"requests-ignored", requests_ignored},
                          {"lost-requests", lost_requests},
                          {"seqs-asked", seqs_asked},
                          {"seqs-not-in-history", seqs_not_in_history},
                          {"suspends", suspends},
                          {"releases", releases},
                          {"keepalives-echoed", keepalives_echoed},
                          {"keepalives-unechoed", keepalives_unechoed},
                          {"unknown-control", unknown_control},
                          {"sessions-started", sessions_started},
                          {"sessions-idle", sessions_idle}};
    std::fputs("upstream-sim counters:", f);
    for (const Item& it : items)
        std::fprintf(f, " %s=%" PRIu64, it.name, it.value);
    std::fputc('\n', f);
    std::fflush(f);
}

}  // namespace upsim
