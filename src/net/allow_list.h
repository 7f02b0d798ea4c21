// The upstream networks a request path may name (-a): IPv4 address and prefix length.
#pragma once

#include <cstdint>

constexpr int kMaxAllowNets = 32;

struct AllowNet {
    uint32_t addr;  // host byte order, already masked
    uint32_t mask;
};

// Empty (count 0): every upstream is allowed. Filled during start-up, read-only afterwards.
struct AllowList {
    AllowNet nets[kMaxAllowNets];
    int count = 0;
};

// Reads "ADDRESS" or "ADDRESS/BITS" (dotted IPv4, 0 to 32 bits). Returns 0, or -1 for text
// that is neither.
int allow_parse(const char* text, AllowNet* out);

// Whether an upstream address text from a request path is inside one of the networks. The text
// is read as the upstream socket will read it; one that does not read as an address is outside.
bool allow_permits(const AllowList& list, const char* address);
