// Byte images of the upstream protocol's datagrams.
#include "intake/protocol.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Bytes bytes_of(const void* p, int n) {
    const unsigned char* b = static_cast<const unsigned char*>(p);
    return n < 0 ? Bytes{} : Bytes(b, b + n);
}

TEST(ProtocolTest, ControlMessageImagesAndLostRequestLimits) {
    ControlMessage msg;
    const uint32_t seqs[] = {1000, 1002};
    EXPECT_EQ(bytes_of(&msg, build_lost_request(&msg, seqs, 2)),
              (Bytes{1, 0, 0, 0, 2, 0, 0, 0, 0xe8, 3, 0, 0, 0xea, 3, 0, 0}));
    EXPECT_EQ(bytes_of(&msg, build_keepalive_suspended(&msg)), (Bytes{3, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_of(&msg, build_suspend(&msg)), (Bytes{4, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_of(&msg, build_release(&msg)), (Bytes{5, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(bytes_of(&msg, build_keepalive(&msg, Timespec32{100, 250000000})),
              (Bytes{3, 0, 0, 0, 0x64, 0, 0, 0, 0x80, 0xb2, 0xe6, 0x0e}));
    unsigned char data[16];
    const unsigned char payload[] = {0x47};
    EXPECT_EQ(bytes_of(data, build_data_datagram(data, sizeof data, 5, Timespec32{100, 250000000},
                                                 payload, 1)),
              (Bytes{5, 0, 0, 0, 0x64, 0, 0, 0, 0x80, 0xb2, 0xe6, 0x0e, 0x47}));

    // A lost request carries 1 to 49 numbers.
    uint32_t many[50], back[49];
    for (uint32_t i = 0; i < 50; ++i)
        many[i] = 7000 + i;
    EXPECT_EQ(build_lost_request(&msg, many, 0), -1);
    EXPECT_EQ(build_lost_request(&msg, many, 50), -1);
    ASSERT_EQ(build_lost_request(&msg, many, 49), 204);
    EXPECT_EQ(read_lost_request(&msg, 204, back, 49), 49);
    EXPECT_EQ(back[48], 7048u);
    EXPECT_EQ(read_lost_request(&msg, 200, back, 49), -1);  // length disagrees with the count
}

TEST(ProtocolTest, StreamAndStopRequests) {
    char rec[kClientRequestBytes];
    std::memset(rec, 'x', sizeof rec);
    ASSERT_EQ(build_stream_request(rec, sizeof rec, "chan:7"), 15);
    EXPECT_EQ(bytes_of(rec, 15), (Bytes{2, 0, 0, 0, 'c', 'h', 'a', 'n', ':', '7', 0, 0, 0, 0, 0}));
    EXPECT_EQ(stream_request_length(rec), 15);
    EXPECT_EQ(classify_relay_message(rec, 15), RELAY_MSG_STREAM_REQUEST);

    // 199 characters fit the client's 208-byte record, 200 do not (and leave it untouched).
    const std::string url199(199, 'u');
    EXPECT_EQ(build_stream_request(rec, sizeof rec, url199.c_str()), 208);
    EXPECT_EQ(build_stream_request(rec, sizeof rec, (url199 + "v").c_str()), -1);
    EXPECT_EQ(rec[4], 'u');

    EXPECT_EQ(build_stop_request(rec), kStopRequestBytes);
    EXPECT_EQ(bytes_of(rec, 9), (Bytes{2, 0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_EQ(classify_relay_message(rec, 9), RELAY_MSG_STOP);
}

}  // namespace
