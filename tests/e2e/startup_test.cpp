// The daemon's start-up as a user meets it: usage lines, exit statuses, daemon mode, failures.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "support/process.h"

using namespace std::chrono_literals;
using testsupport::count_of;
using testsupport::start_child;

namespace {

const std::string kUsage1 =
    "quarlin -d  -i <remote_ip> -r <remote_port> -o <mcast_ip> -p <mcast_port> -h <http_port> "
    "-u [remote_url:port]\n";
const std::string kUsage2 =
    "quarlin -d -i <remote_ip> -r <remote_port> -o <mcast_ip> -h <http_port> -p <mcast_port>\n";

struct UsageCase {
    std::vector<std::string> args;
    std::string expected_out;
};

TEST(Startup, CommandLinesThatCannotRunPrintTheirUsageLineAndExit2) {
    const std::vector<UsageCase> cases = {
        {{}, kUsage2},
        {{"-o", "239.1.1.1"}, kUsage2},
        {{"-o", "239.1.1.1", "-p", "0"}, kUsage2},
        {{"-h", "0"}, kUsage2},
        {{"-h", "abc"}, kUsage2},
        {{"-x"}, kUsage1},
        {{"-h"}, kUsage1},
        {{"-s", "-d"}, "Swapping bytes\n" + kUsage2},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {QUARLIN_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto child = start_child(argv);
        EXPECT_EQ(child.wait_exit(5s), 2) << c.args.size();
        EXPECT_EQ(child.out(), c.expected_out);
        EXPECT_EQ(child.err(), "");
    }
}

TEST(Startup, UrlLongerThan399IsRefusedWithAMessage) {
    auto child = start_child({QUARLIN_BIN, "-h", "1", "-u", std::string(400, 'u')});
    EXPECT_EQ(child.wait_exit(5s), 2);
    EXPECT_EQ(child.out(), "");
    EXPECT_NE(child.err().find("399"), std::string::npos);
}

TEST(Startup, UnreachableUpstreamRetries20TimesThenExits255) {
    auto start = std::chrono::steady_clock::now();
    auto child = start_child({QUARLIN_BIN, "-i", "255.255.255.255", "-r", "5000", "-h", "1"});
    ASSERT_EQ(child.wait_exit(10s), 255);
    auto elapsed = std::chrono::steady_clock::now() - start;
    const std::string out = child.out();
    EXPECT_EQ(count_of(out, "connect try "), 20);
    EXPECT_NE(out.find("connect try 20, "), std::string::npos);
    EXPECT_NE(out.find(", 255.255.255.255:5000\n"), std::string::npos);
    EXPECT_NE(child.err().find("prepare_isock: connect "), std::string::npos);
    EXPECT_GE(elapsed, 1900ms);  // 20 pauses of 100 ms
}

TEST(Startup, TakenHttpPortExits1) {
    int port = testsupport::free_port(true);
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(listen(fd, 1), 0);
    auto child = start_child({QUARLIN_BIN, "-h", std::to_string(port)});
    EXPECT_EQ(child.wait_exit(5s), 1);
    EXPECT_NE(child.out().find("HTTP bind error: Address already in use\n"), std::string::npos);

    // In daemon mode the invoking process learns of the failure and says why.
    auto daemon = start_child({QUARLIN_BIN, "-d", "-l", testsupport::make_temp_dir() + "/log", "-h",
                               std::to_string(port)});
    EXPECT_EQ(daemon.wait_exit(5s), 1);
    EXPECT_EQ(daemon.out(), "");
    EXPECT_NE(daemon.err().find("HTTP bind error"), std::string::npos);
    close(fd);
}

TEST(Startup, DaemonWithUnwritableLogFileExits1BeforeDetaching) {
    auto child = start_child({QUARLIN_BIN, "-d", "-l", "/nonexistent-dir/q.log", "-h", "1"});
    EXPECT_EQ(child.wait_exit(5s), 1);
    EXPECT_EQ(child.out(), "");
    EXPECT_NE(child.err().find("/nonexistent-dir/q.log"), std::string::npos);
}

TEST(Startup, DaemonModeDetachesLogsToItsFileAndKeepsSocketNoiseOut) {
    const std::string dir = testsupport::make_temp_dir();
    const std::string log = dir + "/relay.log";
    const int upstream = testsupport::free_port(false);
    const int port = testsupport::free_port(true);
    auto child =
        start_child({QUARLIN_BIN, "-d", "-s", "-l", log, "-i", "127.0.0.1", "-r",
                     std::to_string(upstream), "-h", std::to_string(port), "-u", "chan:1"});
    ASSERT_EQ(child.wait_exit(5s), 0);
    // "Swapping bytes" is written while the options are read, before the log file is open.
    EXPECT_EQ(child.out(), "Swapping bytes\nDaemon started\n");
    // The daemon is up: its port accepts connections.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_TRUE(testsupport::wait_for(
        [&] {
            return testsupport::read_file(log).find("accepted http connection") !=
                   std::string::npos;
        },
        5s));
    close(fd);
    const std::string text = testsupport::read_file(log);
    // "rcv buflen" goes to standard output, which the daemon has pointed at /dev/null.
    EXPECT_EQ(text.find("rcv buflen"), std::string::npos);
    EXPECT_EQ(text.find("Swapping bytes"), std::string::npos);

    // End the daemon we started: it is the process holding our own log file open.
    bool ended = false;
    for (pid_t pid : testsupport::pids_holding(log))
        ended |= kill(pid, SIGTERM) == 0;
    EXPECT_TRUE(ended);
}

}  // namespace
