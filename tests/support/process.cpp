// Child processes, polling helpers and the log capture of the tests.
#include "support/process.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>
#include <utility>

#include "core/log.h"
#include "support/fake_upstream.h"

namespace testsupport {

std::string on_path(const std::string& program) {
    std::stringstream dirs(std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (access((dir + "/" + program).c_str(), X_OK) == 0)
            return dir + "/" + program;
    return {};
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        stop(SIGKILL);
        pid = std::exchange(other.pid, -1);
        out_path = std::move(other.out_path);
        err_path = std::move(other.err_path);
        exit_status = other.exit_status;
    }
    return *this;
}

bool Child::running() {
    if (pid <= 0 || exit_status >= 0)
        return false;
    int status = 0;
    const pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid)
        exit_status = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
    return r == 0;
}

int Child::wait_exit(std::chrono::milliseconds timeout) {
    wait_for([this] { return !running(); }, timeout);
    return exit_status;
}

int Child::stop(int sig, std::chrono::milliseconds timeout) {
    if (!running())
        return exit_status;
    kill(pid, sig);
    if (wait_exit(timeout) < 0) {
        kill(pid, SIGKILL);
        wait_exit(std::chrono::seconds(5));
    }
    return exit_status;
}

std::string make_temp_dir() {
    char tmpl[] = "/tmp/quarlin-test-XXXXXX";
    const char* dir = mkdtemp(tmpl);
    return dir ? std::string(dir) : std::string("/tmp");
}

// The ELF class, byte order and machine of the program at path; empty if it is no ELF file.
static std::string elf_kind(const std::string& path) {
    char h[20] = {};
    std::ifstream(path, std::ios::binary).read(h, sizeof h);
    return std::memcmp(h, "\177ELF", 4) == 0 ? std::string(h + 4, 2) + std::string(h + 18, 2) : "";
}

// Under QUARLIN_TEST_EMULATOR ("qemu-mipsel -L ..."), programs built for the tests' machine
// start through the emulator too; the machine's own tools start as they are.
static std::vector<std::string> command_for(const std::vector<std::string>& argv) {
    std::vector<std::string> command;
    const char* emulator = getenv("QUARLIN_TEST_EMULATOR");
    const std::string kind = elf_kind(argv.at(0));
    if (emulator != nullptr && !kind.empty() && kind == elf_kind("/proc/self/exe")) {
        std::istringstream words(emulator);
        for (std::string word; words >> word;)
            command.push_back(word);
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

Child start_child(const std::vector<std::string>& argv) {
    Child c;
    const std::string dir = make_temp_dir();
    c.out_path = dir + "/stdout";
    c.err_path = dir + "/stderr";
    const std::vector<std::string> command = command_for(argv);
    std::vector<char*> args;
    for (const auto& a : command)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    c.pid = fork();
    if (c.pid == 0) {
        const int in = open("/dev/null", O_RDONLY);
        const int out = open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        execvp(args[0], args.data());  // the emulator is found on PATH
        _exit(127);
    }
    return c;
}

bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!cond()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

std::string read_file(const std::string& path) {
    std::ostringstream ss;
    ss << std::ifstream(path, std::ios::binary).rdbuf();
    return ss.str();
}

int free_port(bool tcp) {
    const int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    const int port = bind_loopback(fd);
    close(fd);
    return port;
}

int entries_in(const std::string& dir) {
    int n = 0;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            n += e->d_name[0] != '.';
        closedir(d);
    }
    return n;
}

std::vector<pid_t> pids_started_with(const std::string& arg) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    while (dirent* e = proc ? readdir(proc) : nullptr) {
        const std::string cmdline = read_file("/proc/" + std::string(e->d_name) + "/cmdline");
        if (atoi(e->d_name) > 0 && cmdline.find('\0' + arg + '\0') != std::string::npos)
            pids.push_back(static_cast<pid_t>(atoi(e->d_name)));
    }
    if (proc)
        closedir(proc);
    return pids;
}

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

int count_logged(const std::string& log, const std::string& prefix, const std::string& format) {
    const std::string like = " lines like: " + format;
    std::istringstream lines(log);
    int n = 0;
    for (std::string line; std::getline(lines, line);) {
        const size_t digits_end = line.find(' ', 9);  // after "left out N"
        if (line.starts_with(prefix))
            ++n;
        else if (line.starts_with("left out ") && digits_end != std::string::npos &&
                 line.compare(digits_end, like.size(), like) == 0)
            n += atoi(line.c_str() + 9);
    }
    return n;
}

LogCapture::LogCapture() : file(tmpfile()), saved(log_fp.exchange(file)) {}

LogCapture::~LogCapture() {
    log_fp.store(saved);
    fclose(file);
}

std::string LogCapture::text() const {
    fflush(file);
    std::string s;
    char buf[4096];
    ssize_t n;
    for (off_t at = 0; (n = pread(fileno(file), buf, sizeof buf, at)) > 0; at += n)
        s.append(buf, static_cast<size_t>(n));
    return s;
}

}  // namespace testsupport
