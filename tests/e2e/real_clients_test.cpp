// Real HTTP clients against the relay: ffprobe recognises the relayed sample, ffmpeg decodes
// 20 s of it without an error, and curl saves a byte-exact copy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;

// The program's path if it is on PATH, else empty.
std::string on_path(const std::string& program) {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// A relay in HTTP mode and the simulator serving the sample. The simulator sends the first
// second at once, so the relay's ring is well filled by the time its sender starts.
struct RelayAndUpstream {
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(relay.http_port) + stream_path(up);
    }
};

// Runs a client to its end, killing it after the time-out; returns its exit status (-1 when
// it had to be killed).
int run_client(testsupport::Child& child, std::chrono::milliseconds timeout) {
    int status = child.wait_exit(timeout);
    if (status < 0)
        child.stop(SIGKILL);
    return status;
}

class RealClients : public ::testing::Test {
  protected:
    void require(const char* program) {
        tool_ = on_path(program);
        if (tool_.empty())
            GTEST_SKIP() << program << " is not installed";
    }
    std::string tool_;
};

TEST_F(RealClients, FfprobeFindsAProgramWithMpeg2VideoAndMp2Audio) {
    require("ffprobe");
    RelayAndUpstream s;
    auto probe = testsupport::start_child({tool_, "-v", "error", "-rw_timeout", "10000000",
                                           "-show_entries", "program_stream=codec_type,codec_name",
                                           "-of", "compact=p=0:nk=1", s.url()});
    ASSERT_EQ(run_client(probe, 20s), 0) << probe.err();
    // One line per stream of the program: "codec_name|codec_type".
    const std::string out = probe.out();
    EXPECT_NE(out.find("mpeg2video|video"), std::string::npos) << out;
    EXPECT_NE(out.find("mp2|audio"), std::string::npos) << out;
    EXPECT_EQ(probe.err(), "");
}

TEST_F(RealClients, FfmpegDecodesTwentySecondsWithoutAnError) {
    require("ffmpeg");
    RelayAndUpstream s;
    auto decode =
        testsupport::start_child({tool_, "-nostdin", "-hide_banner", "-v", "error", "-rw_timeout",
                                  "10000000", "-i", s.url(), "-t", "20", "-f", "null", "-"});
    ASSERT_EQ(run_client(decode, 35s), 0) << decode.err();
    // The relay starts the stream at the sample's first byte, a clean start for the decoder.
    EXPECT_EQ(decode.err(), "");
}

TEST_F(RealClients, CurlSavesAByteExactCopy) {
    require("curl");
    RelayAndUpstream s;
    const std::string dir = testsupport::make_temp_dir();
    auto fetch = testsupport::start_child({tool_, "--silent", "--show-error", "--max-time", "4",
                                           "--dump-header", dir + "/head", "--output",
                                           dir + "/body", s.url()});
    const int status = run_client(fetch, 10s);
    // 28: the time limit ended the download, as it must for an endless stream.
    ASSERT_TRUE(status == 28 || status == 0) << "curl exit " << status << ": " << fetch.err();
    EXPECT_EQ(testsupport::read_file(dir + "/head"), kHead);
    const std::string body = testsupport::read_file(dir + "/body");
    ASSERT_GE(body.size(), 1316u * 200) << "less than a second of the stream";
    EXPECT_TRUE(body == sample_bytes().substr(0, body.size()))
        << "the copy differs from the sample's first " << body.size() << " bytes";
}

}  // namespace
