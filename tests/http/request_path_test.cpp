// Splitting request paths into the upstream's address, port and stream name.
#include "http/request_path.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(RequestPath, ValidPathsNameTheUpstreamAndTheStream) {
    const struct {
        std::string path, ip;
        int port;
        std::string url;
    } cases[] = {
        {"/10.0.0.1-5000/chan-7", "10.0.0.1", 5000, "chan:7"},
        {"/10.0.0.1-5000/a-b-c", "10.0.0.1", 5000, "a:b-c"},
        {"/a/b-5000/x", "a/b", 5000, "x"},
        {"/-5000/x", "", 5000, "x"},
        {"/h-65535/x", "h", 65535, "x"},
        {"/h-005000/x", "h", 5000, "x"},
        {"/h-1/" + std::string(199, 'u'), "h", 1, std::string(199, 'u')},
        {"/" + std::string(103, 'a') + "-1/x", std::string(103, 'a'), 1, "x"},
    };
    for (const auto& c : cases) {
        StreamPath p{};
        ASSERT_EQ(split_request_path(c.path.c_str(), &p), 0) << c.path;
        EXPECT_EQ(p.remote_ip, c.ip) << c.path;
        EXPECT_EQ(p.remote_port, c.port) << c.path;
        EXPECT_EQ(p.url, c.url) << c.path;
    }
}

void expect_wrong_resources(std::initializer_list<std::string> paths) {
    for (const auto& path : paths) {
        StreamPath p{};
        EXPECT_EQ(split_request_path(path.c_str(), &p), -1) << path;
    }
}

TEST(RequestPath, WrongResources) {
    expect_wrong_resources({"/10.0.0.1-0/x", "/10.0.0.1-abc/x", "/10.0.0.1-5000/", "/10.0.0.1-5000",
                            "/favicon.ico", "/h-1/" + std::string(200, 'u'),
                            "/" + std::string(104, 'a') + "-1/x",
                            "/h-" + std::string(103, '0') + "1/x"});
}

// Issue 23, item 5: 65536 reached port 0, 70536 reached 5000, "-1" and long digit strings
// reached 65535, and signs, blanks and trailing junk were read past.
TEST(RequestPath, PortTextOutsideOneTo65535OrNotDigitsIsAWrongResource) {
    expect_wrong_resources({"/127.0.0.1-65536/chan", "/127.0.0.1-70536/chan", "/h--1/x",
                            "/h-99999999999999999999/x", "/h-4294967297/x", "/h-/x", "/h-+5000/x",
                            "/h- 5000/x", "/h-5000abc/x", "/h-0x10/x", "/h-00000/x", "/h-5000 /x"});
}

}  // namespace
