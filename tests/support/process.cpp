// Child processes and polling helpers for the end-to-end tests.
#include "support/process.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

namespace testsupport {

Child::Child(Child&& other) noexcept {
    *this = std::move(other);
}

Child& Child::operator=(Child&& other) noexcept {
    if (this != &other) {
        if (pid > 0 && exit_status < 0)
            stop(SIGKILL);
        pid = other.pid;
        out_path = std::move(other.out_path);
        err_path = std::move(other.err_path);
        exit_status = other.exit_status;
        other.pid = -1;
    }
    return *this;
}

Child::~Child() {
    if (pid > 0 && exit_status < 0)
        stop(SIGKILL);
}

std::string Child::out() const {
    return read_file(out_path);
}
std::string Child::err() const {
    return read_file(err_path);
}

static int decode_status(int status) {
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

bool Child::running() {
    if (pid <= 0 || exit_status >= 0)
        return false;
    int status = 0;
    pid_t r = waitpid(pid, &status, WNOHANG);
    if (r == pid) {
        exit_status = decode_status(status);
        return false;
    }
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

// The ELF machine of the program at path, or -1 when it cannot be read as an ELF file.
static int elf_machine(const char* path) {
    unsigned char head[20];
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    ssize_t n = read(fd, head, sizeof head);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof head) || std::memcmp(head, "\177ELF", 4) != 0)
        return -1;
    return head[5] == 1 ? head[18] | head[19] << 8 : head[18] << 8 | head[19];  // by byte order
}

// When the tests run under an emulator (QUARLIN_TEST_EMULATOR, such as
// "qemu-mipsel -L /usr/mipsel-linux-gnu"), programs built for the same machine as the tests
// cannot be started by this kernel itself: they are started through the emulator too. Other
// programs (the machine's own tools) start as they are.
static std::vector<std::string> command_for(const std::vector<std::string>& argv) {
    std::vector<std::string> command;
    const char* emulator = getenv("QUARLIN_TEST_EMULATOR");
    if (emulator != nullptr && !argv.empty()) {
        const int machine = elf_machine(argv[0].c_str());
        if (machine >= 0 && machine == elf_machine("/proc/self/exe")) {
            std::istringstream words(emulator);
            for (std::string word; words >> word;)
                command.push_back(word);
        }
    }
    command.insert(command.end(), argv.begin(), argv.end());
    return command;
}

Child start_child(const std::vector<std::string>& argv, bool stdin_devnull) {
    Child c;
    std::string dir = make_temp_dir();
    c.out_path = dir + "/stdout";
    c.err_path = dir + "/stderr";
    const std::vector<std::string> command = command_for(argv);
    std::vector<char*> args;
    for (const auto& a : command)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int out = open(c.out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        int err = open(c.err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0)
            _exit(126);
        dup2(out, 1);
        dup2(err, 2);
        if (stdin_devnull) {
            int in = open("/dev/null", O_RDONLY);
            if (in >= 0)
                dup2(in, 0);
        }
        execvp(args[0], args.data());  // the emulator is found on PATH
        _exit(127);
    }
    c.pid = pid;
    return c;
}

bool wait_for(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (cond())
            return true;
        if (std::chrono::steady_clock::now() >= deadline)
            return cond();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

int free_port(bool tcp) {
    int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    close(fd);
    return ntohs(a.sin_port);
}

std::vector<pid_t> pids_holding(const std::string& path) {
    std::vector<pid_t> pids;
    DIR* proc = opendir("/proc");
    if (proc == nullptr)
        return pids;
    while (dirent* entry = readdir(proc)) {
        pid_t pid = static_cast<pid_t>(atoi(entry->d_name));
        if (pid <= 0 || pid == getpid())
            continue;
        std::string fd_dir = std::string("/proc/") + entry->d_name + "/fd";
        DIR* fds = opendir(fd_dir.c_str());
        if (fds == nullptr)
            continue;
        while (dirent* fd = readdir(fds)) {
            char target[4096];
            std::string link = fd_dir + "/" + fd->d_name;
            ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n > 0 && std::string(target, static_cast<size_t>(n)) == path) {
                pids.push_back(pid);
                break;
            }
        }
        closedir(fds);
    }
    closedir(proc);
    return pids;
}

int count_of(const std::string& hay, const std::string& needle) {
    int n = 0;
    for (size_t p = hay.find(needle); p != std::string::npos; p = hay.find(needle, p + 1))
        ++n;
    return n;
}

}  // namespace testsupport
