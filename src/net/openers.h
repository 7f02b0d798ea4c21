// Openers of the upstream socket (`isock`) and the datagram output socket (`osock`).
#pragma once

#include <atomic>

// Opens a non-blocking UDP socket connected to address:port and stores it in *isock once it is
// connected, so the event loop watches it from then on. Returns 0 when ready. On any failure it
// closes what it opened, stores 0 (never -1 or a closed number) and returns -1.
int prepare_isock(std::atomic<int>* isock, const char* address, int port);

// Opens the non-blocking output socket connected to address:port, joining the group when the
// address is multicast, with multicast TTL 15. Returns 0, or -1 (with *osock 0).
int prepare_osock(int* osock, const char* address, int port);
