// The log writer with its per-cause limit, and the log file's rotation.
#include "core/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "core/timespec.h"

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

std::atomic<FILE*> log_fp{stdout};

const char kCauseOutputRefused[] = "the consumer refusing datagrams (!! Send error, osock error)";

namespace {

// The stream's own lock, which every stdio call on it takes anyway; it also guards the limiter
// and the file's size. ThreadSanitizer cannot see that lock inside the C library, so it is told.
struct StreamLock {
    FILE* fp;
    explicit StreamLock(FILE* f) : fp(f) {
        flockfile(fp);
#if defined(__SANITIZE_THREAD__)
        __tsan_acquire(fp);
#endif
    }
    ~StreamLock() {
#if defined(__SANITIZE_THREAD__)
        __tsan_release(fp);
#endif
        funlockfile(fp);
    }
    StreamLock(const StreamLock&) = delete;
    StreamLock& operator=(const StreamLock&) = delete;
};

LogLimiter file_limiter;     // relay_log's; guarded by the lock of log_fp's stream
LogLimiter console_limiter;  // console_log's; guarded by stdout's lock
LogLimiter error_limiter;    // error_log's; guarded by stderr's lock

// The log file, set once during start-up; `size` is guarded by the lock of `fp`.
struct LogFile {
    FILE* fp = nullptr;
    std::string path;
    std::string rotated;  // "<path>.1", made once so that rotating allocates nothing
    long max_bytes = 0;   // 0 = never rotated
    long size = 0;
};
LogFile log_file;

// Written by a test (log_set_limit) while no other thread logs, read by every logging thread.
std::atomic<uint32_t> lines_per_window{kLogLinesPerWindow};

// Opens path as a fresh descriptor under the stream's number, so every thread keeps the same
// stream. On failure the stream keeps writing where it did.
int reopen_under(FILE* fp, const char* path) {
    int fd = open(path, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return -1;
    int r = dup2(fd, fileno(fp));
    close(fd);
    return r < 0 ? -1 : 0;
}

long file_size(FILE* fp) {
    struct stat st;
    return fstat(fileno(fp), &st) == 0 ? static_cast<long>(st.st_size) : 0;
}

// Under fp's lock: counts what was written and rotates once the file is full. A failed rename
// or open leaves the stream as it is; the next try comes after another max_bytes.
void account_written(FILE* fp, int written) {
    if (log_file.max_bytes <= 0 || fp != log_file.fp || written <= 0)
        return;
    log_file.size += written;
    if (log_file.size < log_file.max_bytes)
        return;
    if (rename(log_file.path.c_str(), log_file.rotated.c_str()) == 0)
        reopen_under(fp, log_file.path.c_str());
    log_file.size = 0;
}

// Under fp's lock: a table that counted for another stream starts again.
void adopt(LogLimiter* lim, FILE* fp) {
    if (lim->owner == fp)
        return;
    for (LogCause& c : lim->causes)
        c = LogCause{};
    lim->owner = fp;
    lim->held_causes.store(0, std::memory_order_relaxed);
}

int write_left_out(FILE* fp, const char* fmt, uint32_t n) {
    size_t len = strlen(fmt);
    if (len > 0 && fmt[len - 1] == '\n')
        --len;
    return fprintf(fp, "left out %u lines like: %.*s\n", n, static_cast<int>(len), fmt);
}

// Under fp's lock: the limit of the cause, then the line. Returns the bytes written.
int limited_write(LogLimiter* lim, FILE* fp, const char* cause, const char* fmt, va_list ap) {
    adopt(lim, fp);
    LogCause* c = log_cause_find(lim, cause);
    int written = 0;
    if (c != nullptr) {
        const uint32_t held_before = c->held;
        const LogGate gate =
            log_cause_admit(c, monotonic_ms(), lines_per_window.load(std::memory_order_relaxed));
        if (gate.left_out > 0) {
            written += write_left_out(fp, cause, gate.left_out);
            lim->held_causes.fetch_sub(1, std::memory_order_relaxed);
        }
        if (!gate.write) {
            if (held_before == 0)
                lim->held_causes.fetch_add(1, std::memory_order_relaxed);
            return written;
        }
    }
    const int n = vfprintf(fp, fmt, ap);
    return n > 0 ? written + n : written;
}

void report_held(LogLimiter* lim, FILE* fp) {
    if (fp == nullptr || lim->held_causes.load(std::memory_order_relaxed) == 0)
        return;
    StreamLock lock(fp);
    if (lim->owner == fp) {
        const int64_t now = monotonic_ms();
        int written = 0;
        for (LogCause& c : lim->causes) {
            if (c.fmt == nullptr)
                break;  // entries are taken in probe order from the start; see log_cause_find
            const uint32_t n = log_cause_expire(&c, now);
            if (n > 0) {
                written += write_left_out(fp, c.fmt, n);
                lim->held_causes.fetch_sub(1, std::memory_order_relaxed);
            }
        }
        if (written > 0)
            fflush(fp);
        account_written(fp, written);
    }
}

}  // namespace

LogGate log_cause_admit(LogCause* c, int64_t now_ms, uint32_t limit) {
    LogGate gate;
    if (c->lines == 0 || now_ms - c->window_start_ms >= kLogWindowMs) {
        gate.left_out = c->held;
        c->window_start_ms = now_ms;
        c->lines = 0;
        c->held = 0;
    }
    if (limit == 0 || c->lines < limit) {
        ++c->lines;
        gate.write = true;
    } else {
        ++c->held;
    }
    return gate;
}

uint32_t log_cause_expire(LogCause* c, int64_t now_ms) {
    if (c->held == 0 || now_ms - c->window_start_ms < kLogWindowMs)
        return 0;
    const uint32_t n = c->held;
    c->held = 0;
    return n;
}

LogCause* log_cause_find(LogLimiter* lim, const char* fmt) {
    // Entries are only ever added, at the first free one: a scan can stop at the first free
    // entry. Under a hundred call sites, so a linear scan costs less than the write it guards.
    for (LogCause& c : lim->causes) {
        if (c.fmt == fmt)
            return &c;
        if (c.fmt == nullptr) {
            c.fmt = fmt;
            return &c;
        }
    }
    return nullptr;
}

void log_set_limit(uint32_t n) {
    lines_per_window.store(n, std::memory_order_relaxed);
}

namespace {

void log_to_file(const char* cause, const char* fmt, va_list ap) {
    FILE* fp = log_fp.load(std::memory_order_acquire);
    if (fp == nullptr)
        return;
    // One locked stretch per call: it keeps one call's text together and guards the limiter.
    StreamLock lock(fp);
    const int written = limited_write(&file_limiter, fp, cause, fmt, ap);
    if (written > 0)
        fflush(fp);
    account_written(fp, written);
}

// A standard stream of the process: never rotated, and left out of the log file.
void log_to_console(LogLimiter* lim, FILE* fp, const char* fmt, va_list ap) {
    StreamLock lock(fp);
    if (limited_write(lim, fp, fmt, fmt, ap) > 0)
        fflush(fp);
}

}  // namespace

void relay_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to_file(fmt, fmt, ap);
    va_end(ap);
}

void relay_log_as(const char* cause, const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to_file(cause, fmt, ap);
    va_end(ap);
}

void console_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to_console(&console_limiter, stdout, fmt, ap);
    va_end(ap);
}

void error_log(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    log_to_console(&error_limiter, stderr, fmt, ap);
    va_end(ap);
}

void log_report_held() {
    report_held(&file_limiter, log_fp.load(std::memory_order_acquire));
    report_held(&console_limiter, stdout);
    report_held(&error_limiter, stderr);
}

int log_file_open(const char* path, long max_bytes) {
    FILE* fp = fopen(path, "a+");
    if (fp == nullptr)
        return -1;
    log_file.fp = fp;
    log_file.path = path;
    log_file.rotated = log_file.path + ".1";
    log_file.max_bytes = max_bytes;
    log_file.size = file_size(fp);
    log_fp.store(fp, std::memory_order_release);
    return 0;
}

int log_file_reopen() {
    FILE* fp = log_file.fp;
    if (fp == nullptr)
        return -1;
    StreamLock lock(fp);
    fflush(fp);
    const int r = reopen_under(fp, log_file.path.c_str());
    if (r == 0)
        log_file.size = file_size(fp);
    return r;
}

bool log_file_in_use() {
    return log_file.fp != nullptr;
}

void log_file_close() {
    if (log_file.fp == nullptr)
        return;
    log_fp.store(stdout, std::memory_order_release);
    fclose(log_file.fp);
    log_file = LogFile{};
}
