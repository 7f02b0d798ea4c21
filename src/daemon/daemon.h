// Detaching from the terminal, and telling the invoking process whether the daemon really started.
#pragma once

// Forks twice and returns only in the detached grandchild, with descriptors 0, 1 and 2 on
// /dev/null and every other descriptor closed. The invoking process waits until the daemon
// reports (daemon_report_ready or daemon_report_failure): on ready the intermediate process
// prints "Daemon started" and both exit 0; on failure or silent death the reason goes to
// standard error and both exit 1.
void skeleton_daemon();

// Called by the daemon once its sockets are open (the listener, or the datagram output), just
// before it enters the event loop. Also tells a service manager that set $NOTIFY_SOCKET.
void daemon_report_ready();

// Called on a start-up failure after detaching: the text reaches the invoking process's
// standard error. Does nothing outside daemon mode.
void daemon_report_failure(const char* text);
