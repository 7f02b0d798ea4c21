// Tests of the in-place text helpers used on request lines and request paths.
#include "http/url_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(UrlTextTest, InPlaceEdits) {
    const struct {
        int (*fn)(char*);
        const char* in;
        std::string out;
    } cases[] = {
        {Trim, "abc \r\n", "abc"},
        {Trim, "x*", "x*"},
        {Trim, "--", ""},
        {Trim, "", ""},
        {Trim, "GET /", "GET"},
        {Trim, "Accept: */*\r\n", "Accept: */*"},
        {Trim, "ab\xe9", "ab"},  // bytes from 0x80 up are not alphanumeric
        {StrUpper, "User-Agent ", "USER-AGENT "},
        {StrUpper, "a\xe9z", "A\xe9Z"},
        {CleanURL, "a+b%41c", "a bAc"},
        {CleanURL, "%2B", "+"},
        {CleanURL, "%2541", "%41"},  // a decoded byte is not decoded again
        {CleanURL, "%e9x", "\xe9x"},
        {CleanURL, "%4g!", "\x04!"},  // reading stops at the first non-digit
        {CleanURL, "% fx", "\x0fx"},  // leading white space is skipped
        {CleanURL, "%-1x", "\xffx"},  // a sign is taken; the low 8 bits remain
        {CleanURL, "%zz9", ""},       // no digits give 0, which ends the string
        {CleanURL, "ab%00cd", "ab"},
        {CleanURL, "%", "%"},  // too short for an escape: left as it stands
        {CleanURL, "a%4", "a%4"},
        {CleanURL, "x+%+", "x %+"},
    };
    for (const auto& c : cases) {
        // Bytes behind the terminator carry a marker, so a write past it would show.
        char buf[32];
        memset(buf, '#', sizeof buf);
        const size_t len = strlen(c.in);
        memcpy(buf, c.in, len + 1);
        EXPECT_EQ(c.fn(buf), 0);
        EXPECT_EQ(std::string(buf), c.out) << "'" << c.in << "'";
        EXPECT_EQ(buf[len + 1], '#') << "'" << c.in << "'";
    }
}

}  // namespace
