// Reads the head of one HTTP/1.0 request from a client connection and parses it into a ReqInfo.
#pragma once

// The parsed request head. Plain record owned by the connection thread; the five strings are heap
// copies owned by the record and released by FreeReqInfo.
struct ReqInfo {
    int method;       // METHOD_GET, METHOD_HEAD or METHOD_UNSUPPORTED
    int kind;         // REQUEST_SIMPLE (request line only) or REQUEST_FULL (header lines follow)
    char* referer;    // value of "Referer", or null
    char* useragent;  // value of "User-Agent", or null
    char* resource;   // request target as sent (not URL-decoded), or null
    char* host;       // value of "Host", or null
    char* accept;     // value of "Accept", or null: which status page a browser gets
    int status;       // 200 while the head is acceptable, 400 or 501 once refused
    int state;        // 1: the next line is the request line; 0: the next line is a header line
};

constexpr int kMaxHeadBytes = 16 * 1024;  // the whole request head, line ends included

enum { METHOD_GET = 0, METHOD_HEAD = 1, METHOD_UNSUPPORTED = 2 };
enum { REQUEST_SIMPLE = 0, REQUEST_FULL = 1 };

// Sets the starting values: no supported method, simple request, no strings, status 200, state 1.
// Returns 0.
int InitReqInfo(ReqInfo* req);

// Releases the strings the record holds and resets their pointers to null.
void FreeReqInfo(ReqInfo* req);

// Reads and parses one request head. Returns 0 when the head was read (or refused, which
// req->status tells), and -1 when it did not arrive in time, ended before its empty line, or the
// wait for input failed (logged). The waits at the starts of lines share 5 seconds, and the whole
// head must arrive within 10 seconds, also when the peer stops in the middle of a line. A head
// of more than kMaxHeadBytes, line ends included, is refused with 400 once the line that
// crosses that size is read. Lines are read in blocks, never past a line's end.
int Get_Request(int fd, ReqInfo* req);

// Get_Request with the shared wait allowance and the overall limit given in milliseconds.
int Get_Request_Within(int fd, ReqInfo* req, int allowance_ms, int limit_ms);

// Parses one line of the head, without its line end, into req. Returns 0 when the line was
// taken or ignored, -1 when the head is refused (req->status says why).
int Parse_HTTP_Header(const char* line, ReqInfo* req);

// Reads one line, line feed included, storing at most bound - 1 bytes and a terminator. From a
// socket it takes what has arrived up to the line feed in one read (peeking first), from any
// other descriptor a byte at a time: nothing past the line's end is consumed. Returns the count
// stored (positive), or 0 when the stream ended before the first byte or a read failed (the
// buffer then holds no new terminator). Blocks without a time limit.
int Readline(int fd, char* buf, unsigned bound);
