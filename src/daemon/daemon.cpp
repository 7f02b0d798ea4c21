// Double fork with a readiness pipe back to the invoking process.
#include "daemon/daemon.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/log.h"
#include "daemon/service_notify.h"

namespace {

int report_fd = -1;  // write end of the readiness pipe, in the daemon only

// Closes [first, last]; close_range when the kernel has it, else one by one.
void close_descriptors(int first, long last) {
    if (first > last)
        return;
#ifdef SYS_close_range
    // Compared in 64 bits: where long has 32, static_cast<long>(UINT_MAX) is -1 and every
    // range would reach UINT_MAX, closing the readiness pipe too.
    unsigned int hi = static_cast<long long>(last) >= static_cast<long long>(UINT_MAX)
                          ? UINT_MAX
                          : static_cast<unsigned>(last);
    if (syscall(SYS_close_range, static_cast<unsigned>(first), hi, 0) == 0)
        return;
#endif
    for (long fd = last; fd >= first; --fd)
        close(static_cast<int>(fd));
}

// The intermediate process: waits for the daemon's word, then reports and exits.
[[noreturn]] void await_report(int read_fd) {
    std::string message;
    char buf[512];
    ssize_t n;
    while ((n = read(read_fd, buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR))
        if (n > 0)
            message.append(buf, static_cast<size_t>(n));
    if (message == "ready") {
        puts("Daemon started");
        fflush(stdout);
        _exit(0);
    }
    if (message.empty())
        message = "the daemon ended during start-up\n";
    fprintf(stderr, "quarlin: %s", message.c_str());
    _exit(1);
}

}  // namespace

void skeleton_daemon() {
    int pipe_fds[2];
    if (pipe(pipe_fds) != 0)
        exit(1);
    fflush(stdout);
    pid_t pid = fork();
    if (pid < 0)
        exit(1);
    if (pid > 0) {
        // The invoking process ends with the intermediate's verdict, and writes nothing itself.
        close(pipe_fds[0]);
        close(pipe_fds[1]);
        int status = 0;
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 1);
    }
    if (setsid() < 0)
        exit(1);
    signal(SIGCHLD, SIG_IGN);
    signal(SIGHUP, SIG_IGN);
    pid = fork();
    if (pid < 0)
        exit(1);
    if (pid > 0) {
        close(pipe_fds[1]);
        await_report(pipe_fds[0]);
    }
    umask(0);
    if (chdir("/") != 0) {
        // "/" always exists; nothing sensible to do but go on.
    }
    close(pipe_fds[0]);
    report_fd = pipe_fds[1];
    long n = sysconf(_SC_OPEN_MAX);
    if (n > 0) {
        close_descriptors(1, report_fd - 1);
        close_descriptors(report_fd + 1, n);
    }
    fcntl(report_fd, F_SETFD, FD_CLOEXEC);
    // Socket-layer diagnostics write to standard output and error: keep them out of the log
    // file and the sockets that would otherwise inherit these numbers.
    int null_fd = open("/dev/null", O_RDWR);
    if (null_fd >= 0) {
        for (int fd = 0; fd <= 2; ++fd)
            if (fd != null_fd)
                dup2(null_fd, fd);
        if (null_fd > 2)
            close(null_fd);
    }
}

void daemon_report_ready() {
    if (service_notify("READY=1") < 0)
        relay_log("cannot tell the service manager that the relay is ready: %s\n", strerror(errno));
    if (report_fd < 0)
        return;
    (void)!write(report_fd, "ready", 5);
    close(report_fd);
    report_fd = -1;
}

void daemon_report_failure(const char* text) {
    if (report_fd < 0)
        return;
    (void)!write(report_fd, text, strlen(text));
    close(report_fd);
    report_fd = -1;
}
