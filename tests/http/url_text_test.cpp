// Tests of the in-place text helpers used on request lines and request paths.
#include "http/url_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

struct TextCase {
    const char* in;
    std::string out;
};

std::string Apply(int (*fn)(char*), const char* in) {
    // Room behind the terminator is filled with a marker, so a write past it would show.
    char buf[64];
    memset(buf, '#', sizeof buf);
    const size_t len = strlen(in);
    memcpy(buf, in, len + 1);
    fn(buf);
    EXPECT_EQ(buf[len + 1], '#') << "wrote past the terminator of '" << in << "'";
    return std::string(buf);
}

TEST(UrlTextTest, TrimRemovesTrailingNonAlphanumerics) {
    const TextCase cases[] = {
        {"abc \r\n", "abc"},          {"x*", "x*"},
        {"--", ""},                   {"", ""},
        {" \t\r\n", ""},              {"GET /", "GET"},
        {"/a/b/", "/a/b"},            {"Pragma: -", "Pragma"},
        {"Accept: */*\r\n", "Accept: */*"}, {"a9", "a9"},
        {"ab\xe9", "ab"},  // bytes from 0x80 up are not alphanumeric
    };
    for (const auto& c : cases) EXPECT_EQ(Apply(Trim, c.in), c.out) << "'" << c.in << "'";
}

TEST(UrlTextTest, StrUpperTouchesOnlyLowerCaseAscii) {
    const TextCase cases[] = {
        {"host", "HOST"},
        {"User-Agent ", "USER-AGENT "},
        {"a\xe9z", "A\xe9Z"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Apply(StrUpper, c.in), c.out) << "'" << c.in << "'";
}

TEST(UrlTextTest, CleanURLDecodesInOnePass) {
    const TextCase cases[] = {
        {"a+b%41c", "a bAc"},
        {"%2B", "+"},
        {"%25", "%"},
        {"%2541", "%41"},  // a decoded byte is not decoded again
        {"/10.0.0.1-5000/chan%207", "/10.0.0.1-5000/chan 7"},
        {"%e9x", "\xe9x"},
        {"%4g!", std::string("\x04!")},  // reading stops at the first non-digit
        {"% fx", "\x0fx"},               // leading white space is skipped
        {"%-1x", "\xffx"},               // a sign is taken; the low 8 bits remain
        {"%zz9", ""},                    // no digits decode to 0, which ends the string
        {"%%41", ""},
        {"ab%00cd", "ab"},
        {"%", "%"},  // too short for an escape: kept as it stands
        {"a%4", "a%4"},
        {"x+%+", "x %+"},
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(Apply(CleanURL, c.in), c.out) << "'" << c.in << "'";
}

}  // namespace
