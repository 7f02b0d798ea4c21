// The progress log and the fatal-error exit shared by every thread.
#pragma once

#include <atomic>
#include <cstdio>

// Where relay_log writes: standard output, or the log file once the daemon has detached.
// Set during start-up before any other thread exists; read by every thread afterwards.
extern std::atomic<FILE*> log_fp;

// printf-style; adds no time stamp, prefix or line end, and flushes after every call so that
// each line reaches the log file at once. Callable from every thread.
void relay_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Writes "KESTREL: <msg>, <strerror(errno)>" to standard error and ends the process with status 1.
[[noreturn]] void Error_Quit(const char* msg);
