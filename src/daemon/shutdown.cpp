// The relay's orderly end on SIGTERM or SIGINT, and the log file's reopening on SIGHUP (a SIGHUP
// without a log file is only logged).
#include "daemon/shutdown.h"

#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include "core/log.h"
#include "core/signals.h"
#include "daemon/event_loop.h"
#include "daemon/service_notify.h"
#include "intake/protocol.h"

namespace {

[[noreturn]] void stop_relay(EventLoop* loop, int sig) {
    // The loop's own thread owns the upstream socket: the running stream's upstream hears its
    // stop request from here.
    const int isock = loop->isock.load(std::memory_order_relaxed);
    if (isock != 0) {
        char stop[kStopRequestBytes];
        build_stop_request(stop);
        (void)!send(isock, stop, sizeof stop, 0);
    }
    if (loop->http_mode)
        stream_life_shut_players(loop);
    loop->intake.recovery->final_line(&loop->intake);
    // A service manager waiting on $NOTIFY_SOCKET learns the stop is the relay's own.
    (void)service_notify("STOPPING=1");
    relay_log("Stopping on %s\n", sig == SIGINT ? "SIGINT" : "SIGTERM");
    // Without running exit handlers: the other threads still use what they would destroy.
    _exit(0);
}

}  // namespace

void act_on_signals(EventLoop* loop) {
    if (const int sig = signals_stop_pending())
        stop_relay(loop, sig);
    if (signals_take_reopen()) {
        if (!log_file_in_use())
            relay_log("SIGHUP ignored: no log file\n");
        else if (log_file_reopen() == 0)
            relay_log("Log file reopened\n");
    }
}
