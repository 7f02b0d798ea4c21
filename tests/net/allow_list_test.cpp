// The upstream allow-list: what -a accepts, and which path addresses fall inside.
#include "net/allow_list.h"

#include <gtest/gtest.h>

namespace {

TEST(AllowList, ParsesNetworksAndRefusesWhatIsNotOne) {
    AllowNet net{};
    ASSERT_EQ(allow_parse("10.1.2.3/8", &net), 0);
    EXPECT_EQ(net.addr, 0x0A000000u);  // the host bits are masked away
    EXPECT_EQ(net.mask, 0xFF000000u);
    ASSERT_EQ(allow_parse("0.0.0.0/0", &net), 0);
    EXPECT_EQ(net.mask, 0u);
    ASSERT_EQ(allow_parse("192.168.1.7", &net), 0);
    EXPECT_EQ(net.mask, 0xFFFFFFFFu);
    for (const char* bad : {"", "/8", "10.0.0.1/", "10.0.0.1/33", "10.0.0.1/-1", "10.0.0.1/8x",
                            "10.1", "host.example", "10.0.0.256", "10.0.0.1/8/9"})
        EXPECT_EQ(allow_parse(bad, &net), -1) << bad;
}

TEST(AllowList, PathAddressesInsideAndOutside) {
    AllowList list;
    for (const char* net : {"127.0.0.1/32", "10.20.0.0/16"})
        ASSERT_EQ(allow_parse(net, &list.nets[list.count++]), 0) << net;
    EXPECT_TRUE(allow_permits(list, "127.0.0.1"));
    EXPECT_TRUE(allow_permits(list, "10.20.255.1"));
    EXPECT_FALSE(allow_permits(list, "127.0.0.2"));
    EXPECT_FALSE(allow_permits(list, "10.21.0.1"));
    // Read as the upstream socket reads it: "127.1" is 127.0.0.1; text that is no address
    // would be sent to 0.0.0.0 and is outside.
    EXPECT_TRUE(allow_permits(list, "127.1"));
    EXPECT_FALSE(allow_permits(list, ""));
    EXPECT_FALSE(allow_permits(list, "localhost"));
    EXPECT_TRUE(allow_permits(AllowList{}, "anything"));  // no -a: as before
}

}  // namespace
