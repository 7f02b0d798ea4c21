// The command line's refusals: the usage status and the one line that says why.
#include <getopt.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "daemon/startup.h"
#include "support/process.h"

namespace {

const std::string kUsage1 =
    "quarlin -d  -i <remote_ip> -r <remote_port> -o <mcast_ip> -p <mcast_port> -h <http_port> "
    "-u [remote_url:port]\n";
const std::string kUsage2 =
    "quarlin -d -i <remote_ip> -r <remote_port> -o <mcast_ip> -h <http_port> -p <mcast_port>\n";

TEST(OptionsTest, CommandLinesThatCannotRunAreRefusedWithOneLine) {
    const struct {
        std::vector<std::string> args;
        // The log's lines (the usage), or one line on standard error that holds err_part.
        std::string out, err_part;
    } cases[] = {
        {{"-o", "239.1.1.1"}, kUsage2, ""},
        {{"-o", "239.1.1.1", "-p", "0"}, kUsage2, ""},
        {{"-h", "0"}, kUsage2, ""},
        {{"-h", "abc"}, kUsage2, ""},
        {{"-L", "120"}, kUsage2, ""},
        {{"-x"}, kUsage1, ""},
        {{"-h"}, kUsage1, ""},
        {{"-s", "-d"}, "Swapping bytes\n" + kUsage2, ""},
        {{"-h", "1", "-u", std::string(400, 'u')}, "", "is 400 characters long; at most 399"},
        {{"-h", "1", "-L", "abc"}, "", "-L takes a latency"},
        {{"-h", "1", "-L", "-5"}, "", "-L takes a latency"},
        {{"-h", "1", "-L", "60001"}, "", "-L takes a latency"},
        {{"-h", "1", "-n", "0"}, "", "quarlin: -n 0: want a count of players from 1 to 64\n"},
        {{"-h", "1", "-n", "65"}, "", "quarlin: -n 65: want a count"},
        {{"-h", "1", "-n", "-1"}, "", "quarlin: -n -1: want a count"},
        {{"-h", "1", "-n", "4x"}, "", "quarlin: -n 4x: want a count"},
        {{"-h", "1", "-n", ""}, "", "quarlin: -n : want a count"},
    };
    for (auto c : cases) {
        char name[] = "quarlin";
        std::vector<char*> argv = {name};
        for (std::string& a : c.args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        Options opts;
        optind = 0;  // a fresh scan, as at the program's start
        testsupport::LogCapture log;
        testing::internal::CaptureStderr();
        const int status = parse_options(static_cast<int>(argv.size()) - 1, argv.data(), &opts);
        const std::string err = testing::internal::GetCapturedStderr();
        SCOPED_TRACE(c.args.back());
        EXPECT_EQ(status, kExitUsage);
        EXPECT_EQ(log.text(), c.out);
        EXPECT_EQ(err.empty(), c.err_part.empty()) << err;
        EXPECT_NE(err.find(c.err_part), std::string::npos) << err;
        EXPECT_LE(testsupport::count_of(err, "\n"), 1) << err;
    }
}

}  // namespace
