// Openers of the upstream socket (`isock`) and the datagram output socket (`osock`).
#pragma once

#include <atomic>

constexpr int kConnectTries = 20;
constexpr int kConnectPauseMs = 100;  // between two connect tries

// Opens the upstream socket, not yet connected: non-blocking UDP with a receive buffer that
// holds a burst. Returns the descriptor, or -1 (nothing left open).
int isock_open();

// One connect try of fd to address:port, the attempt-th (1 to kConnectTries). A failed try is
// logged ("connect try N, ...") and returns -1 with errno set; 0 when connected.
int isock_connect_try(int fd, const char* address, int port, int attempt);

// Start-up's blocking opener: isock_open, then up to kConnectTries tries kConnectPauseMs apart.
// Stores the socket in *isock once it is connected and returns 0. On any failure it closes what
// it opened, stores 0 (never -1 or a closed number) and returns -1. The event loop runs the same
// tries on its own timers instead (see core/stream_life.h).
int prepare_isock(std::atomic<int>* isock, const char* address, int port);

// Opens the non-blocking output socket connected to address:port, joining the group when the
// address is multicast, with multicast TTL 15. Returns 0, or -1 (with *osock 0).
int prepare_osock(int* osock, const char* address, int port);
