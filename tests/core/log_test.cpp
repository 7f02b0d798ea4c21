// The log's per-cause limit, on clock readings given as numbers, and the log file's rotation
// and reopening.
#include "core/log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "support/process.h"

namespace {

using testsupport::count_of;
using testsupport::read_file;

struct Offered {
    int written = 0;
    uint32_t reported = 0;  // sum of the left-out counts
};

// Offers `lines` lines of one cause, one every `step_ms`, from `start_ms`.
Offered offer(LogCause* c, int64_t start_ms, int64_t step_ms, int lines) {
    Offered r;
    for (int i = 0; i < lines; ++i) {
        const LogGate g = log_cause_admit(c, start_ms + i * step_ms, kLogLinesPerWindow);
        r.written += g.write;
        r.reported += g.left_out;
    }
    return r;
}

TEST(LogLimit, AFloodWritesTwentyLinesAWindowAndCountsTheRest) {
    LogCause c;
    // 1000 lines a second for 3 s: each window lets 20 through; each new window first reports
    // what the one before held back.
    const Offered r = offer(&c, 5000, 1, 3000);
    EXPECT_EQ(r.written, 60);
    EXPECT_EQ(r.reported, 2 * 980u);
    EXPECT_EQ(c.held, 980u);
    // The flood ends: once its window is over, the last count is reported exactly once.
    EXPECT_EQ(log_cause_expire(&c, 5000 + 2999), 0u);  // window still open
    EXPECT_EQ(log_cause_expire(&c, 5000 + 3000), 980u);
    EXPECT_EQ(log_cause_expire(&c, 5000 + 9000), 0u);
    // The next line after the quiet spell is written and reports nothing again.
    const LogGate g = log_cause_admit(&c, 20000, kLogLinesPerWindow);
    EXPECT_TRUE(g.write);
    EXPECT_EQ(g.left_out, 0u);
}

TEST(LogLimit, LinesAtOrBelowTheRateAreNeverHeld) {
    const struct {
        int64_t step_ms;
        int lines;
    } cases[] = {
        {50, 400},   // exactly 20 a second
        {1000, 30},  // one a second
        {0, 20},     // a burst of 20 at one instant
        {999, 3},    // lines at the window's edge
    };
    for (const auto& k : cases) {
        LogCause c;
        const Offered r = offer(&c, 0, k.step_ms, k.lines);
        EXPECT_EQ(r.written, k.lines) << k.step_ms;
        EXPECT_EQ(r.reported, 0u) << k.step_ms;
        EXPECT_EQ(c.held, 0u) << k.step_ms;
    }
    // The 21st line of an instant is the first held back; limit 0 holds nothing.
    LogCause c;
    EXPECT_EQ(offer(&c, 0, 0, 21).written, 20);
    LogCause all;
    for (int i = 0; i < 100; ++i)
        EXPECT_TRUE(log_cause_admit(&all, 0, 0).write);
}

TEST(LogLimit, EachCallSiteIsItsOwnCauseAndAFullTableLimitsNothingNew) {
    LogLimiter lim;
    static const char kA[] = "a %d\n", kB[] = "b %d\n";
    LogCause* a = log_cause_find(&lim, kA);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(log_cause_find(&lim, kA), a);
    EXPECT_NE(log_cause_find(&lim, kB), a);
    static char formats[kLogCauses][4];
    for (int i = 0; i < kLogCauses - 2; ++i)
        EXPECT_NE(log_cause_find(&lim, formats[i]), nullptr);
    EXPECT_EQ(log_cause_find(&lim, formats[kLogCauses - 1]), nullptr);
    EXPECT_EQ(log_cause_find(&lim, kA), a);
}

// Whether the held-back count, which comes from the loop's pass once the window is over, is
// written as `line` within 3 s to what `text` reads.
bool reported(const std::function<std::string()>& text, const std::string& line) {
    return testsupport::wait_for(
        [&] {
            log_report_held();
            return text().find(line) != std::string::npos;
        },
        std::chrono::seconds(3));
}

// Call sites of one fault share its budget.
TEST(LogLimit, RelayLogHoldsAFloodButNotTheLinesAroundIt) {
    testsupport::LogCapture log;
    relay_log("before\n");
    for (int i = 0; i < 50; ++i)
        relay_log("Send error %d\n", i);
    relay_log("after\n");
    static const char kFault[] = "the fault";
    for (int i = 0; i < 15; ++i) {
        relay_log_as(kFault, "send failed %d\n", i);
        relay_log_as(kFault, "read failed %d\n", i);
    }
    const std::string text = log.text();
    EXPECT_EQ(count_of(text, "Send error "), 20);
    EXPECT_EQ(text.find("before\nSend error 0\n"), 0u);
    EXPECT_NE(text.find("Send error 19\nafter\n"), std::string::npos);
    EXPECT_EQ(count_of(text, " failed "), 20);
    const auto logged = [&] { return log.text(); };
    EXPECT_TRUE(reported(logged, "left out 30 lines like: Send error %d\n"));
    EXPECT_TRUE(reported(logged, "left out 10 lines like: the fault\n"));
}

// A socket-layer flood on standard error is held back as the log's is, reported there, and kept
// out of the log.
TEST(LogLimit, StandardErrorFloodIsHeldAndReportedThereNotInTheLog) {
    testsupport::LogCapture log;
    const std::string path = testsupport::make_temp_dir() + "/stderr";
    const int saved = dup(2);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(fd, 0);
    dup2(fd, 2);
    close(fd);
    for (int i = 0; i < 30; ++i)
        error_log("socket failed %d\n", i);
    const bool held =
        reported([&] { return read_file(path); }, "left out 10 lines like: socket failed %d\n");
    dup2(saved, 2);
    close(saved);
    const std::string err = read_file(path);
    EXPECT_TRUE(held) << err;
    EXPECT_EQ(err.find("socket failed 0\n"), 0u);
    EXPECT_NE(err.find("socket failed 19\n"), std::string::npos);
    EXPECT_EQ(err.find("socket failed 20\n"), std::string::npos);
    EXPECT_EQ(log.text().find("socket failed"), std::string::npos);
}

struct LogFileTest : ::testing::Test {
    std::string path = testsupport::make_temp_dir() + "/relay.log";
    void TearDown() override { log_file_close(); }
};

TEST_F(LogFileTest, AFullFileMovesToDotOneAndNoLineIsSplitOrLost) {
    ASSERT_EQ(log_file_open(path.c_str(), 100), 0);
    // Fewer lines than the limit lets through: 12 of 20 bytes each.
    std::string lines[12];
    for (int i = 0; i < 12; ++i) {
        lines[i] = "line " + std::to_string(10 + i) + " abcdefghijk\n";
        relay_log("%s", lines[i].c_str());
    }
    // Five lines fill 100 bytes: the second rotation replaced the first .1.
    EXPECT_EQ(read_file(path + ".1"), lines[5] + lines[6] + lines[7] + lines[8] + lines[9]);
    EXPECT_EQ(read_file(path), lines[10] + lines[11]);
}

TEST_F(LogFileTest, ReopenFollowsThePathAfterAnOutsideRename) {
    ASSERT_EQ(log_file_open(path.c_str(), 0), 0);
    relay_log("first\n");
    ASSERT_EQ(rename(path.c_str(), (path + ".old").c_str()), 0);
    relay_log("second\n");  // still the open file, as logrotate expects until told
    ASSERT_EQ(log_file_reopen(), 0);
    relay_log("third\n");
    EXPECT_EQ(read_file(path + ".old"), "first\nsecond\n");
    EXPECT_EQ(read_file(path), "third\n");
    // A path that cannot be opened keeps the stream writing where it did.
    log_file_close();
    const std::string dir = testsupport::make_temp_dir();
    const std::string gone = dir + "/sub/relay.log";
    ASSERT_EQ(mkdir((dir + "/sub").c_str(), 0755), 0);
    ASSERT_EQ(log_file_open(gone.c_str(), 0), 0);
    ASSERT_EQ(rename((dir + "/sub").c_str(), (dir + "/moved").c_str()), 0);
    EXPECT_EQ(log_file_reopen(), -1);
    relay_log("kept\n");
    EXPECT_EQ(read_file(dir + "/moved/relay.log"), "kept\n");
}

}  // namespace
