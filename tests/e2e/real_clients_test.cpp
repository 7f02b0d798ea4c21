// Real HTTP clients against the relay: curl saves a byte-exact copy, and ffmpeg finds and
// decodes 20 s of the relayed sample without an error.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "e2e/relay_harness.h"

namespace {

using namespace e2e;

// The first second comes at once (--lead); each client takes the stream over from the last.
TEST(RealClients, CurlSavesAByteExactCopyAndFfmpegDecodesTwentySecondsWithoutAnError) {
    const std::string curl = testsupport::on_path("curl"), ffmpeg = testsupport::on_path("ffmpeg");
    Upstream up = start_upstream({"--lead", "1000"});
    Relay relay = start_http_relay();
    const std::string url = "http://127.0.0.1:" + std::to_string(relay.http_port) + stream_path(up);
    if (!curl.empty()) {
        const std::string dir = testsupport::make_temp_dir();
        auto fetch = testsupport::start_child({curl, "--silent", "--show-error", "--max-time", "4",
                                               "--dump-header", dir + "/head", "--output",
                                               dir + "/body", url});
        const int status = fetch.wait_exit(10s);
        // 28: the time limit ended the download, as it must for an endless stream.
        ASSERT_TRUE(status == 28 || status == 0) << "curl exit " << status << ": " << fetch.err();
        EXPECT_EQ(testsupport::read_file(dir + "/head"), kHead);
        const std::string body = testsupport::read_file(dir + "/body");
        ASSERT_GE(body.size(), kChunk * 200) << "less than a second of the stream";
        EXPECT_TRUE(body == sample_bytes().substr(0, body.size()))
            << "the copy differs from the sample's first " << body.size() << " bytes";
    }
    if (!ffmpeg.empty()) {
        auto decode = testsupport::start_child({ffmpeg, "-nostdin", "-hide_banner", "-v", "error",
                                                "-rw_timeout", "10000000", "-i", url, "-t", "20",
                                                "-f", "null", "-"});
        // It fails when it finds no program to decode; the sample's first byte is a clean start.
        ASSERT_EQ(decode.wait_exit(35s), 0) << decode.err();
        EXPECT_EQ(decode.err(), "");
    }
    if (curl.empty() || ffmpeg.empty())
        GTEST_SKIP() << (curl.empty() ? "curl is not installed; " : "")
                     << (ffmpeg.empty() ? "ffmpeg is not installed" : "");
}

}  // namespace
