// A sequence lock over a plain record: one writer at a time, any number of readers, and no lock
// taken on either side, so a status page never stalls the thread whose record it shows.
//
// Threads: the record is kept as 32-bit atomic words (each one whole on every target, the
// 32-bit box included) under a generation count that is odd while the writer is between the
// first and the last word. The one writer of the moment publishes; any thread reads, and tries
// again when the generation moved under it.
//   writer: gen = odd (relaxed); every word (release); gen = even (release)
//   reader: gen (acquire); every word (acquire); gen again (relaxed): same and even = whole
// A word's release store carries the odd generation stored before it: a reader that loads any
// new word (acquire) then loads at least that odd generation, and retries. A reader whose first
// load sees the even generation (acquire) sees every word written before it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>

template <class Record>
struct SeqLock {
    static_assert(sizeof(Record) % 4 == 0, "a record is a whole number of 32-bit words");
    static_assert(std::is_trivially_copyable_v<Record>);
    static constexpr size_t kWords = sizeof(Record) / 4;
    std::atomic<uint32_t> gen{0};  // odd while the writer is between the words
    std::atomic<uint32_t> words[kWords] = {};
};

// Writer side: the one writer of the moment replaces the whole record.
template <class Record>
void seqlock_publish(SeqLock<Record>* lock, const Record& rec) {
    unsigned char bytes[sizeof(Record)];
    std::memcpy(bytes, &rec, sizeof bytes);
    const uint32_t g = lock->gen.load(std::memory_order_relaxed);
    lock->gen.store(g + 1, std::memory_order_relaxed);
    for (size_t i = 0; i < SeqLock<Record>::kWords; ++i) {
        uint32_t w;
        std::memcpy(&w, bytes + 4 * i, 4);
        lock->words[i].store(w, std::memory_order_release);
    }
    lock->gen.store(g + 2, std::memory_order_release);
}

// Reader side, any thread: a consistent copy.
template <class Record>
Record seqlock_read(const SeqLock<Record>& lock) {
    unsigned char bytes[sizeof(Record)];
    for (;;) {
        const uint32_t g = lock.gen.load(std::memory_order_acquire);
        for (size_t i = 0; i < SeqLock<Record>::kWords; ++i) {
            const uint32_t w = lock.words[i].load(std::memory_order_acquire);
            std::memcpy(bytes + 4 * i, &w, 4);
        }
        if ((g & 1) == 0 && lock.gen.load(std::memory_order_relaxed) == g)
            break;
    }
    Record rec;
    std::memcpy(&rec, bytes, sizeof rec);
    return rec;
}

// The writer's own view of what it last published: nobody else changes the words, so they
// cannot tear under it and it needs neither the generation nor an order.
template <class Record>
Record seqlock_own(const SeqLock<Record>& lock) {
    unsigned char bytes[sizeof(Record)];
    for (size_t i = 0; i < SeqLock<Record>::kWords; ++i) {
        const uint32_t w = lock.words[i].load(std::memory_order_relaxed);
        std::memcpy(bytes + 4 * i, &w, 4);
    }
    Record rec;
    std::memcpy(&rec, bytes, sizeof rec);
    return rec;
}
