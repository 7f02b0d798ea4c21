// The table of connections still sending their request head.
#include "http/head_cap.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <new>

namespace {

// What the request reader keeps of a line once it has trimmed it: an empty line ends the head.
bool line_has_text(const char* line, size_t len) {
    for (size_t i = 0; i < len; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == '\0')
            return false;  // the reader's copy of the line ends here
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || c == '*')
            return true;
    }
    return false;
}

bool is_simple_request_line(const char* line, size_t len) {
    const bool method =
        (len >= 4 && memcmp(line, "GET ", 4) == 0) || (len >= 5 && memcmp(line, "HEAD ", 5) == 0);
    return method && memmem(line, len, "HTTP/", 5) == nullptr;
}

// The oldest connection in the table not yet seen with its head whole, or -1; *sending is set
// to how many such there are. Wrap-safe: age is the distance behind the next accept number.
int oldest_sending(const HeadCap* heads, int* sending) {
    int found = -1;
    uint32_t found_age = 0;
    *sending = 0;
    for (int i = 0; i < heads->nslots; ++i) {
        const HeadSlot& slot = heads->slots[i];
        if (slot.fd.load(std::memory_order_acquire) <= 0 || slot.whole)
            continue;
        ++*sending;
        const uint32_t age = heads->next_order - slot.order;
        if (found < 0 || age > found_age) {
            found = i;
            found_age = age;
        }
    }
    return found;
}

// At the cap, from the oldest on: a connection whose head has arrived whole is marked and
// skipped, for its thread will read it without waiting; it no longer counts against the cap.
// Those not looked at count as still sending. Unless any_age, nobody within their grace is
// closed, and the oldest is the first to leave it. Returns the number closed, 0 or 1.
int close_oldest_sending(HeadCap* heads, int64_t now_ms, bool any_age) {
    // Each round marks one whole, sees one that left, or ends: the rounds are bounded.
    for (;;) {
        int sending = 0;
        const int i = oldest_sending(heads, &sending);
        if (i < 0 || sending < heads->cap)
            return 0;
        HeadSlot& slot = heads->slots[i];
        int victim = slot.fd.load(std::memory_order_acquire);
        // Acquire on success: the descriptor is still its thread's, not yet closed, and the
        // peek below looks at the connection's own input. On failure the thread has left, and
        // the next scan no longer counts it.
        if (victim <= 0 ||
            !slot.fd.compare_exchange_strong(victim, kSlotBusy, std::memory_order_acq_rel))
            continue;
        const bool whole = headcap_head_queued(victim);
        if (whole || (!any_age && now_ms - slot.admitted_ms < kHeadGraceMs)) {
            slot.whole = whole;
            // Release: its thread, waiting to leave, may take the descriptor back.
            slot.fd.store(victim, std::memory_order_release);
            if (whole)
                continue;
            return 0;
        }
        shutdown(victim, SHUT_RDWR);
        // Release: its thread may close the descriptor once it sees this.
        slot.fd.store(kSlotShut, std::memory_order_release);
        return 1;
    }
}

}  // namespace

bool head_has_arrived(const char* bytes, size_t n) {
    const char* end = bytes + n;
    const char* line = bytes;
    for (bool first = true;; first = false) {
        const char* eol =
            static_cast<const char*>(memchr(line, '\n', static_cast<size_t>(end - line)));
        if (eol == nullptr)
            return false;  // the reader waits for the rest of this line
        const size_t len = static_cast<size_t>(eol - line);
        // The first line may be the middle of one that the thread has started reading: only a
        // request line is judged there. Every later line starts where a line starts.
        if (first ? is_simple_request_line(line, len) : !line_has_text(line, len))
            return true;
        line = eol + 1;
    }
}

bool headcap_head_queued(int fd) {
    char bytes[kHeadPeekBytes];
    // Errors read as "not arrived": EAGAIN (nothing queued), and a reset peer, which the cap
    // may as well close.
    const ssize_t n = recv(fd, bytes, sizeof bytes, MSG_PEEK | MSG_DONTWAIT);
    return n > 0 && head_has_arrived(bytes, static_cast<size_t>(n));
}

int headcap_init(HeadCap* heads, int cap) {
    heads->cap = cap;
    heads->nslots = cap > 0 ? cap + kSpareHeadSlots : 0;
    if (heads->nslots == 0)
        return 0;
    heads->slots.reset(new (std::nothrow) HeadSlot[static_cast<size_t>(heads->nslots)]);
    return heads->slots != nullptr ? 0 : -1;
}

bool headcap_has_room(HeadCap* heads) {
    if (heads->cap == 0)
        return true;
    // Sequentially consistent with the leaver's swap and its look at `waiting`: either this
    // scan sees the freed slot, or the leaver sees the flag and wakes the loop.
    for (int pass = 0; pass < 2; ++pass) {
        for (int i = 0; i < heads->nslots; ++i)
            if (heads->slots[i].fd.load(std::memory_order_seq_cst) == 0)
                return true;
        heads->waiting.store(1, std::memory_order_seq_cst);
    }
    return false;
}

int headcap_admit(HeadCap* heads, int fd, int64_t now_ms, int* closed) {
    *closed = 0;
    if (heads->cap == 0)
        return -1;
    heads->waiting.store(0, std::memory_order_relaxed);  // the loop is awake now
    *closed = close_oldest_sending(heads, now_ms, false);
    for (int i = 0; i < heads->nslots; ++i) {
        if (heads->slots[i].fd.load(std::memory_order_acquire) == 0) {
            heads->slots[i].order = heads->next_order++;
            heads->slots[i].admitted_ms = now_ms;
            heads->slots[i].whole = false;
            heads->slots[i].fd.store(fd, std::memory_order_release);
            return i;
        }
    }
    return -1;  // only when the caller skipped headcap_has_room
}

int headcap_make_room(HeadCap* heads) {
    return heads->cap > 0 ? close_oldest_sending(heads, 0, true) : 0;
}

void headcap_release(HeadCap* heads, int slot) {
    if (slot >= 0)
        heads->slots[slot].fd.store(0, std::memory_order_release);
}

bool headcap_leave(HeadCap* heads, int slot, int fd, bool* wake) {
    *wake = false;
    if (slot < 0)
        return false;
    std::atomic<int>& word = heads->slots[slot].fd;
    bool shut = false;
    for (int expected = fd; !word.compare_exchange_strong(expected, 0, std::memory_order_seq_cst);
         expected = fd) {
        if (expected == kSlotShut) {
            word.store(0, std::memory_order_seq_cst);
            shut = true;
            break;
        }
        // kSlotBusy: the loop looks at the descriptor or is shutting it down.
        usleep(100);
    }
    *wake = heads->waiting.exchange(0, std::memory_order_seq_cst) != 0;
    return shut;
}
