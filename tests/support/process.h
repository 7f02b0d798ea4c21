// Starting the daemon and the tools as child processes, and waiting on conditions with deadlines.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>
#include <vector>

namespace testsupport {

// A child process whose standard output and standard error go to files, so a test can read
// what it printed so far at any time. The destructor kills a child that is still running.
struct Child {
    pid_t pid = -1;
    std::string out_path;
    std::string err_path;
    int exit_status = -1;  // exit code, or 128 + signal number; -1 while running

    Child() = default;
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child(Child&& other) noexcept;
    Child& operator=(Child&& other) noexcept;
    ~Child();

    std::string out() const;  // what it wrote to standard output so far
    std::string err() const;  // what it wrote to standard error so far
    bool running();
    // Sends sig (if still running) and waits up to timeout for the exit; returns exit_status.
    int stop(int sig = 15, std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Waits for the exit without signalling; returns exit_status, or -1 on time-out.
    int wait_exit(std::chrono::milliseconds timeout);
};

// Starts argv[0] with the given arguments. Output files go to a fresh temporary folder.
// stdin_devnull: standard input is /dev/null (otherwise inherited).
Child start_child(const std::vector<std::string>& argv, bool stdin_devnull = true);

// Polls cond every 10 ms until it holds or the deadline passes; returns the last result.
bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

std::string read_file(const std::string& path);
std::string make_temp_dir();

// A free UDP or TCP port on 127.0.0.1 at the moment of the call.
int free_port(bool tcp);

// Processes of ours that hold the file at path open (how a test finds the daemon it started).
std::vector<pid_t> pids_holding(const std::string& path);

// Number of times needle occurs in hay.
int count_of(const std::string& hay, const std::string& needle);

}  // namespace testsupport
