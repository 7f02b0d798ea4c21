// Telling a service manager that watches $NOTIFY_SOCKET (systemd's Type=notify) when the relay
// is ready and when it stops.
#pragma once

// Sends state ("READY=1", "STOPPING=1") as one datagram to the AF_UNIX socket that
// $NOTIFY_SOCKET names: a path, or an abstract name written with a leading '@'. Returns 1 when
// sent, 0 when NOTIFY_SOCKET is not set (nothing is done), -1 on failure (errno set).
int service_notify(const char* state);
