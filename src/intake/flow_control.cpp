// Flow control (placeholder until flow control lands: nothing is checked yet).
#include "intake/flow_control.h"

#include <unistd.h>

#include "core/event_loop.h"

void flow_pass_checks(EventLoop*) {}

void osock_read(EventLoop* loop) {
    // Not built yet: take the datagram off the socket so the loop does not spin.
    (void)!read(loop->osock, loop->osock_buf, sizeof loop->osock_buf);
}
