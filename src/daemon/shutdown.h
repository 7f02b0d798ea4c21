// What the event loop does about the operator's signals between two passes.
#pragma once

struct EventLoop;

// Stop signal: sends the stop request on the upstream socket of the running stream (the
// stream's in HTTP mode, the -i socket in datagram mode), shuts the players' connections down,
// logs "Stopping on SIGTERM" (or SIGINT) and ends the process with status 0. SIGHUP: the log
// file is opened afresh at its path. Otherwise nothing.
void act_on_signals(EventLoop* loop);
