// The operator's signals: SIGTERM and SIGINT stop the relay, SIGHUP has the log file reopened
// (without a log file it is ignored, with a log line, and never ends the relay).
//
// Threads: every thread but the event loop's is started with the three signals blocked
// (signals_start_thread), so they always reach the loop's thread, cutting its wait short; no
// other thread's system call is ever interrupted. The handler only stores into two words that
// the loop reads after each pass.
#pragma once

#include <pthread.h>

// Installs the handlers of SIGTERM, SIGINT and SIGHUP, and unblocks the three.
void signals_install();

// pthread_create, with SIGTERM, SIGINT and SIGHUP blocked in the new thread.
int signals_start_thread(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*),
                         void* arg);

// The stop signal's number once one arrived, else 0.
int signals_stop_pending();

// True once per SIGHUP (or per burst of them) since the last call, with or without a log file.
bool signals_take_reopen();
