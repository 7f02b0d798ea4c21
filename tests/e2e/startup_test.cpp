// The daemon's start-up as a user meets it: usage lines, exit statuses, failures.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/fake_upstream.h"
#include "support/process.h"

namespace {

using namespace std::chrono_literals;
using testsupport::count_of;
using testsupport::start_child;

const std::string kUsage2 =
    "quarlin -d -i <remote_ip> -r <remote_port> -o <mcast_ip> -h <http_port> -p <mcast_port>\n";

TEST(Startup, CommandLinesThatCannotRunExitWithTheirStatusAndSayWhy) {
    const int taken = socket(AF_INET, SOCK_STREAM, 0);
    const std::string port = std::to_string(testsupport::bind_loopback(taken));
    ASSERT_EQ(listen(taken, 1), 0);
    const struct {
        std::vector<std::string> args;
        int status;
        // No standard error at all when err_part is empty, else one line that holds it.
        std::string out, err_part;
    } cases[] = {
        // How the binary shows the option parser's refusals: the usage line, the reason on stderr.
        {{}, 2, kUsage2, ""},
        {{"-h", "1", "-n", "0"}, 2, "", "quarlin: -n 0: want a count of players from 1 to 64\n"},
        {{"-h", port}, 1, "HTTP bind error: Address already in use\n", ""},
        // In daemon mode the invoking process learns of a failure and says why; one found
        // before detaching ends it the same way.
        {{"-d", "-l", testsupport::make_temp_dir() + "/log", "-h", port}, 1, "", "HTTP bind error"},
        {{"-d", "-l", "/nonexistent-dir/q.log", "-h", "1"}, 1, "", "/nonexistent-dir/q.log"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {QUARLIN_BIN};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto child = start_child(argv);
        EXPECT_EQ(child.wait_exit(5s), c.status) << argv.back();
        EXPECT_EQ(child.out(), c.out) << argv.back();
        EXPECT_EQ(child.err().empty(), c.err_part.empty()) << argv.back();
        EXPECT_NE(child.err().find(c.err_part), std::string::npos) << child.err();
        EXPECT_LE(count_of(child.err(), "\n"), 1) << child.err();
    }
    close(taken);
}

TEST(Startup, UnreachableUpstreamRetries20TimesThenExits255) {
    const auto start = std::chrono::steady_clock::now();
    auto child = start_child({QUARLIN_BIN, "-i", "255.255.255.255", "-r", "5000", "-h", "1"});
    ASSERT_EQ(child.wait_exit(10s), 255);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 1900ms);  // 20 pauses of 100 ms
    const std::string out = child.out();
    EXPECT_EQ(count_of(out, "connect try "), 20);
    EXPECT_NE(out.find("connect try 20, "), std::string::npos);
    EXPECT_NE(out.find(", 255.255.255.255:5000\n"), std::string::npos);
    EXPECT_NE(child.err().find("prepare_isock: connect "), std::string::npos);
}

}  // namespace
