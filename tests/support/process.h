// Child processes, waits with deadlines, files, and the relay's log captured in a test.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

std::string read_file(const std::string& path);
std::string make_temp_dir();
// The program's path if it is on PATH, else empty: how a test finds an outside tool it may skip
// without.
std::string on_path(const std::string& program);

// A child process whose standard output and error go to files, so a test can read what it
// printed so far at any time. The destructor kills a child that is still running.
struct Child {
    pid_t pid = -1;
    std::string out_path, err_path;
    int exit_status = -1;  // exit code, or 128 + signal number; -1 while running

    Child() = default;
    Child(Child&& other) noexcept { *this = std::move(other); }
    Child& operator=(Child&& other) noexcept;
    ~Child() { stop(9); }

    std::string out() const { return read_file(out_path); }  // what it printed so far
    std::string err() const { return read_file(err_path); }
    bool running();
    // Sends sig (if still running) and waits up to timeout for the exit; returns exit_status.
    int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the exit without signalling; returns exit_status, or -1 on time-out.
    int wait_exit(std::chrono::milliseconds timeout);
};

// Starts argv[0] with the given arguments and standard input from /dev/null. Output files go
// to a fresh temporary folder.
Child start_child(const std::vector<std::string>& argv);

// Polls cond every 10 ms until it holds or the deadline passes; returns the last result.
bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

// A free UDP or TCP port on 127.0.0.1 at the moment of the call.
int free_port(bool tcp);

// Entries of a folder other than . and ..: a process's threads or descriptors under /proc.
int entries_in(const std::string& dir);

// Processes started with arg among their arguments, after the first: how a test finds the
// daemon it started, by an argument unique to the test.
std::vector<pid_t> pids_started_with(const std::string& arg);

// Number of times needle occurs in hay.
int count_of(const std::string& hay, const std::string& needle);
// Lines of log that begin with prefix, and those of the given format that the relay's rate
// limit left out (its "left out N lines like: <format>" lines).
int count_logged(const std::string& log, const std::string& prefix, const std::string& format);

// Points the relay's log at a temporary file for the life of the object. text() reads through
// the descriptor, so the position that other threads write at does not move.
struct LogCapture {
    FILE* file;
    FILE* saved;
    LogCapture();
    ~LogCapture();
    std::string text() const;
};

}  // namespace testsupport
