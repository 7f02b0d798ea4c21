// Real HTTP clients against the relay: ffmpeg finds and decodes 20 s of the relayed sample
// without an error, and curl saves a byte-exact copy.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;

// The simulator serving the sample and the relay in HTTP mode. The simulator sends the first
// second at once, so the relay's ring is well filled by the time its sender starts.
struct RelayAndUpstream {
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    std::string url() const {
        return "http://127.0.0.1:" + std::to_string(relay.http_port) + stream_path(up);
    }
};

TEST(RealClients, FfmpegDecodesTwentySecondsWithoutAnError) {
    const std::string ffmpeg = testsupport::on_path("ffmpeg");
    if (ffmpeg.empty())
        GTEST_SKIP() << "ffmpeg is not installed";
    RelayAndUpstream s;
    auto decode =
        testsupport::start_child({ffmpeg, "-nostdin", "-hide_banner", "-v", "error", "-rw_timeout",
                                  "10000000", "-i", s.url(), "-t", "20", "-f", "null", "-"});
    // It stops with an error when it finds no program to decode. The relay starts the stream at
    // the sample's first byte, a clean start for the decoder.
    ASSERT_EQ(decode.wait_exit(35s), 0) << decode.err();
    EXPECT_EQ(decode.err(), "");
}

TEST(RealClients, CurlSavesAByteExactCopy) {
    const std::string curl = testsupport::on_path("curl");
    if (curl.empty())
        GTEST_SKIP() << "curl is not installed";
    RelayAndUpstream s;
    const std::string dir = testsupport::make_temp_dir();
    auto fetch = testsupport::start_child({curl, "--silent", "--show-error", "--max-time", "4",
                                           "--dump-header", dir + "/head", "--output",
                                           dir + "/body", s.url()});
    const int status = fetch.wait_exit(10s);
    // 28: the time limit ended the download, as it must for an endless stream.
    ASSERT_TRUE(status == 28 || status == 0) << "curl exit " << status << ": " << fetch.err();
    EXPECT_EQ(testsupport::read_file(dir + "/head"), kHead);
    const std::string body = testsupport::read_file(dir + "/body");
    ASSERT_GE(body.size(), kChunk * 200) << "less than a second of the stream";
    EXPECT_TRUE(body == sample_bytes().substr(0, body.size()))
        << "the copy differs from the sample's first " << body.size() << " bytes";
}

}  // namespace
