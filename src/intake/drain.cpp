// Intake of the upstream socket (placeholder until the intake lands: reads and discards).
#include "intake/drain.h"

#include <unistd.h>

#include "core/event_loop.h"

void intake_drain(EventLoop* loop) {
    // Not built yet: empty the socket so that the loop does not spin on a readable descriptor.
    int fd = loop->isock.load(std::memory_order_acquire);
    while (fd != 0 && read(fd, &loop->arrival, kMaxDatagram) > 0) {
    }
}

void intake_reset_stats(EventLoop* loop) {
    loop->intake.last_sec = 0;
    loop->intake.prev_curseq = 0;
    loop->intake.stats_base = 0;
    loop->intake.lost = 0;
}
