// Thin functions over IPv4 UDP sockets: open, connect, multicast, TTL, non-blocking, buffers.
#pragma once

// A null address text means the wildcard address. Results: a descriptor or 0 on success,
// a negative value on failure, as the system calls give them.
int socket_open(const char* address, int port);
int socket_connect(int fd, const char* address, int port);
// -1 if group is not an address; 0 (nothing done) if it is not class D; else the join result.
int socket_join_multicast(int fd, const char* group);
int socket_set_ttl(int fd, int ttl);
int socket_set_nonblock(int fd);
int socket_close(int fd);
int get_rcvbuf(int fd, int* size);
int set_rcvbuf(int fd, int size);
