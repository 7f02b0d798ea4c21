// Text helpers for HTTP request lines and request paths: line-end trimming, upper-casing and
// URL decoding, all in place and with the character classes of the POSIX locale.
#pragma once

// Removes characters from the end while the last one is neither alphanumeric nor '*'.
// Always returns 0.
int Trim(char* s);

// Turns a-z into A-Z; every other byte, 0x80 and up included, stays as it is. Always returns 0.
int StrUpper(char* s);

// Decodes '+' to a space and "%xy" to one byte, in place and in a single pass; a decoded byte is
// never looked at again, and a decoded 0 ends the string. A '%' with fewer than two characters
// after it is left as it stands, together with what follows. Returns 0.
int CleanURL(char* s);
