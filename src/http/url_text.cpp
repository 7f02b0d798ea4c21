// Line-end trimming, upper-casing and URL decoding for the HTTP front end.
#include "http/url_text.h"

#include <cstring>

namespace {

// The POSIX locale's classes, spelled out so that the process locale never matters.
bool IsSpace(unsigned char c) {
    return c == ' ' || (c >= '\t' && c <= '\r');
}

bool IsAlnum(unsigned char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

int HexValue(unsigned char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Reads the two characters after a '%' the way a base-16 strtol reads them: leading white
// space and a sign are taken, reading stops at the first non-digit, and no digits give 0.
long EscapeValue(unsigned char a, unsigned char b) {
    const unsigned char text[2] = {a, b};
    int i = 0;
    while (i < 2 && IsSpace(text[i]))
        i++;
    bool negative = false;
    if (i < 2 && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        i++;
    }
    long value = 0;
    for (; i < 2 && HexValue(text[i]) >= 0; i++)
        value = value * 16 + HexValue(text[i]);
    return negative ? -value : value;
}

}  // namespace

int Trim(char* s) {
    size_t len = strlen(s);
    while (len > 0) {
        const unsigned char last = static_cast<unsigned char>(s[len - 1]);
        if (IsAlnum(last) || last == '*')
            break;
        s[--len] = '\0';
    }
    return 0;
}

int StrUpper(char* s) {
    for (; *s != '\0'; s++) {
        if (*s >= 'a' && *s <= 'z')
            *s = static_cast<char>(*s - 'a' + 'A');
    }
    return 0;
}

int CleanURL(char* s) {
    for (char* p = s; *p != '\0'; p++) {
        if (*p == '+') {
            *p = ' ';
            continue;
        }
        if (*p != '%')
            continue;
        // Too short for an escape: keep the rest untouched rather than read past the end.
        if (p[1] == '\0' || p[2] == '\0')
            break;
        const long value =
            EscapeValue(static_cast<unsigned char>(p[1]), static_cast<unsigned char>(p[2]));
        *p = static_cast<char>(value & 0xFF);
        memmove(p + 1, p + 3, strlen(p + 3) + 1);
        if (*p == '\0')
            break;
    }
    return 0;
}
