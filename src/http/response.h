// Writes the response head that opens the stream to an HTTP client, and whole buffers to a
// connection.
#pragma once

#include "http/request_reader.h"

constexpr int kMaxContentType = 100;  // what -t may give, in characters

// Writes the four pieces of the head (status line with req->status, server line, type line,
// empty line), each with its own Writeline; the results are not consulted. The type line
// names content_type, or "mpeg/ts" when it is null. Returns 0.
int Output_HTTP_Headers(int fd, const ReqInfo* req, const char* content_type = nullptr);

// Whether text can stand in the type line: 1 to kMaxContentType visible characters or blanks.
bool content_type_valid(const char* text);

// Writes all len bytes, continuing after interrupted or partial writes. Returns len once
// everything is written or the peer has gone (EPIPE, quietly); 0 for len 0 and after any other
// write failure, which prints "!!!!!!!! ERROR" on standard output.
int Writeline(int fd, const char* data, int len);
