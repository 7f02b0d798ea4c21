// The progress log and the fatal-error exit shared by every thread, and what keeps the log small:
// a per-cause rate limit and, for a log file, rotation at a size.
//
// Threads: every thread logs. The limiter tables and the log file's size are guarded by the lock
// of the stream they belong to (flockfile, the lock every stdio call takes anyway), so limiting
// adds no lock of its own. `held_causes` is the one word read without that lock (see below).
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>

// Where relay_log writes: standard output, or the log file once the daemon has detached.
// Set during start-up before any other thread exists; read by every thread afterwards.
extern std::atomic<FILE*> log_fp;

// printf-style; adds no time stamp, prefix or line end, and flushes after every call so that
// each line reaches the log file at once. Callable from every thread.
void relay_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Like relay_log, with the lines of several call sites counted as one cause: one fault that
// shows in several places. `cause` names it in the left-out line.
void relay_log_as(const char* cause, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

// The consumer refuses what the sender puts out: its failed sends, and the errors that the
// same refusal leaves on the output socket for the event loop's read.
extern const char kCauseOutputRefused[];

// Like relay_log, but always to standard output: diagnostics that stay out of the log file (in
// daemon mode standard output is the null device).
void console_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// Like console_log, to standard error: the socket layer's failures, which the invoking shell
// or the service manager sees and the log file does not.
void error_log(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// --- Rate limit: each call site's format is one cause. ---

constexpr uint32_t kLogLinesPerWindow = 20;  // per cause; more in one window are held back
constexpr int64_t kLogWindowMs = 1000;
constexpr int kLogCauses = 128;  // more call sites than the daemon has

struct LogCause {
    const char* fmt = nullptr;  // the cause: a call site's format, or a shared name; null = free
    int64_t window_start_ms = 0;
    uint32_t lines = 0;  // written in the current window
    uint32_t held = 0;   // held back in the current window, not yet reported
};

struct LogGate {
    bool write = false;     // write this line
    uint32_t left_out = 0;  // first report this many lines of the cause as left out
};

// One line of cause c at now_ms: the window's first `limit` lines are written, the rest held;
// the first line of a later window first reports what the previous one held. limit 0: all.
LogGate log_cause_admit(LogCause* c, int64_t now_ms, uint32_t limit);

// The lines per cause and window that relay_log, console_log and error_log let through (0 =
// all). A
// test that runs on a simulated clock, whose log would otherwise be limited on the real one,
// turns the limit off.
void log_set_limit(uint32_t lines_per_window);

// The count that a quiet cause still has to report once its window is over (and clears it).
uint32_t log_cause_expire(LogCause* c, int64_t now_ms);

// The causes of one stream. `owner` is the stream the table counts for: a new stream starts
// with a clean table.
struct LogLimiter {
    FILE* owner = nullptr;
    LogCause causes[kLogCauses];
    // Causes with lines held back and not yet reported. Written under the stream's lock, read
    // without it by log_report_held: relaxed, a stale value only delays a report by one pass.
    std::atomic<int> held_causes{0};
};

// The entry of fmt, or null when every entry is taken (such a cause is never held back).
LogCause* log_cause_find(LogLimiter* lim, const char* fmt);

// Writes "left out N lines like: <format>" for a cause whose window has ended with lines held
// back. The event loop calls it every pass; without held-back lines it only reads one word.
void log_report_held();

// --- The log file. ---

// Opens path for appending as the log stream. max_bytes > 0: once the file holds that much it
// is renamed to "<path>.1" (replacing an older one) and a new file is started. Returns 0, or -1
// with errno set. Called during start-up only.
int log_file_open(const char* path, long max_bytes);

// Opens the log file afresh at its path (after it was renamed by an outside rotation), on the
// same stream. Returns 0, or -1 when there is no log file or it cannot be opened (the old one
// is kept).
int log_file_reopen();

// Whether the log goes to a file (log_file_open succeeded and log_file_close has not run since).
bool log_file_in_use();

// Points the log back at standard output and closes the log file (the daemon never does; a
// test that opened one does).
void log_file_close();
