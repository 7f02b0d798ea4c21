// The paced sender: plays the ring out at the pace of the packets' timestamps.
#pragma once

// Thread entry (datagram mode) and plain function (HTTP mode, on the client thread); the
// argument is the RelayContext. Returns when `stop` is non-zero or the connection is gone.
void* sender_thread(void* context);
