// The log writer and the fatal-error exit.
#include "core/log.h"

#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

std::atomic<FILE*> log_fp{stdout};

void relay_log(const char* fmt, ...) {
    FILE* fp = log_fp.load(std::memory_order_acquire);
    if (fp == nullptr)
        return;
    // One vfprintf per call: the stream's own lock keeps one call's text together.
    va_list ap;
    va_start(ap, fmt);
    vfprintf(fp, fmt, ap);
    va_end(ap);
    fflush(fp);
}

void Error_Quit(const char* msg) {
    int err = errno;
    fprintf(stderr, "KESTREL: %s, %s\n", msg, strerror(err));
    exit(1);
}
