// The operator's signals: SIGTERM and SIGINT stop the relay, SIGHUP has the log file reopened.
//
// Threads: signals_install blocks the three signals in the main thread before it starts any
// other thread, so every thread inherits the block, and the event loop lets them in only while
// it waits (signals_wait_mask for ppoll). The handler therefore always runs on the loop's own
// thread, inside that wait; no other thread's system call is ever cut short. The handler only
// stores into the two words below, which the loop reads after the wait returns.
#pragma once

#include <signal.h>

// Installs the handlers: SIGTERM and SIGINT always, SIGHUP when reopen_on_hup (a log file is in
// use; otherwise SIGHUP keeps the disposition it had). Call once, before any thread starts.
void signals_install(bool reopen_on_hup);

// The mask the event loop waits with: the caller's mask without the installed signals. Null
// before signals_install, so a plain wait keeps the caller's mask.
const sigset_t* signals_wait_mask();

// The stop signal's number once one arrived, else 0.
int signals_stop_pending();

// True once per SIGHUP (or per burst of them) since the last call.
bool signals_take_reopen();
